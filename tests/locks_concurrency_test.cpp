// The platform lock classes: exclusion, sharing, and unlock of either mode.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/Locks.h"

namespace {

TEST(ComplexLockConcurrency, WritersExcludeEveryoneReadersShare) {
  ZqComplexLock lock;
  long counter = 0;  // written only under the exclusive lock
  std::atomic<int> readers_inside{0};
  std::atomic<int> max_readers_inside{0};
  std::atomic<bool> writer_saw_reader{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        if ((i + t) % 4 == 0) {
          lock.rwlock();
          if (readers_inside.load() != 0) writer_saw_reader = true;
          ++counter;
          lock.unlock();
        } else {
          lock.rdlock();
          int now = ++readers_inside;
          int seen = max_readers_inside.load();
          while (now > seen && !max_readers_inside.compare_exchange_weak(seen, now)) {
          }
          volatile long read = counter;
          (void)read;
          --readers_inside;
          lock.unlock();
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(counter, 4 * 20000 / 4);
  EXPECT_FALSE(writer_saw_reader.load());
}

TEST(ComplexLockConcurrency, UnlockReleasesTheModeHeld) {
  ZqComplexLock lock;
  lock.rdlock();
  lock.rdlock();  // shared twice
  lock.unlock();
  lock.unlock();
  lock.rwlock();  // would block forever if a shared hold were left
  lock.unlock();
  lock.rwlock();
  lock.unlock();
  lock.rdlock();  // would block forever if the exclusive hold were left
  lock.unlock();
  SUCCEED();
}

TEST(CriticalSectionConcurrency, SerialisesItsHolders) {
  ZqCriticalSectionH section;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        section.enter(true);
        ++counter;
        section.leave();
      }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(counter, 200000);
}

}  // namespace
