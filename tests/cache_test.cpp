// Behaviour of the two-key LRU cache, one group per behaviour. Every test
// records what the release callback receives and what the log writer is
// handed, and asserts on both, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

using testing_support::ElementCharge;
using testing_support::ElementPool;
using testing_support::FixedCharge;
using testing_support::GetStats;
using testing_support::LoggedMessage;
using testing_support::PointerText;
using testing_support::RecencyOrder;
using testing_support::ReleaseRecorder;
using testing_support::ScopedCaptureLog;
using Keys = std::vector<std::string>;

// Every one-byte key without key2 and payload costs this much.
constexpr int kSmallCharge = 98;

// Replaces "{}" in `pattern` by printf's rendering of `pointer`.
std::string WithPointer(const std::string& pattern, const void* pointer) {
  std::string text = pattern;
  const std::size_t at = text.find("{}");
  if (at != std::string::npos) text.replace(at, 2, PointerText(pointer));
  return text;
}

bool SameStats(const generic_cache_stats& a, const generic_cache_stats& b) {
  return a.num_entries == b.num_entries && a.cur_bytes == b.cur_bytes &&
         a.num_buckets == b.num_buckets && a.num_inserts == b.num_inserts &&
         a.num_removes == b.num_removes && a.num_renames == b.num_renames &&
         a.num_hits == b.num_hits && a.num_misses == b.num_misses &&
         a.num_collisions == b.num_collisions;
}

std::string Describe(const generic_cache_stats& s) {
  return "entries=" + std::to_string(s.num_entries) + " bytes=" + std::to_string(s.cur_bytes) +
         " buckets=" + std::to_string(s.num_buckets) + " inserts=" + std::to_string(s.num_inserts) +
         " removes=" + std::to_string(s.num_removes) + " renames=" + std::to_string(s.num_renames) +
         " hits=" + std::to_string(s.num_hits) + " misses=" + std::to_string(s.num_misses) +
         " collisions=" + std::to_string(s.num_collisions);
}

// Empties g_ptrLogWriter for its lifetime, as a host that forgot to install
// one would.
class WithoutLogWriter {
 public:
  WithoutLogWriter() : saved_(g_ptrLogWriter) { g_ptrLogWriter.reset(); }
  ~WithoutLogWriter() { g_ptrLogWriter = saved_; }

 private:
  boost::shared_ptr<CLogWriterInterface> saved_;
};

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseRecorder::Clear(); }
  void TearDown() override {
    for (generic_cache_t* cache : caches_) generic_cache_del_cache(cache);
    caches_.clear();
    ReleaseRecorder::Clear();
  }

  generic_cache_t* NewCache(int max_bytes, int expected_entry_size, bool key1_case_sensitive = true,
                            bool key2_case_sensitive = true, HashFunc key1_hash = nullptr,
                            HashFunc key2_hash = nullptr,
                            CallBackFunc callback = &ReleaseRecorder::Callback) {
    generic_cache_t* cache =
        generic_cache_init_cache(max_bytes, expected_entry_size, callback, key1_hash, key2_hash,
                                 key1_case_sensitive, key2_case_sensitive);
    if (cache != nullptr) caches_.push_back(cache);
    return cache;
  }

  // A cache with exactly `buckets` buckets whose budget leaves
  // `element_bytes` beside the fixed charge.
  generic_cache_t* CacheFor(int buckets, int element_bytes, bool key1_case_sensitive = true,
                            bool key2_case_sensitive = true,
                            CallBackFunc callback = &ReleaseRecorder::Callback) {
    const int max_bytes = static_cast<int>(FixedCharge(buckets)) + element_bytes;
    generic_cache_t* cache = NewCache(max_bytes, max_bytes / buckets - 96, key1_case_sensitive,
                                      key2_case_sensitive, nullptr, nullptr, callback);
    EXPECT_NE(cache, nullptr);
    if (cache != nullptr) {
      EXPECT_EQ(GetStats(cache).num_buckets, buckets);
    }
    return cache;
  }

  // A cache whose tables have `buckets` (a power of two) buckets and room to
  // spare.
  generic_cache_t* WideCache(int buckets, CallBackFunc callback = &ReleaseRecorder::Callback) {
    return CacheFor(buckets, 1 << 20, true, true, callback);
  }

  void Destroy(generic_cache_t* cache) {
    for (auto it = caches_.begin(); it != caches_.end(); ++it) {
      if (*it == cache) {
        caches_.erase(it);
        break;
      }
    }
    generic_cache_del_cache(cache);
  }

  // Inserts a fresh element through an update whose lookup key is its own
  // key1 (which counts one miss when the key is new).
  generic_cache_element_t* Insert(generic_cache_t* cache, const char* key1,
                                  const char* key2 = nullptr, int data_len = 0) {
    generic_cache_element_t* element = pool_.Make(key1, key2, data_len);
    EXPECT_EQ(generic_cache_update_with_key1(cache, element->key1, -1, element), 0) << key1;
    return element;
  }

  // The one message written since the last call, checked and cleared.
  void ExpectOneMessage(int level, const std::string& signature, const std::string& text) {
    std::vector<LoggedMessage> messages = log_->messages();
    ASSERT_EQ(messages.size(), 1u) << "expected only \"" << text << "\"";
    EXPECT_EQ(messages[0].level, level);
    EXPECT_EQ(messages[0].function, signature);
    EXPECT_EQ(messages[0].text, text);
    EXPECT_EQ(messages[0].reserved1, 0);
    EXPECT_EQ(messages[0].reserved2, 0);
    log_->clear();
  }

  void ExpectNoMessages() {
    EXPECT_TRUE(log_->texts().empty()) << log_->texts().front();
    log_->clear();
  }

  void ExpectConsistent(generic_cache_t* cache) {
    EXPECT_EQ(mem_cache_check_invariants(cache), "");
  }

  ScopedCaptureLog log_{10};
  ElementPool pool_;
  std::vector<generic_cache_t*> caches_;
};

// ---------------------------------------------------------------------------
// Creation and sizing

struct SizingCase {
  const char* name;
  int max_bytes;
  int expected_entry_size;
  int32_t buckets;
  uint64_t fixed_charge;
};

TEST_F(CacheTest, CreationSizesTablesAndFixedCharge) {
  const SizingCase cases[] = {
      {"n=5 rounds down to 4", 999, 100, 4, 272},
      {"n=4 is already a power of two", 784, 100, 4, 272},
      {"n=1", 97, 1, 1, 224},
      {"fixed charge above the budget", 200, 1, 2, 240},
      {"n=51 gives 32", 51 * 197, 101, 32, 720},
      {"1 MiB of 200-byte entries", 1 << 20, 200, 2048, 32976},
      {"budget below one entry: one bucket", 195, 100, 1, 224},
      {"smallest budget", 1, 1, 1, 224},
      {"entry size just short of overflow: one bucket", 1000, INT_MAX - 96, 1, 224},
  };
  for (const SizingCase& c : cases) {
    SCOPED_TRACE(c.name);
    generic_cache_t* cache = NewCache(c.max_bytes, c.expected_entry_size);
    ASSERT_NE(cache, nullptr);
    const generic_cache_stats stats = GetStats(cache);
    EXPECT_EQ(stats.num_buckets, c.buckets);
    EXPECT_EQ(stats.cur_bytes, c.fixed_charge);
    EXPECT_EQ(stats.num_entries, 0);
    EXPECT_EQ(stats.num_inserts, 0u);
    EXPECT_EQ(stats.num_removes, 0u);
    EXPECT_EQ(stats.num_renames, 0u);
    EXPECT_EQ(stats.num_hits, 0u);
    EXPECT_EQ(stats.num_misses, 0u);
    EXPECT_EQ(stats.num_collisions, 0u);
    ExpectConsistent(cache);
    ExpectNoMessages();
    Destroy(cache);
  }
}

struct InvalidSizeCase {
  int max_bytes;
  int expected_entry_size;
  const char* message;
};

TEST_F(CacheTest, CreationRefusesInvalidSizesWithFirstFailingCheck) {
  const InvalidSizeCase cases[] = {
      {0, 100, "Error: max_bytes [0] is invalid."},
      {0, 0, "Error: max_bytes [0] is invalid."},
      {-1, 100, "Error: max_bytes [-1] is invalid."},
      {INT_MIN, -5, "Error: max_bytes [-2147483648] is invalid."},
      {100, 0, "Error: expected_entry_size [0] is invalid."},
      {100, -7, "Error: expected_entry_size [-7] is invalid."},
      // expected_entry_size + 96 would overflow.
      {100, INT_MAX, "Error: expected_entry_size [2147483647] is invalid."},
      {100, INT_MAX - 95, "Error: expected_entry_size [2147483552] is invalid."},
  };
  for (const InvalidSizeCase& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(NewCache(c.max_bytes, c.expected_entry_size), nullptr);
    ExpectOneMessage(-1, kInitSignature, c.message);
  }
}

// ---------------------------------------------------------------------------
// The cache's invariant check, which every other test relies on, must name
// each kind of damage. Each damage is a swap: applied again, it repairs the
// handle before any operation sees it (debug builds check after each one).

int32_t FirstByteHash(const char* key, int32_t) { return key[0]; }

generic_cache_item* g_unlinked = nullptr;

struct DamageCase {
  const char* name;
  void (*damage)(generic_cache_t*);
  const char* described;  // part of the description
};

TEST_F(CacheTest, InvariantCheckNamesEachKindOfDamage) {
  // Four buckets: key1 "a", "b", "c" in buckets 1, 2, 3; key2 "x" in bucket 0.
  generic_cache_t* cache = NewCache(1000, 140, true, true, &FirstByteHash, &FirstByteHash);
  ASSERT_NE(cache, nullptr);
  ASSERT_EQ(GetStats(cache).num_buckets, 4);
  Insert(cache, "a");
  Insert(cache, "b", "x");
  Insert(cache, "c");
  const DamageCase cases[] = {
      {"charge", [](generic_cache_t* c) { c->stats.cur_bytes ^= 1; }, "cur_bytes"},
      {"count", [](generic_cache_t* c) { c->stats.num_entries ^= 1; }, "longer than num_entries"},
      {"list ends", [](generic_cache_t* c) { std::swap(c->lru_head, c->lru_tail); },
       "does not link back"},
      {"list links",
       [](generic_cache_t* c) {
         generic_cache_item* middle = c->lru_head->lru_next;
         std::swap(middle->lru_prev, middle->lru_next);
       },
       "does not link back"},
      {"primary buckets",
       [](generic_cache_t* c) { std::swap(c->key1_buckets[1], c->key1_buckets[2]); },
       "stored hash selects another bucket"},
      {"secondary chain", [](generic_cache_t* c) { std::swap(c->key2_buckets[0], g_unlinked); },
       "missing from its chain"},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage(cache);
    const std::string described = mem_cache_check_invariants(cache);
    c.damage(cache);
    EXPECT_NE(described.find(c.described), std::string::npos) << described;
    ExpectConsistent(cache);
  }
#ifdef OBJSTORE_CACHE_CHECKS
  // Debug builds stop at the end of the first exclusive operation that sees damage.
  cases[0].damage(cache);
  EXPECT_DEATH(generic_cache_delete_with_key1(cache, "none", -1), "broken invariant.*cur_bytes");
  cases[0].damage(cache);
#endif
}

#ifdef OBJSTORE_CACHE_CHECKS
// A callback that calls into its own cache would wait for ever for the lock
// that the cache holds around it: debug builds stop and name the call.
generic_cache_t* g_reentered = nullptr;

void FindFromCallback(generic_cache_element_t* /*element*/) {
  generic_cache_find_element_with_key1(g_reentered, "a", -1);
}

int32_t DeleteFromRename(generic_cache_element_t* /*element*/, void* /*user_data*/, bool) {
  generic_cache_delete_with_key2(g_reentered, "b", -1);
  return -1;
}

TEST_F(CacheTest, DebugBuildsStopACallbackThatCallsItsOwnCache) {
  g_reentered = WideCache(4, &FindFromCallback);
  Insert(g_reentered, "a");
  EXPECT_DEATH(generic_cache_delete_with_key1(g_reentered, "a", -1),
               "generic_cache_find_element_with_key1 was called from a release callback or "
               "rename function of the same cache");
  EXPECT_DEATH(generic_cache_rename_all_key1_if(g_reentered, &DeleteFromRename, nullptr),
               "generic_cache_delete_with_key2 was called from");
  g_reentered = nullptr;  // the fixture's clean-up releases "a" through the callback
}
#endif

// ---------------------------------------------------------------------------
// Charges and statistics

struct ChargeCase {
  const char* name;
  const char* key1;
  int32_t key1_len;
  const char* key2;
  int32_t key2_len;
  int32_t data_len;
  int64_t charge;
  int32_t stored_key1_len;
  int32_t stored_key2_len;
};

TEST_F(CacheTest, InsertionChargesKeysPayloadAndOverhead) {
  const ChargeCase cases[] = {
      {"measured key1, no key2", "abc", -1, nullptr, -1, 10, 110, 3, -1},
      {"explicit lengths", "abc", 3, "wxyz", 4, 0, 105, 3, 4},
      {"measured key2", "abc", -1, "wxyz", -1, 7, 112, 3, 4},
      {"null key2 with a length is charged as given", "abc", -1, nullptr, 5, 0, 106, 3, 5},
      {"null key2 with length zero", "ab", -1, nullptr, 0, 1, 101, 2, 0},
      {"smallest element", "a", -1, nullptr, -1, 0, 98, 1, -1},
  };
  for (const ChargeCase& c : cases) {
    SCOPED_TRACE(c.name);
    generic_cache_t* cache = WideCache(8);
    const uint64_t fixed = GetStats(cache).cur_bytes;
    generic_cache_element_t* element =
        pool_.Make(c.key1, c.key2, c.data_len, c.key1_len, c.key2_len);
    ASSERT_EQ(generic_cache_update_with_key1(cache, "lookup", -1, element), 0);
    EXPECT_EQ(element->key1_len, c.stored_key1_len);
    EXPECT_EQ(element->key2_len, c.stored_key2_len);
    const generic_cache_stats stats = GetStats(cache);
    EXPECT_EQ(stats.num_entries, 1);
    EXPECT_EQ(stats.cur_bytes, fixed + c.charge);
    EXPECT_EQ(stats.num_inserts, 1u);
    ExpectConsistent(cache);

    // Deleting gives the whole charge back.
    EXPECT_EQ(generic_cache_delete_with_key1(cache, c.key1, -1), 0);
    EXPECT_EQ(GetStats(cache).cur_bytes, fixed);
    EXPECT_EQ(ReleaseRecorder::Take().size(), 1u);
    Destroy(cache);
  }
  ExpectNoMessages();
}

// The charge is computed in 64 bits: a payload near INT_MAX must not wrap to
// a small or negative charge that "fits".
TEST_F(CacheTest, HugePayloadIsRefusedNotWrapped) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge);
  Insert(cache, "A");
  log_->clear();
  for (int32_t data_len : {INT_MAX, INT_MAX - 100}) {
    SCOPED_TRACE(data_len);
    generic_cache_element_t* huge = pool_.Make("abc", "xyz", data_len);
    EXPECT_EQ(generic_cache_update_with_key2(cache, "none", -1, huge), 1);
    const generic_cache_stats stats = GetStats(cache);
    EXPECT_EQ(stats.num_entries, 0);
    EXPECT_EQ(stats.cur_bytes, static_cast<uint64_t>(FixedCharge(1)));
    EXPECT_EQ(stats.num_inserts, 1u);
    std::vector<LoggedMessage> messages = log_->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].function, kInsertSignature);
    EXPECT_EQ(messages[0].text.rfind("Error: no room in cache for ", 0), 0u) << messages[0].text;
    log_->clear();
    ExpectConsistent(cache);
  }
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"A"}));
}

// ---------------------------------------------------------------------------
// Hashing and buckets

struct BucketCase {
  const char* key;
  bool case_sensitive;
  int32_t bucket1;  // with 512 buckets
  int32_t bucket2;
};

// Reads the tables: nothing in the interface shows which secondary bucket a
// key went to.
TEST_F(CacheTest, DefaultHashesPlaceKeysInBuckets) {
  const BucketCase cases[] = {
      {"abcd", true, 297, 296},          // a+d+d, a+c+d
      {"a", true, 194, 194},             // the only byte counts twice
      {"abc", true, 196, 295},           // a+c, a+c+c
      {"abcdefghij", true, 0, 99},       // 512 wraps to bucket 0
      {"ABCD", true, 201, 200},          // upper case is not folded...
      {"ABCD", false, 297, 296},         // ...unless the keys ignore case
      {"\xFF\xFF\xFF", true, 510, 509},  // bytes are signed: -2 and -3
  };
  for (const BucketCase& c : cases) {
    SCOPED_TRACE(c.key);
    const int32_t len = static_cast<int32_t>(std::strlen(c.key));
    EXPECT_EQ(testing_support::ReferenceHash1(c.key, len, c.case_sensitive) & 511, c.bucket1);
    EXPECT_EQ(testing_support::ReferenceHash2(c.key, len, c.case_sensitive) & 511, c.bucket2);

    generic_cache_t* cache = CacheFor(512, 1 << 20, c.case_sensitive, c.case_sensitive);
    generic_cache_element_t* element = Insert(cache, c.key, c.key);
    ASSERT_NE(cache->key1_buckets[c.bucket1], nullptr);
    EXPECT_EQ(cache->key1_buckets[c.bucket1]->element, element);
    ASSERT_NE(cache->key2_buckets[c.bucket2], nullptr);
    EXPECT_EQ(cache->key2_buckets[c.bucket2]->element, element);
    EXPECT_EQ(generic_cache_find_element_with_key1(cache, c.key, -1), element);
    EXPECT_EQ(generic_cache_find_element_with_key2(cache, c.key, -1), element);
    ExpectConsistent(cache);
    Destroy(cache);
  }
  ReleaseRecorder::Clear();
  ExpectNoMessages();
}

int32_t MinusTwoHash(const char*, int32_t) { return -2; }

// Every call's key prefix, so that tests can see the length the cache hashed.
std::vector<std::string> g_hashed_keys;
int32_t RecordingHash(const char* key, int32_t len) {
  g_hashed_keys.emplace_back(key, static_cast<std::size_t>(len));
  return 0;
}

TEST_F(CacheTest, NegativeHashValuesGiveValidBuckets) {
  generic_cache_t* cache = NewCache(32 * 97, 1, true, true, &MinusTwoHash, &MinusTwoHash);
  ASSERT_NE(cache, nullptr);
  ASSERT_EQ(GetStats(cache).num_buckets, 32);
  generic_cache_element_t* element = Insert(cache, "k", "s");
  generic_cache_dump_cache(cache);  // names the primary bucket
  EXPECT_EQ(log_->texts().at(0).rfind("Bucket[30]: key1 [k]", 0), 0u) << log_->texts().at(0);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), element);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "s", -1), element);
  ExpectConsistent(cache);
}

struct HashedLengthCase {
  const char* name;
  int len;
  std::string hashed;  // what the hash function saw
};

// The length serves only the hash; equality is on the whole string.
TEST_F(CacheTest, LookupHashesTheGivenLengthClampedToTheKey) {
  generic_cache_t* cache = NewCache(10000, 10, true, true, &RecordingHash, &RecordingHash);
  ASSERT_NE(cache, nullptr);
  generic_cache_element_t* element = pool_.Make("abcdef", "uvwxyz");
  g_hashed_keys.clear();
  ASSERT_EQ(generic_cache_update_with_key2(cache, "zz", 2, element), 0);
  EXPECT_EQ(g_hashed_keys, Keys({"zz", "abcdef", "uvwxyz"}));

  const HashedLengthCase cases[] = {
      {"measured", -1, "abcdef"},
      {"exact", 6, "abcdef"},
      {"prefix", 3, "abc"},
      {"longer than the key", 7, "abcdef"},
      {"far longer than the key", INT_MAX, "abcdef"},
  };
  for (const HashedLengthCase& c : cases) {
    SCOPED_TRACE(c.name);
    // A key buffer of exactly the key's size, so that a read past the
    // terminator shows up under AddressSanitizer.
    std::vector<char> key(element->key1, element->key1 + 7);
    g_hashed_keys.clear();
    EXPECT_EQ(generic_cache_find_element_with_key1(cache, key.data(), c.len), element);
    EXPECT_EQ(g_hashed_keys, Keys({c.hashed}));
  }
}

TEST_F(CacheTest, LongerLengthsAreClampedForEveryLookup) {
  generic_cache_t* cache = WideCache(64);
  generic_cache_element_t* element = Insert(cache, "alpha", "beta");
  std::vector<char> key1(element->key1, element->key1 + 6);
  std::vector<char> key2(element->key2, element->key2 + 5);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, key1.data(), 6), element);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, key2.data(), 100), element);
  EXPECT_EQ(generic_cache_update_pos_with_key1(cache, key1.data(), 1000), 0);
  EXPECT_EQ(generic_cache_update_pos_with_key2(cache, key2.data(), 5), 0);
  EXPECT_EQ(GetStats(cache).num_hits, 4u);
  EXPECT_EQ(generic_cache_delete_with_key2(cache, key2.data(), INT_MAX), 0);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"alpha"}));
  ExpectNoMessages();
}

TEST_F(CacheTest, PrefixLengthSteersToAnotherBucketAndMisses) {
  generic_cache_t* cache = WideCache(512);
  Insert(cache, "abcd", "abcd");
  const generic_cache_stats before = GetStats(cache);
  // "ab" hashes to 195 and 195, "abcd" lives in 297 and 296.
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "abcd", 2), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "abcd", 2), nullptr);
  EXPECT_EQ(generic_cache_delete_with_key1(cache, "abcd", 2), 1);
  const generic_cache_stats after = GetStats(cache);
  EXPECT_EQ(after.num_misses, before.num_misses + 3);
  EXPECT_EQ(after.num_hits, before.num_hits);
  EXPECT_EQ(after.num_entries, 1);
}

TEST_F(CacheTest, CaseFlagsDecideKeyEquality) {
  generic_cache_t* insensitive = CacheFor(16, 1 << 16, false, false);
  generic_cache_element_t* folded = Insert(insensitive, "abc", "XyZ");
  EXPECT_EQ(generic_cache_find_element_with_key1(insensitive, "ABC", -1), folded);
  EXPECT_EQ(generic_cache_find_element_with_key1(insensitive, "aBc", 3), folded);
  EXPECT_EQ(generic_cache_find_element_with_key2(insensitive, "xyz", -1), folded);

  generic_cache_t* sensitive = CacheFor(16, 1 << 16, true, true);
  generic_cache_element_t* exact = Insert(sensitive, "abc", "XyZ");
  EXPECT_EQ(generic_cache_find_element_with_key1(sensitive, "ABC", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(sensitive, "xyz", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key1(sensitive, "abc", -1), exact);
  generic_cache_element_t* upper = Insert(sensitive, "ABC");
  EXPECT_EQ(generic_cache_find_element_with_key1(sensitive, "ABC", -1), upper);
  EXPECT_EQ(generic_cache_find_element_with_key1(sensitive, "abc", -1), exact);
}

TEST_F(CacheTest, CollisionsCountLinksIntoNonEmptyChains) {
  generic_cache_t* one_bucket = CacheFor(1, 1 << 16);
  Insert(one_bucket, "a", "x");
  EXPECT_EQ(GetStats(one_bucket).num_collisions, 0u);  // both chains were empty
  Insert(one_bucket, "b", "y");
  EXPECT_EQ(GetStats(one_bucket).num_collisions, 2u);  // both chains occupied
  Insert(one_bucket, "c");
  EXPECT_EQ(GetStats(one_bucket).num_collisions, 3u);  // no secondary link

  generic_cache_t* wide = WideCache(512);
  Insert(wide, "a", "a");      // 194, 194
  Insert(wide, "abc", "abc");  // 196, 295
  Insert(wide, "abcd");        // 297
  EXPECT_EQ(GetStats(wide).num_collisions, 0u);
  generic_cache_element_t* twin = pool_.Make("abcd", "a");  // 297 and 194 both taken
  ASSERT_EQ(generic_cache_update_with_key2(wide, "none", -1, twin), 0);
  EXPECT_EQ(GetStats(wide).num_collisions, 2u);
  ExpectConsistent(wide);
}

// ---------------------------------------------------------------------------
// Insertion, replacement and eviction order

TEST_F(CacheTest, EvictsLeastRecentlyUsedFirst) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");
  EXPECT_EQ(RecencyOrder(cache), Keys({"C", "B", "A"}));
  ASSERT_EQ(generic_cache_update_pos_with_key1(cache, "A", -1), 0);
  EXPECT_EQ(RecencyOrder(cache), Keys({"A", "C", "B"}));

  Insert(cache, "D");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"B"}));
  Insert(cache, "E");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"C"}));
  Insert(cache, "F");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"A"}));
  const generic_cache_stats stats = GetStats(cache);
  EXPECT_EQ(stats.num_entries, 3);
  EXPECT_EQ(stats.num_inserts, 6u);
  EXPECT_EQ(stats.num_removes, 3u);
  ExpectConsistent(cache);
  ExpectNoMessages();
}

TEST_F(CacheTest, LookupsDoNotPromote) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge + 2);  // "A" carries a key2
  generic_cache_element_t* first = Insert(cache, "A", "a");
  Insert(cache, "B");
  Insert(cache, "C");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(generic_cache_find_element_with_key1(cache, "A", -1), first);
    EXPECT_EQ(generic_cache_find_element_with_key2(cache, "a", -1), first);
  }
  EXPECT_EQ(RecencyOrder(cache), Keys({"C", "B", "A"}));
  Insert(cache, "D");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"A"}));
}

TEST_F(CacheTest, ThirdElementOfEqualChargeEvictsExactlyOne) {
  generic_cache_t* cache = CacheFor(2, 2 * 120);
  Insert(cache, "X", nullptr, 22);
  Insert(cache, "Y", nullptr, 22);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
  Insert(cache, "Z", nullptr, 22);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"X"}));
  EXPECT_EQ(GetStats(cache).num_entries, 2);
  EXPECT_EQ(GetStats(cache).cur_bytes, static_cast<uint64_t>(FixedCharge(2) + 2 * 120));
}

TEST_F(CacheTest, EvictionStopsAsSoonAsTheNewElementFits) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");
  Insert(cache, "W", nullptr, kSmallCharge);  // costs two small elements
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"A", "B"}));
  EXPECT_EQ(RecencyOrder(cache), Keys({"W", "C"}));
  EXPECT_EQ(GetStats(cache).cur_bytes, static_cast<uint64_t>(FixedCharge(1) + 3 * kSmallCharge));
}

TEST_F(CacheTest, TooLargeElementEmptiesTheCacheThenIsRefused) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");
  generic_cache_update_pos_with_key1(cache, "A", -1);
  generic_cache_element_t* big = pool_.Make("L", nullptr, 1000);
  EXPECT_EQ(generic_cache_update_with_key1(cache, "L", -1, big), 1);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"B", "C", "A"}));  // the new one is not released
  ExpectOneMessage(-1, kInsertSignature, "Error: no room in cache for 1098 bytes");
  const generic_cache_stats stats = GetStats(cache);
  EXPECT_EQ(stats.num_entries, 0);
  EXPECT_EQ(stats.cur_bytes, static_cast<uint64_t>(FixedCharge(1)));
  EXPECT_EQ(stats.num_inserts, 3u);
  EXPECT_EQ(stats.num_removes, 3u);
  ExpectConsistent(cache);

  // The caller still owns the refused element and the cache works on.
  big->data_len = 0;
  EXPECT_EQ(generic_cache_update_with_key1(cache, "L", -1, big), 0);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "L", -1), big);
}

TEST_F(CacheTest, FixedChargeAboveBudgetAcceptsNothing) {
  generic_cache_t* cache = NewCache(200, 1);
  ASSERT_NE(cache, nullptr);
  for (const char* key : {"a", "bb"}) {
    generic_cache_element_t* element = pool_.Make(key);
    EXPECT_EQ(generic_cache_update_with_key1(cache, key, -1, element), 1);
    ExpectOneMessage(
        -1, kInsertSignature,
        "Error: no room in cache for " + std::to_string(ElementCharge(element)) + " bytes");
  }
  const generic_cache_stats stats = GetStats(cache);
  EXPECT_EQ(stats.num_entries, 0);
  EXPECT_EQ(stats.cur_bytes, 240u);
  EXPECT_EQ(stats.num_inserts, 0u);
  EXPECT_EQ(stats.num_removes, 0u);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
}

int32_t AppendXToKey1(generic_cache_element* element, void*, bool) {
  std::string renamed = std::string(element->key1) + "xxx";
  testing_support::OwnedElement::FromElement(element)->ReplaceKey1(renamed.c_str());
  return 0;
}

TEST_F(CacheTest, RenameAboveBudgetMakesNextInsertionEvict) {
  generic_cache_t* cache = CacheFor(1, 3 * kSmallCharge);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");
  EXPECT_EQ(generic_cache_rename_all_key1_if(cache, &AppendXToKey1, nullptr), 0);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());  // renaming never evicts
  EXPECT_EQ(GetStats(cache).cur_bytes,
            static_cast<uint64_t>(FixedCharge(1) + 3 * kSmallCharge + 9));
  Insert(cache, "D");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"Axxx", "Bxxx"}));
  EXPECT_EQ(RecencyOrder(cache), Keys({"D", "Cxxx"}));
  ExpectConsistent(cache);
}

// Records, at each release, how many elements the cache still linked.
generic_cache_t* g_observed_cache = nullptr;
std::vector<int32_t> g_entries_at_release;
void RecordEntriesAtRelease(generic_cache_element_t* element) {
  if (g_observed_cache != nullptr) {
    g_entries_at_release.push_back(g_observed_cache->stats.num_entries);
  }
  ReleaseRecorder::Callback(element);
}

TEST_F(CacheTest, UpdateReleasesTheOldElementBeforeLinkingTheNew) {
  generic_cache_t* cache = CacheFor(4, 1 << 16, true, true, &RecordEntriesAtRelease);
  g_observed_cache = cache;
  g_entries_at_release.clear();
  generic_cache_element_t* old_element = Insert(cache, "key", "old");
  generic_cache_element_t* new_element = pool_.Make("key", "new");
  const generic_cache_stats before = GetStats(cache);
  EXPECT_EQ(generic_cache_update_with_key1(cache, "key", -1, new_element), 0);
  std::vector<testing_support::ReleasedElement> released = ReleaseRecorder::Take();
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].element, old_element);
  EXPECT_EQ(g_entries_at_release, std::vector<int32_t>({0}));
  const generic_cache_stats after = GetStats(cache);
  EXPECT_EQ(after.num_hits, before.num_hits + 1);
  EXPECT_EQ(after.num_misses, before.num_misses);
  EXPECT_EQ(after.num_removes, before.num_removes + 1);
  EXPECT_EQ(after.num_inserts, before.num_inserts + 1);
  EXPECT_EQ(after.num_entries, 1);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "new", -1), new_element);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "old", -1), nullptr);
  g_observed_cache = nullptr;
}

TEST_F(CacheTest, UpdateWithAnUncachedKeyInsertsAndCountsAMiss) {
  generic_cache_t* cache = WideCache(4);
  generic_cache_element_t* element = pool_.Make("k", "s");
  EXPECT_EQ(generic_cache_update_with_key2(cache, "s", -1, element), 0);
  const generic_cache_stats stats = GetStats(cache);
  EXPECT_EQ(stats.num_misses, 1u);
  EXPECT_EQ(stats.num_hits, 0u);
  EXPECT_EQ(stats.num_removes, 0u);
  EXPECT_EQ(stats.num_inserts, 1u);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
}

TEST_F(CacheTest, ReplacementWhoseInsertionFailsHasStillReleasedTheOld) {
  generic_cache_t* cache = CacheFor(1, 2 * kSmallCharge);
  Insert(cache, "A");
  generic_cache_element_t* big = pool_.Make("B", nullptr, 5000);
  EXPECT_EQ(generic_cache_update_with_key1(cache, "A", -1, big), 1);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"A"}));
  EXPECT_EQ(GetStats(cache).num_entries, 0);
  EXPECT_EQ(GetStats(cache).num_removes, 1u);
  ExpectOneMessage(-1, kInsertSignature, "Error: no room in cache for 5098 bytes");
}

TEST_F(CacheTest, UpdateRemovesOnlyTheFirstMatch) {
  generic_cache_t* cache = CacheFor(1, 1 << 16);
  generic_cache_element_t* older = Insert(cache, "dup");
  generic_cache_element_t* newer = pool_.Make("dup");
  ASSERT_EQ(generic_cache_update_with_key1(cache, "other", -1, newer), 0);
  generic_cache_element_t* replacement = pool_.Make("c");
  EXPECT_EQ(generic_cache_update_with_key1(cache, "dup", -1, replacement), 0);
  std::vector<testing_support::ReleasedElement> released = ReleaseRecorder::Take();
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].element, newer);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "dup", -1), older);
}

TEST_F(CacheTest, UpdateByKey2LeavesAnEqualKey1Cached) {
  generic_cache_t* cache = WideCache(8);
  generic_cache_element_t* older = pool_.Make("k", "old2");
  ASSERT_EQ(generic_cache_update_with_key2(cache, "old2", -1, older), 0);
  generic_cache_element_t* newer = pool_.Make("k", "new2");
  ASSERT_EQ(generic_cache_update_with_key2(cache, "new2", -1, newer), 0);
  EXPECT_EQ(GetStats(cache).num_entries, 2);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), newer);
  EXPECT_EQ(generic_cache_delete_with_key1(cache, "k", -1), 0);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), older);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "old2", -1), older);
  ExpectConsistent(cache);
}

// Passing back the element cached under the lookup key re-inserts it as most
// recently used; with a callback it must not be handed back first, or a
// callback that frees it would make the re-insertion a use-after-free.
TEST_F(CacheTest, UpdateWithTheCachedElementItselfReinsertsItUnreleased) {
  for (CallBackFunc callback : {CallBackFunc(nullptr), &ReleaseRecorder::Callback}) {
    SCOPED_TRACE(callback == nullptr ? "without callback" : "with callback");
    generic_cache_t* cache = CacheFor(4, 1 << 16, true, true, callback);
    generic_cache_element_t* element = Insert(cache, "self", "s");
    Insert(cache, "other");
    EXPECT_EQ(generic_cache_update_with_key1(cache, "self", -1, element), 0);
    EXPECT_EQ(RecencyOrder(cache), Keys({"self", "other"}));
    EXPECT_EQ(ReleaseRecorder::Count(), 0u);
    const generic_cache_stats stats = GetStats(cache);
    EXPECT_EQ(stats.num_entries, 2);
    EXPECT_EQ(stats.num_inserts, 3u);
    EXPECT_EQ(stats.num_removes, 1u);
    EXPECT_EQ(stats.num_hits, 1u);
    ExpectConsistent(cache);
    Destroy(cache);
    if (callback != nullptr) {
      EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"other", "self"}));  // each once
    }
  }
}

// A caller that changes a cached element's lengths breaks the contract, but
// the cache refunds what it charged, so cur_bytes cannot wrap and the budget
// keeps holding.
TEST_F(CacheTest, RemovalRefundsTheChargeAdmittedWhateverTheElementNowSays) {
  struct Case {
    const char* name;
    std::function<void(generic_cache_element_t*)> tamper;
  };
  const Case cases[] = {
      {"data_len grown", [](generic_cache_element_t* e) { e->data_len = 100000; }},
      {"data_len shrunk", [](generic_cache_element_t* e) { e->data_len = 0; }},
      {"key1_len grown", [](generic_cache_element_t* e) { e->key1_len = 1 << 20; }},
      {"key2_len set to -1", [](generic_cache_element_t* e) { e->key2_len = -1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    generic_cache_t* cache = CacheFor(4, 2 * ElementCharge(1, 1, 5000));
    const uint64_t empty_bytes = GetStats(cache).cur_bytes;
    generic_cache_element_t* tampered = Insert(cache, "t", "u", 5000);
    c.tamper(tampered);
    Insert(cache, "a", "b", 5000);
    Insert(cache, "c", "d", 5000);  // evicts the tampered element
    EXPECT_EQ(ReleaseRecorder::TakeElements(), std::vector<generic_cache_element_t*>{tampered});
    EXPECT_EQ(GetStats(cache).cur_bytes, empty_bytes + 2 * ElementCharge(1, 1, 5000));
    EXPECT_EQ(generic_cache_delete_with_key1(cache, "a", -1), 0);
    EXPECT_EQ(generic_cache_delete_with_key1(cache, "c", -1), 0);
    EXPECT_EQ(GetStats(cache).cur_bytes, empty_bytes);
    Destroy(cache);
    ReleaseRecorder::Clear();
  }
}

struct InvalidLookupKey {
  const char* name;
  const char* key;
  int len;
};

const InvalidLookupKey kInvalidLookupKeys[] = {
    {"null", nullptr, -1},  {"empty", "", -1},        {"empty, explicit", "", 0},
    {"length 0", "abc", 0}, {"length -2", "abc", -2}, {"length INT_MIN", "abc", INT_MIN},
};

TEST_F(CacheTest, UpdateWithAnInvalidLookupKeyStillInserts) {
  for (bool by_key2 : {false, true}) {
    for (const InvalidLookupKey& k : kInvalidLookupKeys) {
      SCOPED_TRACE(std::string(k.name) + (by_key2 ? " by key2" : " by key1"));
      generic_cache_t* cache = WideCache(4);
      Insert(cache, "abc", "abc");
      const generic_cache_stats before = GetStats(cache);
      generic_cache_element_t* element = pool_.Make("new", "new2");
      const int result = by_key2 ? generic_cache_update_with_key2(cache, k.key, k.len, element)
                                 : generic_cache_update_with_key1(cache, k.key, k.len, element);
      EXPECT_EQ(result, 0);
      ExpectOneMessage(-1, by_key2 ? kFind2Signature : kFind1Signature,
                       WithPointer("Error: key [{}] is invalid or key[0] is 0.", k.key));
      const generic_cache_stats after = GetStats(cache);
      EXPECT_EQ(after.num_hits, before.num_hits);
      EXPECT_EQ(after.num_misses, before.num_misses);
      EXPECT_EQ(after.num_entries, 2);
      EXPECT_EQ(after.num_inserts, 2u);
      EXPECT_TRUE(ReleaseRecorder::Take().empty());
      Destroy(cache);
      ReleaseRecorder::Clear();
    }
  }
}

// ---------------------------------------------------------------------------
// Malformed elements and a missing log writer: refused or silent, never a
// crash, and nothing in the cache changes. A length that disagrees with its
// key would steer the hash past the terminator or to the wrong bucket, and a
// negative payload would shrink the charge, so insertion checks them all.

const char kNullKey[] = "<null>";

struct MalformedElementCase {
  const char* name;
  const char* key1;  // kNullKey for a null pointer
  int32_t key1_len;
  const char* key2;  // kNullKey for a null pointer
  int32_t key2_len;
  int32_t data_len;
  const char* message;  // "{}" stands for the element's key1 pointer
};

const char* KeyOrNull(const char* key) { return key == kNullKey ? nullptr : key; }

TEST_F(CacheTest, MalformedElementsAreRefusedWithoutTouchingTheCache) {
  const MalformedElementCase cases[] = {
      {"null key1", kNullKey, -1, kNullKey, -1, 0, "Error: key1 [{}] is invalid or key1[0] is 0."},
      {"empty key1", "", -1, kNullKey, -1, 0, "Error: key1 [{}] is invalid or key1[0] is 0."},
      {"key1_len -2", "abc", -2, kNullKey, -1, 0, "Error: key1_len [-2] is invalid."},
      {"key1_len 0", "abc", 0, kNullKey, -1, 0, "Error: key1_len [0] is invalid."},
      {"key1_len short", "abc", 2, kNullKey, -1, 0, "Error: key1_len [2] is invalid."},
      {"key1_len long", "abc", 4, kNullKey, -1, 0, "Error: key1_len [4] is invalid."},
      {"key1_len INT_MIN", "abc", INT_MIN, kNullKey, -1, 0,
       "Error: key1_len [-2147483648] is invalid."},
      {"empty key2", "abc", -1, "", -1, 0, "Error: key2[0] is 0."},
      {"key2_len -3", "abc", -1, "xy", -3, 0, "Error: key2_len [-3] is invalid."},
      {"key2_len long", "abc", -1, "xy", 5, 0, "Error: key2_len [5] is invalid."},
      {"key2_len short", "abc", -1, "xy", 1, 0, "Error: key2_len [1] is invalid."},
      {"null key2, key2_len -2", "abc", -1, kNullKey, -2, 0, "Error: key2_len [-2] is invalid."},
      {"data_len -1", "abc", -1, "xy", -1, -1, "Error: data_len [-1] is invalid."},
      {"data_len INT_MIN", "abc", 3, kNullKey, -1, INT_MIN,
       "Error: data_len [-2147483648] is invalid."},
      // Checks run key1, key1_len, key2, key2_len, data_len: the first wins.
      {"empty key1 before key1_len", "", 5, "", -9, -1,
       "Error: key1 [{}] is invalid or key1[0] is 0."},
      {"key1_len before key2", "abc", 9, "", -9, -1, "Error: key1_len [9] is invalid."},
      {"key2 before key2_len", "abc", -1, "", 3, -1, "Error: key2[0] is 0."},
      {"key2_len before data_len", "abc", -1, "xy", 7, -1, "Error: key2_len [7] is invalid."},
  };
  for (bool by_key2 : {false, true}) {
    for (const MalformedElementCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (by_key2 ? " by key2" : " by key1"));
      // A full cache: a well-formed element would have to evict.
      generic_cache_t* cache = CacheFor(1, 2 * 101);
      Insert(cache, "A", nullptr, 3);
      Insert(cache, "B", nullptr, 3);
      log_->clear();
      const generic_cache_stats before = GetStats(cache);

      generic_cache_element_t* element =
          pool_.Make(KeyOrNull(c.key1), KeyOrNull(c.key2), c.data_len, c.key1_len, c.key2_len);
      const int result = by_key2 ? generic_cache_update_with_key2(cache, "missing", -1, element)
                                 : generic_cache_update_with_key1(cache, "missing", -1, element);
      EXPECT_EQ(result, 1);
      ExpectOneMessage(-1, kInsertSignature, WithPointer(c.message, element->key1));
      generic_cache_stats expected = before;
      expected.num_misses += 1;  // the update's own lookup
      EXPECT_TRUE(SameStats(GetStats(cache), expected)) << Describe(GetStats(cache));
      EXPECT_EQ(RecencyOrder(cache), Keys({"B", "A"}));
      EXPECT_TRUE(ReleaseRecorder::Take().empty());
      ExpectConsistent(cache);
      Destroy(cache);
      ReleaseRecorder::Clear();
    }
  }
}

TEST_F(CacheTest, NoLogWriterMeansSilentFailuresNotCrashes) {
  WithoutLogWriter no_writer;
  EXPECT_EQ(generic_cache_init_cache(0, 1, nullptr, nullptr, nullptr, true, true), nullptr);
  EXPECT_EQ(generic_cache_init_cache(100, INT_MAX, nullptr, nullptr, nullptr, true, true), nullptr);
  generic_cache_t* cache = CacheFor(1, kSmallCharge);
  generic_cache_element_t* keyless = pool_.Make(nullptr);
  EXPECT_EQ(generic_cache_update_with_key1(cache, nullptr, -1, keyless), 1);
  generic_cache_element_t* big = pool_.Make("big", nullptr, 1000);
  EXPECT_EQ(generic_cache_update_with_key1(cache, "big", -1, big), 1);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "", -1), nullptr);
  Insert(cache, "a");
  generic_cache_dump_cache(cache);
  EXPECT_EQ(GetStats(cache).num_entries, 1);
}

// ---------------------------------------------------------------------------
// Lookups

TEST_F(CacheTest, FindsByEitherKeyAndCountsHitsAndMisses) {
  generic_cache_t* cache = WideCache(16);
  generic_cache_element_t* with_key2 = Insert(cache, "alpha", "one");
  generic_cache_element_t* without_key2 = Insert(cache, "beta");
  const generic_cache_stats before = GetStats(cache);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "alpha", -1), with_key2);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "beta", 4), without_key2);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "one", -1), with_key2);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "gamma", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "one", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "beta", -1), nullptr);
  const generic_cache_stats after = GetStats(cache);
  EXPECT_EQ(after.num_hits, before.num_hits + 3);
  EXPECT_EQ(after.num_misses, before.num_misses + 3);
  generic_cache_stats unchanged = after;
  unchanged.num_hits = before.num_hits;
  unchanged.num_misses = before.num_misses;
  EXPECT_TRUE(SameStats(unchanged, before));
  EXPECT_EQ(RecencyOrder(cache), Keys({"beta", "alpha"}));
}

// Records the elements a pinned lookup hands over.
void RecordVisit(generic_cache_element_t* element, void* visited) {
  static_cast<std::vector<generic_cache_element_t*>*>(visited)->push_back(element);
}

// A pinned lookup hands its function the element a plain lookup returns;
// only the _and_update_pos variants move it, and a null function is refused
// without counting.
TEST_F(CacheTest, VisitsSeeTheElementFoundAndPromoteOnlyWhenAsked) {
  generic_cache_t* cache = WideCache(16);
  generic_cache_element_t* alpha = Insert(cache, "alpha", "one");
  Insert(cache, "beta");
  std::vector<generic_cache_element_t*> visited;
  EXPECT_EQ(generic_cache_visit_element_with_key2(cache, "one", -1, RecordVisit, &visited), 0);
  EXPECT_EQ(RecencyOrder(cache), Keys({"beta", "alpha"}));
  EXPECT_EQ(generic_cache_visit_and_update_pos_with_key2(cache, "one", -1, RecordVisit, &visited),
            0);
  EXPECT_EQ(visited, (std::vector<generic_cache_element_t*>{alpha, alpha}));
  EXPECT_EQ(RecencyOrder(cache), Keys({"alpha", "beta"}));
  const generic_cache_stats before = GetStats(cache);
  EXPECT_EQ(generic_cache_visit_element_with_key1(cache, "beta", -1, nullptr, nullptr), 1);
  EXPECT_TRUE(SameStats(GetStats(cache), before));
  EXPECT_EQ(before.num_hits, 2u);
}

TEST_F(CacheTest, EqualKeysFindTheMostRecentlyLinked) {
  generic_cache_t* cache = CacheFor(1, 1 << 16);
  generic_cache_element_t* first = pool_.Make("k", "s");
  generic_cache_element_t* second = pool_.Make("k", "s");
  ASSERT_EQ(generic_cache_update_with_key1(cache, "x", -1, first), 0);
  ASSERT_EQ(generic_cache_update_with_key1(cache, "x", -1, second), 0);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), second);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "s", -1), second);
  // Promotion moves only the recency list, not the chains.
  ASSERT_EQ(generic_cache_update_pos_with_key1(cache, "k", -1), 0);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), second);
}

enum class KeyedOp {
  kFind1,
  kFind2,
  kDelete1,
  kDelete2,
  kPromote1,
  kPromote2,
  kVisit1,
  kVisit2,
  kVisitPromote1,
  kVisitPromote2
};

struct KeyedOpCase {
  KeyedOp op;
  const char* name;
  const char* signature;
};

const KeyedOpCase kKeyedOps[] = {
    {KeyedOp::kFind1, "find by key1", kFind1Signature},
    {KeyedOp::kFind2, "find by key2", kFind2Signature},
    {KeyedOp::kDelete1, "delete by key1", kFind1Signature},
    {KeyedOp::kDelete2, "delete by key2", kFind2Signature},
    {KeyedOp::kPromote1, "promote by key1", kFind1Signature},
    {KeyedOp::kPromote2, "promote by key2", kFind2Signature},
    {KeyedOp::kVisit1, "visit by key1", kFind1Signature},
    {KeyedOp::kVisit2, "visit by key2", kFind2Signature},
    {KeyedOp::kVisitPromote1, "visit and promote by key1", kFind1Signature},
    {KeyedOp::kVisitPromote2, "visit and promote by key2", kFind2Signature},
};

// 0 or a non-null element for "found", 1 or null for "not found".
bool RunKeyedOp(generic_cache_t* cache, KeyedOp op, const char* key, int len) {
  switch (op) {
    case KeyedOp::kFind1:
      return generic_cache_find_element_with_key1(cache, key, len) != nullptr;
    case KeyedOp::kFind2:
      return generic_cache_find_element_with_key2(cache, key, len) != nullptr;
    case KeyedOp::kDelete1:
      return generic_cache_delete_with_key1(cache, key, len) == 0;
    case KeyedOp::kDelete2:
      return generic_cache_delete_with_key2(cache, key, len) == 0;
    case KeyedOp::kPromote1:
      return generic_cache_update_pos_with_key1(cache, key, len) == 0;
    case KeyedOp::kPromote2:
      return generic_cache_update_pos_with_key2(cache, key, len) == 0;
    default:
      break;
  }
  std::vector<generic_cache_element_t*> visited;
  int status = 1;
  if (op == KeyedOp::kVisit1)
    status = generic_cache_visit_element_with_key1(cache, key, len, RecordVisit, &visited);
  else if (op == KeyedOp::kVisit2)
    status = generic_cache_visit_element_with_key2(cache, key, len, RecordVisit, &visited);
  else if (op == KeyedOp::kVisitPromote1)
    status = generic_cache_visit_and_update_pos_with_key1(cache, key, len, RecordVisit, &visited);
  else
    status = generic_cache_visit_and_update_pos_with_key2(cache, key, len, RecordVisit, &visited);
  EXPECT_EQ(visited.size(), status == 0 ? 1u : 0u);
  return status == 0;
}

TEST_F(CacheTest, InvalidLookupKeysAreRejectedWithoutCounting) {
  generic_cache_t* cache = WideCache(4);
  Insert(cache, "abc", "abc");
  Insert(cache, "second");
  for (const KeyedOpCase& op : kKeyedOps) {
    for (const InvalidLookupKey& k : kInvalidLookupKeys) {
      SCOPED_TRACE(std::string(op.name) + ", key " + k.name);
      log_->clear();
      const generic_cache_stats before = GetStats(cache);
      EXPECT_FALSE(RunKeyedOp(cache, op.op, k.key, k.len));
      ExpectOneMessage(-1, op.signature,
                       WithPointer("Error: key [{}] is invalid or key[0] is 0.", k.key));
      EXPECT_TRUE(SameStats(GetStats(cache), before)) << Describe(GetStats(cache));
      EXPECT_EQ(RecencyOrder(cache), Keys({"second", "abc"}));
    }
  }
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
}

TEST_F(CacheTest, MissingKeysReturnNotFoundAndCountAMiss) {
  generic_cache_t* cache = WideCache(4);
  Insert(cache, "abc", "abc");
  for (const KeyedOpCase& op : kKeyedOps) {
    SCOPED_TRACE(op.name);
    const generic_cache_stats before = GetStats(cache);
    EXPECT_FALSE(RunKeyedOp(cache, op.op, "missing", -1));
    generic_cache_stats expected = before;
    expected.num_misses += 1;
    EXPECT_TRUE(SameStats(GetStats(cache), expected)) << Describe(GetStats(cache));
  }
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
  ExpectNoMessages();
}

// ---------------------------------------------------------------------------
// Deletion

TEST_F(CacheTest, DeleteRemovesReleasesAndRefundsTheCharge) {
  generic_cache_t* cache = WideCache(8);
  Insert(cache, "A", "a", 1);
  generic_cache_element_t* middle = Insert(cache, "B", "b", 20);
  Insert(cache, "C", "c", 3);
  const generic_cache_stats before = GetStats(cache);
  EXPECT_EQ(generic_cache_delete_with_key1(cache, "B", -1), 0);
  std::vector<testing_support::ReleasedElement> released = ReleaseRecorder::Take();
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].element, middle);
  const generic_cache_stats after = GetStats(cache);
  EXPECT_EQ(after.num_entries, 2);
  EXPECT_EQ(after.num_removes, before.num_removes + 1);
  EXPECT_EQ(after.num_hits, before.num_hits + 1);
  EXPECT_EQ(after.cur_bytes, before.cur_bytes - ElementCharge(middle));
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "B", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "b", -1), nullptr);
  EXPECT_EQ(RecencyOrder(cache), Keys({"C", "A"}));

  EXPECT_EQ(generic_cache_delete_with_key2(cache, "c", -1), 0);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"C"}));
  EXPECT_EQ(RecencyOrder(cache), Keys({"A"}));
  EXPECT_EQ(generic_cache_delete_with_key2(cache, "c", -1), 1);
  ExpectConsistent(cache);
}

// All elements share one chain per table, so each position of the chain and
// of the recency list is unlinked once.
TEST_F(CacheTest, DeleteFromEveryChainPositionKeepsTheRestReachable) {
  const char* const keys[] = {"A", "B", "C"};
  for (int victim = 0; victim < 3; ++victim) {
    for (bool by_key2 : {false, true}) {
      SCOPED_TRACE(std::string(keys[victim]) + (by_key2 ? " by key2" : " by key1"));
      generic_cache_t* cache = CacheFor(1, 1 << 16);
      const char* const key2s[] = {"a", "b", "c"};
      for (int i = 0; i < 3; ++i) Insert(cache, keys[i], key2s[i]);
      EXPECT_EQ(by_key2 ? generic_cache_delete_with_key2(cache, key2s[victim], -1)
                        : generic_cache_delete_with_key1(cache, keys[victim], -1),
                0);
      for (int i = 0; i < 3; ++i) {
        const bool present = i != victim;
        EXPECT_EQ(generic_cache_find_element_with_key1(cache, keys[i], -1) != nullptr, present);
        EXPECT_EQ(generic_cache_find_element_with_key2(cache, key2s[i], -1) != nullptr, present);
      }
      ExpectConsistent(cache);
      Destroy(cache);
      EXPECT_EQ(ReleaseRecorder::Take().size(), 3u);
    }
  }
}

TEST_F(CacheTest, OperationsWithoutCallbackNeverHandBack) {
  generic_cache_t* cache = CacheFor(1, 2 * kSmallCharge, true, true, nullptr);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");  // evicts A
  EXPECT_EQ(generic_cache_delete_with_key1(cache, "B", -1), 0);
  generic_cache_remove_all(cache);
  EXPECT_EQ(GetStats(cache).num_removes, 2u);
  EXPECT_EQ(GetStats(cache).num_entries, 0);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
}

// ---------------------------------------------------------------------------
// Promotion

TEST_F(CacheTest, PromotionMovesToTheHeadAndChangesEvictionOrder) {
  generic_cache_t* cache = CacheFor(1, 3 * (kSmallCharge + 2));  // each carries a key2
  Insert(cache, "A", "a");
  Insert(cache, "B", "b");
  Insert(cache, "C", "c");
  EXPECT_EQ(generic_cache_update_pos_with_key2(cache, "b", -1), 0);  // middle
  EXPECT_EQ(RecencyOrder(cache), Keys({"B", "C", "A"}));
  EXPECT_EQ(generic_cache_update_pos_with_key1(cache, "A", -1), 0);  // tail
  EXPECT_EQ(RecencyOrder(cache), Keys({"A", "B", "C"}));
  ExpectConsistent(cache);
  Insert(cache, "D");
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"C"}));
  ExpectConsistent(cache);
}

// Promotions are queued under the shared lock and applied by the next
// exclusive operation. More of them than the queue holds must still leave the
// exact order, and an element deleted while its promotion is queued must
// never be touched again (AddressSanitizer watches).
TEST_F(CacheTest, QueuedPromotionsKeepTheirOrderBeyondTheQueueAndAcrossRemovals) {
  generic_cache_t* cache = WideCache(256);
  std::vector<std::string> order;  // most recently used first
  for (int i = 0; i < 200; ++i) {
    const std::string key = "k" + std::to_string(i);
    Insert(cache, key.c_str());
    order.insert(order.begin(), key);
  }
  auto promote = [&](const std::string& key) {
    EXPECT_EQ(generic_cache_update_pos_with_key1(cache, key.c_str(), -1), 0) << key;
    order.erase(std::find(order.begin(), order.end(), key));
    order.insert(order.begin(), key);
  };
  for (int i = 0; i < 200; i += 2) promote("k" + std::to_string(i));
  promote("k10");
  EXPECT_EQ(generic_cache_delete_with_key1(cache, "k10", -1), 0);
  order.erase(std::find(order.begin(), order.end(), "k10"));
  EXPECT_EQ(RecencyOrder(cache), order);
  EXPECT_EQ(GetStats(cache).num_hits, 102u);
  ExpectConsistent(cache);
}

TEST_F(CacheTest, PromotingTheMostRecentChangesOnlyHits) {
  generic_cache_t* cache = CacheFor(1, 1 << 16);
  Insert(cache, "A", "a");
  Insert(cache, "B", "b");
  for (bool by_key2 : {false, true}) {
    const generic_cache_stats before = GetStats(cache);
    EXPECT_EQ(by_key2 ? generic_cache_update_pos_with_key2(cache, "b", -1)
                      : generic_cache_update_pos_with_key1(cache, "B", -1),
              0);
    generic_cache_stats expected = before;
    expected.num_hits += 1;
    EXPECT_TRUE(SameStats(GetStats(cache), expected));
    EXPECT_EQ(RecencyOrder(cache), Keys({"B", "A"}));
  }
  ExpectConsistent(cache);
}

// ---------------------------------------------------------------------------
// Clearing and destruction

TEST_F(CacheTest, ClearReleasesInPrimaryTableOrderAndKeepsCounters) {
  generic_cache_t* cache = WideCache(512);
  Insert(cache, "abcd", "x");  // bucket 297
  Insert(cache, "a", "y");     // bucket 194
  Insert(cache, "abc");        // bucket 196
  generic_cache_element_t* twin = pool_.Make("a");
  ASSERT_EQ(generic_cache_update_with_key2(cache, "none", -1, twin), 0);  // 194, ahead of "a"
  generic_cache_find_element_with_key1(cache, "abc", -1);
  generic_cache_update_pos_with_key1(cache, "abcd", -1);
  const generic_cache_stats before = GetStats(cache);

  generic_cache_remove_all(cache);
  std::vector<testing_support::ReleasedElement> released = ReleaseRecorder::Take();
  ASSERT_EQ(released.size(), 4u);
  EXPECT_EQ(released[0].element, twin);
  EXPECT_EQ(released[1].key1, "a");
  EXPECT_EQ(released[1].key2, "y");
  EXPECT_EQ(released[2].key1, "abc");
  EXPECT_EQ(released[3].key1, "abcd");

  generic_cache_stats expected = before;
  expected.num_entries = 0;
  expected.cur_bytes = static_cast<uint64_t>(FixedCharge(512));
  EXPECT_TRUE(SameStats(GetStats(cache), expected)) << Describe(GetStats(cache));
  ExpectConsistent(cache);
  // Usable as new.
  Insert(cache, "abcd", "x");
  EXPECT_NE(generic_cache_find_element_with_key2(cache, "x", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "y", -1), nullptr);
  ExpectConsistent(cache);
  ExpectNoMessages();
}

TEST_F(CacheTest, ClearWalksEachChainFromItsHead) {
  generic_cache_t* cache = CacheFor(1, 1 << 16);
  Insert(cache, "A");
  Insert(cache, "B");
  Insert(cache, "C");
  generic_cache_update_pos_with_key1(cache, "A", -1);  // recency order is not the release order
  generic_cache_remove_all(cache);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"C", "B", "A"}));
  const generic_cache_stats stats = GetStats(cache);
  EXPECT_EQ(stats.num_inserts, 3u);
  EXPECT_EQ(stats.num_removes, 0u);

  // Clearing an empty cache changes nothing.
  generic_cache_remove_all(cache);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
  EXPECT_TRUE(SameStats(GetStats(cache), stats));
}

TEST_F(CacheTest, DestroyReleasesEveryElementOnceInPrimaryOrder) {
  generic_cache_del_cache(nullptr);  // accepted, does nothing

  generic_cache_t* cache = WideCache(512);
  Insert(cache, "abcd");
  Insert(cache, "a");
  Insert(cache, "abc");
  Destroy(cache);
  EXPECT_EQ(ReleaseRecorder::TakeKey1s(), Keys({"a", "abc", "abcd"}));
  ExpectNoMessages();
}

// ---------------------------------------------------------------------------
// Rename of key1 and key2

// The rename function under test: records the key it was offered (key1 for
// the key1 walk, key2 or "(null)" for the key2 walk) and the case flag, then
// defers to `decide`.
struct RenamePlan {
  bool key2_walk = false;
  std::function<int32_t(generic_cache_element*)> decide;
  Keys offered;
  std::vector<bool> flags;
};

int32_t RunPlan(generic_cache_element* element, void* user_data, bool case_sensitive) {
  RenamePlan* plan = static_cast<RenamePlan*>(user_data);
  const char* key = plan->key2_walk ? element->key2 : element->key1;
  plan->offered.push_back(key != nullptr ? key : "(null)");
  plan->flags.push_back(case_sensitive);
  return plan->decide(element);
}

int RenameAll(generic_cache_t* cache, RenamePlan* plan) {
  return plan->key2_walk ? generic_cache_rename_all_key2_if(cache, &RunPlan, plan)
                         : generic_cache_rename_all_key1_if(cache, &RunPlan, plan);
}

testing_support::OwnedElement& Owner(generic_cache_element* element) {
  return *testing_support::OwnedElement::FromElement(element);
}

TEST_F(CacheTest, RenameOfAnEmptyCacheCallsNothing) {
  generic_cache_t* cache = WideCache(4);
  for (bool key2_walk : {false, true}) {
    RenamePlan plan;
    plan.key2_walk = key2_walk;
    plan.decide = [](generic_cache_element*) { return 5; };
    EXPECT_EQ(RenameAll(cache, &plan), 0);
    EXPECT_TRUE(plan.offered.empty());
  }
}

TEST_F(CacheTest, RenameCodesSteerTheWalk) {
  struct Case {
    const char* name;
    bool key2_walk;
    int32_t code;
    int expected_result;
    Keys expected_offered;
  };
  const Case cases[] = {
      {"negative: every element, most recent first", false, -1, -1, {"C", "B", "A"}},
      {"negative, key2 walk", true, -3, -3, {"c", "(null)", "a"}},
      {"positive stops at the first", false, 7, 7, {"C"}},
      {"positive stops, key2 walk", true, 1, 1, {"c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    generic_cache_t* cache = WideCache(8);
    Insert(cache, "A", "a");
    Insert(cache, "B");
    Insert(cache, "C", "c");
    const generic_cache_stats before = GetStats(cache);
    RenamePlan plan;
    plan.key2_walk = c.key2_walk;
    const int32_t code = c.code;
    plan.decide = [code](generic_cache_element*) { return code; };
    EXPECT_EQ(RenameAll(cache, &plan), c.expected_result);
    EXPECT_EQ(plan.offered, c.expected_offered);
    EXPECT_TRUE(SameStats(GetStats(cache), before)) << Describe(GetStats(cache));
    EXPECT_EQ(RecencyOrder(cache), Keys({"C", "B", "A"}));
    Destroy(cache);
    ReleaseRecorder::Clear();
  }
  ExpectNoMessages();
}

TEST_F(CacheTest, RenamePassesTheWalkedKeysCaseFlag) {
  generic_cache_t* cache = CacheFor(4, 1 << 16, false, true);
  Insert(cache, "A", "a");
  RenamePlan plan;
  plan.decide = [](generic_cache_element*) { return -1; };
  generic_cache_rename_all_key1_if(cache, &RunPlan, &plan);
  plan.key2_walk = true;
  generic_cache_rename_all_key2_if(cache, &RunPlan, &plan);
  EXPECT_EQ(plan.flags, std::vector<bool>({false, true}));
}

TEST_F(CacheTest, RenamingKey1RelinksAndCorrectsTheCharge) {
  generic_cache_t* cache = WideCache(64);
  Insert(cache, "first", "1");
  generic_cache_element_t* renamed = Insert(cache, "abc", "2");
  Insert(cache, "last", "3");
  const generic_cache_stats before = GetStats(cache);
  RenamePlan plan;
  plan.decide = [](generic_cache_element* e) {
    if (std::strcmp(e->key1, "abc") != 0) return -1;
    Owner(e).ReplaceKey1("abcdef");
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), -1);  // the last offered said -1
  EXPECT_EQ(renamed->key1_len, 6);
  const generic_cache_stats after = GetStats(cache);
  EXPECT_EQ(after.cur_bytes, before.cur_bytes + 3);
  EXPECT_EQ(after.num_renames, before.num_renames + 1);
  EXPECT_EQ(after.num_entries, before.num_entries);
  EXPECT_EQ(after.num_removes, before.num_removes);
  EXPECT_EQ(after.num_inserts, before.num_inserts);
  EXPECT_EQ(after.num_hits, before.num_hits);
  EXPECT_EQ(after.num_misses, before.num_misses);
  EXPECT_EQ(RecencyOrder(cache), Keys({"last", "abcdef", "first"}));
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "abcdef", -1), renamed);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "abc", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "2", -1), renamed);

  // Rewriting the bytes in place works as well as a new pointer.
  plan.decide = [](generic_cache_element* e) {
    if (std::strcmp(e->key1, "abcdef") != 0) return -1;
    std::strcpy(e->key1, "xy");
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), -1);
  EXPECT_EQ(renamed->key1_len, 2);
  EXPECT_EQ(GetStats(cache).cur_bytes, before.cur_bytes - 1);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "xy", -1), renamed);
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
  ExpectConsistent(cache);
}

TEST_F(CacheTest, RenamingKey2CanRemoveAndAddTheSecondaryKey) {
  generic_cache_t* cache = WideCache(64);
  generic_cache_element_t* element = Insert(cache, "k", "two");
  Insert(cache, "other", "o");
  const uint64_t start = GetStats(cache).cur_bytes;
  RenamePlan plan;
  plan.key2_walk = true;
  plan.decide = [element](generic_cache_element* e) {
    if (e != element) return -1;
    Owner(e).ReplaceKey2(nullptr);
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), 0);
  EXPECT_EQ(element->key2_len, -1);
  EXPECT_EQ(GetStats(cache).cur_bytes, start - 4);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "two", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "k", -1), element);
  ExpectConsistent(cache);

  plan.decide = [element](generic_cache_element* e) {
    if (e != element) return -1;
    Owner(e).ReplaceKey2("four");
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), 0);
  EXPECT_EQ(element->key2_len, 4);
  EXPECT_EQ(GetStats(cache).cur_bytes, start - 4 + 5);
  EXPECT_EQ(generic_cache_find_element_with_key2(cache, "four", -1), element);
  EXPECT_EQ(GetStats(cache).num_renames, 2u);

  // Returning 0 for an element that has and keeps no key2 still counts.
  plan.decide = [element](generic_cache_element* e) {
    if (e == element) return -1;
    Owner(e).ReplaceKey2(nullptr);
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), -1);
  plan.decide = [](generic_cache_element*) { return 0; };
  const uint64_t before_noop = GetStats(cache).cur_bytes;
  EXPECT_EQ(RenameAll(cache, &plan), 0);
  EXPECT_EQ(GetStats(cache).num_renames, 5u);
  EXPECT_EQ(GetStats(cache).cur_bytes, before_noop);
  EXPECT_EQ(plan.offered.back(), "four");
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
  ExpectConsistent(cache);
}

TEST_F(CacheTest, UnchangedRenameStillMovesTheNodeToBothChainHeads) {
  for (bool key2_walk : {false, true}) {
    SCOPED_TRACE(key2_walk ? "key2 walk" : "key1 walk");
    generic_cache_t* cache = CacheFor(1, 1 << 16);
    generic_cache_element_t* older = pool_.Make("dup", "dup2");
    generic_cache_element_t* newer = pool_.Make("dup", "dup2");
    ASSERT_EQ(generic_cache_update_with_key1(cache, "x", -1, older), 0);
    ASSERT_EQ(generic_cache_update_with_key1(cache, "x", -1, newer), 0);
    ASSERT_EQ(generic_cache_find_element_with_key1(cache, "dup", -1), newer);
    const generic_cache_stats before = GetStats(cache);

    RenamePlan plan;
    plan.key2_walk = key2_walk;
    plan.decide = [older](generic_cache_element* e) { return e == older ? 0 : -1; };
    EXPECT_EQ(RenameAll(cache, &plan), 0);
    EXPECT_EQ(generic_cache_find_element_with_key1(cache, "dup", -1), older);
    EXPECT_EQ(generic_cache_find_element_with_key2(cache, "dup2", -1), older);
    const generic_cache_stats after = GetStats(cache);
    EXPECT_EQ(after.num_renames, before.num_renames + 1);
    EXPECT_EQ(after.cur_bytes, before.cur_bytes);
    EXPECT_EQ(after.num_collisions, before.num_collisions + 2);
    ExpectConsistent(cache);
    // Recency is untouched: the newer one is still offered first.
    std::vector<generic_cache_element*> walked;
    plan.decide = [&walked](generic_cache_element* e) {
      walked.push_back(e);
      return -1;
    };
    EXPECT_EQ(RenameAll(cache, &plan), -1);
    EXPECT_EQ(walked, std::vector<generic_cache_element*>({newer, older}));
    Destroy(cache);
    ReleaseRecorder::Clear();
  }
}

TEST_F(CacheTest, RenameRelinksAllButTheLastAndReturnsItsCode) {
  generic_cache_t* cache = WideCache(16);
  Insert(cache, "A", "a");
  Insert(cache, "B", "b");
  Insert(cache, "C", "c");
  RenamePlan plan;
  plan.decide = [](generic_cache_element* e) {
    if (std::strcmp(e->key1, "A") == 0) return -1;
    Owner(e).ReplaceKey1((std::string(e->key1) + "2").c_str());
    return 0;
  };
  EXPECT_EQ(RenameAll(cache, &plan), -1);
  EXPECT_EQ(plan.offered, Keys({"C", "B", "A"}));
  EXPECT_EQ(RecencyOrder(cache), Keys({"C2", "B2", "A"}));
  for (const char* key : {"A", "B2", "C2"}) {
    EXPECT_NE(generic_cache_find_element_with_key1(cache, key, -1), nullptr) << key;
  }
  EXPECT_EQ(GetStats(cache).num_renames, 2u);
  ExpectConsistent(cache);
}

// A code-0 answer that leaves an unusable key cannot be relinked: the element
// leaves the cache (unlinked where it was, its old charge refunded) instead of
// corrupting the tables, and the walk goes on.
// A rename function that leaves an unusable key, or that changes the key the
// walk did not offer (whose chain the node would stay in under a stale hash),
// makes the element leave the cache; the walk goes on.
TEST_F(CacheTest, RenameThatBreaksTheKeyContractRemovesTheElement) {
  using Element = generic_cache_element_t;
  struct Case {
    const char* name;
    bool key2_walk;
    std::function<void(Element*)> breach;
    std::function<std::string(const Element*)> message;
  };
  auto invalid_key1 = [](const Element* e) {
    return WithPointer("Error: renamed key1 [{}] is invalid or key1[0] is 0.", e->key1);
  };
  auto changed = [](const char* walked, const char* other) {
    return [=](const Element* e) {
      const bool key2 = std::string(other) == "key2";
      return WithPointer(std::string("Error: the rename of ") + walked + " changed " + other +
                             " [{}] or " + other + "_len [" +
                             std::to_string(key2 ? e->key2_len : e->key1_len) + "].",
                         key2 ? e->key2 : e->key1);
    };
  };
  const Case cases[] = {
      {"null key1", false, [](Element* e) { Owner(e).ReplaceKey1(nullptr); }, invalid_key1},
      {"empty key1", false, [](Element* e) { Owner(e).ReplaceKey1(""); }, invalid_key1},
      {"empty key2", true, [](Element* e) { Owner(e).ReplaceKey2(""); },
       [](const Element*) { return std::string("Error: renamed key2[0] is 0."); }},
      {"key1 walk moves key2", false, [](Element* e) { Owner(e).ReplaceKey2("b"); },
       changed("key1", "key2")},
      {"key1 walk changes key2_len", false, [](Element* e) { e->key2_len = 7; },
       changed("key1", "key2")},
      {"key1 walk drops key2_len to -1", false, [](Element* e) { e->key2_len = -1; },
       changed("key1", "key2")},
      {"key2 walk moves key1", true, [](Element* e) { Owner(e).ReplaceKey1("B"); },
       changed("key2", "key1")},
      {"key2 walk changes key1_len", true, [](Element* e) { e->key1_len = 0; },
       changed("key2", "key1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    generic_cache_t* cache = CacheFor(1, 1 << 16);
    Insert(cache, "A", "a", 1);
    generic_cache_element_t* victim = Insert(cache, "B", "b", 2);
    Insert(cache, "C", "c", 3);
    const generic_cache_stats before = GetStats(cache);
    RenamePlan plan;
    plan.key2_walk = c.key2_walk;
    const bool key2_walk = c.key2_walk;
    const std::function<void(Element*)> breach = c.breach;
    plan.decide = [=](generic_cache_element* e) {
      if (e == victim) {
        breach(e);
      } else if (key2_walk) {
        Owner(e).ReplaceKey2((std::string(e->key2) + "2").c_str());
      } else {
        Owner(e).ReplaceKey1((std::string(e->key1) + "2").c_str());
      }
      return 0;
    };
    EXPECT_EQ(RenameAll(cache, &plan), 0);
    EXPECT_EQ(plan.offered.size(), 3u);  // the walk went on

    std::vector<testing_support::ReleasedElement> released = ReleaseRecorder::Take();
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].element, victim);
    std::vector<LoggedMessage> messages = log_->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].text, c.message(victim));
    EXPECT_NE(messages[0].function.find(key2_walk ? "generic_cache_rename_all_key2_if"
                                                  : "generic_cache_rename_all_key1_if"),
              std::string::npos)
        << messages[0].function;
    log_->clear();

    const generic_cache_stats after = GetStats(cache);
    EXPECT_EQ(after.num_entries, 2);
    EXPECT_EQ(after.num_removes, before.num_removes + 1);
    EXPECT_EQ(after.num_renames, before.num_renames + 2);  // only the relinked ones
    EXPECT_EQ(after.num_inserts, before.num_inserts);
    const int64_t renamed_growth = 2;  // "A2"/"C2" or "a2"/"c2"
    EXPECT_EQ(after.cur_bytes, before.cur_bytes - ElementCharge(1, 1, 2) + renamed_growth);
    ExpectConsistent(cache);
    const char* probe_key = key2_walk ? "b" : "B";
    EXPECT_EQ(key2_walk ? generic_cache_find_element_with_key2(cache, probe_key, -1)
                        : generic_cache_find_element_with_key1(cache, probe_key, -1),
              nullptr);
    EXPECT_EQ(RecencyOrder(cache).size(), 2u);
    Destroy(cache);
    ReleaseRecorder::Clear();
  }
}

// ---------------------------------------------------------------------------
// Dump

TEST_F(CacheTest, DumpWritesOneLinePerElementGroupedByPrimaryBucket) {
  generic_cache_t* cache = WideCache(512);
  generic_cache_element_t* abcd = Insert(cache, "abcd", "k2", 5);  // bucket 297
  generic_cache_element_t* a_old = Insert(cache, "abc");           // bucket 196
  generic_cache_element_t* a = pool_.Make("a");                    // bucket 194
  ASSERT_EQ(generic_cache_update_with_key2(cache, "none", -1, a), 0);
  generic_cache_element_t* a_new = pool_.Make("a", "zz");
  ASSERT_EQ(generic_cache_update_with_key2(cache, "none", -1, a_new), 0);
  const generic_cache_stats before = GetStats(cache);
  log_->clear();

  generic_cache_dump_cache(cache);
  auto line = [](int bucket, const generic_cache_element_t* e) {
    return "Bucket[" + std::to_string(bucket) + "]: key1 [" + e->key1 + "], key1_len [" +
           std::to_string(e->key1_len) + "], key2 [" + (e->key2 != nullptr ? e->key2 : "(null)") +
           "], key2_len [" + std::to_string(e->key2_len) + "], data [" + PointerText(e->data) + "]";
  };
  const Keys expected = {line(194, a_new), line(194, a), line(196, a_old), line(297, abcd)};
  EXPECT_EQ(log_->texts(), expected);
  EXPECT_EQ(line(194, a),
            "Bucket[194]: key1 [a], key1_len [1], key2 [(null)], key2_len [-1], "
            "data [" +
                PointerText(a->data) + "]");
  for (const LoggedMessage& m : log_->messages()) {
    EXPECT_EQ(m.level, 4);
    EXPECT_EQ(m.function, kDumpSignature);
  }
  EXPECT_TRUE(SameStats(GetStats(cache), before));
  EXPECT_TRUE(ReleaseRecorder::Take().empty());
}

TEST_F(CacheTest, DumpAsksTheLevelPerElementAndWritesNothingBelowFour) {
  generic_cache_t* cache = WideCache(16);
  log_->set_level(3);
  generic_cache_dump_cache(cache);
  EXPECT_EQ(log_->level_queries(), 0);
  Insert(cache, "A");
  Insert(cache, "B", "b");
  Insert(cache, "C");
  const long queries = log_->level_queries();
  generic_cache_dump_cache(cache);
  EXPECT_EQ(log_->level_queries() - queries, 3);
  ExpectNoMessages();

  log_->set_level(4);
  generic_cache_dump_cache(cache);
  EXPECT_EQ(log_->texts().size(), 3u);
}

}  // namespace
