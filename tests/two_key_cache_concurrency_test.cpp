// The window between a lookup's return and the caller's use of what it found.
// One thread inserts without pause, each insertion evicting; the others look
// values up and read them after the call. Through the typed cache no value is
// ever read after its destruction (the value poisons itself as it dies, and
// AddressSanitizer and ThreadSanitizer watch every read). Through the plain
// procedural lookup, with a release callback that frees, AddressSanitizer
// catches the same pattern reading freed memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cache/mem_cache.h"
#include "cache/two_key_cache.h"

#if defined(__SANITIZE_ADDRESS__)
#define OBJSTORE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OBJSTORE_TEST_ASAN 1
#endif
#endif

namespace {

constexpr int kKeys = 16;  // cycled through by the writer; about 4 fit at once
constexpr int kReaders = 2;
constexpr int kWrites = 20000;

std::string KeyOf(int n) { return "/vol/k" + std::to_string(n % kKeys); }

std::atomic<long> g_alive{0};

// A value that poisons itself as it dies.
struct Poisoned {
  static constexpr uint64_t kLive = 0x5AFE5AFE5AFE5AFEull, kDead = 0xDEADDEADDEADDEADull;
  explicit Poisoned(int id) : id(id) { g_alive.fetch_add(1); }
  ~Poisoned() {
    std::fill(std::begin(words), std::end(words), kDead);
    g_alive.fetch_sub(1);
  }
  bool Intact() const {
    return std::all_of(std::begin(words), std::end(words), [](uint64_t w) { return w == kLive; });
  }
  int id;
  uint64_t words[8] = {kLive, kLive, kLive, kLive, kLive, kLive, kLive, kLive};
};

TEST(TwoKeyCacheConcurrencyTest, AValueGotFromTheCacheOutlivesItsEviction) {
  {
    objstore::TwoKeyCache<Poisoned> cache(8 * 1024, 200);
    const int32_t charge = 8 * 1024 / 5;  // four entries fit, the fifth evicts
    std::atomic<bool> writing{true};
    std::atomic<long> damaged{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&, r] {
        for (int n = r; writing.load(std::memory_order_relaxed); n += 7) {
          std::shared_ptr<Poisoned> value = cache.get(KeyOf(n));
          bool visited_intact = true;
          cache.visit(KeyOf(n + 1), [&](const Poisoned& v) { visited_intact = v.Intact(); });
          if (!visited_intact) damaged.fetch_add(1);
          if (value == nullptr) continue;
          std::this_thread::yield();  // let the writer evict it meanwhile
          if (!value->Intact() || KeyOf(value->id) != KeyOf(n)) damaged.fetch_add(1);
        }
      });
    }
    for (int n = 0; n < kWrites; ++n) cache.insert(KeyOf(n), std::make_shared<Poisoned>(n), charge);
    writing = false;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_EQ(cache.stats().num_removes,
              static_cast<uint64_t>(kWrites - cache.stats().num_entries));
  }
  EXPECT_EQ(g_alive.load(), 0);
}

#ifdef OBJSTORE_TEST_ASAN
struct PlainEntry {
  generic_cache_element_t element;
  std::string key;
  uint64_t words[8] = {};
};

void FreeEntry(generic_cache_element_t* element) { delete static_cast<PlainEntry*>(element->data); }

// The same pattern with the plain lookup. Returns (for the death test to
// fail) only if AddressSanitizer has not stopped it within 10 seconds.
void ReadAfterPlainLookups() {
  generic_cache_t* cache = generic_cache_init_cache(8 * 1024, 200, &FreeEntry,
                                                    generic_cache_hash_strong, nullptr, true, true);
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    volatile uint64_t sink = 0;
    for (int n = 0; writing.load(std::memory_order_relaxed); ++n) {
      const std::string key = KeyOf(n);
      generic_cache_element_t* found = generic_cache_find_element_with_key1(cache, key.c_str(), -1);
      if (found == nullptr) continue;
      for (int i = 0; i < 1000; ++i)
        sink = sink + static_cast<PlainEntry*>(found->data)->words[i % 8];
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int n = 0; std::chrono::steady_clock::now() < deadline; ++n) {
    auto* entry = new PlainEntry;
    entry->key = KeyOf(n);
    entry->element = {&entry->key[0], nullptr, -1, -1, entry, 8 * 1024 / 5};
    if (generic_cache_update_with_key1(cache, entry->key.c_str(), -1, &entry->element) != 0)
      delete entry;
  }
  writing = false;
  reader.join();
  generic_cache_del_cache(cache);
}

TEST(TwoKeyCacheConcurrencyDeathTest, APlainLookupReadsFreedMemory) {
  // The child runs threads: start it afresh rather than fork this process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ReadAfterPlainLookups(), "heap-use-after-free");
}
#endif

}  // namespace
