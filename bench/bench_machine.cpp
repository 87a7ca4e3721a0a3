// What the machine charges for sharing: the figures that say how to read the
// thread tables beside them.
//
//   machine/line_pingpong             two threads hand one cache line back and
//                                     forth; one_way_ns is a hand-over's time
//   machine/shared_fetch_add/<T>      T threads fetch_add one shared counter
//   machine/private_work/<T>          T threads each count on a line of their own
//
// items_per_second is all threads' operations together. Where passing a line
// costs tens of nanoseconds, shared_fetch_add falls with a second thread while
// private_work doubles: any line that every cache lookup writes limits the
// cache as the shared counter is limited.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "tools/osutil/load_driver.h"

namespace {

constexpr auto kRunTime = std::chrono::milliseconds(250);

void LinePingPong(benchmark::State& state) {
  constexpr int64_t kRoundTrips = 200000;
  alignas(64) std::atomic<int64_t> turn{0};
  for (auto _ : state) {
    turn.store(0);
    std::thread other([&] {
      for (int64_t i = 1; i < 2 * kRoundTrips; i += 2) {
        while (turn.load(std::memory_order_acquire) != i) {
        }
        turn.store(i + 1, std::memory_order_release);
      }
    });
    const auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < 2 * kRoundTrips; i += 2) {
      while (turn.load(std::memory_order_acquire) != i) {
      }
      turn.store(i + 1, std::memory_order_release);
    }
    while (turn.load(std::memory_order_acquire) != 2 * kRoundTrips) {
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    other.join();
    state.SetIterationTime(seconds);
    state.counters["one_way_ns"] = seconds * 1e9 / double(2 * kRoundTrips);
  }
}

// All workers' operations on `counter_of(worker index)`, for kRunTime.
template <class CounterOf>
void CountFor(benchmark::State& state, CounterOf counter_of) {
  const int threads = static_cast<int>(state.range(0));
  double rate = 0;
  for (auto _ : state) {
    std::vector<uint64_t> done(static_cast<size_t>(threads), 0);
    const osutil::LoadStats stats = osutil::runWorkers(
        threads,
        [&](osutil::WorkerContext& worker) {
          std::atomic<uint64_t>& counter = counter_of(worker.index);
          uint64_t count = 0;
          while (!worker.stopRequested()) {
            for (int i = 0; i < 256; ++i) counter.fetch_add(1, std::memory_order_relaxed);
            count += 256;
          }
          done[static_cast<size_t>(worker.index)] = count;
        },
        kRunTime);
    uint64_t total = 0;
    for (uint64_t count : done) total += count;
    rate = stats.seconds > 0 ? double(total) / stats.seconds : 0;
    state.SetIterationTime(stats.seconds);
  }
  state.counters["items_per_second"] = rate;
}

struct alignas(64) PaddedCounter {
  std::atomic<uint64_t> value{0};
};

void SharedFetchAdd(benchmark::State& state) {
  PaddedCounter shared;
  CountFor(state, [&](int) -> std::atomic<uint64_t>& { return shared.value; });
}

void PrivateWork(benchmark::State& state) {
  PaddedCounter own[8];
  CountFor(state, [&](int index) -> std::atomic<uint64_t>& { return own[index % 8].value; });
}

BENCHMARK(LinePingPong)
    ->Name("machine/line_pingpong")
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime();
BENCHMARK(SharedFetchAdd)
    ->Name("machine/shared_fetch_add")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime();
BENCHMARK(PrivateWork)
    ->Name("machine/private_work")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime();

}  // namespace
