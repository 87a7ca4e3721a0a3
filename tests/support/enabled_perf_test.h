// A fixture for tests of the process's counter engine: enables the counters
// from an empty configuration store (InitPerfCounters is idempotent once
// enabled) and starts each test from zeroed counters and default flags.
#ifndef OBJSTORE_TESTS_SUPPORT_ENABLED_PERF_TEST_H_
#define OBJSTORE_TESTS_SUPPORT_ENABLED_PERF_TEST_H_

#include <optional>

#include <gtest/gtest.h>

#include "host/PerfCounter.h"
#include "perf/objectStorePerf.h"
#include "tests/support/temp_registry.h"

namespace testing_support {

class EnabledPerfTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { registry_.emplace(nullptr); }
  static void TearDownTestSuite() { registry_.reset(); }
  void SetUp() override {
    ObjectStore::InitPerfCounters();
    ASSERT_TRUE(ObjectStore::g_object_store_enable_perf);
    ASSERT_NE(ObjectStore::g_object_store_counter, nullptr);
    RestoreFlags();
    ObjectStore::clearPerfCounters();
  }
  // A test that changes a flag and fails half-way leaves no trace in the next.
  void TearDown() override { RestoreFlags(); }

  static ThrdPerfCounter& engine() { return *ObjectStore::g_object_store_counter; }

  // The store read when no focus is set (empty unless a test writes it).
  inline static std::optional<TempRegistry> registry_;

 private:
  static void RestoreFlags() {
    engine().enabled = true;
    engine().resetAllowed = true;
    engine().logOnStop = false;
  }
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_ENABLED_PERF_TEST_H_
