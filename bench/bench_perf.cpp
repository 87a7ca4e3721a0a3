// What a TimeFunction scope costs at each level of switching off, beside an
// empty loop as the baseline, and how many heap allocations each scope makes
// (the counter "allocs_per_scope": the timing path must not allocate).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "host/PerfCounter_internal.h"
#include "perf/objectStorePerf.h"

namespace {

// Enables the process's counters from an empty registry, once.
ThrdPerfCounter* EnabledEngine() {
  static ThrdPerfCounter* const engine = [] {
    char pattern[] = "/tmp/objstore-bench-perf-XXXXXX";
    const char* dir = mkdtemp(pattern);
    const char* previous = std::getenv("OBJSTORE_REGISTRY_DIR");
    const std::string saved = previous != nullptr ? previous : "";
    if (dir != nullptr) setenv("OBJSTORE_REGISTRY_DIR", dir, 1);
    ObjectStore::InitPerfCounters();
    if (previous != nullptr) {
      setenv("OBJSTORE_REGISTRY_DIR", saved.c_str(), 1);
    } else {
      unsetenv("OBJSTORE_REGISTRY_DIR");
    }
    if (dir != nullptr) std::filesystem::remove_all(dir);
    return ObjectStore::g_object_store_enable_perf ? ObjectStore::g_object_store_counter : nullptr;
  }();
  return engine;
}

// The state each benchmark runs in; restored when the benchmark ends.
enum class Level { kCountersOff, kEngineOff, kEnabled };

class ScopedLevel {
 public:
  explicit ScopedLevel(ThrdPerfCounter* engine, Level level)
      : engine_(engine),
        saved_flag_(ObjectStore::g_object_store_enable_perf),
        saved_enabled_(engine != nullptr && engine->enabled),
        saved_log_on_stop_(engine != nullptr && engine->logOnStop) {
    ObjectStore::g_object_store_enable_perf = level != Level::kCountersOff && engine != nullptr;
    if (engine_ != nullptr) {
      engine_->enabled = level == Level::kEnabled;
      engine_->logOnStop = false;  // the report after each stop allocates by design
    }
  }
  ~ScopedLevel() {
    ObjectStore::g_object_store_enable_perf = saved_flag_;
    if (engine_ != nullptr) {
      engine_->enabled = saved_enabled_;
      engine_->logOnStop = saved_log_on_stop_;
    }
  }
  ScopedLevel(const ScopedLevel&) = delete;
  ScopedLevel& operator=(const ScopedLevel&) = delete;

 private:
  ThrdPerfCounter* engine_;
  bool saved_flag_, saved_enabled_, saved_log_on_stop_;
};

void ReportAllocations(benchmark::State& state, uint64_t before) {
  const uint64_t after = bench_alloc::ThreadAllocations();
  if (!bench_alloc::Counting()) {
    state.SetLabel("allocations not counted in this build");
    return;
  }
  if (!bench_alloc::SelfCheck()) {
    state.SkipWithError("the allocation counter misses allocations");
    return;
  }
  const double allocations = static_cast<double>(after - before);
  state.counters["allocs_per_scope"] = benchmark::Counter(
      state.iterations() != 0 ? allocations / static_cast<double>(state.iterations()) : 0.0,
      benchmark::Counter::kAvgThreads);
}

void EmptyLoop(benchmark::State& state) {
  int sink = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&sink);
  }
}

void Scope(benchmark::State& state, Level level) {
  ThrdPerfCounter* engine = nullptr;
  if (level != Level::kCountersOff) {
    engine = EnabledEngine();
    if (engine == nullptr) {
      state.SkipWithError("the counters could not be enabled");
      return;
    }
    // The first scope of a thread brings the engine's per-thread table into
    // being; that one-off is not what is measured. Called directly, so that
    // no thread but the first touches the flags.
    ThrdPerfCounterInternals::start(*engine, "bench", 37);
    ThrdPerfCounterInternals::stop(*engine, "bench", 37);
  }
  // Only the first thread switches the flags, before the loop; the others
  // wait for it at the loop's start, and it restores them once all of them
  // have left the loop.
  std::optional<ScopedLevel> scoped;
  if (state.thread_index() == 0) scoped.emplace(engine, level);
  const uint64_t before = bench_alloc::ThreadAllocations();
  for (auto _ : state) {
    ObjectStore::TimeFunction timer("bench", 37);
    // Forces the flags to be read afresh in every scope, as in real code
    // where the scope encloses calls the compiler cannot see through.
    benchmark::DoNotOptimize(&timer);
  }
  ReportAllocations(state, before);
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("perf/scope/empty_loop", EmptyLoop);
  benchmark::RegisterBenchmark("perf/scope/disabled", Scope, Level::kCountersOff);
  benchmark::RegisterBenchmark("perf/scope/engine_off", Scope, Level::kEngineOff);
  benchmark::RegisterBenchmark("perf/scope/enabled", Scope, Level::kEnabled);
  // Several threads feeding one engine: the engine's per-counter lock is the
  // shared part.
  benchmark::RegisterBenchmark("perf/scope/enabled", Scope, Level::kEnabled)
      ->Threads(2)
      ->UseRealTime();
  return true;
}();

}  // namespace
