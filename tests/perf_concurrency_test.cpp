#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/PerfCounter.h"
#include "host/PerfCounter_internal.h"
#include "perf/objectStorePerf.h"
#include "perf/perfMetrics.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/metrics_exposition.h"
#include "tests/support/temp_registry.h"

namespace {

// Whoever sees the flag set must find the engine with every counter.
// Meaningful only in a fresh process (ctest runs each test in its own).
TEST(PerfConcurrencyTest, TheFlagIsPublishedAfterTheEngineIsComplete) {
  if (__atomic_load_n(&ObjectStore::g_object_store_enable_perf, __ATOMIC_ACQUIRE)) {
    GTEST_SKIP() << "the counters were enabled earlier in this process";
  }
  testing_support::TempRegistry registry(nullptr);  // empty: the counters are on
  std::atomic<bool> incomplete{false};
  std::thread watcher([&] {
    while (!__atomic_load_n(&ObjectStore::g_object_store_enable_perf, __ATOMIC_ACQUIRE)) {
    }
    ThrdPerfCounter* engine = ObjectStore::g_object_store_counter;
    PerfCounterStats stats{};
    if (engine == nullptr || !engine->getStats(ObjectStore::PERF_COUNTER_COUNT - 1, stats)) {
      incomplete.store(true);
    }
  });
  ObjectStore::InitPerfCounters();
  watcher.join();
  EXPECT_FALSE(incomplete.load());
}

// Many threads time nested scopes on the same counters at once; every scope
// is counted exactly once while reports, reads and expositions run beside
// them; every exposition parses, and no count ever goes back.
TEST(PerfConcurrencyTest, ConcurrentScopesAreAllCounted) {
  testing_support::TempRegistry registry(nullptr);  // empty: the counters are on
  ObjectStore::InitPerfCounters();
  ASSERT_TRUE(ObjectStore::g_object_store_enable_perf);
  ThrdPerfCounter& engine = *ObjectStore::g_object_store_counter;
  ObjectStore::clearPerfCounters();

  testing_support::ScopedCaptureLog log(10);
  constexpr int kThreads = 6;
  constexpr int kIterations = 2000;
  std::atomic<bool> done{false};
  double last_count = 0;
  int regressions = 0;
  std::thread observer([&] {
    PerfCounterStats stats{};
    while (!done.load()) {
      engine.getStats(37, stats);
      ThrdPerfCounterInternals::logReport(engine, "observer", "For All The Files", -1);
      const auto metrics = testing_support::parseExposition(ObjectStore::formatPerfMetrics());
      const double count = metrics.byId("objstore_perf_operation_duration_seconds_count").at(37);
      if (count < last_count) ++regressions;
      last_count = count;
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([] {
      for (int i = 0; i < kIterations; ++i) {
        ObjectStore::TimeFunction outer("outer", 37);
        ObjectStore::TimeFunction inner("inner", 38);
        ObjectStore::TimeFunction nested("outer", 37);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  done.store(true);
  observer.join();

  EXPECT_EQ(regressions, 0);
  PerfCounterStats stats{};
  ASSERT_TRUE(engine.getStats(37, stats));
  EXPECT_EQ(stats.count, 2u * kThreads * kIterations);
  EXPECT_LE(stats.minNs, stats.maxNs);
  EXPECT_GE(stats.totalNs, stats.maxNs);
  ASSERT_TRUE(engine.getStats(38, stats));
  EXPECT_EQ(stats.count, 1u * kThreads * kIterations);
}

// Resets and registrations running beside timed code leave every counter
// consistent: a zeroed counter has no minimum or maximum left over.
TEST(PerfConcurrencyTest, ResetsAndRegistrationsBesideTiming) {
  ThrdPerfCounter engine(nullptr);
  ASSERT_EQ(engine.AddPerfCounter(0, "busy", CTRBASETYPE_ELAPSED_TIME, false), 0);
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};

  std::thread resetter([&] {
    for (int i = 0; i < 500; ++i) {
      engine.ResetPerfCounters("PerfCtr", nullptr, -1);
      PerfCounterStats stats{};
      engine.getStats(0, stats);
      if (stats.count == 0 && (stats.totalNs != 0 || stats.minNs != 0 || stats.maxNs != 0)) {
        inconsistent.fetch_add(1);
      }
      if (stats.count != 0 && stats.minNs > stats.maxNs) inconsistent.fetch_add(1);
    }
  });
  std::thread registrar([&] {
    for (int id = 1; id < ThrdPerfCounter::kMaxCounters; ++id) {
      engine.AddPerfCounter(id, "counter" + std::to_string(id), CTRBASETYPE_ELAPSED_TIME, false);
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      while (!done.load()) {
        engine.StartPerfCounter("busy", 0);
        engine.StartPerfCounter("late", 100 + t);  // may not be registered yet
        engine.StopPerfCounter("late", 100 + t, 0);
        engine.StopPerfCounter("busy", 0, 0);
      }
    });
  }
  resetter.join();
  registrar.join();
  done.store(true);
  for (std::thread& t : workers) t.join();

  EXPECT_EQ(inconsistent.load(), 0);
  PerfCounterStats stats{};
  for (int id = 1; id < ThrdPerfCounter::kMaxCounters; ++id) {
    ASSERT_TRUE(engine.getStats(id, stats));
    EXPECT_EQ(stats.name, "counter" + std::to_string(id));
  }
}

}  // namespace
