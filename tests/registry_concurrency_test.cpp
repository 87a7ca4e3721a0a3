#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/temp_registry.h"

namespace {

class RegistryConcurrencyTest : public ::testing::Test {
 protected:
  // The environment is set before any thread starts and never changed while
  // they run.
  testing_support::TempRegistry registry_{"Concurrent"};
};

// Readers must always see a whole store: either the old or the new value,
// never an absent one, a parse error or a lost neighbour.
TEST_F(RegistryConcurrencyTest, LookupsWhileASetterReplacesTheFile) {
  ZQPlatformInfo seed;
  ASSERT_TRUE(seed.setString("Zelt", "name", "steady"));
  ASSERT_TRUE(seed.setValue("~Zelt", "counter", 0));

  testing_support::ScopedCaptureLog log(10);
  constexpr int kWrites = 200;
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      while (!done.load()) {
        const int value = ObjectStore::getRegistryValue<int>("counter", -1, 0, INT_MAX);
        // One writer counts upwards, so a reader never goes back in time.
        if (value < last || value > kWrites) bad_reads.fetch_add(1);
        last = value;
        if (ObjectStore::getRegistryString("name") != "steady") bad_reads.fetch_add(1);
      }
    });
  }
  std::thread writer([&] {
    ZQPlatformInfo store;
    for (int i = 1; i <= kWrites; ++i) store.setValue("~Zelt", "counter", i);
    done.store(true);
  });
  writer.join();
  for (std::thread& t : readers) t.join();

  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("counter", -1, 0, INT_MAX), kWrites);
  EXPECT_TRUE(log->messages().empty());
}

// Every writer reads, changes and replaces the whole file; none of the
// updates may be lost between another writer's read and rename.
TEST_F(RegistryConcurrencyTest, ConcurrentSettersLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      ZQPlatformInfo store;
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        store.setValue("~Zelt", name.c_str(), i);
      }
    });
  }
  for (std::thread& t : writers) t.join();

  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
      EXPECT_EQ(ObjectStore::getRegistryValue<int>(name.c_str(), -1, 0, INT_MAX), i) << name;
    }
  }
}

}  // namespace
