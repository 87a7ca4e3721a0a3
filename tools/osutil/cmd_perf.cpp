// perf: a short timed workload through the counter engine and the timing
// scopes, then the counters: the engine's own report, the monitoring
// expositions, or one JSON object.
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "codec/base64.h"
#include "host/LogWriter.h"
#include "host/PerfCounter.h"
#include "host/PerfCounter_internal.h"
#include "objstore/objStrUtils.h"
#include "perf/objectStorePerf.h"
#include "perf/perfMetrics.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/collector_file.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

// Keys in the order written, so that the object reads like the report.
using Json = nlohmann::ordered_json;

const char kPerfHelp[] =
    "Usage: osutil perf [--iterations N] [--format FORMAT | --json] [--textfile PATH]\n"
    "\n"
    "Starts the performance counters (InitPerfCounters), runs a short workload\n"
    "whose steps are timed through the library's timing scopes, prints the\n"
    "counter engine's report, then resets the counters (clearPerfCounters) and\n"
    "checks that they read zero. Each iteration times:\n"
    "  getFileSize on a temporary file   counter 41 DiskCacheFstat (the library's own scope)\n"
    "  Base64 encode and decode of 4 KiB counter 37 custom1\n"
    "  one GUID                          counter 38 custom2\n"
    "  a path split and join             counter 39 custom3 (start/stop wrappers)\n"
    "  the whole iteration               counter 2 backupitem (scopes nest)\n"
    "\n"
    "Formats of the counters (taken before the reset):\n"
    "  text         the engine's report: per counter that counted, count, total,\n"
    "               average, minimum and maximum time in nanoseconds (default)\n"
    "  prometheus   the Prometheus text format, as the node exporter's text-file\n"
    "               collector reads it (objstore_perf_* series, times in seconds)\n"
    "  openmetrics  the same as OpenMetrics 1.0.0 text, ending in '# EOF'\n"
    "  json         one JSON object: iterations, elapsed_seconds, counters_enabled,\n"
    "               counters (id, name, count, total_ns, min_ns, max_ns; the\n"
    "               extremes null while count is 0), counted, cleared\n"
    "\n"
    "With the counters disabled by the setting nzeltDisablePerfCounters (section\n"
    "~Zelt) no workload runs: the formats prometheus and openmetrics and PATH show\n"
    "objstore_perf_counters_enabled 0 and no counter series, json shows\n"
    "counters_enabled false, no counters, iterations 0, counted and cleared null,\n"
    "text prints nothing; the exit status is 1.\n"
    "\n"
    "  -n, --iterations N  workload iterations (default 2000)\n"
    "  --format FORMAT     text, prometheus, openmetrics or json\n"
    "  --json              short for --format json\n"
    "  --textfile PATH     also write the counters in the Prometheus format to PATH,\n"
    "                      atomically and mode 0644, for the text-file collector\n"
    "                      (name it *.prom in the collector's directory). Only a\n"
    "                      regular file (or a name not yet taken) is replaced; a\n"
    "                      symbolic link is followed and its target replaced, the\n"
    "                      link kept; a character device such as /dev/null is\n"
    "                      written in place; anything else (a FIFO, a socket, a\n"
    "                      block device, a directory) is refused and left alone\n"
    "\n"
    "Exit status 1 when the counters are disabled, the counters are wrong or PATH\n"
    "cannot be written.\n";

constexpr int kCounterFstat = 41;
constexpr int kCounterBase64 = 37;
constexpr int kCounterGuid = 38;
constexpr int kCounterPaths = 39;
constexpr int kCounterIteration = 2;

// The engine reports through the log writer. For the duration of one report
// this writer takes the place of the installed one and prints the bare
// report lines on stdout.
class StdoutReportWriter : public CLogWriterInterface {
 public:
  void logMessage(int level, const char* /*function*/, int /*line*/, int /*reserved1*/,
                  int /*reserved2*/, const char* format, ...) override
      __attribute__((format(printf, 7, 8))) {
    if (level > kReportLevel) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
  }
  int getLogLevel() override { return kReportLevel; }

 private:
  static constexpr int kReportLevel = 2;  // the engine writes its report at level 2
};

void printEngineReport() {
  const boost::shared_ptr<CLogWriterInterface> installed = g_ptrLogWriter;
  g_ptrLogWriter = boost::make_shared<StdoutReportWriter>();
  ThrdPerfCounterInternals::logReport(*ObjectStore::g_object_store_counter, "osutil perf",
                                      "For All The Files", -1);
  g_ptrLogWriter = installed;
}

void runIteration(int fd, const std::vector<unsigned char>& payload) {
  ObjectStore::TimeFunction iteration("osutil perf iteration", kCounterIteration);

  uint64_t size = 0;
  ObjectStore::getFileSize(&size, nullptr, fd);
  {
    ObjectStore::TimeFunction timer("base64 round trip", kCounterBase64);
    const std::string text =
        ObjectStore::base64_encode(payload.data(), static_cast<unsigned int>(payload.size()));
    ObjectStore::base64_decode(text);
  }
  {
    ObjectStore::TimeFunction timer("generateGuid", kCounterGuid);
    ObjectStore::generateGuid();
  }
  ObjectStore::OBJECT_STORE_START_PERF_COUNTER("path split and join", kCounterPaths);
  std::string parent, child;
  ObjectStore::splitParentPath("/vol1/dir7/file0042.dat", parent, child);
  ObjectStore::join(parent, child);
  ObjectStore::OBJECT_STORE_STOP_PERF_COUNTER("path split and join", kCounterPaths);
}

// Whether every counter the workload fed counted `expected` times; names the
// ones that did not.
bool workloadCounted(uint64_t expected) {
  bool allCounted = true;
  for (int id : {kCounterFstat, kCounterBase64, kCounterGuid, kCounterPaths, kCounterIteration}) {
    PerfCounterStats stats;
    if (!ObjectStore::g_object_store_counter->getStats(id, stats) || stats.count != expected) {
      printError("perf", "counter " + std::to_string(id) + " did not count " +
                             std::to_string(expected) + " times");
      allCounted = false;
    }
  }
  return allCounted;
}

bool everyCounterZero() {
  for (int id = 0; id < ObjectStore::PERF_COUNTER_COUNT; ++id) {
    PerfCounterStats stats;
    if (ObjectStore::g_object_store_counter->getStats(id, stats) && stats.count != 0) return false;
  }
  return true;
}

enum class Format { kText, kPrometheus, kOpenMetrics, kJson };

Format chosenFormat(const ParsedArgs& parsed) {
  const std::string name = parsed.value("format", parsed.has("json") ? "json" : "text");
  if (parsed.has("json") && name != "json") {
    throw UsageError("perf", "--json and --format " + name + " contradict each other");
  }
  if (name == "text") return Format::kText;
  if (name == "prometheus") return Format::kPrometheus;
  if (name == "openmetrics") return Format::kOpenMetrics;
  if (name == "json") return Format::kJson;
  throw UsageError("perf", "unknown format '" + name + "' (text, prometheus, openmetrics, json)");
}

// The registered counters, extremes null until a counter has counted (the
// engine's 0 would claim an operation that took no time).
Json countersJson() {
  Json counters = Json::array();
  for (int id = 0; id < ThrdPerfCounter::kMaxCounters; ++id) {
    PerfCounterStats stats;
    if (!ObjectStore::g_object_store_counter->getStats(id, stats)) continue;
    const bool counted = stats.count != 0;
    counters.push_back({{"id", id},
                        {"name", stats.name},
                        {"count", stats.count},
                        {"total_ns", stats.totalNs},
                        {"min_ns", counted ? Json(stats.minNs) : Json()},
                        {"max_ns", counted ? Json(stats.maxNs) : Json()}});
  }
  return counters;
}

void printExposition(Format format) {
  std::fputs(ObjectStore::formatPerfMetrics(format == Format::kOpenMetrics
                                                ? ObjectStore::PERF_METRICS_OPENMETRICS
                                                : ObjectStore::PERF_METRICS_PROMETHEUS)
                 .c_str(),
             stdout);
}

// Writes the collector file when one was asked for; false after a message
// when it could not be written.
bool writeTextfile(const std::string& textfile) {
  if (textfile.empty()) return true;
  const std::string failure = writeCollectorFile(textfile);
  if (failure.empty()) return true;
  printError("perf", failure);
  return false;
}

// With the counters off, the collector file must stop showing the figures of
// an earlier run as current: it and the machine-readable outputs say
// "disabled" (objstore_perf_counters_enabled 0, no samples), which an alert
// can tell from a process that is gone.
void reportDisabled(Format format, const std::string& textfile) {
  writeTextfile(textfile);
  if (format == Format::kPrometheus || format == Format::kOpenMetrics) {
    printExposition(format);
  } else if (format == Format::kJson) {
    // The workload's checks did not run: null, not a claim either way.
    printJson({{"iterations", 0},
               {"elapsed_seconds", 0.0},
               {"counters_enabled", false},
               {"counters", Json::array()},
               {"counted", nullptr},
               {"cleared", nullptr}});
  }
}

}  // namespace

int runPerf(const Args& args) {
  const ParsedArgs parsed = parseArgs(
      "perf", args,
      {{"iterations", 'n', true}, {"format", 0, true}, {"json", 0, false}, {"textfile", 0, true}});
  if (parsed.help) return printHelp(kPerfHelp);
  requireOperands("perf", parsed, 0, 0);
  const uint64_t iterations =
      parsed.has("iterations")
          ? parseUnsigned("perf", "iteration count", parsed.value("iterations"), 100000000)
          : 2000;
  const Format format = chosenFormat(parsed);
  const std::string textfile = parsed.value("textfile");
  if (parsed.has("textfile") && textfile.empty()) throw UsageError("perf", "empty --textfile path");

  ObjectStore::InitPerfCounters();
  if (!ObjectStore::g_object_store_enable_perf) {
    printError("perf",
               "performance counters are disabled (nzeltDisablePerfCounters in section "
               "~Zelt is not 0)");
    reportDisabled(format, textfile);
    return kExitFailed;
  }

  FILE* file = std::tmpfile();
  if (file == nullptr) {
    printError("perf", "cannot create a temporary file");
    return kExitFailed;
  }
  const std::vector<unsigned char> payload(4096, 0x5a);
  std::fwrite(payload.data(), 1, payload.size(), file);
  std::fflush(file);

  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < iterations; ++i) runIteration(fileno(file), payload);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::fclose(file);

  Json report;
  switch (format) {
    case Format::kText:
      std::printf("workload: %llu iterations in %.3f ms\n",
                  static_cast<unsigned long long>(iterations),
                  std::chrono::duration<double, std::milli>(elapsed).count());
      printEngineReport();
      break;
    case Format::kPrometheus:
    case Format::kOpenMetrics:
      printExposition(format);
      break;
    case Format::kJson:
      report = {{"iterations", iterations},
                {"elapsed_seconds", std::chrono::duration<double>(elapsed).count()},
                {"counters_enabled", ObjectStore::g_object_store_counter->enabled},
                {"counters", countersJson()}};
      break;
  }
  const bool written = writeTextfile(textfile);
  const bool counted = workloadCounted(iterations);

  ObjectStore::clearPerfCounters();
  const bool cleared = everyCounterZero();
  if (format == Format::kText) {
    std::printf("after clearPerfCounters: %s\n",
                cleared ? "every counter reads zero" : "some counters still count");
  } else if (format == Format::kJson) {
    report["counted"] = counted;
    report["cleared"] = cleared;
    // Counter names are bytes; a name that is not UTF-8 must not abort the output.
    printJson(report);
  }
  return counted && cleared && written ? kExitOk : kExitFailed;
}

}  // namespace osutil
