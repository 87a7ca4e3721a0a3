#include "host/PerfCounter.h"

#include <chrono>
#include <cstring>
#include <limits>

#include "host/LogWriter.h"

// ---------------------------------------------------------------------------
// EvEvent
// ---------------------------------------------------------------------------

EvEvent::EvEvent() : set_(false) {}
EvEvent::~EvEvent() = default;

void EvEvent::set() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = true;
  }
  cond_.notify_all();
}

void EvEvent::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

bool EvEvent::isSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return set_;
}

bool EvEvent::wait(long timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                        [this] { return set_; });
}

// ---------------------------------------------------------------------------
// ThrdPerfCounter
// ---------------------------------------------------------------------------

namespace {

const char kAllFiles[] = "For All The Files";

// One measurement begun on this thread and not yet stopped.
struct OpenScope {
  uint64_t engine;  // the engine's generation
  const char* label;
  int id;
  int64_t start_ns;
};

// The calling thread's open scopes, innermost last. Trivially constructible
// and zero-initialised, so reaching it never allocates or runs a constructor.
struct ScopeTable {
  int size;
  OpenScope scopes[ThrdPerfCounter::kMaxOpenScopesPerThread];
};

thread_local ScopeTable t_openScopes;

// Generations are never reused, so a scope left open in an engine that is
// gone can never be taken for one of a later engine at the same address.
std::atomic<uint64_t> g_nextGeneration{1};

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Labels are compared by text: the same literal may have several addresses.
bool sameLabel(const char* a, const char* b) {
  if (a == b) return true;
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

void removeScope(ScopeTable& table, int index) {
  for (int i = index + 1; i < table.size; ++i) table.scopes[i - 1] = table.scopes[i];
  --table.size;
}

}  // namespace

ThrdPerfCounter::ThrdPerfCounter(EvEvent* event) noexcept
    : resetAllowed(true),
      enabled(true),
      interval(0),
      logOnStop(false),
      event_(event),
      generation_(g_nextGeneration.fetch_add(1, std::memory_order_relaxed)),
      last_report_ns_(nowNs()) {}

ThrdPerfCounter::~ThrdPerfCounter() = default;

ThrdPerfCounter::Counter* ThrdPerfCounter::registeredCounter(int id) {
  if (id < 0 || id >= kMaxCounters) return nullptr;
  Counter& counter = counters_[id];
  return counter.registered.load(std::memory_order_acquire) ? &counter : nullptr;
}

const ThrdPerfCounter::Counter* ThrdPerfCounter::registeredCounter(int id) const {
  return const_cast<ThrdPerfCounter*>(this)->registeredCounter(id);
}

int ThrdPerfCounter::AddPerfCounter(int id, const std::string& name, CTRBASETYPE /*baseType*/,
                                    bool keepOnReset) {
  static const char kSignature[] =
      "int ThrdPerfCounter::AddPerfCounter(int, const std::string&, CTRBASETYPE, bool)";
  if (id < 0 || id >= kMaxCounters) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't add perf counter %d [%s]: id out of range", id,
                 name.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> guard(add_mutex_);
  Counter& counter = counters_[id];
  if (counter.registered.load(std::memory_order_relaxed)) {
    if (counter.name == name) return 0;  // the same registration again
    OBJSTORE_LOG(-1, kSignature, "Error: Can't add perf counter %d [%s]: id taken by [%s]", id,
                 name.c_str(), counter.name.c_str());
    return -1;
  }
  counter.name = name;
  counter.keep_on_reset = keepOnReset;
  counter.registered.store(true, std::memory_order_release);
  return 0;
}

void ThrdPerfCounter::_StartPerfCounter(const char* label, int id) {
  if (registeredCounter(id) == nullptr) return;
  ScopeTable& table = t_openScopes;
  // A full table most likely holds scopes whose stop never came (the engine
  // was disabled while they were open): the oldest one goes.
  if (table.size == kMaxOpenScopesPerThread) removeScope(table, 0);
  OpenScope& scope = table.scopes[table.size++];
  scope.engine = generation_;
  scope.label = label;
  scope.id = id;
  scope.start_ns = nowNs();  // last, so the bookkeeping is not timed
}

void ThrdPerfCounter::_StopPerfCounter(const char* label, int id, unsigned long long /*amount*/) {
  const int64_t stopNs = nowNs();  // first, so the bookkeeping is not timed
  ScopeTable& table = t_openScopes;
  int index = table.size - 1;
  while (index >= 0) {
    const OpenScope& scope = table.scopes[index];
    if (scope.engine == generation_ && scope.id == id && sameLabel(scope.label, label)) break;
    --index;
  }
  if (index < 0) return;  // a stop without a start
  const int64_t startNs = table.scopes[index].start_ns;
  removeScope(table, index);

  Counter* counter = registeredCounter(id);
  if (counter == nullptr) return;
  const uint64_t elapsed = stopNs > startNs ? static_cast<uint64_t>(stopNs - startNs) : 0;
  {
    std::lock_guard<std::mutex> guard(counter->mutex);
    if (counter->count == 0 || elapsed < counter->min_ns) counter->min_ns = elapsed;
    if (elapsed > counter->max_ns) counter->max_ns = elapsed;
    ++counter->count;
    counter->total_ns += elapsed;
  }

  // The engine has no thread of its own: the stop that finds the period over
  // writes the report, and only the one that wins the exchange does.
  const int64_t period = interval;
  constexpr int64_t kMaxPeriod = std::numeric_limits<int64_t>::max() / 1000000000;
  if (period > 0 && period <= kMaxPeriod) {
    int64_t last = last_report_ns_.load(std::memory_order_relaxed);
    if (stopNs - last > period * 1000000000 &&
        last_report_ns_.compare_exchange_strong(last, stopNs, std::memory_order_relaxed)) {
      writeReport(label, kAllFiles, -1);
    }
  }
}

void ThrdPerfCounter::_LogPerfCounters(const char* label, std::string scopeText,
                                       long long selector) {
  writeReport(label, scopeText.c_str(), selector);
}

void ThrdPerfCounter::writeReport(const char* label, const char* scopeText, long long selector) {
  static const char kSignature[] =
      "void ThrdPerfCounter::_LogPerfCounters(const char*, std::string, long long)";
  last_report_ns_.store(nowNs(), std::memory_order_relaxed);
  OBJSTORE_LOG(2, kSignature, "Performance counters at [%s] (%s):", label != nullptr ? label : "",
               scopeText);
  for (int id = 0; id < kMaxCounters; ++id) {
    if (selector >= 0 && selector != id) continue;
    const Counter* counter = registeredCounter(id);
    if (counter == nullptr) continue;
    uint64_t count, totalNs, minNs, maxNs;
    {
      std::lock_guard<std::mutex> guard(counter->mutex);
      count = counter->count;
      totalNs = counter->total_ns;
      minNs = counter->min_ns;
      maxNs = counter->max_ns;
    }
    if (count == 0) continue;
    OBJSTORE_LOG(2, kSignature, "%s: count=%llu total=%lluns avg=%lluns min=%lluns max=%lluns",
                 counter->name.c_str(), static_cast<unsigned long long>(count),
                 static_cast<unsigned long long>(totalNs),
                 static_cast<unsigned long long>(totalNs / count),
                 static_cast<unsigned long long>(minNs), static_cast<unsigned long long>(maxNs));
  }
  if (event_ != nullptr) event_->set();
}

void ThrdPerfCounter::_ResetPerfCounters(const char* /*label*/, std::string /*scopeText*/,
                                         long long selector) {
  for (int id = 0; id < kMaxCounters; ++id) {
    if (selector >= 0 && selector != id) continue;
    Counter* counter = registeredCounter(id);
    if (counter == nullptr || counter->keep_on_reset) continue;
    std::lock_guard<std::mutex> guard(counter->mutex);
    counter->count = 0;
    counter->total_ns = 0;
    counter->min_ns = 0;
    counter->max_ns = 0;
  }
}

bool ThrdPerfCounter::getStats(int id, PerfCounterStats& out) const {
  const Counter* counter = registeredCounter(id);
  if (counter == nullptr) return false;
  std::lock_guard<std::mutex> guard(counter->mutex);
  out.name = counter->name;
  out.count = counter->count;
  out.totalNs = counter->total_ns;
  out.minNs = counter->min_ns;
  out.maxNs = counter->max_ns;
  return true;
}
