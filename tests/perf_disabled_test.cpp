// The counters switched off by configuration. This process never enables
// them, so every test sees the Disabled state whatever the order.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "perf/objectStorePerf.h"
#include "perf/objectStorePerf_internal.h"
#include "perf/perfMetrics.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/metrics_exposition.h"
#include "tests/support/temp_registry.h"

namespace {

class PerfDisabledTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::ofstream(registry_.file("PerfDisabled"))
        << "[~Zelt]\nnzeltDisablePerfCounters=" << GetParam() << "\n";
  }
  testing_support::TempRegistry registry_{"PerfDisabled"};
};

TEST_P(PerfDisabledTest, LeavesNoEngineAndSaysSoOncePerCall) {
  testing_support::ScopedCaptureLog log(10);
  for (int call = 1; call <= 2; ++call) {
    ObjectStore::InitPerfCounters();
    EXPECT_FALSE(ObjectStore::g_object_store_enable_perf);
    EXPECT_EQ(ObjectStore::g_object_store_counter, nullptr);
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(call));
    EXPECT_EQ(messages.back().level, 2);
    EXPECT_EQ(messages.back().text, "Info: performance counters are disabled.");
    EXPECT_EQ(messages.back().function, ObjectStore::kInitPerfCountersSignature);
  }
}

TEST_P(PerfDisabledTest, ScopesAndClearDoNothing) {
  ObjectStore::InitPerfCounters();
  testing_support::ScopedCaptureLog log(10);
  // With a null engine, any read through the pointer would crash here.
  { ObjectStore::TimeFunction timer("getFileSize", 41); }
  ObjectStore::OBJECT_STORE_START_PERF_COUNTER("site", 0);
  ObjectStore::OBJECT_STORE_STOP_PERF_COUNTER("site", 0);
  ObjectStore::clearPerfCounters();
  EXPECT_EQ(ObjectStore::g_object_store_counter, nullptr);
  EXPECT_TRUE(log->messages().empty());
}

TEST_P(PerfDisabledTest, MetricsSayDisabledAndHoldNoCounters) {
  ObjectStore::InitPerfCounters();
  using ObjectStore::PERF_METRICS_OPENMETRICS, ObjectStore::PERF_METRICS_PROMETHEUS;
  for (auto format : {PERF_METRICS_PROMETHEUS, PERF_METRICS_OPENMETRICS}) {
    const auto metrics = testing_support::parseExposition(ObjectStore::formatPerfMetrics(format));
    ASSERT_EQ(metrics.samples.size(), 1u);
    EXPECT_EQ(metrics.samples[0].name, "objstore_perf_counters_enabled");
    EXPECT_EQ(metrics.samples[0].value, "0");
  }
}

INSTANTIATE_TEST_SUITE_P(NonZeroValues, PerfDisabledTest,
                         ::testing::Values("1", "-5", "2147483647"));

}  // namespace
