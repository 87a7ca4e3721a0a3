// The typed cache through its interface, on one thread: every value is
// released exactly once whatever removes its entry, lookups by either key
// find only what was inserted, refusals and failed allocations change
// nothing, and a directory rename moves exactly the paths under it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache/two_key_cache.h"

// operator new fails on the calling thread at allocation number g_fail_at
// (counted from arming), else it is malloc's. Visible by default so that
// the libraries pair every block with this allocator.
#define OBJSTORE_TEST_REPLACEMENT __attribute__((visibility("default"), noinline))
static thread_local long g_fail_at = 0;  // 0: never
static thread_local long g_news = 0;

OBJSTORE_TEST_REPLACEMENT void* operator new(std::size_t size) {
  if (g_fail_at != 0 && ++g_news == g_fail_at) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block) noexcept { std::free(block); }
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace {

using objstore::KeyCase;
using objstore::Recency;
using objstore::TwoKeyCache;

// Records the id of every value destroyed, in order.
std::vector<int> g_destroyed;
int g_constructed = 0;

struct Recorded {
  explicit Recorded(int id) : id(id) { ++g_constructed; }
  ~Recorded() { g_destroyed.push_back(id); }
  int id;
};
using Cache = TwoKeyCache<Recorded>;

// Three entries of 104 bytes each ("/d/a" + "g1" + terminators + 96) fill
// the budget exactly once the one-bucket tables (224 bytes) are charged.
constexpr int kRoomForThree = 224 + 3 * 104;

Cache ThreeEntries(KeyCase key2_case = KeyCase::kSensitive) {
  Cache cache(kRoomForThree, 1000, KeyCase::kSensitive, key2_case);
  EXPECT_TRUE(cache.insert("/d/a", "g1", std::make_shared<Recorded>(1), 0));
  EXPECT_TRUE(cache.insert("/d/b", "g2", std::make_shared<Recorded>(2), 0));
  EXPECT_TRUE(cache.insert("/e/c", "g3", std::make_shared<Recorded>(3), 0));
  EXPECT_EQ(cache.stats().num_buckets, 1);
  return cache;
}

int IdOf(const std::shared_ptr<Recorded>& value) { return value ? value->id : 0; }

class TwoKeyCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_destroyed.clear();
    g_destroyed.reserve(64);  // a destructor that allocated would meet an armed failure
    g_constructed = 0;
  }
  void TearDown() override { EXPECT_EQ(g_destroyed.size(), static_cast<size_t>(g_constructed)); }
};

TEST_F(TwoKeyCacheTest, EveryRemovalReleasesItsValueOnce) {
  const struct {
    const char* name;
    void (*act)(Cache&);
    std::vector<int> destroyed;  // by the action, before the cache goes
  } cases[] = {
      {"eviction", [](Cache& c) { c.insert("/d/d", "g4", std::make_shared<Recorded>(4), 0); }, {1}},
      {"erase", [](Cache& c) { EXPECT_TRUE(c.erase("/d/b")); }, {2}},
      {"erase_by_key2", [](Cache& c) { EXPECT_TRUE(c.erase_by_key2("g3")); }, {3}},
      {"replacement", [](Cache& c) { c.insert("/d/a", std::make_shared<Recorded>(9), 0); }, {1}},
      {"clear", [](Cache& c) { c.clear(); }, {1, 2, 3}},
      {"rename", [](Cache& c) { EXPECT_EQ(c.rename_prefix("/d", "/f"), 2u); }, {}},
      {"move", [](Cache& c) { Cache taken(std::move(c)); }, {1, 2, 3}},
      {"nothing", [](Cache&) {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    {
      Cache cache = ThreeEntries();
      c.act(cache);
      std::vector<int> sorted = g_destroyed;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, c.destroyed);
    }
    TearDown();  // the cache's destruction released the rest, once each
  }
}

TEST_F(TwoKeyCacheTest, AValueHeldByTheCallerOutlivesItsEntry) {
  Cache cache = ThreeEntries();
  std::shared_ptr<Recorded> held = cache.get("/d/a");
  ASSERT_TRUE(cache.erase("/d/a"));
  EXPECT_TRUE(g_destroyed.empty());
  EXPECT_EQ(held->id, 1);
  held.reset();
  EXPECT_EQ(g_destroyed, std::vector<int>{1});
}

TEST_F(TwoKeyCacheTest, LookupsFindOnlyTheirOwnKey) {
  Cache cache = ThreeEntries(KeyCase::kInsensitive);
  const struct {
    std::string key;
    bool by_key2;
    int id;  // 0: not found
  } cases[] = {
      {"/d/a", false, 1}, {"/D/A", false, 0}, {"/d/a/", false, 0},
      {"/d", false, 0},   {"", false, 0},     {std::string("/d/a\0x", 6), false, 0},
      {"g2", true, 2},    {"G2", true, 2},    {"/d/b", true, 0},
      {"g", true, 0},     {"", true, 0},      {std::string("g2\0", 3), true, 0},
  };
  // Each key as a std::string (used in place), a string_view of a longer
  // text (copied, since nothing ends it) and, without an inner NUL, a C string.
  for (const auto& c : cases) {
    const std::string longer = c.key + "/tail";
    const std::vector<objstore::key_ref> forms = {
        objstore::key_ref(c.key), std::string_view(longer).substr(0, c.key.size()),
        objstore::key_ref(c.key.size() == std::strlen(c.key.c_str()) ? c.key.c_str() : "/none")};
    const int c_string_id = c.key.size() == std::strlen(c.key.c_str()) ? c.id : 0;
    for (size_t f = 0; f < forms.size(); ++f) {
      SCOPED_TRACE(c.key + (c.by_key2 ? " by key2" : " by key1") + ", form " + std::to_string(f));
      const int id = f == 2 ? c_string_id : c.id;
      int visited = 0;
      auto record = [&](const Recorded& value) { visited = value.id; };
      EXPECT_EQ(IdOf(c.by_key2 ? cache.get_by_key2(forms[f]) : cache.get(forms[f])), id);
      EXPECT_EQ(c.by_key2 ? cache.visit_by_key2(forms[f], record) : cache.visit(forms[f], record),
                id != 0);
      EXPECT_EQ(visited, id);
    }
  }
}

TEST_F(TwoKeyCacheTest, RefusedInsertionsChangeNothing) {
  Cache cache = ThreeEntries();
  const auto value = std::make_shared<Recorded>(7);
  using Value = const std::shared_ptr<Recorded>&;
  const struct {
    const char* name;
    bool (*insert)(Cache&, Value);
  } cases[] = {
      {"null value", [](Cache& c, Value) { return c.insert("/d/a", nullptr, 0); }},
      {"empty key1", [](Cache& c, Value v) { return c.insert("", v, 0); }},
      {"NUL in key1", [](Cache& c, Value v) { return c.insert(std::string("/d/a\0", 5), v, 0); }},
      {"empty key2", [](Cache& c, Value v) { return c.insert("/d/a", "", v, 0); }},
      {"negative charge", [](Cache& c, Value v) { return c.insert("/d/a", v, -1); }},
      {"over the budget", [](Cache& c, Value v) { return c.insert("/d/a", v, kRoomForThree); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.insert(cache, value));
    EXPECT_EQ(IdOf(cache.get("/d/a")), 1);
    EXPECT_EQ(cache.stats().num_entries, 3);
    EXPECT_EQ(value.use_count(), 1);
  }
  EXPECT_TRUE(g_destroyed.empty());
}

TEST_F(TwoKeyCacheTest, PromotionsDecideWhichEntryIsEvicted) {
  const struct {
    const char* name;
    void (*use)(Cache&);  // applied to "/d/a", the least recently used
    int evicted;
  } cases[] = {
      {"plain get", [](Cache& c) { c.get("/d/a"); }, 1},
      {"plain visit", [](Cache& c) { c.visit("/d/a", [](const Recorded&) {}); }, 1},
      {"touch", [](Cache& c) { c.touch("/d/a"); }, 2},
      {"touch_by_key2", [](Cache& c) { c.touch_by_key2("g1"); }, 2},
      {"promoting get", [](Cache& c) { c.get_by_key2("g1", Recency::kPromote); }, 2},
      {"promoting visit",
       [](Cache& c) {
         c.visit(
             "/d/a", [](const Recorded&) {}, Recency::kPromote);
       },
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Cache cache = ThreeEntries();
    c.use(cache);
    const size_t before = g_destroyed.size();
    cache.insert("/d/d", "g4", std::make_shared<Recorded>(4), 0);
    EXPECT_EQ(std::vector<int>(g_destroyed.begin() + before, g_destroyed.end()),
              std::vector<int>{c.evicted});
  }
}

// Words separated by single spaces.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
  }
  return words;
}

TEST_F(TwoKeyCacheTest, RenamePrefixMovesExactlyTheDirectory) {
  const std::vector<std::string> keys = Split("/a/b /a/b/c /a/b/c/d /a/bc /a /x/a/b /A/B/e");
  const struct {
    KeyCase key1_case;
    const char *from, *to, *after;
  } cases[] = {
      {KeyCase::kSensitive, "/a/b", "/z", "/z /z/c /z/c/d /a/bc /a /x/a/b /A/B/e"},
      {KeyCase::kSensitive, "/a/b/", "/z/y/", "/z/y /z/y/c /z/y/c/d /a/bc /a /x/a/b /A/B/e"},
      {KeyCase::kInsensitive, "/a/b", "/z", "/z /z/c /z/c/d /a/bc /a /x/a/b /z/e"},
      {KeyCase::kSensitive, "/", "/m", "/m/a/b /m/a/b/c /m/a/b/c/d /m/a/bc /m/a /m/x/a/b /m/A/B/e"},
      {KeyCase::kSensitive, "/a/b", "/", "/a/b /a/b/c /a/b/c/d /a/bc /a /x/a/b /A/B/e"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    Cache cache(1 << 16, 100, c.key1_case);
    for (size_t i = 0; i < keys.size(); ++i)
      cache.insert(keys[i], "g" + std::to_string(i), std::make_shared<Recorded>(int(i) + 1), 0);
    const auto before = cache.stats();
    const std::vector<std::string> after = Split(c.after);
    size_t moved = 0, growth = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      moved += after[i] != keys[i];
      growth += after[i].size() - keys[i].size();
    }
    EXPECT_EQ(cache.rename_prefix(c.from, c.to), moved);
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(IdOf(cache.get(after[i])), int(i) + 1) << after[i];
      EXPECT_EQ(IdOf(cache.get_by_key2("g" + std::to_string(i))), int(i) + 1);
    }
    EXPECT_EQ(cache.stats().num_entries, before.num_entries);
    EXPECT_EQ(cache.stats().cur_bytes, before.cur_bytes + growth);
  }
}

TEST_F(TwoKeyCacheTest, AThrowingVisitorLeavesTheCacheUsable) {
  Cache cache = ThreeEntries();
  EXPECT_THROW(cache.visit("/d/a", [](const Recorded&) { throw std::runtime_error("no"); }),
               std::runtime_error);
  // An exclusive operation would wait for ever on a lock left held.
  EXPECT_TRUE(cache.erase("/d/b"));
  EXPECT_EQ(IdOf(cache.get("/d/a")), 1);
}

// An insertion makes one allocation, a rename one per key it moves: each fails in turn.
TEST_F(TwoKeyCacheTest, FailedAllocationsChangeNothingAndLeakNothing) {
  const std::string dir = "/volume-with-a-long-name", renamed = "/another-long-volume-name";
  Cache cache(1 << 16, 100);
  for (int i = 0; i < 4; ++i)
    cache.insert(dir + "/file-number-" + std::to_string(i), std::make_shared<Recorded>(i + 1), 0);
  const auto value = std::make_shared<Recorded>(9);
  const std::string key1 = dir + "/file-number-0", key2 = "a-secondary-key-of-some-length";
  long failures = 0;
  for (g_fail_at = 1;; ++g_fail_at, g_news = 0) {
    try {
      if (cache.insert(key1, key2, value, 0)) break;
      ADD_FAILURE() << "refused without an exception";
      break;
    } catch (const std::bad_alloc&) {
      ++failures;
      EXPECT_EQ(IdOf(cache.get(key1)), 1);
      EXPECT_EQ(value.use_count(), 1);
    }
  }
  EXPECT_EQ(failures, 1);  // the entry, which holds both keys
  size_t moved = 0;
  for (g_fail_at = 1, g_news = 0;; ++g_fail_at, g_news = 0) {
    try {
      moved += cache.rename_prefix(dir, renamed);
      break;
    } catch (const std::bad_alloc&) {
      moved += g_fail_at - 1;  // the walk stopped at the failing key
    }
  }
  g_fail_at = 0;
  EXPECT_EQ(moved, 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(IdOf(cache.get(renamed + "/file-number-" + std::to_string(i))), i ? i + 1 : 9);
}

}  // namespace
