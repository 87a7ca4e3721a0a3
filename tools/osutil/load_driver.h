// Drives a workload from several threads at once and measures it: total
// operations per second and the latency of a sample of the operations.
//
// Shared by `osutil cache replay --threads` and the cache's concurrency
// benchmark, so that both report the same figures measured the same way:
//
//   LoadStats stats = runWorkers(4, [&](WorkerContext& worker) {
//     while (!worker.stopRequested())
//       for (int i = 0; i < 64; ++i) worker.timer.run([&] { cache_lookup(...); });
//   }, std::chrono::milliseconds(250));
//   stats.operationsPerSecond(); stats.latencies.percentile(0.999);
//
// Header-only: the operation is a template argument, so the timed loop has no
// indirect call in it.
#ifndef OBJSTORE_TOOLS_OSUTIL_LOAD_DRIVER_H_
#define OBJSTORE_TOOLS_OSUTIL_LOAD_DRIVER_H_

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace osutil {

// Nanosecond latencies in log-linear buckets: exact below 64, then 32 buckets
// per power of two, so a percentile is at most 1/32 (3 %) above the truth.
// Recording costs a count-leading-zeros and an increment, whatever the value.
class LatencyHistogram {
 public:
  void record(uint64_t nanoseconds) {
    ++counts_[bucketOf(nanoseconds)];
    ++count_;
    max_ = std::max(max_, nanoseconds);
  }

  void merge(const LatencyHistogram& other) {
    for (size_t i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
  }

  uint64_t count() const { return count_; }

  // The nearest-rank percentile: a value that at least `fraction` (0 to 1) of
  // the samples do not exceed, rounded up to its bucket's top and never above
  // the largest sample. 0 when nothing was recorded.
  uint64_t percentile(double fraction) const {
    if (count_ == 0) return 0;
    const double wanted = std::ceil(std::clamp(fraction, 0.0, 1.0) * double(count_));
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
      seen += counts_[i];
      if (seen >= rank) return std::min(bucketTop(i), max_);
    }
    return max_;
  }

 private:
  static constexpr int kSubBits = 5;                  // 32 buckets per power of two
  static constexpr uint64_t kExact = 2u << kSubBits;  // values below are their own bucket
  static constexpr size_t kBuckets = kExact + (64 - kSubBits - 1) * (1u << kSubBits);

  static size_t bucketOf(uint64_t value) {
    if (value < kExact) return static_cast<size_t>(value);
    const int exponent = 63 - __builtin_clzll(value);  // at least kSubBits + 1
    const int shift = exponent - kSubBits;
    const uint64_t sub = (value >> shift) - (1u << kSubBits);
    return static_cast<size_t>(kExact + uint64_t(shift - 1) * (1u << kSubBits) + sub);
  }

  // The largest value that falls into bucket `index`.
  static uint64_t bucketTop(size_t index) {
    if (index < kExact) return index;
    const size_t above = index - kExact;
    const int shift = static_cast<int>(above >> kSubBits) + 1;
    const uint64_t sub = above & ((1u << kSubBits) - 1);
    return (((1u << kSubBits) + sub + 1) << shift) - 1;
  }

  std::array<uint64_t, kBuckets> counts_{};
  uint64_t count_ = 0;
  uint64_t max_ = 0;
};

// Counts one worker's operations and times every 64th, the first included,
// with the monotonic clock. Two clock reads per 64 operations keep the
// sampling to well under a nanosecond per operation; a sampled latency
// includes one clock read (some 20 ns).
class OperationTimer {
 public:
  static constexpr uint64_t kSampleEvery = 64;

  template <class Operation>
  void run(Operation&& operation) {
    if (operations_++ % kSampleEvery != 0) {
      operation();
      return;
    }
    const auto start = std::chrono::steady_clock::now();
    operation();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    latencies_.record(static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  }

  uint64_t operations() const { return operations_; }
  const LatencyHistogram& latencies() const { return latencies_; }

 private:
  uint64_t operations_ = 0;
  LatencyHistogram latencies_;
};

// What a worker is handed: its index (0 to threads - 1), its timer, and
// whether a timed run has asked it to stop.
struct alignas(64) WorkerContext {  // one cache line each: timers are written per operation
  int index = 0;
  OperationTimer timer;
  const std::atomic<bool>* stop = nullptr;

  bool stopRequested() const { return stop->load(std::memory_order_relaxed); }
};

// The figures of one run, or of several runs added together.
struct LoadStats {
  uint64_t operations = 0;
  double seconds = 0;  // from the common start to the last worker's return
  LatencyHistogram latencies;

  void add(const LoadStats& other) {
    operations += other.operations;
    seconds += other.seconds;
    latencies.merge(other.latencies);
  }
  double operationsPerSecond() const { return seconds > 0 ? double(operations) / seconds : 0.0; }
};

// Runs work(WorkerContext&) on `threads` new threads. Every worker is started
// and waiting before the clock starts and they are released together. With a
// positive `duration`, stopRequested() turns true once it has passed, and the
// workers are expected to poll it; otherwise the run lasts until every worker
// has returned. The first exception a worker throws stops the others (through
// stopRequested()) and is rethrown here once all have returned.
template <class Work>
LoadStats runWorkers(int threads, Work&& work,
                     std::chrono::nanoseconds duration = std::chrono::nanoseconds(0)) {
  using Clock = std::chrono::steady_clock;
  const int count = std::max(1, threads);
  std::vector<WorkerContext> contexts(static_cast<size_t>(count));
  std::vector<Clock::time_point> ends(static_cast<size_t>(count));
  std::vector<std::exception_ptr> failures(static_cast<size_t>(count));
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};

  std::vector<std::thread> pool;
  pool.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    contexts[size_t(i)].index = i;
    contexts[size_t(i)].stop = &stop;
    pool.emplace_back([&, i] {
      ready.fetch_add(1, std::memory_order_release);
      // Yielding, not spinning: with more workers than cores, a spinning
      // worker would keep the others from reaching the start line.
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      try {
        work(contexts[size_t(i)]);
      } catch (...) {
        failures[size_t(i)] = std::current_exception();
        stop.store(true, std::memory_order_relaxed);
      }
      ends[size_t(i)] = Clock::now();
    });
  }
  while (ready.load(std::memory_order_acquire) < count) std::this_thread::yield();
  const Clock::time_point start = Clock::now();
  go.store(true, std::memory_order_release);
  if (duration.count() > 0) {
    // Sleeping in slices lets a run whose workers all failed end early.
    const Clock::time_point deadline = start + duration;
    while (!stop.load(std::memory_order_relaxed) && Clock::now() < deadline) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(10)));
    }
    stop.store(true, std::memory_order_relaxed);
  }
  for (std::thread& thread : pool) thread.join();

  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  LoadStats stats;
  Clock::time_point last = start;
  for (size_t i = 0; i < contexts.size(); ++i) {
    stats.operations += contexts[i].timer.operations();
    stats.latencies.merge(contexts[i].timer.latencies());
    last = std::max(last, ends[i]);
  }
  stats.seconds = std::chrono::duration<double>(last - start).count();
  return stats;
}

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_LOAD_DRIVER_H_
