// Cache benchmarks: lookup hit, lookup miss and update with eviction, on
// caches of 1,000 and 1,000,000 elements keyed by 32-character hexadecimal
// strings. Each cache is built once per process and size and reused by every
// run of its benchmark, so the large fill is paid once, outside the timings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "cache/mem_cache.h"

namespace {

constexpr int kKeyLength = 32;
constexpr int kPayloadBytes = 64;
// key1_len + key2_len (-1 for no key2) + data_len + 98.
constexpr int kElementCharge = kKeyLength - 1 + kPayloadBytes + 98;

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// The 32 hexadecimal digits of a 128-bit value derived from `n`; distinct n
// give distinct keys.
void HexKey(uint64_t n, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  const uint64_t halves[2] = {SplitMix64(n), n};
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < 16; ++i) {
      out[half * 16 + i] = kDigits[(halves[half] >> (60 - 4 * i)) & 0xF];
    }
  }
  out[kKeyLength] = '\0';
}

int LargestPowerOfTwoAtMost(int64_t n) {
  int power = 1;
  while (static_cast<int64_t>(power) * 2 <= n) power *= 2;
  return power;
}

class BenchCache;

struct BenchElement {
  generic_cache_element_t element;
  char key[kKeyLength + 1];
  BenchCache* owner;
};

// A cache filled to exactly `size` elements: its budget is the fixed charge
// plus `size` element charges, so every further insertion evicts exactly one.
class BenchCache {
 public:
  explicit BenchCache(int size) : size_(size), elements_(new BenchElement[size + 1]) {
    // The bucket count depends on the budget, which includes the tables'
    // fixed charge: settle the two together.
    const int expected_entry_size = kElementCharge - 96;
    int buckets = 1;
    int64_t max_bytes = 0;
    for (;;) {
      max_bytes = static_cast<int64_t>(size) * kElementCharge + 8 * (2 * int64_t{buckets} + 26);
      const int settled = LargestPowerOfTwoAtMost(max_bytes / (expected_entry_size + 96));
      if (settled == buckets) break;
      buckets = settled;
    }
    cache_ = generic_cache_init_cache(static_cast<int>(max_bytes), expected_entry_size, &Release,
                                      nullptr, nullptr, true, true);

    for (int i = 0; i <= size; ++i) {
      BenchElement& e = elements_[i];
      HexKey(static_cast<uint64_t>(i), e.key);
      e.element = {e.key, nullptr, kKeyLength, -1, &e, kPayloadBytes};
      e.owner = this;
    }
    // Filled through the secondary table, which stays empty because no
    // element has key2: the update's lookup costs nothing, and the fill does
    // not walk the primary chains once per element.
    for (int i = 0; i < size; ++i) {
      generic_cache_update_with_key2(cache_, elements_[i].key, kKeyLength, &elements_[i].element);
    }
    free_.push_back(&elements_[size]);
    next_key_ = static_cast<uint64_t>(size) + 1;
  }
  ~BenchCache() { generic_cache_del_cache(cache_); }

  generic_cache_t* cache() const { return cache_; }
  int size() const { return size_; }
  const char* cached_key(int i) const { return elements_[i].key; }

  // Inserts a new key; the least recently used element is evicted and comes
  // back through Release for the next call.
  int InsertNewKey() {
    BenchElement* e = free_.back();
    free_.pop_back();
    HexKey(next_key_++, e->key);
    e->element.key1_len = kKeyLength;
    return generic_cache_update_with_key1(cache_, e->key, kKeyLength, &e->element);
  }

 private:
  static void Release(generic_cache_element_t* element) {
    BenchElement* e = static_cast<BenchElement*>(element->data);
    e->owner->free_.push_back(e);
  }

  int size_;
  std::unique_ptr<BenchElement[]> elements_;
  generic_cache_t* cache_ = nullptr;
  std::vector<BenchElement*> free_;
  uint64_t next_key_ = 0;
};

// One cache per size for the lookups, which never change it, and another for
// the updates, which do.
BenchCache& LookupCache(int size) {
  static std::map<int, std::unique_ptr<BenchCache>> caches;
  std::unique_ptr<BenchCache>& cache = caches[size];
  if (!cache) cache = std::make_unique<BenchCache>(size);
  return *cache;
}

BenchCache& UpdateCache(int size) {
  static std::map<int, std::unique_ptr<BenchCache>> caches;
  std::unique_ptr<BenchCache>& cache = caches[size];
  if (!cache) cache = std::make_unique<BenchCache>(size);
  return *cache;
}

void BM_CacheLookupHit(benchmark::State& state) {
  BenchCache& bench = LookupCache(static_cast<int>(state.range(0)));
  // A fixed random sample of cached keys, so that consecutive lookups do not
  // walk the same chain.
  std::vector<const char*> keys(std::min(bench.size(), 1 << 16));
  std::mt19937 rng(42);
  for (const char*& key : keys) key = bench.cached_key(static_cast<int>(rng() % bench.size()));
  std::size_t next = 0;
  for (auto _ : state) {
    generic_cache_element_t* found =
        generic_cache_find_element_with_key1(bench.cache(), keys[next], kKeyLength);
    benchmark::DoNotOptimize(found);
    if (++next == keys.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CacheLookupMiss(benchmark::State& state) {
  BenchCache& bench = LookupCache(static_cast<int>(state.range(0)));
  std::vector<std::vector<char>> keys(4096, std::vector<char>(kKeyLength + 1));
  for (std::size_t i = 0; i < keys.size(); ++i) HexKey(uint64_t{1} << 40 | i, keys[i].data());
  std::size_t next = 0;
  for (auto _ : state) {
    generic_cache_element_t* found =
        generic_cache_find_element_with_key1(bench.cache(), keys[next].data(), kKeyLength);
    benchmark::DoNotOptimize(found);
    if (++next == keys.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CacheUpdateWithEviction(benchmark::State& state) {
  BenchCache& bench = UpdateCache(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    if (bench.InsertNewKey() != 0) {
      state.SkipWithError("insertion refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_CacheLookupHit)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_CacheLookupMiss)->Arg(1000)->Arg(1000000);
BENCHMARK(BM_CacheUpdateWithEviction)->Arg(1000)->Arg(1000000);

}  // namespace
