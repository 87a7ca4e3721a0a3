// Allocation failures inside the cache. This executable installs allocation
// hooks in the cache: before each of its allocations the cache asks whether
// that allocation is to fail, and it reports each of its releases. Every
// scenario is first run once to count its allocations, then once for each of
// them failing.
// Each failure must give its message and result and leave the structure, the
// statistics and the release sequence consistent; every allocation must be
// released by the end (and AddressSanitizer's leak check runs at exit).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

// The cache's allocations, as this test sees them.
struct AllocationLedger {
  long attempts = 0;  // allocation calls, failed or not
  long fail_at = 0;   // the attempt number that fails; 0: none
  long failures = 0;
  long releases = 0;
  long outstanding() const { return attempts - failures - releases; }
  void Reset(long fail) { *this = AllocationLedger{0, fail, 0, 0}; }
};
AllocationLedger ledger;

// Refused insertions that would have had to evict at least one element.
long refused_while_full = 0;

bool AllocationFails() {
  const bool fail = ++ledger.attempts == ledger.fail_at;
  if (fail) ++ledger.failures;
  return fail;
}

void Released(void*) { ++ledger.releases; }

// Every cache this executable creates allocates through the ledger.
class AllocationHooks : public testing::Environment {
 public:
  void SetUp() override { mem_cache_set_allocation_hooks(&kHooks); }
  void TearDown() override { mem_cache_set_allocation_hooks(nullptr); }

 private:
  static constexpr mem_cache_allocation_hooks kHooks = {&AllocationFails, &Released};
};
testing::Environment* const hooks = testing::AddGlobalTestEnvironment(new AllocationHooks);

using testing_support::ElementPool;
using testing_support::GetStats;
using testing_support::ReleaseRecorder;
using testing_support::ScopedCaptureLog;

const char kNoMemory[] = "Cannot allocate memory";

// ---- Creation ---------------------------------------------------------------------

// The handle, then the primary table, then the secondary one.
TEST(CacheAllocationFailure, EachCreationAllocationFailsCleanly) {
  const int buckets = 64;  // 64 * (100 + 96) bytes of budget
  const std::string table_bytes = std::to_string(buckets * 8);
  const std::string expected[] = {
      "Error: new failed",
      "Error: calloc for size [" + table_bytes + "] failed with the error [" + kNoMemory + "].",
      "Error: calloc for size [" + table_bytes + "] failed with the error [" + kNoMemory + "].",
  };
  ledger.Reset(0);
  generic_cache_t* counted =
      generic_cache_init_cache(buckets * 196, 100, nullptr, nullptr, nullptr, true, true);
  ASSERT_NE(counted, nullptr);
  ASSERT_EQ(ledger.attempts, 3) << "the allocation hooks are not installed";
  generic_cache_del_cache(counted);
  EXPECT_EQ(ledger.outstanding(), 0);

  for (long n = 1; n <= 3; ++n) {
    ScopedCaptureLog log;
    ledger.Reset(n);
    EXPECT_EQ(generic_cache_init_cache(buckets * 196, 100, nullptr, nullptr, nullptr, true, true),
              nullptr)
        << "allocation " << n;
    EXPECT_EQ(log->texts(), std::vector<std::string>{expected[n - 1]}) << "allocation " << n;
    EXPECT_EQ(ledger.outstanding(), 0) << "allocation " << n << " leaked";
  }
}

// ---- A workload ---------------------------------------------------------------------

// Who holds each element: an element is released only while cached, once per
// stay, and a refused element is never released (its caller still owns it).
class Ownership {
 public:
  // Takes the releases since the last call; returns how many there were.
  size_t TakeReleases() {
    const auto released = ReleaseRecorder::Take();
    for (const auto& r : released)
      EXPECT_EQ(cached_.erase(r.element), 1u) << "released while not cached: " << r.key1;
    return released.size();
  }
  void Inserted(generic_cache_element_t* e) { EXPECT_TRUE(cached_.insert(e).second); }
  bool cached(generic_cache_element_t* e) const { return cached_.count(e) != 0; }
  size_t size() const { return cached_.size(); }

 private:
  std::set<generic_cache_element_t*> cached_;
};

// Renames every third element's key1 to a fresh key.
int32_t RenameSome(generic_cache_element_t* e, void* user_data, bool) {
  auto* counter = static_cast<int*>(user_data);
  if (++*counter % 3 != 0) return -1;
  testing_support::OwnedElement::FromElement(e)->ReplaceKey1(
      ("r" + std::to_string(*counter)).c_str());
  return 0;
}

// Checks an update whose node allocation failed: result 1 and the message;
// at most the replaced element was released, nothing was evicted or inserted.
void ExpectRefusedUpdate(int rc, const std::vector<std::string>& log_texts,
                         const generic_cache_stats& before, const generic_cache_stats& after,
                         size_t released) {
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(log_texts,
            std::vector<std::string>{"Error: malloc for size [72] failed with the error [" +
                                     std::string(kNoMemory) + "]."});
  EXPECT_LE(released, 1u);
  EXPECT_EQ(after.num_inserts, before.num_inserts);
  EXPECT_EQ(after.num_entries + static_cast<int32_t>(released), before.num_entries);
}

// A fixed, seeded run of updates (by either key, replacing or not), lookups,
// promotions, deletions, renames and clearings on a cache whose budget holds
// about eight elements, so that insertions evict all the time. Returns the
// number of operations whose allocation failed (0 or 1).
int RunWorkload(long fail_at) {
  ledger.Reset(fail_at);
  ReleaseRecorder::Clear();
  ScopedCaptureLog log;
  ElementPool pool;
  Ownership owner;
  const int max_bytes = 8 * 120 + 8 * (2 * 4 + 26);
  generic_cache_t* cache = generic_cache_init_cache(max_bytes, 24, ReleaseRecorder::Callback,
                                                    nullptr, nullptr, true, false);
  if (cache == nullptr) {
    EXPECT_LE(fail_at, 3);
    EXPECT_EQ(ledger.outstanding(), 0) << "failing allocation " << fail_at;
    return 1;
  }
  std::mt19937 rng(7);
  int rename_counter = 0;
  int refused = 0;
  for (int op = 0; op < 400 && !::testing::Test::HasFailure(); ++op) {
    const std::string key1 = "k" + std::to_string(rng() % 24);
    const std::string key2 = "S" + std::to_string(rng() % 24);
    const unsigned roll = rng() % 100;
    log->clear();
    if (roll < 55) {
      // Payloads of 0 to 40 bytes: one insertion may evict several.
      generic_cache_element_t* e = pool.Make(key1.c_str(), rng() % 2 ? key2.c_str() : nullptr,
                                             static_cast<int32_t>(rng() % 41));
      const bool by_key2 = rng() % 3 == 0;
      const long failures_before = ledger.failures;
      const generic_cache_stats before = GetStats(cache);
      const int rc = by_key2 ? generic_cache_update_with_key2(cache, key2.c_str(), -1, e)
                             : generic_cache_update_with_key1(cache, key1.c_str(), -1, e);
      const size_t released = owner.TakeReleases();
      if (ledger.failures != failures_before) {
        ++refused;
        const int64_t charge = testing_support::ElementCharge(e);
        if (static_cast<int64_t>(before.cur_bytes) + charge > max_bytes) ++refused_while_full;
        ExpectRefusedUpdate(rc, log->texts(), before, GetStats(cache), released);
        EXPECT_FALSE(owner.cached(e));
      } else {
        EXPECT_EQ(rc, 0) << "operation " << op;
        owner.Inserted(e);
      }
    } else if (roll < 70) {
      generic_cache_find_element_with_key1(cache, key1.c_str(), -1);
      generic_cache_find_element_with_key2(cache, key2.c_str(), -1);
    } else if (roll < 80) {
      generic_cache_update_pos_with_key2(cache, key2.c_str(), -1);
    } else if (roll < 92) {
      generic_cache_delete_with_key1(cache, key1.c_str(), -1);
    } else if (roll < 98) {
      generic_cache_rename_all_key1_if(cache, RenameSome, &rename_counter);
    } else {
      generic_cache_remove_all(cache);
    }
    owner.TakeReleases();
    EXPECT_EQ(static_cast<size_t>(GetStats(cache).num_entries), owner.size()) << "operation " << op;
    EXPECT_EQ(mem_cache_check_invariants(cache), "") << "operation " << op;
  }
  generic_cache_del_cache(cache);
  owner.TakeReleases();
  EXPECT_EQ(owner.size(), 0u) << "elements never released";
  EXPECT_EQ(ledger.outstanding(), 0) << "failing allocation " << fail_at;
  return refused;
}

// Every allocation of the workload fails once, in its own run: the tables at
// creation, and each insertion's node, many of them in caches so full that the
// insertion would have evicted several elements.
TEST(CacheAllocationFailure, EveryAllocationOfAWorkloadFailsCleanly) {
  EXPECT_EQ(RunWorkload(0), 0);
  const long total = ledger.attempts;
  ASSERT_GT(total, 100) << "the workload should allocate often";
  for (long n = 1; n <= total && !HasFailure(); ++n)
    EXPECT_EQ(RunWorkload(n), 1) << "failing allocation " << n << " of " << total;
  // The node is allocated before the first eviction, so a refused insertion
  // into a full cache evicts nothing: these runs prove it.
  EXPECT_GT(refused_while_full, 50);
  RecordProperty("allocation_failure_points", static_cast<int>(total));
  std::printf("allocation failure points covered: %ld (%ld of them into a full cache)\n", total,
              refused_while_full);
}

// ---- A release callback that throws -----------------------------------------------

struct ReleaseFailure : std::runtime_error {
  ReleaseFailure() : std::runtime_error("release failed") {}
};

// Records the element, then throws.
void ThrowingRelease(generic_cache_element_t* e) {
  ReleaseRecorder::Callback(e);
  throw ReleaseFailure();
}

// Drops key1 on every element, so that each leaves the cache.
int32_t EmptyKey1(generic_cache_element_t* e, void*, bool) {
  testing_support::OwnedElement::FromElement(e)->ReplaceKey1("");
  return 0;
}

// Whichever operation the callback interrupts, the cache stays consistent,
// every element leaves as it would have, and no node or table leaks.
TEST(CacheAllocationFailure, AThrowingReleaseCallbackLeaksNothing) {
  ledger.Reset(0);
  ReleaseRecorder::Clear();
  ScopedCaptureLog log;
  ElementPool pool;
  // One bucket and room for two elements of charge 98.
  generic_cache_t* cache = generic_cache_init_cache(8 * (2 + 26) + 2 * 98, 1000, ThrowingRelease,
                                                    nullptr, nullptr, true, true);
  ASSERT_NE(cache, nullptr);
  auto insert = [&](const char* key) {
    generic_cache_element_t* e = pool.Make(key);
    return generic_cache_update_with_key1(cache, key, -1, e);
  };
  ASSERT_EQ(insert("a"), 0);
  ASSERT_EQ(insert("b"), 0);
  EXPECT_THROW(insert("c"), ReleaseFailure);  // evicting "a" throws; "c" stays out
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "c", -1), nullptr);
  EXPECT_THROW(generic_cache_delete_with_key1(cache, "b", -1), ReleaseFailure);
  ASSERT_EQ(insert("x"), 0);
  ASSERT_EQ(insert("y"), 0);
  EXPECT_THROW(generic_cache_remove_all(cache), ReleaseFailure);  // both still released
  EXPECT_EQ(mem_cache_check_invariants(cache), "");
  ASSERT_EQ(insert("r"), 0);
  EXPECT_THROW(generic_cache_rename_all_key1_if(cache, EmptyKey1, nullptr), ReleaseFailure);
  EXPECT_EQ(mem_cache_check_invariants(cache), "");
  EXPECT_EQ(GetStats(cache).num_entries, 0);
  ASSERT_EQ(insert("v"), 0);
  ASSERT_EQ(insert("w"), 0);
  EXPECT_THROW(generic_cache_del_cache(cache), ReleaseFailure);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(),
            (std::vector<std::string>{"a", "b", "y", "x", "", "w", "v"}));  // chains: newest first
  EXPECT_EQ(ledger.outstanding(), 0);
}

}  // namespace
