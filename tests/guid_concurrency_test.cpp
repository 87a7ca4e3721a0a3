// GUID generation and the critical section from many threads at once.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "objstore/objStrUtils.h"

namespace {

TEST(GuidConcurrency, ManyThreadsNeverShareADraw) {
  constexpr int kThreads = 16;
  constexpr int kPerThread = 4000;  // 64,000 GUIDs from 16 threads
  std::vector<std::vector<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&results, t] {
      results[t].reserve(kPerThread);
      for (int i = 0; i < kPerThread; ++i) results[t].push_back(ObjectStore::generateGuid());
    });
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> distinct;
  for (const auto& list : results)
    for (const std::string& guid : list) {
      ASSERT_EQ(guid.size(), 32u);
      ASSERT_EQ(guid[12], '4');
      distinct.insert(guid);
    }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads) * kPerThread);
}

// Threads that each take a few GUIDs and end, many times over: a new thread
// has nothing drawn ahead of it (no all-zero or stale text), and what a
// thread leaves unused is never handed to another one.
TEST(GuidConcurrency, ShortLivedThreadsNeverShareADraw) {
  constexpr int kRounds = 50;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 3;
  std::set<std::string> distinct;
  size_t total = 0;
  for (int round = 0; round < kRounds; ++round) {
    // One list per thread, the last for the long-lived main thread.
    std::vector<std::vector<std::string>> results(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&results, t] {
        for (int i = 0; i < kPerThread; ++i) results[t].push_back(ObjectStore::generateGuid());
      });
    results[kThreads].push_back(ObjectStore::generateGuid());
    for (std::thread& thread : threads) thread.join();
    for (const auto& list : results)
      for (const std::string& guid : list) {
        ASSERT_EQ(guid.size(), 32u);
        ASSERT_EQ(guid[12], '4') << guid;
        ASSERT_NE(std::string("89ab").find(guid[16]), std::string::npos) << guid;
        distinct.insert(guid);
        ++total;
      }
  }
  EXPECT_EQ(distinct.size(), total);
}

// A plain counter guarded only by the section: a lost update (or, under
// ThreadSanitizer, a reported race) means the section does not exclude.
TEST(GuidConcurrency, CriticalSectionExcludes) {
  ObjectStore::ZqCriticalSection section;
  long counter = 0;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        section.enter(true);
        ++counter;
        section.leave();
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kPerThread);
}

}  // namespace
