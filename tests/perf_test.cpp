// The counter engine on its own, and the timing scopes over the process's
// engine once InitPerfCounters has enabled it.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host/PerfCounter.h"
#include "host/PerfCounter_internal.h"
#include "perf/objectStorePerf.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/enabled_perf_test.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedCaptureLog;

const char* const kCatalogue[ObjectStore::PERF_COUNTER_COUNT] = {"backupinit",
                                                                 "backupjobstart",
                                                                 "backupitem",
                                                                 "create",
                                                                 "createAndOpen",
                                                                 "createSymLink",
                                                                 "mkdir",
                                                                 "open",
                                                                 "close",
                                                                 "writeExtent",
                                                                 "write",
                                                                 "readExtent",
                                                                 "read",
                                                                 "unlink",
                                                                 "rmdir",
                                                                 "rename",
                                                                 "getattr",
                                                                 "setattr",
                                                                 "getxattr",
                                                                 "setxattr",
                                                                 "fsync",
                                                                 "flock",
                                                                 "lock",
                                                                 "chmod",
                                                                 "utimes",
                                                                 "chown",
                                                                 "truncate",
                                                                 "guidToPath",
                                                                 "pathToGuid",
                                                                 "readdir",
                                                                 "read_for_backup",
                                                                 "write_to_pipeline",
                                                                 "updateVolumeSize",
                                                                 "readDirEnt",
                                                                 "addToDirEnt",
                                                                 "diskRead",
                                                                 "diskWrite",
                                                                 "custom1",
                                                                 "custom2",
                                                                 "custom3",
                                                                 "DiskCacheSync",
                                                                 "DiskCacheFstat",
                                                                 "DiskCacheDiskRead",
                                                                 "DiskCacheDiskWrite",
                                                                 "DiskCacheOpen",
                                                                 "DiskCacheSeek",
                                                                 "DiskCacheClose",
                                                                 "pipeline_commit",
                                                                 "stream_lock_wait"};

PerfCounterStats StatsOf(const ThrdPerfCounter& engine, int id) {
  PerfCounterStats stats{};
  EXPECT_TRUE(engine.getStats(id, stats)) << "counter " << id;
  return stats;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---------------------------------------------------------------------------
// The engine on its own
// ---------------------------------------------------------------------------

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = std::make_unique<ThrdPerfCounter>(nullptr);
    ASSERT_EQ(engine_->AddPerfCounter(0, "alpha", CTRBASETYPE_ELAPSED_TIME, false), 0);
    ASSERT_EQ(engine_->AddPerfCounter(1, "beta", CTRBASETYPE_ELAPSED_TIME, false), 0);
  }
  std::unique_ptr<ThrdPerfCounter> engine_;
};

TEST_F(EngineTest, StartsEnabledWithResetAllowedAndNoLogOnStop) {
  EXPECT_TRUE(engine_->enabled);
  EXPECT_TRUE(engine_->resetAllowed);
  EXPECT_FALSE(engine_->logOnStop);
  const PerfCounterStats fresh = StatsOf(*engine_, 0);
  EXPECT_EQ(fresh.name, "alpha");
  EXPECT_EQ(fresh.count, 0u);
  EXPECT_EQ(fresh.totalNs, 0u);
  EXPECT_EQ(fresh.minNs, 0u);
  EXPECT_EQ(fresh.maxNs, 0u);
}

TEST_F(EngineTest, MeasuresCountTotalMinimumAndMaximum) {
  for (int ms : {1, 5}) {
    engine_->StartPerfCounter("site", 0);
    SleepMs(ms);
    engine_->StopPerfCounter("site", 0, 0);
  }
  const PerfCounterStats stats = StatsOf(*engine_, 0);
  EXPECT_EQ(stats.count, 2u);
  EXPECT_GE(stats.minNs, 1000000u);
  EXPECT_GE(stats.maxNs, 5000000u);
  EXPECT_LE(stats.minNs, stats.maxNs);
  EXPECT_GE(stats.totalNs, stats.minNs + stats.maxNs);
  EXPECT_EQ(StatsOf(*engine_, 1).count, 0u) << "other counters untouched";
}

TEST_F(EngineTest, NestedScopesAreTimedSeparately) {
  engine_->StartPerfCounter("outer", 0);
  SleepMs(2);
  engine_->StartPerfCounter("inner", 0);  // the same counter, nested
  SleepMs(2);
  engine_->StopPerfCounter("inner", 0, 0);
  engine_->StartPerfCounter("other", 1);
  engine_->StopPerfCounter("other", 1, 0);
  engine_->StopPerfCounter("outer", 0, 0);

  const PerfCounterStats stats = StatsOf(*engine_, 0);
  EXPECT_EQ(stats.count, 2u);
  EXPECT_GE(stats.maxNs, 4000000u) << "the outer scope covers both sleeps";
  EXPECT_GE(stats.minNs, 2000000u);
  EXPECT_LT(stats.minNs, stats.maxNs);
  EXPECT_EQ(StatsOf(*engine_, 1).count, 1u);
}

TEST_F(EngineTest, UnmatchedStopsAreIgnored) {
  engine_->StopPerfCounter("never started", 0, 0);
  engine_->StartPerfCounter("site", 0);
  engine_->StopPerfCounter("another label", 0, 0);
  engine_->StopPerfCounter("site", 1, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 0u);
  EXPECT_EQ(StatsOf(*engine_, 1).count, 0u);

  // A stop on another thread does not end this thread's scope.
  std::thread([&] { engine_->StopPerfCounter("site", 0, 0); }).join();
  EXPECT_EQ(StatsOf(*engine_, 0).count, 0u);
  engine_->StopPerfCounter("site", 0, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u);
  engine_->StopPerfCounter("site", 0, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u) << "one start, one stop";
}

TEST_F(EngineTest, LabelsMatchByTextAndEnginesKeepTheirOwnScopes) {
  char copy[] = "site";
  engine_->StartPerfCounter(copy, 0);
  engine_->StopPerfCounter("site", 0, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u);

  ThrdPerfCounter other(nullptr);
  ASSERT_EQ(other.AddPerfCounter(0, "alpha", CTRBASETYPE_ELAPSED_TIME, false), 0);
  engine_->StartPerfCounter("site", 0);
  other.StopPerfCounter("site", 0, 0);
  EXPECT_EQ(StatsOf(other, 0).count, 0u);
  engine_->StopPerfCounter("site", 0, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 2u);
}

TEST_F(EngineTest, AFullScopeTableDropsTheOldestScope) {
  engine_->StartPerfCounter("oldest", 0);
  for (int i = 0; i < ThrdPerfCounter::kMaxOpenScopesPerThread; ++i) {
    engine_->StartPerfCounter("site", 1);
  }
  engine_->StopPerfCounter("oldest", 0, 0);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 0u);
  for (int i = 0; i < ThrdPerfCounter::kMaxOpenScopesPerThread + 1; ++i) {
    engine_->StopPerfCounter("site", 1, 0);
  }
  EXPECT_EQ(StatsOf(*engine_, 1).count,
            static_cast<uint64_t>(ThrdPerfCounter::kMaxOpenScopesPerThread));
}

TEST_F(EngineTest, RegistrationRefusesBadOrConflictingIds) {
  ScopedCaptureLog log(10);
  EXPECT_EQ(engine_->AddPerfCounter(-1, "neg", CTRBASETYPE_ELAPSED_TIME, false), -1);
  EXPECT_EQ(engine_->AddPerfCounter(ThrdPerfCounter::kMaxCounters, "big", CTRBASETYPE_ELAPSED_TIME,
                                    false),
            -1);
  EXPECT_EQ(engine_->AddPerfCounter(0, "renamed", CTRBASETYPE_ELAPSED_TIME, false), -1);
  EXPECT_EQ(log->messages().size(), 3u);
  EXPECT_EQ(engine_->AddPerfCounter(0, "alpha", CTRBASETYPE_ELAPSED_TIME, false), 0)
      << "the same registration again is harmless";
  EXPECT_EQ(StatsOf(*engine_, 0).name, "alpha");

  PerfCounterStats stats{};
  EXPECT_FALSE(engine_->getStats(2, stats));
  EXPECT_FALSE(engine_->getStats(-1, stats));
  EXPECT_FALSE(engine_->getStats(ThrdPerfCounter::kMaxCounters, stats));
  engine_->StartPerfCounter("unregistered", 2);
  engine_->StopPerfCounter("unregistered", 2, 0);
  EXPECT_FALSE(engine_->getStats(2, stats));
}

TEST_F(EngineTest, ClearEnabledReachesNothing) {
  ScopedCaptureLog log(10);
  engine_->logOnStop = true;
  engine_->StartPerfCounter("site", 0);
  engine_->enabled = false;
  engine_->StopPerfCounter("site", 0, 0);  // no stop, no report
  engine_->StartPerfCounter("site", 0);
  engine_->ResetPerfCounters("PerfCtr", nullptr, -1);
  engine_->enabled = true;
  engine_->StopPerfCounter("site", 0, 0);  // ends the first start
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u);
  EXPECT_FALSE(log->messages().empty()) << "the one enabled stop reports";
}

TEST_F(EngineTest, ResetNeedsBothFlagsAndHonoursTheSelector) {
  ASSERT_EQ(engine_->AddPerfCounter(2, "kept", CTRBASETYPE_ELAPSED_TIME, true), 0);
  auto CountOnce = [&] {
    for (int id : {0, 1, 2}) {
      engine_->StartPerfCounter("site", id);
      engine_->StopPerfCounter("site", id, 0);
    }
  };
  CountOnce();
  engine_->resetAllowed = false;
  engine_->ResetPerfCounters("PerfCtr", nullptr, -1);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u);

  engine_->resetAllowed = true;
  engine_->ResetPerfCounters("PerfCtr", "just one", 1);
  EXPECT_EQ(StatsOf(*engine_, 0).count, 1u);
  EXPECT_EQ(StatsOf(*engine_, 1).count, 0u);

  engine_->ResetPerfCounters("PerfCtr", nullptr, -1);
  const PerfCounterStats zeroed = StatsOf(*engine_, 0);
  EXPECT_EQ(zeroed.count, 0u);
  EXPECT_EQ(zeroed.totalNs, 0u);
  EXPECT_EQ(zeroed.minNs, 0u);
  EXPECT_EQ(zeroed.maxNs, 0u);
  EXPECT_EQ(StatsOf(*engine_, 2).count, 1u) << "registered to keep its figures";
}

TEST_F(EngineTest, LogOnStopReportsOncePerStopAfterCounting) {
  ScopedCaptureLog log(10);
  engine_->logOnStop = true;
  engine_->StartPerfCounter("timedSite", 1);
  engine_->StopPerfCounter("timedSite", 1, 0);

  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 2u) << "a heading and the one counter that counted";
  EXPECT_EQ(messages[0].text, "Performance counters at [timedSite] (For All The Files):");
  EXPECT_EQ(messages[1].text.rfind("beta: count=1 total=", 0), 0u) << messages[1].text;
  for (const auto& m : messages) EXPECT_EQ(m.level, 2);

  log->clear();
  ThrdPerfCounterInternals::logReport(*engine_, "direct", "Some Scope", 0);
  ASSERT_EQ(log->messages().size(), 1u) << "counter 0 has not counted";
  EXPECT_EQ(log->messages()[0].text, "Performance counters at [direct] (Some Scope):");
}

TEST(EnginePeriodicReportTest, AStopAfterTheIntervalWritesAReport) {
  ScopedCaptureLog log(10);
  EvEvent reported;
  ThrdPerfCounter engine(&reported);
  ASSERT_EQ(engine.AddPerfCounter(3, "periodic", CTRBASETYPE_ELAPSED_TIME, false), 0);
  engine.SetInterval(1);

  engine.StartPerfCounter("site", 3);
  engine.StopPerfCounter("site", 3, 0);
  EXPECT_FALSE(reported.isSet()) << "the interval has not passed yet";
  EXPECT_TRUE(log->messages().empty());

  SleepMs(1100);
  engine.StartPerfCounter("site", 3);
  engine.StopPerfCounter("site", 3, 0);
  EXPECT_TRUE(reported.wait(0));
  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].text.rfind("periodic: count=2 ", 0), 0u) << messages[1].text;

  reported.reset();
  engine.StartPerfCounter("site", 3);
  engine.StopPerfCounter("site", 3, 0);
  EXPECT_FALSE(reported.isSet()) << "the next report waits for the next interval";
}

// ---------------------------------------------------------------------------
// The process's engine, through the library
// ---------------------------------------------------------------------------

using ScopeTest = testing_support::EnabledPerfTest;

TEST_F(ScopeTest, TheEngineHoldsTheWholeCatalogue) {
  EXPECT_EQ(engine().interval, 300);
  for (int id = 0; id < ObjectStore::PERF_COUNTER_COUNT; ++id) {
    EXPECT_EQ(StatsOf(engine(), id).name, kCatalogue[id]) << "row " << id;
  }
  PerfCounterStats stats{};
  EXPECT_FALSE(engine().getStats(ObjectStore::PERF_COUNTER_COUNT, stats));
}

TEST_F(ScopeTest, ARepeatedInitReadsNothingAndKeepsTheEngine) {
  ThrdPerfCounter* const before = ObjectStore::g_object_store_counter;
  // A malformed store would be logged if it were read.
  {
    std::FILE* store = std::fopen(registry_->file("Instance001").c_str(), "w");
    ASSERT_NE(store, nullptr);
    std::fputs("not an ini file\n", store);
    std::fclose(store);
  }
  ScopedCaptureLog log(10);
  ObjectStore::InitPerfCounters();
  fs::remove(registry_->file("Instance001"));
  EXPECT_EQ(ObjectStore::g_object_store_counter, before);
  EXPECT_TRUE(ObjectStore::g_object_store_enable_perf);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(ScopeTest, TimeFunctionCountsItsLifetime) {
  {
    ObjectStore::TimeFunction timer("getFileSize", 41);
    SleepMs(1);
  }
  ObjectStore::OBJECT_STORE_START_PERF_COUNTER("custom", 37);
  ObjectStore::OBJECT_STORE_STOP_PERF_COUNTER("custom", 37);

  const PerfCounterStats fstat = StatsOf(engine(), 41);
  EXPECT_EQ(fstat.count, 1u);
  EXPECT_GE(fstat.totalNs, 1000000u);
  EXPECT_EQ(StatsOf(engine(), 37).count, 1u);
}

TEST_F(ScopeTest, AScopeLeftByAnExceptionStillStops) {
  try {
    ObjectStore::TimeFunction timer("throws", 12);
    throw std::runtime_error("leaving");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(StatsOf(engine(), 12).count, 1u);
}

TEST_F(ScopeTest, SilentWhenDisabledAtEitherLevel) {
  ScopedCaptureLog log(10);
  engine().logOnStop = true;

  engine().enabled = false;
  { ObjectStore::TimeFunction timer("engineOff", 5); }
  ObjectStore::clearPerfCounters();

  engine().enabled = true;
  ObjectStore::g_object_store_enable_perf = false;
  { ObjectStore::TimeFunction timer("globalOff", 6); }
  ObjectStore::g_object_store_enable_perf = true;

  EXPECT_EQ(StatsOf(engine(), 5).count, 0u);
  EXPECT_EQ(StatsOf(engine(), 6).count, 0u);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(ScopeTest, LogOnStopReportsAfterEveryStop) {
  ScopedCaptureLog log(10);
  engine().logOnStop = true;
  { ObjectStore::TimeFunction timer("first", 3); }
  { ObjectStore::TimeFunction timer("second", 3); }

  const auto texts = log->texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "Performance counters at [first] (For All The Files):");
  EXPECT_EQ(texts[1].rfind("create: count=1 ", 0), 0u) << texts[1];
  EXPECT_EQ(texts[2], "Performance counters at [second] (For All The Files):");
  EXPECT_EQ(texts[3].rfind("create: count=2 ", 0), 0u) << texts[3];
}

TEST_F(ScopeTest, ClearPerfCountersZeroesUnlessResetIsBarred) {
  { ObjectStore::TimeFunction timer("site", 7); }
  engine().resetAllowed = false;
  ObjectStore::clearPerfCounters();
  EXPECT_EQ(StatsOf(engine(), 7).count, 1u);

  engine().resetAllowed = true;
  ScopedCaptureLog log(10);
  ObjectStore::clearPerfCounters();
  EXPECT_EQ(StatsOf(engine(), 7).count, 0u);
  EXPECT_TRUE(log->messages().empty());
}

}  // namespace
