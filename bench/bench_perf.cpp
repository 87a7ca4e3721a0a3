// What a TimeFunction scope costs at each level of switching off, beside an
// empty loop as the baseline.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "perf/objectStorePerf.h"

namespace {

// Enables the process's counters from an empty registry, once.
ThrdPerfCounter& EnabledEngine() {
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
    return ObjectStore::g_object_store_counter;
  }();
  return *engine;
}

void BM_EmptyLoop(benchmark::State& state) {
  int sink = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sink);
  }
}
BENCHMARK(BM_EmptyLoop);

void BM_TimeFunction_CountersDisabled(benchmark::State& state) {
  const bool saved = ObjectStore::g_object_store_enable_perf;
  ObjectStore::g_object_store_enable_perf = false;
  for (auto _ : state) {
    ObjectStore::TimeFunction timer("bench", 37);
    benchmark::DoNotOptimize(&timer);
  }
  ObjectStore::g_object_store_enable_perf = saved;
}
BENCHMARK(BM_TimeFunction_CountersDisabled);

void BM_TimeFunction_EngineDisabled(benchmark::State& state) {
  ThrdPerfCounter& engine = EnabledEngine();
  if (!ObjectStore::g_object_store_enable_perf) {
    state.SkipWithError("the counters could not be enabled");
    return;
  }
  engine.enabled = false;
  for (auto _ : state) {
    ObjectStore::TimeFunction timer("bench", 37);
    benchmark::DoNotOptimize(&timer);
  }
  engine.enabled = true;
}
BENCHMARK(BM_TimeFunction_EngineDisabled);

void BM_TimeFunction_Enabled(benchmark::State& state) {
  ThrdPerfCounter& engine = EnabledEngine();
  if (!ObjectStore::g_object_store_enable_perf) {
    state.SkipWithError("the counters could not be enabled");
    return;
  }
  engine.enabled = true;
  engine.logOnStop = false;
  for (auto _ : state) {
    ObjectStore::TimeFunction timer("bench", 37);
    benchmark::DoNotOptimize(&timer);
  }
}
BENCHMARK(BM_TimeFunction_Enabled)->ThreadRange(1, 4)->UseRealTime();

}  // namespace
