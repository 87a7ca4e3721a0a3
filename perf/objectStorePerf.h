// The object store's performance counters: the catalogue of the 49 named
// counters, the process-wide engine, and the timing scopes that feed it.
//
// The host calls InitPerfCounters once at start-up, before any timing scope
// runs. From then on a module times an operation with a TimeFunction scope,
// or with the start/stop wrappers around it, naming a counter by its id:
//
//   void getSomething() {
//     ObjectStore::TimeFunction timer("getSomething", 41);
//     ...
//   }
//
// With the counters disabled a scope costs one test of a global bool when it
// opens and one when it closes; everything here is inline for that reason.
#ifndef OBJSTORE_PERF_OBJECTSTOREPERF_H_
#define OBJSTORE_PERF_OBJECTSTOREPERF_H_

#include "host/Export.h"
#include "host/PerfCounter.h"

namespace ObjectStore {

// Counters 0 to 48 are the catalogue's ("backupinit" ... "stream_lock_wait"),
// which InitPerfCounters registers; modules name them by id. The table behind
// them is the library's own and not exported.
constexpr int PERF_COUNTER_COUNT = 49;

// True only while g_object_store_counter designates a constructed engine with
// every catalogue counter registered. False at load.
extern OBJSTORE_API bool g_object_store_enable_perf;
// The process's engine; null at load, never destroyed or replaced once set.
extern OBJSTORE_API ThrdPerfCounter* g_object_store_counter;

// Reads "nzeltDisablePerfCounters" (section "~Zelt") and, when it is 0 or
// absent, creates the engine, sets its report interval to 300 and registers
// the catalogue. Any other value leaves the counters disabled (with a level 2
// notice). Once enabled, further calls return at once.
OBJSTORE_API void InitPerfCounters();

// Zeroes every counter; no effect while the counters were never started.
OBJSTORE_API void clearPerfCounters();

// The flag is read with acquire order, which pairs with the release store
// that publishes it, so a scope that sees it set also sees the engine and
// every counter registered. On x86 that is a plain load.
inline void OBJECT_STORE_START_PERF_COUNTER(const char* label, int id) {
  if (__atomic_load_n(&g_object_store_enable_perf, __ATOMIC_ACQUIRE))
    g_object_store_counter->StartPerfCounter(label, id);
}

inline void OBJECT_STORE_STOP_PERF_COUNTER(const char* label, int id) {
  if (__atomic_load_n(&g_object_store_enable_perf, __ATOMIC_ACQUIRE))
    g_object_store_counter->StopPerfCounter(label, id, 0);
}

// Times its own lifetime under counter `id`. `label` must outlive the scope;
// callers pass string literals. The flag is read again at the close, so a
// scope may close with a stop that had no start; the engine ignores it.
class TimeFunction {
 public:
  TimeFunction(const char* label, int id) : id(id), label(label) {
    OBJECT_STORE_START_PERF_COUNTER(label, id);
  }
  ~TimeFunction() { OBJECT_STORE_STOP_PERF_COUNTER(label, id); }
  TimeFunction(const TimeFunction&) = delete;
  TimeFunction& operator=(const TimeFunction&) = delete;

  int id;
  const char* label;
};

}  // namespace ObjectStore

#endif  // OBJSTORE_PERF_OBJECTSTOREPERF_H_
