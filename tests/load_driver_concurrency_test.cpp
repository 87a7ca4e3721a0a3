// The multi-threaded load driver behind the cache benchmark and `osutil cache
// replay --threads`: its percentiles and its counting.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "tools/osutil/load_driver.h"

namespace {

using osutil::LatencyHistogram;
using osutil::LoadStats;
using osutil::runWorkers;
using osutil::WorkerContext;

LatencyHistogram histogramOf(const std::vector<uint64_t>& values) {
  LatencyHistogram histogram;
  for (uint64_t value : values) histogram.record(value);
  return histogram;
}

std::vector<uint64_t> oneTo(uint64_t n) {
  std::vector<uint64_t> values;
  for (uint64_t v = 1; v <= n; ++v) values.push_back(v);
  return values;
}

TEST(LatencyHistogram, PercentilesAreNearestRankWithinTheBucketError) {
  std::vector<uint64_t> tail(990, 100);
  tail.insert(tail.end(), 9, 5000);
  tail.push_back(1000000);
  const struct {
    const char* what;
    std::vector<uint64_t> values;
    double fraction;
    uint64_t low, high;  // the true value, and at most 1/32 above it
  } cases[] = {
      {"nothing recorded", {}, 0.99, 0, 0},
      {"one sample", {777}, 0.999, 777, 777},
      {"exact below 64", oneTo(50), 0.5, 25, 25},
      {"1..1000, p99", oneTo(1000), 0.99, 990, 990 + 990 / 32},
      {"1..1000, p99.9", oneTo(1000), 0.999, 999, 999 + 999 / 32},
      {"the top sample is never exceeded", oneTo(1000), 1.0, 1000, 1000},
      {"a tail: p99 below it", tail, 0.99, 100, 100 + 100 / 32},
      {"a tail: p99.9 inside it", tail, 0.999, 5000, 5000 + 5000 / 32},
      {"seconds-long outliers", {3000000000000ull}, 0.99, 3000000000000ull, 3000000000000ull},
  };
  for (const auto& c : cases) {
    const uint64_t got = histogramOf(c.values).percentile(c.fraction);
    EXPECT_GE(got, c.low) << c.what;
    EXPECT_LE(got, c.high) << c.what;
  }
}

TEST(LatencyHistogram, MergingEqualsRecordingTogether) {
  LatencyHistogram low = histogramOf(oneTo(500)), all = histogramOf(oneTo(1000));
  std::vector<uint64_t> upper;
  for (uint64_t v = 501; v <= 1000; ++v) upper.push_back(v);
  low.merge(histogramOf(upper));
  EXPECT_EQ(low.count(), all.count());
  for (double fraction : {0.5, 0.9, 0.99, 0.999}) {
    EXPECT_EQ(low.percentile(fraction), all.percentile(fraction)) << fraction;
  }
}

TEST(RunWorkers, CountsEveryOperationOfEveryWorkerAndSamplesOneIn64) {
  constexpr int kThreads = 4;
  constexpr uint64_t kPerWorker = 100000;
  std::atomic<uint64_t> done{0};
  std::vector<int> seen(kThreads, 0);
  const LoadStats stats = runWorkers(kThreads, [&](WorkerContext& worker) {
    seen[size_t(worker.index)] += 1;
    for (uint64_t i = 0; i < kPerWorker; ++i)
      worker.timer.run([&] { done.fetch_add(1, std::memory_order_relaxed); });
  });
  EXPECT_EQ(seen, std::vector<int>(kThreads, 1));
  EXPECT_EQ(stats.operations, kThreads * kPerWorker);
  EXPECT_EQ(done.load(), stats.operations);
  EXPECT_EQ(stats.latencies.count(), kThreads * ((kPerWorker + 63) / 64));
  EXPECT_GT(stats.seconds, 0);
}

TEST(RunWorkers, ATimedRunStopsItsWorkersAndAFailureReachesTheCaller) {
  const LoadStats timed = runWorkers(
      3,
      [](WorkerContext& worker) {
        while (!worker.stopRequested()) worker.timer.run([] {});
      },
      std::chrono::milliseconds(20));
  EXPECT_GT(timed.operations, 0u);

  // The workers that do not fail run until the failure stops them.
  EXPECT_THROW(runWorkers(3,
                          [](WorkerContext& worker) {
                            if (worker.index == 1) throw std::runtime_error("worker 1");
                            while (!worker.stopRequested()) worker.timer.run([] {});
                          }),
               std::runtime_error);
}

}  // namespace
