// The platform lock classes: exclusion, progress of both sides, sleeping
// waiters, and unlock of either mode.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/Locks.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the starvation tests let the busy side run on its own before it
// stops by itself. Far above what the waiting side should need (a few
// milliseconds), so that only a starving lock, not a slow machine, fails.
constexpr std::chrono::seconds kStarvationBound(10);

// Enables the reader bias, so that the next shared acquisitions are biased:
// plain readers enable it only when they meet another reader (and look at
// the clock once in 32 such acquisitions), so another thread holds the lock
// shared meanwhile.
void EnableBias(ZqComplexLock& lock) {
  std::atomic<bool> holding{false};
  std::atomic<bool> done{false};
  std::thread other([&] {
    lock.rdlock();
    holding = true;
    while (!done.load()) std::this_thread::yield();
    lock.unlock();
  });
  while (!holding.load()) std::this_thread::yield();
  for (int i = 0; i < 64; ++i) {
    lock.rdlock();
    lock.unlock();
  }
  done = true;
  other.join();
}

// Eight threads, two million acquisitions in all, each thread with its own
// share of exclusive ones: mixed (every 1st to 4th) keeps the reader bias off
// and the plain path busy; read-mostly (one in 500 to 2,000) lets it come
// back between writers, so that revocations race with readers arriving on
// the biased path. Every holder checks that nobody holds the lock against
// it, with relaxed atomics, so that under ThreadSanitizer only the lock
// itself orders the plain counter. Some holders yield their core while
// inside, so that waiters run out of spins and sleep. A lost wake-up leaves
// the test hanging.
class ComplexLockLoad : public ::testing::TestWithParam<int> {};

TEST_P(ComplexLockLoad, ExcludesAndCompletes) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250000;
  constexpr std::memory_order relaxed = std::memory_order_relaxed;
  const int exclusive_scale = GetParam();
  ZqComplexLock lock;
  long counter = 0;  // written only under the exclusive lock
  std::atomic<int> readers_inside{0};
  std::atomic<int> writers_inside{0};
  std::atomic<int> violations{0};
  std::atomic<long> exclusive_total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int exclusive_every = exclusive_scale * (1 + t % 4);
      long exclusive = 0;
      for (int i = 0; i < kPerThread; ++i) {
        const bool yield_inside = i % 512 == 0;
        if (i % exclusive_every == 0) {
          lock.rwlock();
          if (writers_inside.fetch_add(1, relaxed) != 0 || readers_inside.load(relaxed) != 0)
            ++violations;
          ++counter;
          if (yield_inside) std::this_thread::yield();
          writers_inside.fetch_sub(1, relaxed);
          lock.unlock();
          ++exclusive;
        } else {
          lock.rdlock();
          readers_inside.fetch_add(1, relaxed);
          if (writers_inside.load(relaxed) != 0) ++violations;
          volatile long seen = counter;
          (void)seen;
          if (yield_inside) std::this_thread::yield();
          readers_inside.fetch_sub(1, relaxed);
          lock.unlock();
        }
      }
      exclusive_total += exclusive;
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(counter, exclusive_total.load());
}

INSTANTIATE_TEST_SUITE_P(ComplexLockConcurrency, ComplexLockLoad, ::testing::Values(1, 500),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? std::string("Mixed")
                                                  : std::string("ReadMostly");
                         });

// Readers share: two readers are inside at once. A lock that let one reader
// in at a time would keep each from ever seeing the other.
TEST(ComplexLockConcurrency, ReadersHoldTogether) {
  ZqComplexLock lock;
  std::atomic<int> inside{0};
  std::atomic<int> saw_the_other{0};
  const Clock::time_point give_up = Clock::now() + kStarvationBound;
  auto reader = [&] {
    lock.rdlock();
    ++inside;
    while (inside.load() < 2 && Clock::now() < give_up) std::this_thread::yield();
    if (inside.load() == 2) ++saw_the_other;
    lock.unlock();
  };
  std::thread a(reader), b(reader);
  a.join();
  b.join();
  EXPECT_EQ(saw_the_other.load(), 2);
}

// Each unlock releases the mode its thread holds, on the plain and the biased
// path alike, and with more locks held shared at once than a thread has
// slots for biased holds. A hold left behind blocks a later rwlock forever.
TEST(ComplexLockConcurrency, UnlockReleasesTheModeHeld) {
  for (bool biased : {false, true}) {
    SCOPED_TRACE(biased ? "biased" : "plain");
    std::vector<ZqComplexLock> locks(12);
    if (biased)
      for (ZqComplexLock& lock : locks) EnableBias(lock);
    for (ZqComplexLock& lock : locks) lock.rdlock();
    locks[0].rdlock();  // shared twice
    for (ZqComplexLock& lock : locks) lock.unlock();
    locks[0].unlock();
    for (ZqComplexLock& lock : locks) {
      lock.rwlock();
      lock.unlock();
      lock.rwlock();
      lock.unlock();
      lock.rdlock();  // would block forever if the exclusive hold were left
      lock.unlock();
    }
  }
}

// A writer waits for a reader that holds the lock through the bias, from
// another thread: the reader's hold must be seen, and its unlock must let the
// writer in. With a plain reader inside too, the writer sleeps first and
// turns the bias off as it does; when the plain reader leaves, the writer
// must still wait for the biased one.
TEST(ComplexLockConcurrency, WriterWaitsForBiasedReader) {
  for (bool plain_reader_too : {false, true}) {
    SCOPED_TRACE(plain_reader_too ? "a plain reader holds too" : "only a biased reader holds");
    ZqComplexLock lock;
    std::atomic<int> stage{0};  // 1: plain reader in, 2: biased reader in, 3: plain reader out
    std::atomic<bool> writer_in{false};
    std::thread plain;
    if (plain_reader_too)
      plain = std::thread([&] {
        lock.rdlock();  // before the bias is on: on the plain path
        stage = 1;
        while (stage.load() < 2) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the writer falls asleep
        lock.unlock();
        stage = 3;
      });
    while (plain_reader_too && stage.load() < 1) std::this_thread::yield();
    EnableBias(lock);
    std::thread biased([&] {
      lock.rdlock();
      if (stage.load() == 0)
        stage = 3;  // nobody else to wait for
      else
        stage = 2;
      while (stage.load() < 3) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_FALSE(writer_in.load()) << "a writer entered beside a biased reader";
      lock.unlock();
    });
    while (stage.load() < 2) std::this_thread::yield();
    lock.rwlock();
    writer_in = true;
    lock.unlock();
    biased.join();
    if (plain.joinable()) plain.join();
  }
}

// Four threads keep acquiring one mode until the other mode's single thread
// has got in, or until kStarvationBound has passed. Each holder stays inside
// for a while, so that holds of the busy side overlap and the lock is rarely
// free. The lone thread must get in before the busy side gives up.
void ExpectLoneSideGetsIn(bool lone_is_writer) {
  ZqComplexLock lock;
  std::atomic<bool> stop{false};
  std::atomic<long> busy_acquisitions{0};
  const Clock::time_point give_up = Clock::now() + kStarvationBound;
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t) {
    busy.emplace_back([&] {
      while (!stop.load() && Clock::now() < give_up) {
        if (lone_is_writer)
          lock.rdlock();
        else
          lock.rwlock();
        for (volatile int spin = 0; spin < 20000; ++spin) {
        }
        lock.unlock();
        ++busy_acquisitions;
      }
    });
  }
  while (busy_acquisitions.load() < 1000) std::this_thread::yield();
  double worst_ms = 0;
  for (int round = 0; round < 5; ++round) {
    const Clock::time_point start = Clock::now();
    if (lone_is_writer)
      lock.rwlock();
    else
      lock.rdlock();
    const Clock::time_point got_in = Clock::now();
    lock.unlock();
    EXPECT_TRUE(got_in < give_up) << "round " << round;
    const double waited_ms = std::chrono::duration<double, std::milli>(got_in - start).count();
    worst_ms = std::max(worst_ms, waited_ms);
  }
  stop = true;
  for (std::thread& th : busy) th.join();
  std::printf("lone %s waited at most %.3f ms\n", lone_is_writer ? "writer" : "reader", worst_ms);
}

TEST(ComplexLockConcurrency, WriterGetsInAmongBusyReaders) { ExpectLoneSideGetsIn(true); }
TEST(ComplexLockConcurrency, ReaderGetsInAmongBusyWriters) { ExpectLoneSideGetsIn(false); }

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Waiters behind a long hold sleep instead of spinning: with more waiters
// than cores, spinning would take the holder's core. Spinners would burn
// about as much CPU time as the hold lasts; sleepers next to none. The hold
// is a writer's, or readers' on the biased path, behind which a revoking
// writer waits for their slots to clear.
TEST(ComplexLockConcurrency, WaitersSleepThroughALongHold) {
  for (bool biased_readers_hold : {false, true}) {
    SCOPED_TRACE(biased_readers_hold ? "biased readers hold" : "a writer holds");
    ZqComplexLock lock;
    std::vector<std::thread> holders;
    std::atomic<int> holding{0};
    std::atomic<bool> release{false};
    if (biased_readers_hold) {
      EnableBias(lock);
      for (int t = 0; t < 4; ++t)
        holders.emplace_back([&] {
          lock.rdlock();
          ++holding;
          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          lock.unlock();
        });
      while (holding.load() < 4) std::this_thread::yield();
    } else {
      lock.rwlock();
    }
    std::vector<std::thread> waiters;
    for (int t = 0; t < 8; ++t)
      waiters.emplace_back([&, t] {
        if (t % 2 == 0)
          lock.rdlock();
        else
          lock.rwlock();
        lock.unlock();
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them reach their sleep
    const double cpu_before = ProcessCpuSeconds();
    const Clock::time_point hold_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double held = std::chrono::duration<double>(Clock::now() - hold_start).count();
    const double cpu_used = ProcessCpuSeconds() - cpu_before;
    if (biased_readers_hold)
      release = true;
    else
      lock.unlock();
    for (std::thread& th : holders) th.join();
    for (std::thread& th : waiters) th.join();
    EXPECT_LT(cpu_used, held / 4) << "waiters used " << cpu_used << " s of CPU during a " << held
                                  << " s hold";
  }
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
