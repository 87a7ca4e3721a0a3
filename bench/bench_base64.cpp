// Base64 throughput on a small record and on a large buffer.
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "codec/base64.h"

namespace {

std::vector<unsigned char> RandomBytes(size_t length) {
  std::mt19937 engine(42);
  std::vector<unsigned char> bytes(length);
  for (auto& b : bytes) b = static_cast<unsigned char>(engine());
  return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
  const std::vector<unsigned char> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text =
        ObjectStore::base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(64)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State& state) {
  const std::vector<unsigned char> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  const std::string text =
      ObjectStore::base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()));
  for (auto _ : state) {
    std::vector<unsigned char> decoded = ObjectStore::base64_decode(text);
    benchmark::DoNotOptimize(decoded.data());
  }
  // Counted in decoded bytes, so that both directions compare per payload byte.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(64)->Arg(1 << 20);

}  // namespace
