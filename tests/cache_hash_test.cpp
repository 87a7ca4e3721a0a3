// The strong hash pair and the bucket statistics: the values the hashes give
// (they may be stored, so they must never change), case folding, and how the
// statistics expose a hash that fails its keys.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"
#include "tests/support/cache_test_support.h"

namespace {

using testing_support::ElementPool;

std::string AsciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

int32_t Strong(const std::string& key) {
  return generic_cache_hash_strong(key.data(), static_cast<int32_t>(key.size()));
}

int32_t StrongCis(const std::string& key) {
  return generic_cache_hash_strong_cis(key.data(), static_cast<int32_t>(key.size()));
}

// Low 32 bits of XXH3-64 with seed 0, as xxHash's own shared library gives them.
TEST(StrongHash, ValuesAreXxh3LowBits) {
  struct Golden {
    std::string key;
    int32_t hash;
  };
  const Golden goldens[] = {
      {"a", 513166879},
      {"/vol1/dir000/file000000.dat", 1295192025},
      {"0123456789abcdef0123456789abcdef", 1812643925},
      {std::string(300, 'x'), 2110272852},
  };
  for (const Golden& g : goldens) {
    EXPECT_EQ(Strong(g.key), g.hash) << g.key;
    EXPECT_EQ(StrongCis(g.key), g.hash) << g.key;  // nothing to fold
  }
}

// The folded hash equals the plain hash of the lower-cased key, on both sides
// of the one-shot block (256 bytes) and around every word boundary.
TEST(StrongHash, CaseInsensitiveHashesTheAsciiLowerCasedKey) {
  // Neighbours of the capitals ('@', '[', '`', '{') and bytes >= 0x80 (UTF-8
  // "Ä" is C3 84) must not be folded.
  const std::string alphabet = "@AZ[`az{Ab/Vol1/DIR\xC3\x84\x80\xFF.Dat";
  for (size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 255u, 256u, 257u, 511u, 513u, 1000u}) {
    std::string key;
    for (size_t i = 0; i < length; ++i) key += alphabet[(i * 7 + length) % alphabet.size()];
    EXPECT_EQ(StrongCis(key), Strong(AsciiLower(key))) << "length " << length;
    EXPECT_EQ(StrongCis(key), StrongCis(AsciiLower(key))) << "length " << length;
  }
  EXPECT_NE(StrongCis("\xC3\x84"), StrongCis("\xE3\x84")) << "bytes >= 0x80 must stay apart";
  EXPECT_NE(StrongCis("@"), StrongCis("`"));
  EXPECT_NE(StrongCis("["), StrongCis("{"));
}

// A hash reads exactly `len` bytes: a prefix hashes like the shorter key, and
// ASan catches a read past the buffer.
TEST(StrongHash, ReadsExactlyTheGivenLength) {
  for (int32_t length : {1, 8, 255, 256, 257, 700}) {
    const std::string key(static_cast<size_t>(length) + 5, 'K');
    std::vector<char> exact(key.begin(), key.begin() + length);  // no terminator
    EXPECT_EQ(generic_cache_hash_strong(exact.data(), length), Strong(key.substr(0, length)));
    EXPECT_EQ(generic_cache_hash_strong_cis(exact.data(), length),
              Strong(AsciiLower(key.substr(0, length))));
  }
}

// Keys the default hashes cannot tell apart (same bytes, other positions).
TEST(StrongHash, SeparatesPermutedKeys) {
  EXPECT_NE(Strong("file12.dat"), Strong("file21.dat"));
  EXPECT_NE(Strong("ab"), Strong("ba"));
}

// ---- Bucket statistics ----------------------------------------------------------

constexpr int kPathKeys = 100000;

std::string PathKey(int i) {
  char key[64];
  std::snprintf(key, sizeof key, "/vol1/dir%03d/file%06d.dat", i / 1000, i);
  return key;
}

// A cache of 65,536 buckets holding `count` path keys (no key2). The fill goes
// through the empty secondary table so that its lookups walk no chain.
generic_cache_t* FillWithPathKeys(ElementPool& pool, HashFunc hash, int count) {
  generic_cache_t* cache =
      generic_cache_init_cache(kPathKeys * 196, 100, nullptr, hash, nullptr, true, true);
  for (int i = 0; i < count; ++i)
    EXPECT_EQ(generic_cache_update_with_key2(cache, "-", -1, pool.Make(PathKey(i).c_str())), 0);
  return cache;
}

TEST(BucketStats, ShowTheDefaultHashCollapseOnPathKeys) {
  struct Case {
    const char* name;
    HashFunc hash;
    int max_used;
    int min_used;
    int max_longest;
  };
  const Case cases[] = {
      // The primary default sums every third byte: the key set spans a range
      // of 19 sums.
      {"default", nullptr, 19, 19, 10000},
      {"strong", generic_cache_hash_strong, 65536, 50000, 16},
  };
  for (const Case& c : cases) {
    ElementPool pool;
    generic_cache_t* cache = FillWithPathKeys(pool, c.hash, kPathKeys);
    generic_cache_bucket_stats stats{};
    generic_cache_get_bucket_stats(cache, &stats);
    EXPECT_EQ(stats.num_buckets, 65536) << c.name;
    EXPECT_GE(stats.key1_used_buckets, c.min_used) << c.name;
    EXPECT_LE(stats.key1_used_buckets, c.max_used) << c.name;
    EXPECT_LE(stats.key1_longest_chain, c.max_longest) << c.name;
    EXPECT_GE(stats.key1_longest_chain,
              (kPathKeys + stats.key1_used_buckets - 1) / stats.key1_used_buckets)
        << c.name;
    EXPECT_EQ(stats.key2_used_buckets, 0) << c.name;
    EXPECT_EQ(stats.key2_longest_chain, 0) << c.name;
    generic_cache_del_cache(cache);
  }
}

// Each table is counted on its own: elements without key2 are in no
// secondary chain.
TEST(BucketStats, CountEachTableSeparately) {
  ElementPool pool;
  auto same_bucket_hash = [](const char*, int32_t) -> int32_t { return 5; };
  generic_cache_t* cache = generic_cache_init_cache(
      1 << 16, 100, nullptr, generic_cache_hash_strong, same_bucket_hash, true, true);
  generic_cache_bucket_stats stats{-1, -1, -1, -1, -1};
  generic_cache_get_bucket_stats(cache, &stats);
  EXPECT_EQ(stats.key1_used_buckets, 0);
  EXPECT_EQ(stats.key1_longest_chain, 0);
  EXPECT_EQ(stats.key2_used_buckets, 0);
  EXPECT_EQ(stats.key2_longest_chain, 0);

  generic_cache_update_with_key1(cache, "a", -1, pool.Make("a", "x"));
  generic_cache_update_with_key1(cache, "b", -1, pool.Make("b", "y"));
  generic_cache_update_with_key1(cache, "c", -1, pool.Make("c"));
  generic_cache_get_bucket_stats(cache, &stats);
  EXPECT_EQ(stats.num_buckets, 256);
  EXPECT_EQ(stats.key2_used_buckets, 1);
  EXPECT_EQ(stats.key2_longest_chain, 2);
  EXPECT_GE(stats.key1_used_buckets, 1);
  EXPECT_LE(stats.key1_used_buckets, 3);
  EXPECT_EQ(mem_cache_check_invariants(cache), "");

  generic_cache_get_bucket_stats(nullptr, &stats);  // ignored
  generic_cache_get_bucket_stats(cache, nullptr);
  generic_cache_del_cache(cache);
}

// A case-insensitive table with the folded strong hash finds keys whatever
// their case, and a case-sensitive one with the plain hash keeps them apart.
TEST(StrongHash, WorksAsTheHashOfEitherCaseFlag) {
  ElementPool pool;
  generic_cache_t* cache = generic_cache_init_cache(
      1 << 16, 100, nullptr, generic_cache_hash_strong, generic_cache_hash_strong_cis, true, false);
  ASSERT_EQ(generic_cache_update_with_key1(cache, "/Vol1/A", -1, pool.Make("/Vol1/A", "Guid-AB")),
            0);
  EXPECT_NE(generic_cache_find_element_with_key1(cache, "/Vol1/A", -1), nullptr);
  EXPECT_EQ(generic_cache_find_element_with_key1(cache, "/vol1/a", -1), nullptr);
  EXPECT_NE(generic_cache_find_element_with_key2(cache, "guid-ab", -1), nullptr);
  EXPECT_NE(generic_cache_find_element_with_key2(cache, "GUID-AB", -1), nullptr);
  generic_cache_del_cache(cache);
}

}  // namespace

namespace {

// The stored hash values filter lookups only when the whole key was hashed.
// A hash of the length alone puts every key of a table in bucket 0 with a
// different value per length: a lookup that hashes only a prefix must still
// compare the whole key against every node of its bucket.
TEST(StoredHashes, PrefixLookupStillComparesTheWholeKey) {
  ElementPool pool;
  auto length_hash = [](const char*, int32_t len) -> int32_t { return len * 1024; };
  generic_cache_t* cache =
      generic_cache_init_cache(1 << 16, 100, nullptr, length_hash, length_hash, true, true);
  ASSERT_EQ(generic_cache_update_with_key1(cache, "abcd", -1, pool.Make("abcd", "wxyz")), 0);
  struct Lookup {
    const char* key1;
    const char* key2;
    int len;
    bool found;
  };
  const Lookup lookups[] = {
      {"abcd", "wxyz", -1, true}, {"abcd", "wxyz", 4, true},     {"abcd", "wxyz", 9, true},
      {"abcd", "wxyz", 2, true},  // a prefix hashed: same bucket, other value
      {"abc", "wxy", -1, false},  {"abcde", "wxyza", -1, false},
  };
  for (const Lookup& l : lookups) {
    EXPECT_EQ(generic_cache_find_element_with_key1(cache, l.key1, l.len) != nullptr, l.found)
        << l.key1 << " " << l.len;
    EXPECT_EQ(generic_cache_find_element_with_key2(cache, l.key2, l.len) != nullptr, l.found)
        << l.key2 << " " << l.len;
  }
  generic_cache_del_cache(cache);
}

}  // namespace
