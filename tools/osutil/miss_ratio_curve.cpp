#include "tools/osutil/miss_ratio_curve.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tools/osutil/cli.h"
#include "tools/svg_plot.h"

namespace osutil {
namespace {

// Closes the file on every path; close() reports whether all data reached it.
// The path "-" is standard output, which stays open.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path)
      : path_(path),
        to_stdout_(path == kStandardOutput),
        file_(to_stdout_ ? stdout : std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) fail();
  }
  ~OutputFile() {
    if (file_ != nullptr && !to_stdout_) std::fclose(file_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  FILE* get() const { return file_; }
  void close() {
    const bool failed = std::ferror(file_) != 0;
    const int result = to_stdout_ ? std::fflush(file_) : std::fclose(file_);
    file_ = nullptr;
    if (failed || result != 0) fail();
  }

 private:
  [[noreturn]] void fail() const {
    const std::string shown = to_stdout_ ? "standard output" : "'" + path_ + "'";
    throw std::runtime_error("cannot write " + shown + ": " + std::strerror(errno));
  }
  std::string path_;
  bool to_stdout_;
  FILE* file_;
};

// Ticks at the powers of two inside the budget range; a range without one
// (a narrow sweep) is marked at its ends instead.
std::vector<svg::Tick> budgetTicks(double smallest, double largest) {
  std::vector<double> values = svg::powersInRange(2, smallest, largest);
  if (values.empty()) {
    values.push_back(smallest);
    if (largest != smallest) values.push_back(largest);
  }
  std::vector<svg::Tick> ticks;
  for (double value : values) ticks.push_back({value, humanBytes(static_cast<uint64_t>(value))});
  return ticks;
}

}  // namespace

std::vector<int32_t> sweepBudgets(int32_t largest, int count, int span) {
  std::vector<int32_t> budgets;
  for (int i = 0; i < count; ++i) {
    // From largest / span at i = 0 up to largest at i = count - 1.
    const double exponent = count == 1 ? 0.0 : double(count - 1 - i) / double(count - 1);
    const double budget = std::round(double(largest) / std::pow(double(span), exponent));
    const int32_t bytes = i == count - 1 ? largest : static_cast<int32_t>(std::max(1.0, budget));
    if (budgets.empty() || bytes > budgets.back()) budgets.push_back(bytes);
  }
  return budgets;
}

void writeMissRatioCsv(const std::string& path, const std::vector<SweepPoint>& points) {
  OutputFile file(path);
  std::fprintf(file.get(), "budget_bytes,accesses,hits,misses,miss_ratio,evictions,refused\n");
  for (const SweepPoint& point : points) {
    const ReplayResult& r = point.result;
    // No access, no ratio: an empty field, as CSV leaves out a value.
    char ratio[32] = "";
    if (r.accesses != 0) std::snprintf(ratio, sizeof ratio, "%.6f", r.missRatio());
    std::fprintf(file.get(), "%d,%llu,%llu,%llu,%s,%llu,%llu\n", point.budgetBytes,
                 static_cast<unsigned long long>(r.accesses),
                 static_cast<unsigned long long>(r.hits), static_cast<unsigned long long>(r.misses),
                 ratio, static_cast<unsigned long long>(r.evictions),
                 static_cast<unsigned long long>(r.refused));
  }
  file.close();
}

void writeMissRatioSvg(const std::string& path, const std::vector<SweepPoint>& points,
                       const std::string& workload) {
  if (points.empty()) throw std::runtime_error("no sweep points to plot");
  const double smallest = points.front().budgetBytes, largest = points.back().budgetBytes;
  svg::LinePlot plot;
  plot.title = "Miss ratio over cache budget: " + workload;
  plot.x = {"cache budget (bytes, log scale)", svg::Scale::kLog, smallest, largest,
            budgetTicks(smallest, largest)};
  plot.y = {"miss ratio", svg::Scale::kLinear, 0, 1, {}};
  for (int i = 0; i <= 5; ++i) {
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", i / 5.0);
    plot.y.ticks.push_back({i / 5.0, label});
  }
  svg::Series curve{"", "#1f77b4", false, {}};
  for (const SweepPoint& point : points) {
    char note[128];
    std::snprintf(note, sizeof note, "budget %d bytes (%s): miss ratio %.4f", point.budgetBytes,
                  humanBytes(static_cast<uint64_t>(point.budgetBytes)).c_str(),
                  point.result.missRatio());
    // Without accesses there is no ratio to plot; the plot leaves NaN out.
    const double ratio = point.result.accesses != 0 ? point.result.missRatio() : std::nan("");
    curve.points.push_back({double(point.budgetBytes), ratio, note});
  }
  plot.series.push_back(std::move(curve));

  OutputFile file(path);
  const std::string document = svg::render(plot);
  std::fwrite(document.data(), 1, document.size(), file.get());
  file.close();
}

}  // namespace osutil
