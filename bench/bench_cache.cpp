// Cache benchmarks against the LRU that users write by hand.
//
// Three variants share every key, element and budget:
//   default   the cache with its default hashes;
//   strong    the cache with generic_cache_hash_strong;
//   baseline  std::unordered_map<std::string, list iterator> + std::list,
//             under a std::shared_mutex, charging and evicting by the same rule.
// Two key shapes: 32 hexadecimal digits, and "/vol1/dir%03d/file%06d.dat"
// (1,000 files per directory). Four sizes, 1,000 to 1,000,000 elements.
//
// Names: cache/<work>/<shape>/<variant>/<elements>, where work is lookup_hit,
// lookup_miss, update_evict (a new key, which evicts exactly one element) or
// memory (heap bytes per element of the structure, from glibc's counters).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/cache_keys.h"
#include "cache/mem_cache.h"

namespace {

using cache_bench::ElementCharge;
using cache_bench::kKeyStride;

constexpr int kPayloadBytes = 64;  // data_len of every element
constexpr int kLookupSample = 1 << 16;
constexpr int64_t kSizes[] = {1000, 10000, 100000, 1000000};

enum class Shape { kHex, kPath };
enum class Variant { kDefault, kStrong, kBaseline };

const char* ShapeName(Shape shape) { return shape == Shape::kHex ? "hex" : "path"; }

const char* VariantName(Variant variant) {
  switch (variant) {
    case Variant::kDefault:
      return "default";
    case Variant::kStrong:
      return "strong";
    case Variant::kBaseline:
      return "baseline";
  }
  return "?";
}

// Writes key number `n` of a shape into `out` (kKeyStride bytes); returns its
// length. Distinct (volume, n) give distinct keys; path keys are
// "/vol<volume>/dir%03d/file%06d.dat" with n below 1,000,000, so every key of
// a shape has the same length and charge.
int MakeKey(Shape shape, uint64_t n, char* out, int volume = 1) {
  if (shape == Shape::kHex) return cache_bench::MakeHexKey(n, out, volume);
  n %= 1000000;
  return std::snprintf(out, kKeyStride, "/vol%d/dir%03llu/file%06llu.dat", volume,
                       static_cast<unsigned long long>(n / 1000),
                       static_cast<unsigned long long>(n));
}

// The caller's record: the element and its key in one allocation.
struct BenchElement {
  generic_cache_element_t element;
  char key[kKeyStride];
};

// A set of elements plus the lookup keys each benchmark cycles through, stored
// contiguously so that reading a lookup key costs every variant the same.
struct KeySet {
  KeySet(Shape shape, int64_t size) : shape(shape), elements(new BenchElement[size + 1]) {
    for (int64_t i = 0; i <= size; ++i) {
      BenchElement& e = elements[i];
      const int length = MakeKey(shape, static_cast<uint64_t>(i), e.key);
      e.element = {e.key, nullptr, length, -1, &e, kPayloadBytes};
    }
    std::mt19937_64 rng(42);
    hits.resize(static_cast<size_t>(kLookupSample) * kKeyStride);
    misses.resize(hits.size());
    for (int i = 0; i < kLookupSample; ++i) {
      std::memcpy(&hits[static_cast<size_t>(i) * kKeyStride],
                  elements[static_cast<int64_t>(rng() % static_cast<uint64_t>(size))].key,
                  kKeyStride);
      // Keys of the same shape and length that are never cached.
      MakeKey(shape, static_cast<uint64_t>(i), &misses[static_cast<size_t>(i) * kKeyStride], 3);
    }
  }
  const char* hit(int i) const { return &hits[static_cast<size_t>(i) * kKeyStride]; }
  const char* miss(int i) const { return &misses[static_cast<size_t>(i) * kKeyStride]; }

  Shape shape;
  std::unique_ptr<BenchElement[]> elements;  // size + 1: one spare for updates
  std::vector<char> hits;
  std::vector<char> misses;
};

// What the benchmarks drive: the same four operations on every variant.
class BenchTarget {
 public:
  virtual ~BenchTarget() = default;
  virtual const void* Find(const char* key, int len) = 0;
  // Inserts `e` under its key; evicts from the least recently used end. The
  // evicted element is pushed onto `freed` for reuse.
  virtual bool Update(BenchElement* e) = 0;
  std::vector<BenchElement*> freed;
};

class OurCache : public BenchTarget {
 public:
  OurCache(const KeySet& keys, int64_t size, HashFunc hash) {
    const cache_bench::CacheBudget budget =
        cache_bench::BudgetForExactly(size, ElementCharge(keys.elements[0].element));
    cache_ = generic_cache_init_cache(budget.max_bytes, budget.expected_entry_size, &Release, hash,
                                      hash, true, true);
    current_ = this;
    // Filled through the empty secondary table, so that no fill walks a chain.
    for (int64_t i = 0; i < size; ++i)
      generic_cache_update_with_key2(cache_, "-", 1, &keys.elements[i].element);
    freed.push_back(&keys.elements[size]);
  }
  ~OurCache() override {
    current_ = this;
    generic_cache_del_cache(cache_);
    current_ = nullptr;
  }
  generic_cache_t* cache() const { return cache_; }
  const void* Find(const char* key, int len) override {
    return generic_cache_find_element_with_key1(cache_, key, len);
  }
  bool Update(BenchElement* e) override {
    current_ = this;
    return generic_cache_update_with_key1(cache_, e->key, e->element.key1_len, &e->element) == 0;
  }

 private:
  // A CallBackFunc carries no context: releases go to the cache that is
  // being updated or destroyed (a second one may live for a memory reading).
  static void Release(generic_cache_element_t* element) {
    current_->freed.push_back(static_cast<BenchElement*>(element->data));
  }
  static OurCache* current_;
  generic_cache_t* cache_ = nullptr;
};
OurCache* OurCache::current_ = nullptr;

// The hand-written LRU: the list owns (key, element) pairs, most recent first;
// the map finds a list position by key.
class BaselineCache : public BenchTarget {
 public:
  BaselineCache(const KeySet& keys, int64_t size)
      : max_bytes_(size * ElementCharge(keys.elements[0].element)) {
    index_.reserve(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i) Update(&keys.elements[i]);
    freed.clear();
    freed.push_back(&keys.elements[size]);
  }
  const void* Find(const char* key, int len) override {
    // Callers of such a cache hold std::string keys: building one here would
    // charge the baseline an allocation per lookup that it need not pay.
    std::string& probe = Probe();
    probe.assign(key, static_cast<size_t>(len));
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto found = index_.find(probe);
    return found == index_.end() ? nullptr : found->second->second;
  }
  bool Update(BenchElement* e) override {
    const int64_t charge = ElementCharge(e->element);
    std::string key(e->key, static_cast<size_t>(e->element.key1_len));
    std::unique_lock<std::shared_mutex> lock(mutex_);
    auto old = index_.find(key);
    if (old != index_.end()) Remove(old->second);
    while (cur_bytes_ + charge > max_bytes_ && !lru_.empty()) Remove(std::prev(lru_.end()));
    if (cur_bytes_ + charge > max_bytes_) return false;
    lru_.emplace_front(key, e);
    index_.emplace(std::move(key), lru_.begin());
    cur_bytes_ += charge;
    return true;
  }

 private:
  using Entry = std::pair<std::string, BenchElement*>;
  void Remove(std::list<Entry>::iterator entry) {
    cur_bytes_ -= ElementCharge(entry->second->element);
    freed.push_back(entry->second);
    index_.erase(entry->first);
    lru_.erase(entry);
  }
  // A per-thread key buffer whose capacity is reused from lookup to lookup.
  static std::string& Probe() {
    thread_local std::string probe(kKeyStride, '\0');
    return probe;
  }

  std::shared_mutex mutex_;
  std::list<Entry> lru_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  int64_t max_bytes_;
  int64_t cur_bytes_ = 0;
};

std::unique_ptr<BenchTarget> MakeTarget(Variant variant, const KeySet& keys, int64_t size) {
  switch (variant) {
    case Variant::kDefault:
      return std::make_unique<OurCache>(keys, size, nullptr);
    case Variant::kStrong:
      return std::make_unique<OurCache>(keys, size, generic_cache_hash_strong);
    case Variant::kBaseline:
      return std::make_unique<BaselineCache>(keys, size);
  }
  return nullptr;
}

// One fixture lives at a time (a million-element cache is large): the
// repetitions of a benchmark run back to back and reuse it.
struct Fixture {
  std::string id;
  std::unique_ptr<KeySet> keys;
  std::unique_ptr<BenchTarget> target;
};

Fixture& GetFixture(const std::string& purpose, Shape shape, Variant variant, int64_t size) {
  static Fixture fixture;
  const std::string id = purpose + ShapeName(shape) + VariantName(variant) + std::to_string(size);
  if (fixture.id != id) {
    fixture.target.reset();
    fixture.keys.reset();
    fixture.keys = std::make_unique<KeySet>(shape, size);
    fixture.target = MakeTarget(variant, *fixture.keys, size);
    fixture.id = id;
  }
  return fixture;
}

void LookupHit(benchmark::State& state, Shape shape, Variant variant) {
  Fixture& f = GetFixture("lookup", shape, variant, state.range(0));
  const int len = f.keys->elements[0].element.key1_len;
  int next = 0;
  int64_t found = 0;
  for (auto _ : state) {
    found += f.target->Find(f.keys->hit(next), len) != nullptr;
    next = (next + 1) & (kLookupSample - 1);
  }
  if (found != state.iterations()) state.SkipWithError("a cached key was not found");
  state.SetItemsProcessed(state.iterations());
}

void LookupMiss(benchmark::State& state, Shape shape, Variant variant) {
  Fixture& f = GetFixture("lookup", shape, variant, state.range(0));
  int next = 0;
  int64_t found = 0;
  for (auto _ : state) {
    const char* key = f.keys->miss(next);
    found += f.target->Find(key, static_cast<int>(std::strlen(key))) != nullptr;
    next = (next + 1) & (kLookupSample - 1);
  }
  if (found != 0) state.SkipWithError("an uncached key was found");
  state.SetItemsProcessed(state.iterations());
}

// Each iteration renames the element just evicted to a new key and inserts it,
// which evicts the next least recently used one.
void UpdateEvict(benchmark::State& state, Shape shape, Variant variant) {
  Fixture& f = GetFixture("update", shape, variant, state.range(0));
  // Volume 2 is not in the KeySet. A path key comes back after 1,000,000
  // insertions, by which time it has been evicted (or is replaced).
  static uint64_t next_key = 0;
  for (auto _ : state) {
    BenchElement* e = f.target->freed.back();
    f.target->freed.pop_back();
    e->element.key1_len = MakeKey(shape, next_key++, e->key, 2);
    if (!f.target->Update(e)) {
      state.SkipWithError("insertion refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Heap bytes that the structure holds per element once filled: nodes, tables
// and, for the baseline, its copies of the keys. The elements themselves are
// the caller's and are allocated before the first reading.
void Memory(benchmark::State& state, Shape shape, Variant variant) {
  const int64_t size = state.range(0);
  double per_element = 0;
  for (auto _ : state) {
    KeySet keys(shape, size);
    const size_t before = mallinfo2().uordblks;
    std::unique_ptr<BenchTarget> target = MakeTarget(variant, keys, size);
    const size_t after = mallinfo2().uordblks;
    per_element = static_cast<double>(after - before) / static_cast<double>(size);
  }
  state.counters["heap_bytes_per_element"] = per_element;
}

// How the variant's hash spreads the keys: counters, not times.
void Buckets(benchmark::State& state, Shape shape, Variant variant) {
  Fixture& f = GetFixture("lookup", shape, variant, state.range(0));
  generic_cache_bucket_stats stats{};
  for (auto _ : state) {
    generic_cache_get_bucket_stats(static_cast<OurCache*>(f.target.get())->cache(), &stats);
  }
  state.counters["buckets"] = stats.num_buckets;
  state.counters["used_buckets"] = stats.key1_used_buckets;
  state.counters["longest_chain"] = stats.key1_longest_chain;
}

void RegisterAll() {
  const Shape shapes[] = {Shape::kHex, Shape::kPath};
  const Variant variants[] = {Variant::kDefault, Variant::kStrong, Variant::kBaseline};
  using Body = void (*)(benchmark::State&, Shape, Variant);
  const struct {
    const char* work;
    Body body;
  } works[] = {
      {"lookup_hit", LookupHit}, {"lookup_miss", LookupMiss}, {"update_evict", UpdateEvict}};
  // Works innermost: the lookups of one fixture run back to back and share it.
  for (Shape shape : shapes) {
    for (Variant variant : variants) {
      for (int64_t size : kSizes) {
        for (const auto& work : works) {
          const std::string name = std::string("cache/") + work.work + "/" + ShapeName(shape) +
                                   "/" + VariantName(variant);
          benchmark::RegisterBenchmark(name.c_str(), work.body, shape, variant)
              ->Arg(size)
              ->MinTime(0.1);
        }
      }
    }
  }
  for (Shape shape : shapes) {
    for (Variant variant : {Variant::kDefault, Variant::kStrong}) {
      const std::string name =
          std::string("cache/buckets/") + ShapeName(shape) + "/" + VariantName(variant);
      benchmark::RegisterBenchmark(name.c_str(), Buckets, shape, variant)
          ->Arg(100000)
          ->Iterations(1)
          ->Repetitions(1);
    }
  }
  for (Shape shape : shapes) {
    for (Variant variant : {Variant::kStrong, Variant::kBaseline}) {
      const std::string name =
          std::string("cache/memory/") + ShapeName(shape) + "/" + VariantName(variant);
      benchmark::RegisterBenchmark(name.c_str(), Memory, shape, variant)
          ->Arg(1000000)
          ->Iterations(1)
          ->Repetitions(1);
    }
  }
}

const bool registered = (RegisterAll(), true);

}  // namespace
