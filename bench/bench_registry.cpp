// The cost of one numeric configuration lookup: it reads and parses the
// whole store on every call, here a store of 100 values.
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "objstore/objStrUtils.h"

namespace {

void BM_GetRegistryValueInt(benchmark::State& state) {
  char pattern[] = "/tmp/objstore-bench-registry-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string dir = pattern;
  {
    std::ofstream store(dir + "/Bench.ini");
    store << "[Zelt]\n";
    for (int i = 0; i < 50; ++i) store << "text" << i << "=value " << i << "\n";
    store << "[~Zelt]\n";
    for (int i = 0; i < 50; ++i) store << "number" << i << "=" << i * 1000 << "\n";
  }
  setenv("OBJSTORE_REGISTRY_DIR", dir.c_str(), 1);
  setenv("OBJSTORE_FOCUS", "Bench", 1);

  for (auto _ : state) {
    int value = ObjectStore::getRegistryValue<int>("number25", -1, 0, INT_MAX);
    benchmark::DoNotOptimize(value);
  }
  if (ObjectStore::getRegistryValue<int>("number25", -1, 0, INT_MAX) != 25000) {
    state.SkipWithError("the lookup read the wrong value");
  }

  unsetenv("OBJSTORE_REGISTRY_DIR");
  unsetenv("OBJSTORE_FOCUS");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_GetRegistryValueInt);

}  // namespace
