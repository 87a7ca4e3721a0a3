// The counter engine's out-of-line operations without their gates, for the
// project's own programs: osutil writes the engine's report when asked, the
// tests call the report directly, and the benchmarks bring a thread's table
// of open scopes into being without reading the flags that another thread is
// switching. Hosts go through ThrdPerfCounter's gates, which keep `enabled`
// and `resetAllowed` in force; so this header is not installed.
#ifndef OBJSTORE_HOST_PERFCOUNTER_INTERNAL_H_
#define OBJSTORE_HOST_PERFCOUNTER_INTERNAL_H_

#include "host/PerfCounter.h"

struct ThrdPerfCounterInternals {
  static void start(ThrdPerfCounter& engine, const char* label, int id) {
    engine._StartPerfCounter(label, id);
  }
  static void stop(ThrdPerfCounter& engine, const char* label, int id) {
    engine._StopPerfCounter(label, id, 0);
  }
  static void logReport(ThrdPerfCounter& engine, const char* label, const char* scopeText,
                        long long selector) {
    engine._LogPerfCounters(label, scopeText, selector);
  }
};

#endif  // OBJSTORE_HOST_PERFCOUNTER_INTERNAL_H_
