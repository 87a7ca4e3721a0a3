// Several threads on one cache. Afterwards the books must balance: entries
// equal elements inserted and not yet released, every element is released at
// most once while the cache lives and exactly once after it is destroyed, a
// refused element is never released, and hits plus misses equal the number of
// lookups made with a valid key. Built also under ThreadSanitizer, which
// checks that every operation (statistics and dump included) takes the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

constexpr int kKey1Count = 200;
constexpr int kKey2Count = 100;

// An element that counts its own releases. Keys are fixed-width ("k042"),
// so renames rewrite them in place and never change the charge.
struct TrackedElement {
  generic_cache_element_t element{};
  char key1[8];
  char key2[8];
  std::atomic<int> releases{0};
  bool inserted = false;  // written by the inserting thread only
};

std::atomic<long> g_total_releases{0};

void CountRelease(generic_cache_element_t* element) {
  static_cast<TrackedElement*>(element->data)->releases.fetch_add(1, std::memory_order_relaxed);
  g_total_releases.fetch_add(1, std::memory_order_relaxed);
}

void FormatKey1(char* out, int n) { std::snprintf(out, 8, "k%03d", n % kKey1Count); }
void FormatKey2(char* out, int n) { std::snprintf(out, 8, "s%03d", n % kKey2Count); }

// Rename state shared by all threads; the rename function runs under the
// cache's exclusive lock, the counter is atomic because the callers differ.
struct RenameContext {
  std::atomic<long> relinked{0};
  std::atomic<unsigned> draw{0};
  bool key2_walk = false;
};

int32_t RewriteSomeKeys(generic_cache_element* element, void* user_data, bool) {
  RenameContext* context = static_cast<RenameContext*>(user_data);
  const unsigned draw = context->draw.fetch_add(1, std::memory_order_relaxed) * 2654435761u;
  if (draw % 4 != 0) return -1;
  if (context->key2_walk) {
    if (element->key2 == nullptr) return -1;  // the walk never adds storage
    FormatKey2(element->key2, static_cast<int>(draw >> 8));
  } else {
    FormatKey1(element->key1, static_cast<int>(draw >> 8));
  }
  context->relinked.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

struct ThreadTally {
  long valid_lookups = 0;
  long invalid_lookups = 0;
  long refused = 0;
};

class CacheConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { g_total_releases = 0; }

  testing_support::ScopedCaptureLog log_{-1};
};

TEST_F(CacheConcurrencyTest, MixedOperationsKeepTheBooksBalanced) {
  constexpr int kThreads = 4;
  constexpr int kOpsPerThread = 250000;  // a million operations in all
  // About 150 elements fit, so inserts evict continually.
  const uint64_t max_bytes = 150 * 120;
  generic_cache_t* cache =
      generic_cache_init_cache(max_bytes, 24, &CountRelease, nullptr, nullptr, true, false);
  ASSERT_NE(cache, nullptr);

  std::vector<std::vector<std::unique_ptr<TrackedElement>>> elements(kThreads);
  std::vector<ThreadTally> tallies(kThreads);
  RenameContext rename1;
  RenameContext rename2;
  rename2.key2_walk = true;
  std::atomic<bool> writers_done{false};

  auto worker = [&](int thread_index) {
    std::mt19937 rng(static_cast<unsigned>(1000 + thread_index));
    ThreadTally& tally = tallies[thread_index];
    auto& mine = elements[thread_index];
    char key[8];
    for (int op = 0; op < kOpsPerThread; ++op) {
      const int roll = static_cast<int>(rng() % 100);
      const bool by_key2 = rng() % 3 == 0;
      if (by_key2) {
        FormatKey2(key, static_cast<int>(rng()));
      } else {
        FormatKey1(key, static_cast<int>(rng()));
      }
      if (roll < 30) {
        auto tracked = std::make_unique<TrackedElement>();
        FormatKey1(tracked->key1, static_cast<int>(rng()));
        FormatKey2(tracked->key2, static_cast<int>(rng()));
        tracked->element.key1 = tracked->key1;
        tracked->element.key2 = rng() % 2 == 0 ? tracked->key2 : nullptr;
        tracked->element.key1_len = -1;
        tracked->element.key2_len = -1;
        tracked->element.data = tracked.get();
        tracked->element.data_len = rng() % 100 == 0 ? 1 << 20 : static_cast<int>(rng() % 33);
        const int result = by_key2
                               ? generic_cache_update_with_key2(cache, key, -1, &tracked->element)
                               : generic_cache_update_with_key1(cache, key, -1, &tracked->element);
        ++tally.valid_lookups;
        tracked->inserted = result == 0;
        if (result != 0) ++tally.refused;
        mine.push_back(std::move(tracked));
      } else if (roll < 65) {
        generic_cache_element_t* found = by_key2
                                             ? generic_cache_find_element_with_key2(cache, key, 4)
                                             : generic_cache_find_element_with_key1(cache, key, -1);
        (void)found;  // may already be gone; never dereferenced
        ++tally.valid_lookups;
      } else if (roll < 80) {
        by_key2 ? generic_cache_update_pos_with_key2(cache, key, -1)
                : generic_cache_update_pos_with_key1(cache, key, 100);
        ++tally.valid_lookups;
      } else if (roll < 92) {
        by_key2 ? generic_cache_delete_with_key2(cache, key, -1)
                : generic_cache_delete_with_key1(cache, key, -1);
        ++tally.valid_lookups;
      } else if (roll < 96) {
        if (by_key2) {
          generic_cache_rename_all_key2_if(cache, &RewriteSomeKeys, &rename2);
        } else {
          generic_cache_rename_all_key1_if(cache, &RewriteSomeKeys, &rename1);
        }
      } else {
        // Invalid keys are refused without touching the counters.
        by_key2 ? generic_cache_find_element_with_key2(cache, key, 0)
                : generic_cache_find_element_with_key1(cache, "", -1);
        ++tally.invalid_lookups;
      }
    }
  };

  // Statistics and dumps beside the writers: always within the budget, and
  // (under ThreadSanitizer) free of races.
  long observations = 0;
  bool over_budget = false;
  std::thread observer([&] {
    while (!writers_done.load()) {
      generic_cache_stats stats;
      generic_cache_get_stats(cache, &stats);
      if (stats.cur_bytes > max_bytes || stats.num_entries < 0) over_budget = true;
      generic_cache_dump_cache(cache);  // the writer's level is -1: nothing written
      generic_cache_bucket_stats buckets;
      generic_cache_get_bucket_stats(cache, &buckets);
      // No chain can be longer than the budget has room for elements.
      if (static_cast<uint64_t>(buckets.key1_longest_chain) > max_bytes / 98) over_budget = true;
      ++observations;
      std::this_thread::yield();
    }
  });

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (std::thread& thread : threads) thread.join();
  writers_done = true;
  observer.join();
  EXPECT_FALSE(over_budget);
  EXPECT_GT(observations, 0);

  long inserted = 0;
  long released = 0;
  long refused = 0;
  long valid_lookups = 0;
  long invalid_lookups = 0;
  for (int t = 0; t < kThreads; ++t) {
    refused += tallies[t].refused;
    valid_lookups += tallies[t].valid_lookups;
    invalid_lookups += tallies[t].invalid_lookups;
    for (const auto& tracked : elements[t]) {
      const int releases = tracked->releases.load();
      if (tracked->inserted) {
        ++inserted;
        ASSERT_LE(releases, 1) << "released twice: " << tracked->key1;
        released += releases;
      } else {
        ASSERT_EQ(releases, 0) << "a refused element was released";
      }
    }
  }
  EXPECT_EQ(released, g_total_releases.load());
  EXPECT_GT(refused, 0);

  generic_cache_stats stats;
  generic_cache_get_stats(cache, &stats);
  EXPECT_EQ(stats.num_entries, inserted - released);
  EXPECT_EQ(static_cast<long>(stats.num_inserts), inserted);
  EXPECT_EQ(static_cast<long>(stats.num_removes), released);
  EXPECT_EQ(static_cast<long>(stats.num_renames),
            rename1.relinked.load() + rename2.relinked.load());
  EXPECT_EQ(static_cast<long>(stats.num_hits + stats.num_misses), valid_lookups);
  EXPECT_GT(stats.num_hits, 0u);
  EXPECT_GT(stats.num_renames, 0u);
  EXPECT_LE(stats.cur_bytes, max_bytes);
  EXPECT_EQ(mem_cache_check_invariants(cache), "");

  // Only errors were written: one per invalid lookup and per refusal.
  EXPECT_EQ(static_cast<long>(log_->messages().size()), invalid_lookups + refused);

  generic_cache_del_cache(cache);
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& tracked : elements[t]) {
      ASSERT_EQ(tracked->releases.load(), tracked->inserted ? 1 : 0) << tracked->key1;
    }
  }
}

// Lookups hold the lock only shared, yet each counts exactly one hit or miss.
TEST_F(CacheConcurrencyTest, ConcurrentLookupsCountExactly) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  generic_cache_t* cache =
      generic_cache_init_cache(1 << 20, 100, &CountRelease, nullptr, nullptr, true, true);
  ASSERT_NE(cache, nullptr);
  std::vector<std::unique_ptr<TrackedElement>> elements;
  for (int i = 0; i < 50; ++i) {
    auto tracked = std::make_unique<TrackedElement>();
    FormatKey1(tracked->key1, i);
    FormatKey2(tracked->key2, i);
    tracked->element = {tracked->key1, tracked->key2, -1, -1, tracked.get(), 0};
    ASSERT_EQ(generic_cache_update_with_key1(cache, tracked->key1, -1, &tracked->element), 0);
    elements.push_back(std::move(tracked));
  }
  generic_cache_stats before;
  generic_cache_get_stats(cache, &before);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([cache, t] {
      char present[8];
      char absent[8];
      for (int i = 0; i < kRounds; ++i) {
        FormatKey1(present, (i + t) % 50);
        FormatKey1(absent, 50 + (i + t) % 100);
        generic_cache_find_element_with_key1(cache, present, -1);  // hit
        generic_cache_find_element_with_key1(cache, absent, -1);   // miss
        FormatKey2(present, i % 50);
        generic_cache_find_element_with_key2(cache, present, 4);  // hit
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  generic_cache_stats after;
  generic_cache_get_stats(cache, &after);
  EXPECT_EQ(after.num_hits - before.num_hits, 2u * kThreads * kRounds);
  EXPECT_EQ(after.num_misses - before.num_misses, 1u * kThreads * kRounds);
  EXPECT_EQ(after.num_entries, 50);
  generic_cache_del_cache(cache);
  EXPECT_EQ(g_total_releases.load(), 50);
}

}  // namespace
