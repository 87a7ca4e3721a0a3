// The timing path must not allocate: this executable counts every call of
// the global operator new, which the shared libraries use as well.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "host/PerfCounter.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

TEST(PerfAllocationTest, StartAndStopNeverAllocate) {
  ThrdPerfCounter engine(nullptr);
  ASSERT_EQ(engine.AddPerfCounter(0, "a counter with a long name", CTRBASETYPE_ELAPSED_TIME, false),
            0);
  engine.SetInterval(300);
  // Warm up: the thread's table of open scopes comes into being here.
  engine.StartPerfCounter("site", 0);
  engine.StopPerfCounter("site", 0, 0);

  const long before = g_allocations.load();
  for (int i = 0; i < 1000; ++i) {
    engine.StartPerfCounter("outer", 0);
    engine.StartPerfCounter("inner", 0);
    engine.StopPerfCounter("inner", 0, 0);
    engine.StopPerfCounter("outer", 0, 0);
    engine.StopPerfCounter("unmatched", 0, 0);
  }
  EXPECT_EQ(g_allocations.load(), before);

  PerfCounterStats stats{};
  ASSERT_TRUE(engine.getStats(0, stats));
  EXPECT_EQ(stats.count, 2001u);
}

}  // namespace
