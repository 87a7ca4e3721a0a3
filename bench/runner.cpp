// The benchmark binary's main: runs the benchmarks (five repetitions unless
// told otherwise), then prints one table of work, our figure, the baseline's
// figure and their ratio, every figure the median of the repetitions.
//
//   objstore_bench                               run all, print the table
//   objstore_bench --report-dir=DIR              also write DIR/BENCHMARKS.md,
//                                                DIR/bench/results/cache_lookup.svg and
//                                                DIR/bench/results/cache_threads.svg
//   objstore_bench --benchmark_filter=base64     any Google Benchmark flag
//
// Every ratio is ours / baseline in cost (time, or bytes), so below 1.0 means
// that we are cheaper. Both figures of a row come from the same run of this
// binary, because the machines are shared and absolute figures drift.
#include <benchmark/benchmark.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/svg_plot.h"

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
    case benchmark::kNanosecond:
      return value;
    case benchmark::kMicrosecond:
      return value * 1e3;
    case benchmark::kMillisecond:
      return value * 1e6;
    case benchmark::kSecond:
      return value * 1e9;
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
      for (const auto& counter : run.counters)
        result.counters[counter.first] = counter.second.value;
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
  kTime,         // ns per iteration
  kRate,         // bytes_per_second, shown in GB/s; cost is 1 / rate
  kItems,        // items_per_second, shown in M/s; cost is 1 / rate
  kCounter,      // a named counter, cost is its value
  kCounterTime,  // a named counter in ns, shown as a time; cost is its value
};

// What a row must reach: our figure against a bound, or the ratio; or, for
// rates, our rate against `bound` times the baseline's rate.
enum class Goal { kNone, kRatioAtMost, kOursAtMost, kOursAtLeast, kRateShareAtLeast };

struct Row {
  std::string section;
  std::string work;
  std::string ours;      // benchmark names
  std::string baseline;  // empty: no baseline in this row
  Measure measure;
  Goal goal;
  double bound;
  std::string counter;  // for kCounter and kCounterTime
};

double Figure(const Result& r, const Row& row) {
  switch (row.measure) {
    case Measure::kTime:
      return r.ns;
    case Measure::kRate: {
      auto it = r.counters.find("bytes_per_second");
      return it == r.counters.end() ? NAN : it->second / 1e9;
    }
    case Measure::kItems: {
      auto it = r.counters.find("items_per_second");
      return it == r.counters.end() ? NAN : it->second / 1e6;
    }
    case Measure::kCounter:
    case Measure::kCounterTime: {
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
    case Measure::kCounterTime:
      if (value >= 1e6)
        std::snprintf(text, sizeof text, "%.2f ms", value / 1e6);
      else if (value >= 1e4)
        std::snprintf(text, sizeof text, "%.1f µs", value / 1e3);
      else
        std::snprintf(text, sizeof text, "%.1f ns", value);
      break;
    case Measure::kRate:
      std::snprintf(text, sizeof text, "%.2f GB/s", value);
      break;
    case Measure::kItems:
      std::snprintf(text, sizeof text, "%.2f M/s", value);
      break;
    case Measure::kCounter:
      std::snprintf(text, sizeof text, "%.1f", value);
      break;
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
    case Goal::kNone:
      return "";
    case Goal::kRatioAtMost:
      std::snprintf(text, sizeof text, "ratio ≤ %.2g", row.bound);
      break;
    case Goal::kOursAtMost:
      if (row.measure == Measure::kCounterTime) return "≤ " + FormatFigure(row.bound, row.measure);
      std::snprintf(text, sizeof text, "≤ %g%s", row.bound, unit);
      break;
    case Goal::kOursAtLeast:
      std::snprintf(text, sizeof text, "≥ %g%s", row.bound, unit);
      break;
    case Goal::kRateShareAtLeast:
      std::snprintf(text, sizeof text, "ours ≥ %g × baseline (ratio ≤ %.2f)", row.bound,
                    1 / row.bound);
      break;
  }
  return text;
}

// ---- The typed cache -----------------------------------------------------------------

// TwoKeyCache against the procedural lookup it wraps (bench_two_key_cache.cpp):
// `visit` must cost no more than a tenth over it where the lines are cached;
// `get` pays a reference count, which threads sharing hot values contend on
// and `visit` avoids.
void AddTwoKeyCacheRows(std::vector<Row>& rows) {
  const std::string section = "Typed cache face (1,000 elements, strong hash, hex keys)";
  const std::string hit = "two_key_cache/lookup_hit/", hot = "two_key_cache/hot/";
  // The face's own cost, with every line cached: 4 hot keys on one thread.
  rows.push_back({section, "4 hot keys, 1 thread: visit (C string key) vs procedural find",
                  hot + "visit_c_string/threads:1", hot + "procedural/threads:1", Measure::kItems,
                  Goal::kRateShareAtLeast, 0.91, ""});
  // Over 1,000 elements the value's own allocation adds a line per lookup.
  rows.push_back({section, "lookup hit: visit (C string key) vs procedural find",
                  hit + "visit_c_string/1000", hit + "procedural/1000", Measure::kTime, Goal::kNone,
                  0, ""});
  rows.push_back({section, "lookup hit: visit (string_view key, copied) vs procedural find",
                  hit + "visit/1000", hit + "procedural/1000", Measure::kTime, Goal::kNone, 0, ""});
  rows.push_back({section, "lookup hit: get (shared_ptr copy) vs procedural find", hit + "get/1000",
                  hit + "procedural/1000", Measure::kTime, Goal::kNone, 0, ""});
  rows.push_back({section, "4 hot keys, 2 threads: get vs visit (lookups per second, all threads)",
                  hot + "get/threads:2", hot + "visit/threads:2", Measure::kItems, Goal::kNone, 0,
                  ""});
  for (const char* variant : {"visit", "get"})
    rows.push_back({section, std::string("4 hot keys, ") + variant + ": 2 threads vs 1 thread",
                    hot + variant + "/threads:2", hot + variant + "/threads:1", Measure::kItems,
                    Goal::kNone, 0, ""});
}

// ---- The cache under threads ---------------------------------------------------------

const char* const kThreadCounts[] = {"1", "2", "4", "8"};
const char* const kThreadVariants[] = {"ours", "shared_mutex", "mutex", "sharded16"};
const struct {
  const char* name;
  const char* label;
} kThreadSizes[] = {{"1000", "1,000"}, {"1000000", "1,000,000"}};
const struct {
  const char* name;
  const char* label;
} kThreadMixes[] = {{"lookup", "lookups only"},           {"promote10", "10 % promotions"},
                    {"promote50", "50 % promotions"},     {"evict10", "10 % evicting updates"},
                    {"evict50", "50 % evicting updates"}, {"zipf", "zipf, about 50 % misses"}};

std::string ThreadRun(const std::string& mix, const std::string& variant,
                      const std::string& elements, const std::string& threads) {
  return "cache_threads/" + mix + "/" + variant + "/" + elements + "/" + threads;
}

// The targets for the cache under concurrent callers: reads that scale with
// the cores even where passing a cache line between them is dear, writes
// that keep up with a sharded LRU, and no operation that waits long.
void AddThreadRows(std::vector<Row>& rows) {
  const std::string section = "Cache under threads (strong hash, hex keys)";
  auto scaling = [&](const char* mix, const char* label, const char* elements, double bound) {
    const std::string size = std::string(elements) == "1000" ? "1,000" : "1,000,000";
    rows.push_back({section, std::string(label) + ", " + size + " elements: 2 threads vs 1 thread",
                    ThreadRun(mix, "ours", elements, "2"), ThreadRun(mix, "ours", elements, "1"),
                    Measure::kItems, bound > 0 ? Goal::kRateShareAtLeast : Goal::kNone, bound, ""});
  };
  auto against_shards = [&](const char* mix, const char* label, const char* threads, double bound) {
    rows.push_back(
        {section, std::string(label) + ", " + threads + " threads: ours vs 16-shard mutex LRU",
         ThreadRun(mix, "ours", "1000", threads), ThreadRun(mix, "sharded16", "1000", threads),
         Measure::kItems, bound > 0 ? Goal::kRateShareAtLeast : Goal::kNone, bound, ""});
  };
  scaling("lookup", "lookups only", "1000", 1.7);
  scaling("promote10", "10 % promotions", "1000", 1.0);
  scaling("promote50", "50 % promotions", "1000", 0.6);
  scaling("lookup", "lookups only", "1000000", 1.6);
  scaling("zipf", "zipf, about 50 % misses", "1000", 0);
  for (const char* threads : {"2", "8"}) {
    against_shards("lookup", "lookups only", threads, 1.0);
    against_shards("promote10", "10 % promotions", threads, 1.0);
    against_shards("promote50", "50 % promotions", threads, 1.0);
  }
  against_shards("evict10", "10 % evicting updates", "2", 0.8);
  against_shards("evict50", "50 % evicting updates", "2", 0.8);
  against_shards("zipf", "zipf, about 50 % misses", "2", 0);
  rows.push_back({section, "10 % promotions, 8 threads: p99.9 latency of an operation",
                  ThreadRun("promote10", "ours", "1000", "8"), "", Measure::kCounterTime,
                  Goal::kOursAtMost, 50000, "p999_ns"});
  rows.push_back({section, "a writer behind 8 reading threads: p99 of its wait",
                  "cache_threads/writer_wait/ours/1000/8",
                  "cache_threads/writer_wait/sharded16/1000/8", Measure::kCounterTime,
                  Goal::kOursAtMost, 200000, "p99_ns"});
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
                      std::string(work) + ", " + shape + " keys", prefix + "1000000",
                      prefix + "1000", Measure::kTime, Goal::kRatioAtMost, 2.0, ""});
    }
  }
  for (const char* shape : shapes) {
    const std::string prefix = std::string("cache/memory/") + shape + "/";
    rows.push_back({"Cache heap bytes per element (nodes, tables, key copies)",
                    std::string(shape) + " keys, 1,000,000 elements", prefix + "strong/1000000",
                    prefix + "baseline/1000000", Measure::kCounter, Goal::kRatioAtMost, 1.0,
                    "heap_bytes_per_element"});
  }
  AddTwoKeyCacheRows(rows);

  const std::string b64 = "Base64, 1 MiB (payload bytes per second)";
  for (const char* dir : {"encode", "decode"}) {
    const std::string prefix = std::string("base64/") + dir + "_1MiB/";
    rows.push_back({b64, std::string(dir) + ", public function vs byte-at-a-time",
                    prefix + "public", prefix + "bytewise", Measure::kRate, Goal::kNone, 0, ""});
    rows.push_back({b64, std::string(dir) + ", scalar path vs one-table scalar", prefix + "scalar",
                    prefix + "onetable", Measure::kRate, Goal::kOursAtLeast, 4, ""});
    rows.push_back({b64, std::string(dir) + ", AVX2 path vs one-table scalar", prefix + "avx2",
                    prefix + "onetable", Measure::kRate, Goal::kOursAtLeast, 20, ""});
    rows.push_back({b64, std::string(dir) + ", AVX-512 VBMI path vs one-table scalar",
                    prefix + "avx512vbmi", prefix + "onetable", Measure::kRate, Goal::kOursAtLeast,
                    30, ""});
  }
  rows.push_back({"Base64, small inputs (public function, result included)", "encode 48 bytes",
                  "base64/encode_48B/public", "base64/encode_48B/onetable", Measure::kTime,
                  Goal::kOursAtMost, 30, ""});
  rows.push_back({"Base64, small inputs (public function, result included)", "decode 64 characters",
                  "base64/decode_64B/public", "base64/decode_64B/onetable", Measure::kTime,
                  Goal::kOursAtMost, 30, ""});

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

  rows.push_back({"rmTree", "20,000 files in 200 directories vs rm -rf",
                  "fs/rmtree_20000_files/ours", "fs/rmtree_20000_files/rm_rf", Measure::kTime,
                  Goal::kRatioAtMost, 1.1, ""});

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
  AddThreadRows(rows);
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
      case Goal::kNone:
        break;
      case Goal::kRatioAtMost:
        met = ratio <= row.bound;
        break;
      case Goal::kOursAtMost:
        met = our_figure <= row.bound;
        break;
      case Goal::kOursAtLeast:
        met = our_figure >= row.bound;
        break;
      case Goal::kRateShareAtLeast:
        met = our_figure >= row.bound * base_figure;
        break;
    }
    if (row.goal != Goal::kNone && !met) ++*missed;
    char ratio_text[32] = "—";
    if (!std::isnan(ratio)) std::snprintf(ratio_text, sizeof ratio_text, "%.2f", ratio);
    out << "| " << row.work << " | " << FormatFigure(our_figure, row.measure) << " | "
        << FormatFigure(base_figure, row.measure) << " | " << ratio_text << " | "
        << FormatTarget(row) << " | "
        << (row.goal == Goal::kNone ? ""
            : met                   ? "yes"
                                    : "**no**")
        << " |\n";
  }
  return out.str();
}

// ---- Plots ---------------------------------------------------------------------------

// A line chart: x positions evenly spaced and labelled, y on a logarithmic
// scale with a grid line at every power of ten. Drawn by the SVG writer that
// osutil's plots use.
struct LinePlot {
  struct Line {
    std::string label;
    const char* colour;
    bool dashed;
    std::vector<double> values;  // one per x position; NaN where there is no point
  };
  std::string title;
  std::string x_title;
  std::vector<std::string> x_labels;
  std::string (*y_label)(double power_of_ten);
  std::vector<Line> lines;
};

// The chart as SVG, or "" when no line has a point.
std::string RenderLinePlot(const LinePlot& plot) {
  double low = INFINITY, high = 0;
  for (const LinePlot::Line& line : plot.lines)
    for (double value : line.values)
      if (value > 0 && std::isfinite(value)) {
        low = std::min(low, value);
        high = std::max(high, value);
      }
  if (high == 0) return "";
  svg::LinePlot chart;
  chart.title = plot.title;
  chart.x = {plot.x_title, svg::Scale::kLinear, 0, double(plot.x_labels.size()) - 1, {}};
  for (size_t i = 0; i < plot.x_labels.size(); ++i)
    chart.x.ticks.push_back({double(i), plot.x_labels[i]});
  // Whole decades, so that the grid lines close the range at both ends.
  chart.y = {"",
             svg::Scale::kLog,
             std::pow(10, std::floor(std::log10(low))),
             std::pow(10, std::ceil(std::log10(high))),
             {}};
  for (double power : svg::powersInRange(10, chart.y.low, chart.y.high))
    chart.y.ticks.push_back({power, plot.y_label(power)});
  for (const LinePlot::Line& line : plot.lines) {
    svg::Series series{line.label, line.colour, line.dashed, {}};
    for (size_t i = 0; i < line.values.size(); ++i)
      series.points.push_back({double(i), line.values[i], ""});
    chart.series.push_back(std::move(series));
  }
  return svg::render(chart);
}

std::string TimeLabel(double ns) {
  char label[32];
  if (ns >= 1e6)
    std::snprintf(label, sizeof label, "%g ms", ns / 1e6);
  else if (ns >= 1e3)
    std::snprintf(label, sizeof label, "%g µs", ns / 1e3);
  else
    std::snprintf(label, sizeof label, "%g ns", ns);
  return label;
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
  LinePlot plot{"Cache lookup (hit), time per lookup",
                "cached elements",
                {"1,000", "10,000", "100,000", "1,000,000"},
                TimeLabel,
                {}};
  for (const Series& s : PlotSeries()) {
    LinePlot::Line line{s.label, s.colour, s.dashed, {}};
    for (const char* size : kPlotSizes) {
      const Result* r = Find(results, s.prefix + size);
      line.values.push_back(r != nullptr ? r->ns : NAN);
    }
    plot.lines.push_back(std::move(line));
  }
  return RenderLinePlot(plot);
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

// ---- The cache under threads: plot and tables ------------------------------------------

const char* const kThreadColours[] = {"#1f77b4", "#ff7f0e", "#555555", "#2ca02c"};

// A counter of a run, or NaN when the run or the counter is missing.
double CounterOf(const Result* r, const char* name) {
  if (r == nullptr) return NAN;
  auto it = r->counters.find(name);
  return it == r->counters.end() ? NAN : it->second;
}

std::string RateLabel(double per_second) {
  char label[32];
  std::snprintf(label, sizeof label, "%g M/s", per_second / 1e6);
  return label;
}

// Total throughput against threads for 10 % promotions: one colour per
// variant, solid for 1,000 elements and dashed for 1,000,000.
std::string ThreadPlot(const std::map<std::string, Result>& results) {
  LinePlot plot{"Cache under threads, 10 % promotions: total operations per second",
                "threads",
                {kThreadCounts, kThreadCounts + 4},
                RateLabel,
                {}};
  for (const auto& size : kThreadSizes) {
    const bool large = &size != &kThreadSizes[0];
    for (size_t v = 0; v < 4; ++v) {
      LinePlot::Line line{
          std::string(kThreadVariants[v]) + ", " + size.label, kThreadColours[v], large, {}};
      for (const char* threads : kThreadCounts) {
        const Result* r =
            Find(results, ThreadRun("promote10", kThreadVariants[v], size.name, threads));
        line.values.push_back(CounterOf(r, "items_per_second"));
      }
      plot.lines.push_back(std::move(line));
    }
  }
  return RenderLinePlot(plot);
}

// Every run of the section: total M operations/s, then p99 / p99.9 latency,
// by workload and variant (rows) and threads (columns). Rows and tables whose
// benchmarks did not run are left out.
std::string ThreadTables(const std::map<std::string, Result>& results) {
  std::ostringstream out;
  for (const auto& size : kThreadSizes) {
    for (const bool latency : {false, true}) {
      std::ostringstream rows;
      for (const auto& mix : kThreadMixes) {
        for (const char* variant : kThreadVariants) {
          std::ostringstream row;
          bool ran = false;
          for (const char* threads : kThreadCounts) {
            const Result* r = Find(results, ThreadRun(mix.name, variant, size.name, threads));
            ran = ran || r != nullptr;
            row << " | ";
            if (latency)
              row << FormatFigure(CounterOf(r, "p99_ns"), Measure::kTime) << " / "
                  << FormatFigure(CounterOf(r, "p999_ns"), Measure::kTime);
            else
              row << FormatFigure(CounterOf(r, "items_per_second") / 1e6, Measure::kItems);
          }
          if (ran) rows << "| " << mix.label << ", " << variant << row.str() << " |\n";
        }
      }
      if (rows.str().empty()) continue;
      out << "\n| " << size.label << " elements, "
          << (latency ? "p99 / p99.9 latency" : "operations per second")
          << " | 1 thread | 2 threads | 4 threads | 8 threads |\n|---|---:|---:|---:|---:|\n"
          << rows.str();
    }
  }
  return out.str();
}

// ---- The report --------------------------------------------------------------------------

// What passing a cache line between two cores costs here, which decides what
// the thread figures mean: where it is cheap, a line that every operation
// writes costs little; where it is dear, it caps the throughput of all cores.
std::string Sharing(const std::map<std::string, Result>& results) {
  const Result* pingpong = Find(results, "machine/line_pingpong");
  if (pingpong == nullptr) return "";
  const double shared1 = CounterOf(Find(results, "machine/shared_fetch_add/1"), "items_per_second");
  const double shared2 = CounterOf(Find(results, "machine/shared_fetch_add/2"), "items_per_second");
  const double private1 = CounterOf(Find(results, "machine/private_work/1"), "items_per_second");
  const double private2 = CounterOf(Find(results, "machine/private_work/2"), "items_per_second");
  char line[400];
  std::snprintf(line, sizeof line,
                "- sharing a cache line: %.0f ns to pass it from one core to another (ping-pong, "
                "one way); one shared fetch_add loop %.0f M/s on 1 thread, %.0f M/s on 2 in "
                "total; private work scales %.2f x on 2 threads\n",
                CounterOf(pingpong, "one_way_ns"), shared1 / 1e6, shared2 / 1e6,
                private2 / private1);
  return line;
}

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

// Which plots were written beside the report.
struct Plots {
  bool lookup = false;
  bool threads = false;
};

std::string Report(const std::map<std::string, Result>& results, const std::string& command,
                   const std::string& table, const Plots& plots) {
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
      << "- command: `" << command
      << "` (what `bash tools/dev.sh bench` runs after a Release build)\n"
      << Sharing(results) << table;
  out << "\n### Cache lookup time against element count\n\n";
  if (plots.lookup) out << "![cache lookup time](bench/results/cache_lookup.svg)\n\n";
  out << CurveTable(results);
  const std::string thread_tables = ThreadTables(results);
  if (thread_tables.empty()) return out.str();
  out << "\n### Cache under threads: every run\n\n"
      << "T threads share one full cache of E elements (32-digit hexadecimal keys, 64-byte\n"
      << "payloads) for 250 ms of wall time per run. An operation is a lookup or, with the\n"
      << "mix's share, a write: a promotion of a cached key, or an evicting update (the\n"
      << "insertion of an element that is not cached, which evicts the least recently used).\n"
      << "The zipf mix promotes every key it draws and inserts it when it missed, as a cache\n"
      << "in front of a store is used; its keys follow Zipf's law (exponent 1.0) over 100 times\n"
      << "as many keys as the cache holds, which misses about half the time.\n"
      << "Variants: ours (strong hash); a textbook LRU (unordered_map + list) behind\n"
      << "std::shared_mutex or std::mutex; 16 such mutex LRUs, each with a sixteenth of the\n"
      << "budget. Figures: total operations per second of all threads; p99 and p99.9 of\n"
      << "every 64th operation of each thread, one clock read included.\n\n";
  if (plots.threads)
    out << "![cache throughput against threads](bench/results/cache_threads.svg)\n";
  out << thread_tables;
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
  const std::string table = Table(reporter.results(), &missed) + LockMatrix(reporter.results());
  std::printf("\n%s\n", table.c_str());
  std::printf("%d target(s) not met.\n", missed);

  if (!report_dir.empty()) {
    std::string written;
    auto write_plot = [&](const std::string& svg, const char* name) {
      const std::string path = report_dir + "/bench/results/" + name;
      if (svg.empty() || !WriteFile(path, svg)) return false;
      written += ", " + path;
      return true;
    };
    Plots plots;
    plots.lookup = write_plot(Plot(reporter.results()), "cache_lookup.svg");
    plots.threads = write_plot(ThreadPlot(reporter.results()), "cache_threads.svg");
    const std::string report_path = report_dir + "/BENCHMARKS.md";
    if (!WriteFile(report_path, Report(reporter.results(), command, table, plots))) {
      std::fprintf(stderr, "objstore_bench: cannot write %s\n", report_path.c_str());
      return 1;
    }
    std::printf("Wrote %s%s\n", report_path.c_str(), written.c_str());
  }
  return 0;
}
