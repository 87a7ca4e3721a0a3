// Reader-writer locks and mutual-exclusion locks under short critical
// sections (some 50 ns, as the cache's lookups and promotions hold its lock),
// from 1, 2, 4 and 8 threads: ZqComplexLock against std::shared_mutex and,
// where this build found them, abseil's and TBB's locks.
//
//   locks/rw/<lock>/<percent exclusive>/threads:N
//   locks/section/<lock>/threads:N        exclusive only: the GUID section's work
//
// items_per_second is the acquisitions of all threads together per second.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <benchmark/benchmark.h>

#include "host/Locks.h"

#ifdef OBJSTORE_BENCH_HAVE_ABSL
#include <absl/synchronization/mutex.h>
#endif
#ifdef OBJSTORE_BENCH_HAVE_TBB
#include <oneapi/tbb/mutex.h>
#include <oneapi/tbb/rw_mutex.h>
#include <oneapi/tbb/spin_mutex.h>
#include <oneapi/tbb/spin_rw_mutex.h>
#endif

namespace {

// Dependent multiply steps: each costs a few cycles and none can be skipped.
inline uint64_t Work(uint64_t x, int steps) {
  for (int i = 0; i < steps; ++i) x = (x ^ (x >> 29)) * 0xbf58476d1ce4e5b9ULL;
  return x;
}

constexpr int kInsideSteps = 40;  // about 50 ns
constexpr int kOutsideSteps = 4;  // the caller's own work between sections

// The adapters give every lock the same four calls.
struct OursLock {
  ZqComplexLock lock;
  void LockShared() { lock.rdlock(); }
  void UnlockShared() { lock.unlock(); }
  void Lock() { lock.rwlock(); }
  void Unlock() { lock.unlock(); }
};

// The standard library's locks and TBB's share one shape (the shared calls are
// compiled only for the reader-writer ones, which alone use them).
template <typename Mutex>
struct StandardShapeLock {
  Mutex lock;
  void LockShared() { lock.lock_shared(); }
  void UnlockShared() { lock.unlock_shared(); }
  void Lock() { lock.lock(); }
  void Unlock() { lock.unlock(); }
};

#ifdef OBJSTORE_BENCH_HAVE_ABSL
struct AbslLock {
  absl::Mutex lock;
  void LockShared() { lock.ReaderLock(); }
  void UnlockShared() { lock.ReaderUnlock(); }
  void Lock() { lock.WriterLock(); }
  void Unlock() { lock.WriterUnlock(); }
};
#endif

// One lock and the line of data it guards, each on a cache line of its own.
template <typename Lock>
struct Guarded {
  alignas(64) Lock lock;
  alignas(64) uint64_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

template <typename Lock>
Guarded<Lock>& Instance() {
  static Guarded<Lock> guarded;
  return guarded;
}

// Readers fold the guarded line into a value; writers write it back.
template <typename Lock>
void ReadWrite(benchmark::State& state) {
  Guarded<Lock>& guarded = Instance<Lock>();
  const uint64_t exclusive_percent = static_cast<uint64_t>(state.range(0));
  uint64_t random = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(state.thread_index() + 1);
  uint64_t sink = 0;
  for (auto _ : state) {
    random = Work(random, kOutsideSteps);
    if (random % 100 < exclusive_percent) {
      guarded.lock.Lock();
      const uint64_t value = Work(guarded.data[random % 8], kInsideSteps);
      guarded.data[random % 8] = value;
      guarded.lock.Unlock();
    } else {
      guarded.lock.LockShared();
      sink += Work(guarded.data[random % 8], kInsideSteps);
      guarded.lock.UnlockShared();
    }
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

template <typename Lock>
void Section(benchmark::State& state) {
  Guarded<Lock>& guarded = Instance<Lock>();
  uint64_t random = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(state.thread_index() + 1);
  for (auto _ : state) {
    random = Work(random, kOutsideSteps);
    guarded.lock.Lock();
    guarded.data[random % 8] = Work(guarded.data[random % 8], kInsideSteps);
    guarded.lock.Unlock();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Threads(benchmark::internal::Benchmark* bench) {
  bench->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();
}

template <typename Lock>
void RegisterReadWrite(const char* name) {
  benchmark::RegisterBenchmark((std::string("locks/rw/") + name).c_str(), ReadWrite<Lock>)
      ->Arg(0)
      ->Arg(10)
      ->Arg(50)
      ->Apply(Threads);
}

template <typename Lock>
void RegisterSection(const char* name) {
  benchmark::RegisterBenchmark((std::string("locks/section/") + name).c_str(), Section<Lock>)
      ->Apply(Threads);
}

const bool kRegistered = [] {
  RegisterReadWrite<OursLock>("ours");
  RegisterReadWrite<StandardShapeLock<std::shared_mutex>>("shared_mutex");
  RegisterSection<OursLock>("ours");
  RegisterSection<StandardShapeLock<std::mutex>>("std_mutex");
#ifdef OBJSTORE_BENCH_HAVE_ABSL
  RegisterReadWrite<AbslLock>("absl");
  RegisterSection<AbslLock>("absl");
#endif
#ifdef OBJSTORE_BENCH_HAVE_TBB
  RegisterReadWrite<StandardShapeLock<tbb::spin_rw_mutex>>("tbb_spin_rw");
  RegisterReadWrite<StandardShapeLock<tbb::rw_mutex>>("tbb_rw");
  RegisterSection<StandardShapeLock<tbb::spin_mutex>>("tbb_spin");
  RegisterSection<StandardShapeLock<tbb::mutex>>("tbb_mutex");
#endif
  return true;
}();

}  // namespace
