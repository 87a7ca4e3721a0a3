// The benchmark binary's main: runs the benchmarks (five repetitions unless
// told otherwise), then prints one table of work, our figure, the baseline's
// figure and their ratio, every figure the median of the repetitions.
//
//   objstore_bench                               run all, print the table
//   objstore_bench --report-dir=DIR              also write DIR/BENCHMARKS.md and
//                                                DIR/bench/results/cache_lookup.svg
//   objstore_bench --benchmark_filter=base64     any Google Benchmark flag
//
// Every ratio is ours / baseline in cost (time, or bytes), so below 1.0 means
// that we are cheaper. Both figures of a row come from the same run of this
// binary, because the machines are shared and absolute figures drift.
#include <benchmark/benchmark.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef OBJSTORE_BENCH_FLAGS
#define OBJSTORE_BENCH_FLAGS "unknown"
#endif

namespace {

// ---- Collecting the medians --------------------------------------------------

struct Result {
  double ns = 0;  // real time per iteration
  std::map<std::string, double> counters;
};

// Name without the run options: "cache/lookup_hit/hex/strong/1000", with a
// "/threads:N" suffix for threaded runs.
std::string ResultName(const benchmark::BenchmarkReporter::Run& run) {
  std::string name = run.run_name.function_name;
  if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
  if (!run.run_name.threads.empty()) name += "/" + run.run_name.threads;
  return name;
}

double ToNanoseconds(double value, benchmark::TimeUnit unit) {
  switch (unit) {
    case benchmark::kNanosecond: return value;
    case benchmark::kMicrosecond: return value * 1e3;
    case benchmark::kMillisecond: return value * 1e6;
    case benchmark::kSecond: return value * 1e9;
  }
  return value;
}

// Shows the usual console output and keeps the median of each benchmark (or
// its only run, for a benchmark that repeats once).
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!median && !single) continue;
      Result& result = results_[ResultName(run)];
      result.ns = ToNanoseconds(run.GetAdjustedRealTime(), run.time_unit);
      for (const auto& counter : run.counters) result.counters[counter.first] = counter.second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, Result>& results() const { return results_; }

 private:
  std::map<std::string, Result> results_;
};

// ---- The rows ------------------------------------------------------------------

// How a row reads its figure from a result, and what "cost" means for the ratio.
enum class Measure {
  kTime,     // ns per iteration
  kRate,     // bytes_per_second, shown in GB/s; cost is 1 / rate
  kItems,    // items_per_second, shown in M/s; cost is 1 / rate
  kCounter,  // a named counter, cost is its value
};

// What a row must reach: our figure against a bound, or the ratio.
enum class Goal { kNone, kRatioAtMost, kOursAtMost, kOursAtLeast };

struct Row {
  std::string section;
  std::string work;
  std::string ours;      // benchmark names
  std::string baseline;  // empty: no baseline in this row
  Measure measure;
  Goal goal;
  double bound;
  std::string counter;  // for kCounter
};

double Figure(const Result& r, const Row& row) {
  switch (row.measure) {
    case Measure::kTime: return r.ns;
    case Measure::kRate: {
      auto it = r.counters.find("bytes_per_second");
      return it == r.counters.end() ? NAN : it->second / 1e9;
    }
    case Measure::kItems: {
      auto it = r.counters.find("items_per_second");
      return it == r.counters.end() ? NAN : it->second / 1e6;
    }
    case Measure::kCounter: {
      auto it = r.counters.find(row.counter);
      return it == r.counters.end() ? NAN : it->second;
    }
  }
  return NAN;
}

// Cost ratio ours / baseline: for rates the baseline's rate over ours.
double Ratio(double ours, double baseline, Measure measure) {
  const bool rate = measure == Measure::kRate || measure == Measure::kItems;
  return rate ? baseline / ours : ours / baseline;
}

std::string FormatFigure(double value, Measure measure) {
  if (std::isnan(value)) return "—";
  char text[64];
  switch (measure) {
    case Measure::kTime:
      if (value >= 1e6)
        std::snprintf(text, sizeof text, "%.2f ms", value / 1e6);
      else if (value >= 1e4)
        std::snprintf(text, sizeof text, "%.1f µs", value / 1e3);
      else
        std::snprintf(text, sizeof text, "%.1f ns", value);
      break;
    case Measure::kRate: std::snprintf(text, sizeof text, "%.2f GB/s", value); break;
    case Measure::kItems: std::snprintf(text, sizeof text, "%.2f M/s", value); break;
    case Measure::kCounter: std::snprintf(text, sizeof text, "%.1f", value); break;
  }
  return text;
}

std::string FormatTarget(const Row& row) {
  char text[64];
  const char* unit = row.measure == Measure::kTime    ? " ns"
                     : row.measure == Measure::kRate  ? " GB/s"
                     : row.measure == Measure::kItems ? " M/s"
                                                      : "";
  switch (row.goal) {
    case Goal::kNone: return "";
    case Goal::kRatioAtMost: std::snprintf(text, sizeof text, "ratio ≤ %.2g", row.bound); break;
    case Goal::kOursAtMost: std::snprintf(text, sizeof text, "≤ %g%s", row.bound, unit); break;
    case Goal::kOursAtLeast: std::snprintf(text, sizeof text, "≥ %g%s", row.bound, unit); break;
  }
  return text;
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  const char* shapes[] = {"hex", "path"};
  const char* sizes[] = {"1000", "100000", "1000000"};
  const struct {
    const char* name;
    const char* label;
  } cache_works[] = {{"lookup_hit", "lookup hit"},
                     {"lookup_miss", "lookup miss"},
                     {"update_evict", "update with eviction"}};
  for (const auto& work : cache_works) {
    for (const char* shape : shapes) {
      for (const char* size : sizes) {
        const std::string prefix = std::string("cache/") + work.name + "/" + shape + "/";
        rows.push_back({"Cache (strong hash) vs unordered_map + list LRU",
                        std::string(work.label) + ", " + shape + " keys, " + size + " elements",
                        prefix + "strong/" + size, prefix + "baseline/" + size, Measure::kTime,
                        Goal::kRatioAtMost, 1.0, ""});
      }
    }
  }
  for (const char* work : {"lookup_hit", "lookup_miss"}) {
    for (const char* shape : shapes) {
      const std::string prefix = std::string("cache/") + work + "/" + shape + "/strong/";
      rows.push_back({"Cache cost growth (strong hash): 1,000,000 elements vs 1,000",
                      std::string(work) + ", " + shape + " keys", prefix + "1000000", prefix + "1000",
                      Measure::kTime, Goal::kRatioAtMost, 2.0, ""});
    }
  }
  for (const char* shape : shapes) {
    const std::string prefix = std::string("cache/memory/") + shape + "/";
    rows.push_back({"Cache heap bytes per element (nodes, tables, key copies)",
                    std::string(shape) + " keys, 1,000,000 elements", prefix + "strong/1000000",
                    prefix + "baseline/1000000", Measure::kCounter, Goal::kRatioAtMost, 1.0,
                    "heap_bytes_per_element"});
  }

  const std::string b64 = "Base64, 1 MiB (payload bytes per second)";
  for (const char* dir : {"encode", "decode"}) {
    const std::string prefix = std::string("base64/") + dir + "_1MiB/";
    rows.push_back({b64, std::string(dir) + ", public function vs byte-at-a-time", prefix + "public",
                    prefix + "bytewise", Measure::kRate, Goal::kNone, 0, ""});
    rows.push_back({b64, std::string(dir) + ", scalar path vs one-table scalar", prefix + "scalar",
                    prefix + "onetable", Measure::kRate, Goal::kOursAtLeast, 4, ""});
    rows.push_back({b64, std::string(dir) + ", AVX2 path vs one-table scalar", prefix + "avx2",
                    prefix + "onetable", Measure::kRate, Goal::kOursAtLeast, 20, ""});
    rows.push_back({b64, std::string(dir) + ", AVX-512 VBMI path vs one-table scalar",
                    prefix + "avx512vbmi", prefix + "onetable", Measure::kRate,
                    Goal::kOursAtLeast, 30, ""});
  }
  rows.push_back({"Base64, small inputs (public function, result included)",
                  "encode 48 bytes", "base64/encode_48B/public", "base64/encode_48B/onetable",
                  Measure::kTime, Goal::kOursAtMost, 30, ""});
  rows.push_back({"Base64, small inputs (public function, result included)",
                  "decode 64 characters", "base64/decode_64B/public", "base64/decode_64B/onetable",
                  Measure::kTime, Goal::kOursAtMost, 30, ""});

  rows.push_back({"GUIDs", "generateGuid vs the same draw through std::ostringstream",
                  "guid/generate/ours", "guid/generate/ostringstream", Measure::kTime,
                  Goal::kOursAtMost, 60, ""});
  rows.push_back({"GUIDs", "GUIDs per second, 2 threads vs 1 thread",
                  "guid/throughput/ours/threads:2", "guid/throughput/ours/threads:1",
                  Measure::kItems, Goal::kRatioAtMost, 1.0, ""});

  const std::string scopes = "Timing scopes, per scope (baseline: an empty loop)";
  rows.push_back({scopes, "counters disabled", "perf/scope/disabled", "perf/scope/empty_loop",
                  Measure::kTime, Goal::kOursAtMost, 2, ""});
  rows.push_back({scopes, "engine enabled flag clear", "perf/scope/engine_off",
                  "perf/scope/empty_loop", Measure::kTime, Goal::kOursAtMost, 3, ""});
  rows.push_back({scopes, "fully enabled", "perf/scope/enabled", "perf/scope/empty_loop",
                  Measure::kTime, Goal::kOursAtMost, 80, ""});
  rows.push_back({scopes, "heap allocations per enabled scope", "perf/scope/enabled", "",
                  Measure::kCounter, Goal::kOursAtMost, 0, "allocs_per_scope"});

  rows.push_back({"rmTree", "20,000 files in 200 directories vs rm -rf", "fs/rmtree_20000_files/ours",
                  "fs/rmtree_20000_files/rm_rf", Measure::kTime, Goal::kRatioAtMost, 1.1, ""});

  const char* lock_threads[] = {"1", "2", "4", "8"};
  for (const char* percent : {"0", "10", "50"})
    for (const char* threads : lock_threads) {
      const std::string suffix = std::string("/") + percent + "/threads:" + threads;
      rows.push_back({"Reader-writer lock, ~50 ns sections (acquisitions per second, all threads)",
                      std::string(percent) + " % exclusive, " + threads +
                          " thread(s): ZqComplexLock vs std::shared_mutex",
                      "locks/rw/ours" + suffix, "locks/rw/shared_mutex" + suffix, Measure::kItems,
                      Goal::kNone, 0, ""});
    }
  for (const char* threads : lock_threads) {
    const std::string suffix = std::string("/threads:") + threads;
    rows.push_back({"Exclusive lock, ~50 ns sections (acquisitions per second, all threads)",
                    std::string(threads) + " thread(s): ZqComplexLock exclusive vs std::mutex",
                    "locks/section/ours" + suffix, "locks/section/std_mutex" + suffix,
                    Measure::kItems, Goal::kNone, 0, ""});
  }
  return rows;
}

// ---- The table -------------------------------------------------------------------

const Result* Find(const std::map<std::string, Result>& results, const std::string& name) {
  auto it = results.find(name);
  return it == results.end() ? nullptr : &it->second;
}

// Markdown: one table per section; rows whose benchmarks did not run are left out.
std::string Table(const std::map<std::string, Result>& results, int* missed) {
  std::ostringstream out;
  std::string section;
  for (const Row& row : Rows()) {
    const Result* ours = Find(results, row.ours);
    const Result* baseline = row.baseline.empty() ? nullptr : Find(results, row.baseline);
    if (ours == nullptr) continue;
    if (row.section != section) {
      section = row.section;
      out << "\n### " << section << "\n\n";
      out << "| work | ours | baseline | ratio | target | met |\n";
      out << "|---|---:|---:|---:|---|---|\n";
    }
    const double our_figure = Figure(*ours, row);
    const double base_figure = baseline != nullptr ? Figure(*baseline, row) : NAN;
    const double ratio = Ratio(our_figure, base_figure, row.measure);
    bool met = true;
    switch (row.goal) {
      case Goal::kNone: break;
      case Goal::kRatioAtMost: met = ratio <= row.bound; break;
      case Goal::kOursAtMost: met = our_figure <= row.bound; break;
      case Goal::kOursAtLeast: met = our_figure >= row.bound; break;
    }
    if (row.goal != Goal::kNone && !met) ++*missed;
    char ratio_text[32] = "—";
    if (!std::isnan(ratio)) std::snprintf(ratio_text, sizeof ratio_text, "%.2f", ratio);
    out << "| " << row.work << " | " << FormatFigure(our_figure, row.measure) << " | "
        << FormatFigure(base_figure, row.measure) << " | " << ratio_text << " | "
        << FormatTarget(row) << " | " << (row.goal == Goal::kNone ? "" : met ? "yes" : "**no**")
        << " |\n";
  }
  return out.str();
}

// ---- The lock candidates -----------------------------------------------------------

// Every lock the benchmark ran, side by side per workload: the figures behind
// the choice of ZqComplexLock's design. Locks this build lacked are left out.
std::string LockMatrix(const std::map<std::string, Result>& results) {
  const char* const locks[] = {"ours",        "shared_mutex", "std_mutex", "absl",
                               "tbb_spin_rw", "tbb_rw",       "tbb_spin",  "tbb_mutex"};
  const struct {
    const char* label;
    std::string prefix;  // benchmark name up to the lock's name
    std::string suffix;  // and from it to the thread count
  } works[] = {{"shared only", "locks/rw/", "/0/threads:"},
               {"10 % exclusive", "locks/rw/", "/10/threads:"},
               {"50 % exclusive", "locks/rw/", "/50/threads:"},
               {"exclusive only", "locks/section/", "/threads:"}};
  const Row kRate{"", "", "", "", Measure::kItems, Goal::kNone, 0, ""};
  std::ostringstream out;
  for (const auto& work : works) {
    std::ostringstream rows;
    for (const char* lock : locks) {
      std::ostringstream row;
      bool any = false;
      row << "| " << lock;
      for (const char* threads : {"1", "2", "4", "8"}) {
        const Result* r = Find(results, work.prefix + lock + work.suffix + threads);
        any |= r != nullptr;
        row << " | " << (r ? FormatFigure(Figure(*r, kRate), Measure::kItems) : "—");
      }
      if (any) rows << row.str() << " |\n";
    }
    if (rows.str().empty()) continue;
    out << "\n### Lock candidates, ~50 ns sections, " << work.label
        << " (acquisitions per second, all threads)\n\n"
        << "| lock | 1 thread | 2 threads | 4 threads | 8 threads |\n|---|---:|---:|---:|---:|\n"
        << rows.str();
  }
  return out.str();
}

// ---- The cache plot ----------------------------------------------------------------

const char* const kPlotSizes[] = {"1000", "10000", "100000", "1000000"};

struct Series {
  std::string label;
  std::string prefix;  // benchmark name up to the element count
  const char* colour;
  bool dashed;
};

std::vector<Series> PlotSeries() {
  return {
      {"default hash, hex keys", "cache/lookup_hit/hex/default/", "#d62728", false},
      {"default hash, path keys", "cache/lookup_hit/path/default/", "#d62728", true},
      {"strong hash, hex keys", "cache/lookup_hit/hex/strong/", "#1f77b4", false},
      {"strong hash, path keys", "cache/lookup_hit/path/strong/", "#1f77b4", true},
      {"baseline, hex keys", "cache/lookup_hit/hex/baseline/", "#555555", false},
      {"baseline, path keys", "cache/lookup_hit/path/baseline/", "#555555", true},
  };
}

// Lookup-hit time against element count, both axes logarithmic.
std::string Plot(const std::map<std::string, Result>& results) {
  const double width = 720, height = 440, left = 70, right = 230, top = 30, bottom = 50;
  const double plot_w = width - left - right, plot_h = height - top - bottom;
  double low = 1e300, high = 0;
  for (const Series& s : PlotSeries())
    for (const char* size : kPlotSizes)
      if (const Result* r = Find(results, s.prefix + size)) {
        low = std::min(low, r->ns);
        high = std::max(high, r->ns);
      }
  if (high == 0) return "";
  const double y_min = std::floor(std::log10(low)), y_max = std::ceil(std::log10(high));
  auto x_of = [&](int i) { return left + plot_w * i / 3.0; };
  auto y_of = [&](double ns) {
    return top + plot_h * (1 - (std::log10(ns) - y_min) / std::max(1.0, y_max - y_min));
  };

  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << left << "\" y=\"18\" font-size=\"14\">Cache lookup (hit), time per "
         "lookup</text>\n";
  for (double decade = y_min; decade <= y_max; ++decade) {
    const double y = y_of(std::pow(10, decade));
    svg << "<line x1=\"" << left << "\" x2=\"" << left + plot_w << "\" y1=\"" << y << "\" y2=\""
        << y << "\" stroke=\"#ddd\"/>\n";
    const double ns = std::pow(10, decade);
    char label[32];
    if (ns >= 1e6)
      std::snprintf(label, sizeof label, "%g ms", ns / 1e6);
    else if (ns >= 1e3)
      std::snprintf(label, sizeof label, "%g µs", ns / 1e3);
    else
      std::snprintf(label, sizeof label, "%g ns", ns);
    svg << "<text x=\"" << left - 8 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">" << label
        << "</text>\n";
  }
  const char* size_labels[] = {"1,000", "10,000", "100,000", "1,000,000"};
  for (int i = 0; i < 4; ++i) {
    svg << "<line x1=\"" << x_of(i) << "\" x2=\"" << x_of(i) << "\" y1=\"" << top << "\" y2=\""
        << top + plot_h << "\" stroke=\"#eee\"/>\n"
        << "<text x=\"" << x_of(i) << "\" y=\"" << top + plot_h + 18
        << "\" text-anchor=\"middle\">" << size_labels[i] << "</text>\n";
  }
  svg << "<text x=\"" << left + plot_w / 2 << "\" y=\"" << height - 10
      << "\" text-anchor=\"middle\">cached elements</text>\n";

  int legend = 0;
  for (const Series& s : PlotSeries()) {
    std::ostringstream points;
    int count = 0;
    for (int i = 0; i < 4; ++i)
      if (const Result* r = Find(results, s.prefix + kPlotSizes[i])) {
        points << x_of(i) << "," << y_of(r->ns) << " ";
        svg << "<circle cx=\"" << x_of(i) << "\" cy=\"" << y_of(r->ns) << "\" r=\"3\" fill=\""
            << s.colour << "\"/>\n";
        ++count;
      }
    if (count == 0) continue;
    const char* dash = s.dashed ? " stroke-dasharray=\"6,4\"" : "";
    svg << "<polyline fill=\"none\" stroke=\"" << s.colour << "\" stroke-width=\"2\"" << dash
        << " points=\"" << points.str() << "\"/>\n";
    const double ly = top + 10 + 20 * legend++;
    svg << "<line x1=\"" << left + plot_w + 15 << "\" x2=\"" << left + plot_w + 45 << "\" y1=\""
        << ly << "\" y2=\"" << ly << "\" stroke=\"" << s.colour << "\" stroke-width=\"2\"" << dash
        << "/>\n"
        << "<text x=\"" << left + plot_w + 52 << "\" y=\"" << ly + 4 << "\">" << s.label
        << "</text>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

// The plot's figures as a table, beside the bucket usage that explains them.
std::string CurveTable(const std::map<std::string, Result>& results) {
  std::ostringstream out;
  out << "| lookup hit | 1,000 | 10,000 | 100,000 | 1,000,000 |\n|---|---:|---:|---:|---:|\n";
  for (const Series& s : PlotSeries()) {
    out << "| " << s.label;
    for (const char* size : kPlotSizes) {
      const Result* r = Find(results, s.prefix + size);
      out << " | " << (r ? FormatFigure(r->ns, Measure::kTime) : "—");
    }
    out << " |\n";
  }
  out << "\n| 100,000 keys in 65,536 buckets | used buckets | longest chain |\n|---|---:|---:|\n";
  for (const char* shape : {"hex", "path"})
    for (const char* variant : {"default", "strong"}) {
      const Result* r =
          Find(results, std::string("cache/buckets/") + shape + "/" + variant + "/100000");
      if (r == nullptr) continue;
      out << "| " << variant << " hash, " << shape << " keys | "
          << static_cast<long>(r->counters.at("used_buckets")) << " | "
          << static_cast<long>(r->counters.at("longest_chain")) << " |\n";
    }
  return out.str();
}

// ---- The report --------------------------------------------------------------------------

std::string ReadFirstMatch(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, std::strlen(key), key) == 0) {
      const size_t colon = line.find(':');
      size_t start = line.find_first_not_of(" \t", colon + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  return "unknown";
}

std::string Machine() {
  std::ostringstream out;
  utsname name{};
  uname(&name);
  out << ReadFirstMatch("/proc/cpuinfo", "model name") << ", " << sysconf(_SC_NPROCESSORS_ONLN)
      << " logical CPUs, " << ReadFirstMatch("/proc/meminfo", "MemTotal") << " memory, Linux "
      << name.release;
  return out.str();
}

std::string CpuFeatures() {
  std::string features;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) features += " avx2";
  if (__builtin_cpu_supports("avx512bw")) features += " avx512bw";
  if (__builtin_cpu_supports("avx512vbmi")) features += " avx512vbmi";
  return features.empty() ? " none" : features;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string Report(const std::map<std::string, Result>& results, const std::string& command,
                   const std::string& table, bool with_plot) {
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ostringstream out;
  out << "# Benchmarks\n\n"
      << "Written by `bench/runner.cpp` (the main of `objstore_bench`); do not edit by hand.\n"
      << "Every figure is the median of the repetitions, and each row's two figures come from\n"
      << "the same run of one binary. Ratio = ours / baseline in cost (time or bytes; for a rate,\n"
      << "the baseline's rate over ours), so a ratio below 1.0 means that ours is cheaper.\n\n"
      << "- date: " << date << "\n"
      << "- machine: " << Machine() << "\n"
      << "- CPU features used by dispatch:" << CpuFeatures() << "\n"
      << "- compiler: GCC " << __VERSION__ << "\n"
      << "- flags: `" << OBJSTORE_BENCH_FLAGS << "`\n"
      << "- command: `" << command << "` (what `bash tools/dev.sh bench` runs after a Release build)\n"
      << table;
  out << "\n### Cache lookup time against element count\n\n";
  if (with_plot) out << "![cache lookup time](bench/results/cache_lookup.svg)\n\n";
  out << CurveTable(results);
  return out.str();
}

// Adds `flag` unless the caller gave a flag of the same name.
void AddDefault(std::vector<std::string>& args, const std::string& flag) {
  const std::string name = flag.substr(0, flag.find('='));
  for (const std::string& arg : args)
    if (arg.compare(0, name.size(), name) == 0) return;
  args.push_back(flag);
}

}  // namespace

int main(int argc, char** argv) {
  std::string report_dir;
  std::vector<std::string> args;
  std::string command = "objstore_bench";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    command += " " + arg;
    if (arg.compare(0, 13, "--report-dir=") == 0)
      report_dir = arg.substr(13);
    else
      args.push_back(arg);
  }
  AddDefault(args, "--benchmark_repetitions=5");
  AddDefault(args, "--benchmark_display_aggregates_only=true");

  std::vector<char*> bench_argv{argv[0]};
  for (std::string& arg : args) bench_argv.push_back(arg.data());
  int bench_argc = static_cast<int>(bench_argv.size());
  benchmark::Initialize(&bench_argc, bench_argv.data());
  if (benchmark::ReportUnrecognizedArguments(bench_argc, bench_argv.data())) return 2;

  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  int missed = 0;
  const std::string table =
      Table(reporter.results(), &missed) + LockMatrix(reporter.results());
  std::printf("\n%s\n", table.c_str());
  std::printf("%d target(s) not met.\n", missed);

  if (!report_dir.empty()) {
    const std::string plot = Plot(reporter.results());
    const std::string plot_path = report_dir + "/bench/results/cache_lookup.svg";
    const bool with_plot = !plot.empty() && WriteFile(plot_path, plot);
    const std::string report_path = report_dir + "/BENCHMARKS.md";
    if (!WriteFile(report_path, Report(reporter.results(), command, table, with_plot))) {
      std::fprintf(stderr, "objstore_bench: cannot write %s\n", report_path.c_str());
      return 1;
    }
    std::printf("Wrote %s%s\n", report_path.c_str(), with_plot ? (" and " + plot_path).c_str() : "");
  }
  return 0;
}
