// perf: a short timed workload through the counter engine and the timing
// scopes, then the engine's own report.
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "host/LogWriter.h"
#include "host/PerfCounter.h"
#include "objstore/objStrUtils.h"
#include "perf/objectStorePerf.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

const char kPerfHelp[] =
    "Usage: osutil perf [--iterations N]\n"
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
    "The report lists, per counter that counted: count, total, average, minimum\n"
    "and maximum time in nanoseconds.\n"
    "\n"
    "  -n, --iterations N  workload iterations (default 2000)\n"
    "\n"
    "Exit status 1 when the counters are disabled by the setting\n"
    "nzeltDisablePerfCounters (section ~Zelt) or the report is wrong.\n";

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
  ObjectStore::g_object_store_counter->_LogPerfCounters("osutil perf", "For All The Files", -1);
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

}  // namespace

int runPerf(const Args& args) {
  const ParsedArgs parsed = parseArgs("perf", args, {{"iterations", 'n', true}});
  if (parsed.help) return printHelp(kPerfHelp);
  requireOperands("perf", parsed, 0, 0);
  const uint64_t iterations =
      parsed.has("iterations")
          ? parseUnsigned("perf", "iteration count", parsed.value("iterations"), 100000000)
          : 2000;

  ObjectStore::InitPerfCounters();
  if (!ObjectStore::g_object_store_enable_perf) {
    printError("perf",
               "performance counters are disabled (nzeltDisablePerfCounters in section "
               "~Zelt is not 0)");
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

  std::printf("workload: %llu iterations in %.3f ms\n", static_cast<unsigned long long>(iterations),
              std::chrono::duration<double, std::milli>(elapsed).count());
  printEngineReport();
  const bool counted = workloadCounted(iterations);

  ObjectStore::clearPerfCounters();
  const bool cleared = everyCounterZero();
  std::printf("after clearPerfCounters: %s\n",
              cleared ? "every counter reads zero" : "some counters still count");
  return counted && cleared ? kExitOk : kExitFailed;
}

}  // namespace osutil
