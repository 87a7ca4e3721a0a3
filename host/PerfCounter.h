// The platform's performance-counter engine.
//
// A counter is registered once under a small integer id and a name. Timing a
// site is a start and a stop with the same label and id on the same thread:
// the start records a monotonic time stamp in the calling thread's table of
// open scopes, the matching stop removes it and adds the elapsed time to the
// counter's count, total, minimum and maximum. Scopes nest and run on any
// number of threads without disturbing each other; a stop without a start is
// ignored. Neither start nor stop allocates.
//
// The inline members are the cheap gates in front of the out-of-line work:
// with `enabled` clear a scope costs two bool tests.
#ifndef OBJSTORE_HOST_PERFCOUNTER_H_
#define OBJSTORE_HOST_PERFCOUNTER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/Export.h"

// What a counter measures. Every counter of the object store is a timer.
enum CTRBASETYPE : int32_t {
  CTRBASETYPE_ELAPSED_TIME = 0,  // stops add the time since the matching start
};

// A manual-reset event. An engine given one sets it after every report it
// writes, so a host can wait for the periodic report.
class OBJSTORE_API EvEvent {
 public:
  EvEvent();
  ~EvEvent();
  EvEvent(const EvEvent&) = delete;
  EvEvent& operator=(const EvEvent&) = delete;

  void set();
  void reset();
  bool isSet() const;
  // Waits until the event is set or `timeoutMs` milliseconds pass; returns
  // whether it is set.
  bool wait(long timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool set_;
};

// One counter's figures, as getStats reads them. Times are in nanoseconds;
// minNs and maxNs are 0 while count is 0.
struct PerfCounterStats {
  std::string name;
  uint64_t count, totalNs, minNs, maxNs;
};

class OBJSTORE_API ThrdPerfCounter {
 public:
  // Ids run from 0 to kMaxCounters - 1.
  static constexpr int kMaxCounters = 256;
  // Open scopes one thread can hold at once; when a start finds the table
  // full, the oldest open scope is dropped (its stop will then be ignored).
  static constexpr int kMaxOpenScopesPerThread = 64;

  // Read by the gates below. Plain flags: set them before timed code runs.
  bool resetAllowed;  // ResetPerfCounters reaches the engine only while set
  bool enabled;       // nothing reaches the out-of-line operations while clear
  int64_t interval;   // seconds between periodic reports; <= 0: none
  bool logOnStop;     // every stop is followed by a report of all counters

  // `event`, when not null, is set after every report; it must outlive the
  // engine. Defaults: enabled and resetAllowed set, logOnStop clear, no
  // periodic report.
  explicit ThrdPerfCounter(EvEvent* event) noexcept;
  ~ThrdPerfCounter();
  ThrdPerfCounter(const ThrdPerfCounter&) = delete;
  ThrdPerfCounter& operator=(const ThrdPerfCounter&) = delete;

  void SetInterval(long seconds) { interval = seconds; }

  // Registers counter `id` under `name`. With `keepOnReset` set the counter
  // keeps its figures across ResetPerfCounters. Returns 0, or -1 (and logs)
  // for an id out of range or already registered; a registered counter's
  // name never changes.
  int AddPerfCounter(int id, const std::string& name, CTRBASETYPE baseType, bool keepOnReset);

  void StartPerfCounter(const char* label, int id) {
    if (enabled) _StartPerfCounter(label, id);
  }
  void StopPerfCounter(const char* label, int id, unsigned long long amount) {
    if (!enabled) return;
    _StopPerfCounter(label, id, amount);
    if (logOnStop) _LogPerfCounters(label, "For All The Files", -1);
  }
  void ResetPerfCounters(const char* label, const char* scopeText, long long selector) {
    if (!enabled || !resetAllowed) return;
    _ResetPerfCounters(label, scopeText != nullptr ? scopeText : "For All The Files", selector);
  }

  // Reads counter `id`; false for an id that was never added.
  bool getStats(int id, PerfCounterStats& out) const;

 private:
  // The project's own programs (osutil, the tests, the benchmarks) reach the
  // operations below without the gates, through host/PerfCounter_internal.h.
  friend struct ThrdPerfCounterInternals;

  // The out-of-line work behind the gates above. Private, so that callers
  // cannot step past `enabled` and `resetAllowed`; still exported, because
  // the gates are compiled into the callers and call them from there.
  //
  // Begins a measurement of counter `id` for the calling thread. Ignored for
  // an id that is not registered.
  void _StartPerfCounter(const char* label, int id);
  // Ends the innermost open measurement of the calling thread with the same
  // label and id and adds its time to the counter; ignored when there is
  // none. `amount` is accepted for the platform's sake and not used. When
  // `interval` is positive and more than that many seconds passed since the
  // last report, writes one.
  void _StopPerfCounter(const char* label, int id, unsigned long long amount);
  // Writes a report through the log writer at level 2: a heading naming the
  // label and the scope text, then one line per counter that has counted
  // (selector -1) or for counter `selector` alone.
  void _LogPerfCounters(const char* label, std::string scopeText, long long selector);
  // Zeroes every counter (selector -1) or counter `selector` alone.
  void _ResetPerfCounters(const char* label, std::string scopeText, long long selector);

  // One registered counter. `registered` is published (release) after the
  // name is written; the name never changes afterwards, so readers that saw
  // it set may read the name without the lock. The figures change under the
  // counter's own lock only, so a reader always sees a consistent set.
  struct Counter {
    std::atomic<bool> registered{false};
    bool keep_on_reset = false;
    std::string name;
    mutable std::mutex mutex;
    uint64_t count = 0;
    uint64_t total_ns = 0;
    uint64_t min_ns = 0;
    uint64_t max_ns = 0;
  };

  void writeReport(const char* label, const char* scopeText, long long selector);
  Counter* registeredCounter(int id);
  const Counter* registeredCounter(int id) const;

  EvEvent* event_;
  uint64_t generation_;  // tells this engine's open scopes from any other's
  std::atomic<int64_t> last_report_ns_;
  std::mutex add_mutex_;  // serialises registrations
  Counter counters_[kMaxCounters];
};

#endif  // OBJSTORE_HOST_PERFCOUNTER_H_
