// The typed cache (cache/two_key_cache.h) against the procedural lookup it
// wraps, on the same keys, hash and budget.
//
//   lookup_hit  one thread, 1,000 cached elements with 32-digit hexadecimal
//               keys, hits drawn from a fixed random sample:
//                 procedural  generic_cache_find_element_with_key1, then one
//                             read of the element (what a caller does next)
//                 visit       TwoKeyCache::visit reading one field of the value,
//                             the key given as a std::string_view (copied
//                             and checked for a NUL before the lookup)
//                 visit_c_string  the same, the key given as a C string,
//                             which the cache reads as it is
//                 get         TwoKeyCache::get, then the same read
//   hot         1 or 2 threads looking up the same 4 keys, each reading one
//               field: `get` increments and decrements the value's reference
//               count, a cache line that the threads then pass back and forth;
//               `visit` only reads. items_per_second counts all threads.
//
// Names: two_key_cache/lookup_hit/<variant>/1000, two_key_cache/hot/<variant>/threads:N.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/cache_keys.h"
#include "cache/mem_cache.h"
#include "cache/two_key_cache.h"

namespace {

using cache_bench::kHexKeyLength;
using cache_bench::kKeyStride;

constexpr int kElements = 1000;
constexpr int kPayloadBytes = 64;  // data_len (charge) of every element, as in bench_cache
constexpr int kLookupSample = 1 << 14;
constexpr int kHotKeys = 4;

struct Value {
  uint64_t word;
};

struct PlainElement {
  generic_cache_element_t element;
  char key[kKeyStride];
  Value value;
};

void ReleaseNothing(generic_cache_element_t*) {}  // the fixture owns the elements

// Both caches over the same keys, filled once and only read afterwards, so
// that every benchmark and thread may share them.
struct Fixture {
  Fixture() : elements(kElements), typed(kBudget, kEntrySize) {
    plain =
        generic_cache_init_cache(kBudget, kEntrySize, &ReleaseNothing, generic_cache_hash_strong,
                                 generic_cache_hash_strong, true, true);
    for (int i = 0; i < kElements; ++i) {
      PlainElement& e = elements[static_cast<size_t>(i)];
      cache_bench::MakeHexKey(static_cast<uint64_t>(i), e.key);
      e.value.word = static_cast<uint64_t>(i);
      e.element = {e.key, nullptr, kHexKeyLength, -1, &e.value, kPayloadBytes};
      generic_cache_update_with_key1(plain, e.key, kHexKeyLength, &e.element);
      typed.insert(Key(i), std::make_shared<Value>(e.value), kPayloadBytes);
    }
    std::mt19937_64 rng(42);
    for (int i = 0; i < kLookupSample; ++i) sample.push_back(static_cast<int>(rng() % kElements));
  }
  ~Fixture() { generic_cache_del_cache(plain); }
  std::string_view Key(int i) const {
    return {elements[static_cast<size_t>(i)].key, static_cast<size_t>(kHexKeyLength)};
  }

  // Room for every element, the tables sized for them: nothing is evicted.
  static constexpr int kBudget = 4 * kElements * (kHexKeyLength + kPayloadBytes + 98);
  static constexpr int kEntrySize = kHexKeyLength + 1 + kPayloadBytes;
  std::vector<PlainElement> elements;
  generic_cache_t* plain;
  objstore::TwoKeyCache<Value> typed;
  std::vector<int> sample;
};

const Fixture& Shared() {
  static const Fixture fixture;  // built once, by whichever thread comes first
  return fixture;
}

enum class Variant { kProcedural, kVisit, kVisitCString, kGet };

// Looks up `key` in the variant's way and returns one field of what it found.
inline uint64_t Read(const Fixture& f, Variant variant, std::string_view key) {
  uint64_t word = ~0ull;
  switch (variant) {
    case Variant::kProcedural:
      if (generic_cache_element_t* e =
              generic_cache_find_element_with_key1(f.plain, key.data(), kHexKeyLength))
        word = static_cast<const Value*>(e->data)->word;
      break;
    case Variant::kVisit:
      f.typed.visit(key, [&](const Value& v) { word = v.word; });
      break;
    case Variant::kVisitCString:  // the fixture's keys are NUL-terminated
      f.typed.visit(key.data(), [&](const Value& v) { word = v.word; });
      break;
    case Variant::kGet:
      if (std::shared_ptr<Value> v = f.typed.get(key)) word = v->word;
      break;
  }
  return word;
}

void LookupHit(benchmark::State& state, Variant variant) {
  const Fixture& f = Shared();
  size_t next = 0;
  uint64_t missed = 0;
  for (auto _ : state) {
    const int i = f.sample[next];
    missed += Read(f, variant, f.Key(i)) != static_cast<uint64_t>(i);
    next = (next + 1) & (kLookupSample - 1);
  }
  if (missed != 0) state.SkipWithError("a cached key was not found");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void HotKeys(benchmark::State& state, Variant variant) {
  const Fixture& f = Shared();
  int next = 0;
  uint64_t missed = 0;
  for (auto _ : state) {
    missed += Read(f, variant, f.Key(next)) != static_cast<uint64_t>(next);
    next = (next + 1) % kHotKeys;
  }
  if (missed != 0) state.SkipWithError("a cached key was not found");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

const bool kRegistered = [] {
  const struct {
    const char* name;
    Variant variant;
  } variants[] = {{"procedural", Variant::kProcedural},
                  {"visit", Variant::kVisit},
                  {"visit_c_string", Variant::kVisitCString},
                  {"get", Variant::kGet}};
  for (const auto& v : variants) {
    benchmark::RegisterBenchmark((std::string("two_key_cache/lookup_hit/") + v.name).c_str(),
                                 LookupHit, v.variant)
        ->Arg(kElements)
        ->MinTime(0.1);
    benchmark::RegisterBenchmark((std::string("two_key_cache/hot/") + v.name).c_str(), HotKeys,
                                 v.variant)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime()
        ->MinTime(0.1);
  }
  return true;
}();

}  // namespace
