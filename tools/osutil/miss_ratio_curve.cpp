#include "tools/osutil/miss_ratio_curve.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/osutil/cli.h"

namespace osutil {
namespace {

// Plot geometry, in SVG user units.
constexpr double kWidth = 760;
constexpr double kHeight = 460;
constexpr double kLeft = 80;
constexpr double kRight = 30;
constexpr double kTop = 50;
constexpr double kBottom = 70;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;

// Text for an SVG element, with the five characters that XML reserves escaped.
std::string xmlEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

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

// Maps budgets (log scale) and miss ratios (linear) to plot coordinates.
class Axes {
 public:
  Axes(double smallestBudget, double largestBudget)
      : low_(std::log2(smallestBudget)), high_(std::log2(largestBudget)) {
    if (high_ - low_ < 1e-9) {  // a single budget: centre it
      low_ -= 0.5;
      high_ += 0.5;
    }
  }
  double x(double budget) const {
    return kLeft + (std::log2(budget) - low_) / (high_ - low_) * kPlotWidth;
  }
  double y(double ratio) const { return kTop + (1.0 - ratio) * kPlotHeight; }
  // Powers of two inside the budget range, for the ticks.
  std::vector<double> powersOfTwo() const {
    std::vector<double> ticks;
    for (double e = std::ceil(low_); e <= high_ + 1e-9; e += 1) ticks.push_back(std::exp2(e));
    return ticks;
  }

 private:
  double low_, high_;
};

void writeGrid(FILE* out, const Axes& axes, const std::vector<SweepPoint>& points) {
  std::fprintf(out, "<g stroke=\"#ddd\" stroke-width=\"1\">\n");
  for (int i = 0; i <= 5; ++i) {
    const double y = axes.y(i / 5.0);
    std::fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", kLeft, y,
                 kLeft + kPlotWidth, y);
  }
  std::vector<double> ticks = axes.powersOfTwo();
  if (ticks.empty()) {
    ticks.push_back(points.front().budgetBytes);
    if (points.back().budgetBytes != points.front().budgetBytes)
      ticks.push_back(points.back().budgetBytes);
  }
  for (double tick : ticks) {
    const double x = axes.x(tick);
    std::fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", x, kTop, x,
                 kTop + kPlotHeight);
  }
  std::fprintf(out, "</g>\n<g font-family=\"sans-serif\" font-size=\"11\" fill=\"#333\">\n");
  for (int i = 0; i <= 5; ++i) {
    std::fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.1f</text>\n", kLeft - 8,
                 axes.y(i / 5.0) + 4, i / 5.0);
  }
  for (double tick : ticks) {
    std::fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
                 axes.x(tick), kTop + kPlotHeight + 18,
                 xmlEscape(humanBytes(static_cast<uint64_t>(tick))).c_str());
  }
  std::fprintf(out, "</g>\n");
}

void writeFrameAndLabels(FILE* out, const std::string& workload) {
  std::fprintf(out,
               "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
               "stroke=\"#333\"/>\n",
               kLeft, kTop, kPlotWidth, kPlotHeight);
  std::fprintf(out,
               "<g font-family=\"sans-serif\" fill=\"#111\">\n"
               "<text x=\"%.1f\" y=\"28\" font-size=\"15\" text-anchor=\"middle\">"
               "Miss ratio over cache budget: %s</text>\n"
               "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">"
               "cache budget (bytes, log scale)</text>\n"
               "<text x=\"20\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\" "
               "transform=\"rotate(-90 20 %.1f)\">miss ratio</text>\n"
               "</g>\n",
               kWidth / 2, xmlEscape(workload).c_str(), kLeft + kPlotWidth / 2, kHeight - 22,
               kTop + kPlotHeight / 2, kTop + kPlotHeight / 2);
}

void writeCurve(FILE* out, const Axes& axes, const std::vector<SweepPoint>& points) {
  std::fprintf(out, "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"2\" points=\"");
  for (const SweepPoint& point : points) {
    std::fprintf(out, "%.1f,%.1f ", axes.x(point.budgetBytes), axes.y(point.result.missRatio()));
  }
  std::fprintf(out, "\"/>\n<g fill=\"#1f77b4\">\n");
  for (const SweepPoint& point : points) {
    std::fprintf(out,
                 "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\"><title>budget %d bytes (%s): "
                 "miss ratio %.4f</title></circle>\n",
                 axes.x(point.budgetBytes), axes.y(point.result.missRatio()), point.budgetBytes,
                 xmlEscape(humanBytes(static_cast<uint64_t>(point.budgetBytes))).c_str(),
                 point.result.missRatio());
  }
  std::fprintf(out, "</g>\n");
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
    std::fprintf(file.get(), "%d,%llu,%llu,%llu,%.6f,%llu,%llu\n", point.budgetBytes,
                 static_cast<unsigned long long>(r.accesses),
                 static_cast<unsigned long long>(r.hits), static_cast<unsigned long long>(r.misses),
                 r.missRatio(), static_cast<unsigned long long>(r.evictions),
                 static_cast<unsigned long long>(r.refused));
  }
  file.close();
}

void writeMissRatioSvg(const std::string& path, const std::vector<SweepPoint>& points,
                       const std::string& workload) {
  if (points.empty()) throw std::runtime_error("no sweep points to plot");
  OutputFile file(path);
  FILE* out = file.get();
  const Axes axes(points.front().budgetBytes, points.back().budgetBytes);
  std::fprintf(out,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
               kWidth, kHeight, kWidth, kHeight);
  writeGrid(out, axes, points);
  writeFrameAndLabels(out, workload);
  writeCurve(out, axes, points);
  std::fprintf(out, "</svg>\n");
  file.close();
}

}  // namespace osutil
