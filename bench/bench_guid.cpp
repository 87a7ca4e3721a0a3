// GUID generation on one thread and on two contending for the generator.
#include <string>

#include <benchmark/benchmark.h>

#include "objstore/objStrUtils.h"

namespace {

void BM_GenerateGuid(benchmark::State& state) {
  for (auto _ : state) {
    std::string guid = ObjectStore::generateGuid();
    benchmark::DoNotOptimize(guid.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_GenerateGuid)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
