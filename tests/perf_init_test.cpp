// InitPerfCounters through its states in one process: disabled, then enabled
// once the switch reads 0, then final.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "perf/objectStorePerf.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/temp_registry.h"

namespace {

TEST(PerfInitTest, DisabledThenEnabledThenFinal) {
  if (ObjectStore::g_object_store_enable_perf) {
    GTEST_SKIP() << "the counters were enabled earlier in this process";
  }
  testing_support::TempRegistry registry("PerfInit");
  const std::string store = registry.file("PerfInit");
  testing_support::ScopedCaptureLog log(10);

  EXPECT_EQ(ObjectStore::g_object_store_counter, nullptr) << "null at load";

  std::ofstream(store) << "[~Zelt]\nnzeltDisablePerfCounters=1\n";
  ObjectStore::InitPerfCounters();
  EXPECT_FALSE(ObjectStore::g_object_store_enable_perf);
  EXPECT_EQ(ObjectStore::g_object_store_counter, nullptr);
  EXPECT_EQ(log->messages().size(), 1u);

  // The switch is read again by the next call; an unparsable value counts as
  // the default 0 and enables.
  std::ofstream(store) << "[~Zelt]\nnzeltDisablePerfCounters=off\n";
  log->clear();
  ObjectStore::InitPerfCounters();
  ASSERT_TRUE(ObjectStore::g_object_store_enable_perf);
  ThrdPerfCounter* const engine = ObjectStore::g_object_store_counter;
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(log->messages().size(), 1u) << "only the parse error";
  EXPECT_EQ(log->messages()[0].text, "Error: Can't parse [nzeltDisablePerfCounters]: [off]");
  EXPECT_EQ(engine->interval, 300);
  PerfCounterStats stats{};
  ASSERT_TRUE(engine->getStats(0, stats));
  EXPECT_EQ(stats.name, "backupinit");
  ASSERT_TRUE(engine->getStats(48, stats));
  EXPECT_EQ(stats.name, "stream_lock_wait");

  // Enabled is final: the switch is not even read any more.
  std::ofstream(store) << "[~Zelt]\nnzeltDisablePerfCounters=1\n";
  log->clear();
  ObjectStore::InitPerfCounters();
  EXPECT_TRUE(ObjectStore::g_object_store_enable_perf);
  EXPECT_EQ(ObjectStore::g_object_store_counter, engine);
  EXPECT_TRUE(log->messages().empty());
}

}  // namespace
