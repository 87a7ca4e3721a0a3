// The cache under concurrent callers, against three hand-written LRUs.
//
// T threads (1, 2, 4, 8) share one full cache of E elements (1,000 or
// 1,000,000) with 32-digit hexadecimal keys, each element charged as the
// cache charges it (key, 64 payload bytes, overhead). Each operation is a
// write with probability W, else a lookup; keys come from one fixed random
// sample of the workload's keys, which each thread walks from its own offset:
//   lookup        W = 0
//   promote10/50  W = 10 % / 50 %: a write marks a cached key most recently
//                 used (generic_cache_update_pos_with_key1)
//   evict10/50    W = 10 % / 50 %: a write inserts an element that is not
//                 cached (generic_cache_update_with_key1 with its new key),
//                 which evicts the least recently used one. Each thread holds
//                 one element out of the cache; the eviction its insertion
//                 causes hands it the next, so the keys cycle through E + 8.
//   zipf          a cache in front of a store, as a trace uses it: every
//                 operation promotes its key (a lookup that marks it used)
//                 and, when it missed, inserts the key's element, evicting.
//                 Keys are drawn from 100 E keys with Zipf exponent 1.0, which
//                 gives an LRU of E elements a hit ratio of about 50 %
//                 (reported as hit_ratio); 1,000 elements only.
// Variants, with the same keys, charges and budget:
//   ours          the cache, generic_cache_hash_strong for both tables
//   shared_mutex  unordered_map + list LRU, lookups under a shared lock
//   mutex         the same, everything under one std::mutex
//   sharded16     16 of the mutex LRU, a key's shard from the top bits of
//                 its hash, each with a sixteenth of the budget, as the
//                 best-known embedded caches shard (so it holds a little
//                 less than E, and some lookups miss)
//
// Every run lasts a fixed 250 ms of wall time instead of Google Benchmark's
// iteration search: with more threads than cores, a thread's progress depends
// on the scheduler, and a fixed count per thread would end with a tail in
// which fewer threads run. Reported: items_per_second (all threads together),
// and p99_ns and p999_ns over every 64th operation of each thread (timed with
// the monotonic clock, one clock read included). The load driver is the one
// that `osutil cache replay --threads` uses.
//
// Names: cache_threads/<mix>/<variant>/<elements>/<threads>.
//
// cache_threads/writer_wait/<variant>/1000/8: 8 threads look up while one
// more replaces a cached element (an exclusive operation) every 100 us;
// p50_ns, p99_ns and max_ns are the replacements' latencies, mostly the wait
// for the readers to let the writer in.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "bench/cache_keys.h"
#include "cache/mem_cache.h"
#include "tools/osutil/load_driver.h"
#include "tools/osutil/zipf.h"

namespace {

using cache_bench::ElementCharge;
using cache_bench::kHexKeyLength;
using cache_bench::kKeyStride;
using osutil::LoadStats;
using osutil::WorkerContext;

constexpr int kPayloadBytes = 64;
constexpr int kMaxThreads = 8;
constexpr int kThreadCounts[] = {1, 2, 4, kMaxThreads};
constexpr int64_t kSizes[] = {1000, 1000000};
constexpr int kSampleKeys = 1 << 16;  // a power of two
constexpr int kShards = 16;
constexpr auto kRunTime = std::chrono::milliseconds(250);
constexpr int kRepetitions = 3;

enum class WriteKind { kPromote, kEvict, kZipf };

// Mixes of one kind share a fixture (of one variant and size).
const char* FixtureTag(WriteKind kind) {
  return kind == WriteKind::kEvict ? "e" : kind == WriteKind::kZipf ? "z" : "p";
}

// The zipf mix: keys drawn from kZipfKeysPerElement times the cached elements.
constexpr int64_t kZipfKeysPerElement = 100;
constexpr double kZipfExponent = 1.0;

struct Mix {
  const char* name;
  int write_percent;
  WriteKind kind;
};

constexpr Mix kMixes[] = {
    {"lookup", 0, WriteKind::kPromote},     {"promote10", 10, WriteKind::kPromote},
    {"promote50", 50, WriteKind::kPromote}, {"evict10", 10, WriteKind::kEvict},
    {"evict50", 50, WriteKind::kEvict},     {"zipf", 100, WriteKind::kZipf}};

struct Element {
  generic_cache_element_t element;
  char key[kKeyStride];
};

const int64_t kCharge = ElementCharge(
    generic_cache_element_t{nullptr, nullptr, kHexKeyLength, -1, nullptr, kPayloadBytes});

// Where an evicted element goes: the list of the thread whose insertion
// evicted it (every variant evicts on the inserting thread).
thread_local std::vector<Element*>* t_evicted = nullptr;

void Evicted(Element* element) {
  if (t_evicted != nullptr) t_evicted->push_back(element);
}

// The elements of a run and the sample of keys that its operations draw.
struct Workload {
  Workload(int64_t cached, WriteKind kind)
      : count(kind == WriteKind::kEvict  ? cached + kMaxThreads
              : kind == WriteKind::kZipf ? cached * kZipfKeysPerElement
                                         : cached),
        elements(new Element[static_cast<size_t>(count)]),
        sample(static_cast<size_t>(kSampleKeys) * kKeyStride),
        sample_elements(kSampleKeys) {
    for (int64_t i = 0; i < count; ++i) {
      Element& e = elements[i];
      cache_bench::MakeHexKey(static_cast<uint64_t>(i), e.key);
      e.element = {e.key, nullptr, kHexKeyLength, -1, &e, kPayloadBytes};
    }
    std::mt19937_64 rng(42);
    const osutil::ZipfSampler zipf(static_cast<uint64_t>(count), kZipfExponent);
    for (size_t i = 0; i < kSampleKeys; ++i) {
      const int64_t drawn = kind == WriteKind::kZipf
                                ? static_cast<int64_t>(zipf.sample(rng) - 1)
                                : static_cast<int64_t>(rng() % static_cast<uint64_t>(count));
      sample_elements[i] = &elements[drawn];
      std::copy_n(elements[drawn].key, kKeyStride, &sample[i * kKeyStride]);
    }
  }
  // Sample keys lie side by side, so reading one costs every variant the same.
  const char* key(size_t i) const { return &sample[(i & (kSampleKeys - 1)) * kKeyStride]; }
  Element* element(size_t i) const { return sample_elements[i & (kSampleKeys - 1)]; }

  int64_t count;
  std::unique_ptr<Element[]> elements;
  std::vector<char> sample;
  std::vector<Element*> sample_elements;  // the element of each sample key
};

class OurCache {
 public:
  explicit OurCache(int64_t elements) {
    const cache_bench::CacheBudget budget = cache_bench::BudgetForExactly(elements, kCharge);
    cache_ =
        generic_cache_init_cache(budget.max_bytes, budget.expected_entry_size, &Release,
                                 generic_cache_hash_strong, generic_cache_hash_strong, true, true);
  }
  ~OurCache() { generic_cache_del_cache(cache_); }
  OurCache(const OurCache&) = delete;
  OurCache& operator=(const OurCache&) = delete;

  bool Find(const char* key) {
    return generic_cache_find_element_with_key1(cache_, key, kHexKeyLength) != nullptr;
  }
  bool Promote(const char* key) {
    return generic_cache_update_pos_with_key1(cache_, key, kHexKeyLength) == 0;
  }
  bool Insert(Element* e) {
    return generic_cache_update_with_key1(cache_, e->key, kHexKeyLength, &e->element) == 0;
  }

 private:
  static void Release(generic_cache_element_t* element) {
    Evicted(static_cast<Element*>(element->data));
  }
  generic_cache_t* cache_;
};

// The LRU users write by hand: a list of elements, most recent first, and a
// map from key to list position. The map's keys are views of the elements'
// own keys, which the cache does not copy either, so no lookup allocates.
template <class Mutex>
class alignas(64) TextbookLru {
 public:
  explicit TextbookLru(int64_t max_bytes) : max_bytes_(max_bytes) {}

  bool Find(std::string_view key) {
    ReadLock lock(mutex_);
    return index_.find(key) != index_.end();
  }
  bool Promote(std::string_view key) {
    std::lock_guard<Mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end()) return false;
    lru_.splice(lru_.begin(), lru_, found->second);
    return true;
  }
  bool Insert(Element* e) {
    const std::string_view key(e->key, kHexKeyLength);
    const int64_t charge = ElementCharge(e->element);
    std::lock_guard<Mutex> lock(mutex_);
    auto old = index_.find(key);
    if (old != index_.end()) Remove(old->second);
    while (cur_bytes_ + charge > max_bytes_ && !lru_.empty()) Remove(std::prev(lru_.end()));
    if (cur_bytes_ + charge > max_bytes_) return false;
    lru_.push_front(e);
    index_.emplace(key, lru_.begin());
    cur_bytes_ += charge;
    return true;
  }

 private:
  using ReadLock = std::conditional_t<std::is_same_v<Mutex, std::shared_mutex>,
                                      std::shared_lock<Mutex>, std::lock_guard<Mutex>>;
  using Position = typename std::list<Element*>::iterator;

  void Remove(Position position) {
    Element* e = *position;
    cur_bytes_ -= ElementCharge(e->element);
    index_.erase(std::string_view(e->key, kHexKeyLength));
    lru_.erase(position);
    Evicted(e);
  }

  Mutex mutex_;
  std::list<Element*> lru_;
  std::unordered_map<std::string_view, Position> index_;
  int64_t max_bytes_;
  int64_t cur_bytes_ = 0;
};

class SharedMutexLru : public TextbookLru<std::shared_mutex> {
 public:
  explicit SharedMutexLru(int64_t elements) : TextbookLru(elements * kCharge) {}
  bool Find(const char* key) { return TextbookLru::Find({key, kHexKeyLength}); }
  bool Promote(const char* key) { return TextbookLru::Promote({key, kHexKeyLength}); }
};

class MutexLru : public TextbookLru<std::mutex> {
 public:
  explicit MutexLru(int64_t elements) : TextbookLru(elements * kCharge) {}
  bool Find(const char* key) { return TextbookLru::Find({key, kHexKeyLength}); }
  bool Promote(const char* key) { return TextbookLru::Promote({key, kHexKeyLength}); }
};

class ShardedLru {
 public:
  explicit ShardedLru(int64_t elements) {
    const int64_t share = (elements * kCharge + kShards - 1) / kShards;
    for (auto& shard : shards_) shard = std::make_unique<TextbookLru<std::mutex>>(share);
  }
  bool Find(const char* key) { return Shard({key, kHexKeyLength}).Find({key, kHexKeyLength}); }
  bool Promote(const char* key) {
    return Shard({key, kHexKeyLength}).Promote({key, kHexKeyLength});
  }
  bool Insert(Element* e) { return Shard({e->key, kHexKeyLength}).Insert(e); }

 private:
  TextbookLru<std::mutex>& Shard(std::string_view key) {
    return *shards_[std::hash<std::string_view>{}(key) >> 60];  // 16 shards: the top 4 bits
  }
  std::array<std::unique_ptr<TextbookLru<std::mutex>>, kShards> shards_;
};

// A variant filled with a workload's elements. Those that did not fit are
// the spares: the elements that the evicting writes insert.
struct FixtureBase {
  virtual ~FixtureBase() = default;
};

template <class Target>
struct Fixture : FixtureBase {
  Fixture(int64_t elements, WriteKind kind) : workload(elements, kind), target(elements) {
    t_evicted = kind == WriteKind::kZipf ? nullptr : &spares;
    const int64_t filled = kind == WriteKind::kZipf ? elements : workload.count;
    for (int64_t i = 0; i < filled; ++i) target.Insert(&workload.elements[i]);
    t_evicted = nullptr;
  }
  Workload workload;  // first: it outlives the target, which releases into it
  Target target;
  std::vector<Element*> spares;
};

// One fixture lives at a time (a million-element one is large); the runs are
// registered so that those of one fixture follow each other.
template <class Target>
Fixture<Target>& GetFixture(const std::string& id, int64_t elements, WriteKind kind) {
  static std::unique_ptr<FixtureBase> fixture;
  static std::string fixture_id;
  if (fixture_id != id) {
    fixture.reset();
    fixture = std::make_unique<Fixture<Target>>(elements, kind);
    fixture_id = id;
  }
  return static_cast<Fixture<Target>&>(*fixture);
}

uint64_t XorShift(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

// One thread's share of a run. Returns the element it holds out of the cache
// at the end (null for a mix without evicting writes).
// One thread's share of the zipf mix; counts its hits.
template <class Target>
void WorkZipf(Fixture<Target>& f, int threads, WorkerContext& worker, uint64_t* hits) {
  size_t next = static_cast<size_t>(worker.index) * (kSampleKeys / static_cast<size_t>(threads));
  uint64_t found = 0;
  while (!worker.stopRequested()) {
    for (int i = 0; i < 64; ++i, ++next) {
      const char* key = f.workload.key(next);
      worker.timer.run([&] {
        if (f.target.Promote(key))
          ++found;
        else
          f.target.Insert(f.workload.element(next));
      });
    }
  }
  *hits = found;
}

template <class Target>
Element* Work(Fixture<Target>& f, const Mix& mix, int threads, WorkerContext& worker) {
  std::vector<Element*> held;
  held.reserve(4);
  if (mix.kind == WriteKind::kEvict) held.push_back(f.spares[size_t(worker.index)]);
  t_evicted = &held;
  const uint64_t write_below = UINT64_MAX / 100 * static_cast<uint64_t>(mix.write_percent);
  uint64_t rng = cache_bench::SplitMix64(static_cast<uint64_t>(worker.index) + 1);
  size_t next = static_cast<size_t>(worker.index) * (kSampleKeys / static_cast<size_t>(threads));
  while (!worker.stopRequested()) {
    for (int i = 0; i < 64; ++i) {
      const char* key = f.workload.key(next++);
      if (XorShift(rng) >= write_below) {
        worker.timer.run([&] { benchmark::DoNotOptimize(f.target.Find(key)); });
      } else if (mix.kind == WriteKind::kPromote) {
        worker.timer.run([&] { benchmark::DoNotOptimize(f.target.Promote(key)); });
      } else {
        Element* e = held.back();
        held.pop_back();
        bool inserted = false;
        worker.timer.run([&] { inserted = f.target.Insert(e); });
        if (!inserted) held.push_back(e);
        if (held.empty()) {
          t_evicted = nullptr;
          throw std::logic_error("an insertion into a full cache evicted nothing");
        }
      }
    }
  }
  t_evicted = nullptr;
  return held.empty() ? nullptr : held.back();
}

template <class Target>
void RunMix(benchmark::State& state, const char* variant, const Mix& mix, int64_t elements,
            int threads) {
  Fixture<Target>& f = GetFixture<Target>(
      std::string(variant) + std::to_string(elements) + FixtureTag(mix.kind), elements, mix.kind);
  if (mix.kind == WriteKind::kEvict && f.spares.size() < size_t(threads)) {
    state.SkipWithError("fewer spare elements than threads");
    return;
  }
  LoadStats stats;
  std::vector<uint64_t> hits(size_t(threads), 0);
  for (auto _ : state) {
    std::vector<Element*> held(size_t(threads), nullptr);
    try {
      stats = osutil::runWorkers(
          threads,
          [&](WorkerContext& worker) {
            if (mix.kind == WriteKind::kZipf)
              WorkZipf(f, threads, worker, &hits[size_t(worker.index)]);
            else
              held[size_t(worker.index)] = Work(f, mix, threads, worker);
          },
          kRunTime);
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
    for (int i = 0; i < threads && mix.kind == WriteKind::kEvict; ++i)
      f.spares[size_t(i)] = held[size_t(i)];
    state.SetIterationTime(stats.seconds);
  }
  state.counters["items_per_second"] = stats.operationsPerSecond();
  state.counters["p99_ns"] = static_cast<double>(stats.latencies.percentile(0.99));
  state.counters["p999_ns"] = static_cast<double>(stats.latencies.percentile(0.999));
  if (mix.kind == WriteKind::kZipf) {
    uint64_t all_hits = 0;
    for (uint64_t h : hits) all_hits += h;
    state.counters["hit_ratio"] =
        stats.operations > 0 ? double(all_hits) / double(stats.operations) : 0;
  }
}

// The writer-wait run: readers look up without pause while one thread
// re-inserts a cached element every kWriterPeriod and times each call.
constexpr auto kWriterPeriod = std::chrono::microseconds(100);

template <class Target>
void RunWriterWait(benchmark::State& state, const char* variant, int readers) {
  constexpr int64_t kElements = 1000;
  Fixture<Target>& f =
      GetFixture<Target>(std::string(variant) + "1000" + FixtureTag(WriteKind::kPromote), kElements,
                         WriteKind::kPromote);
  osutil::LatencyHistogram waits;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < readers; ++t)
      threads.emplace_back([&, t] {
        size_t next = static_cast<size_t>(t) * 997;
        while (!stop.load(std::memory_order_relaxed))
          for (int i = 0; i < 64; ++i)
            benchmark::DoNotOptimize(f.target.Find(f.workload.key(next++)));
      });
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + kRunTime;
    for (int64_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
      Element* e = &f.workload.elements[i % kElements];
      const auto before = std::chrono::steady_clock::now();
      f.target.Insert(e);  // cached already: replaced by itself, exclusively
      const auto after = std::chrono::steady_clock::now();
      waits.record(
          uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count()));
      std::this_thread::sleep_until(before + kWriterPeriod);
    }
    stop = true;
    for (std::thread& th : threads) th.join();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["p50_ns"] = double(waits.percentile(0.5));
  state.counters["p99_ns"] = double(waits.percentile(0.99));
  state.counters["max_ns"] = double(waits.percentile(1.0));
}

template <class Target>
void RegisterVariant(const char* variant, int64_t elements) {
  for (WriteKind kind : {WriteKind::kPromote, WriteKind::kEvict, WriteKind::kZipf}) {
    if (kind == WriteKind::kZipf && elements != kSizes[0]) continue;
    for (const Mix& mix : kMixes) {
      if (mix.kind != kind) continue;
      for (int threads : kThreadCounts) {
        const std::string name = std::string("cache_threads/") + mix.name + "/" + variant + "/" +
                                 std::to_string(elements) + "/" + std::to_string(threads);
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& state) {
                                       RunMix<Target>(state, variant, mix, elements, threads);
                                     })
            ->Iterations(1)
            ->Repetitions(kRepetitions)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

template <class Target>
void RegisterWriterWait(const char* variant) {
  const std::string name = std::string("cache_threads/writer_wait/") + variant + "/1000/8";
  benchmark::RegisterBenchmark(
      name.c_str(),
      [=](benchmark::State& state) { RunWriterWait<Target>(state, variant, kMaxThreads); })
      ->Iterations(1)
      ->Repetitions(kRepetitions)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

void RegisterAll() {
  for (int64_t elements : kSizes) {
    RegisterVariant<OurCache>("ours", elements);
    RegisterVariant<SharedMutexLru>("shared_mutex", elements);
    RegisterVariant<MutexLru>("mutex", elements);
    RegisterVariant<ShardedLru>("sharded16", elements);
  }
  RegisterWriterWait<OurCache>("ours");
  // Not std::shared_mutex: glibc's prefers readers, and its writer never gets in.
  RegisterWriterWait<ShardedLru>("sharded16");
}

const bool registered = (RegisterAll(), true);

}  // namespace
