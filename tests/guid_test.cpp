// GUID texts and the critical-section wrapper, on one thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "objstore/objStrUtils.h"

// Lets a test make operator new fail on the calling thread for requests of
// at least g_fail_new_from bytes, to reach the out-of-memory paths; the
// array and nothrow forms are replaced too (a sanitizer's runtime would
// otherwise serve them), and the nothrow ones then return null. Otherwise allocation is
// malloc's, released by the matching delete. Visible by default (tests
// build with hidden visibility) so that the libraries use the same pair and
// every block is released by its allocator.
#define OBJSTORE_TEST_REPLACEMENT __attribute__((visibility("default"), noinline))
static thread_local std::size_t g_fail_new_from = SIZE_MAX;
static thread_local int g_refused_news = 0;

OBJSTORE_TEST_REPLACEMENT void* operator new(std::size_t size) {
  if (size >= g_fail_new_from) {
    ++g_refused_news;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
OBJSTORE_TEST_REPLACEMENT void* operator new[](std::size_t size) { return ::operator new(size); }
OBJSTORE_TEST_REPLACEMENT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
OBJSTORE_TEST_REPLACEMENT void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block) noexcept { std::free(block); }
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
OBJSTORE_TEST_REPLACEMENT void operator delete[](void* block) noexcept { std::free(block); }
OBJSTORE_TEST_REPLACEMENT void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
OBJSTORE_TEST_REPLACEMENT void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}

namespace {

// Every text is 32 lower-case hex digits of a version 4, RFC 4122 variant
// UUID. Across many draws each free position takes all 16 digits, which also
// shows that small bytes keep their leading zero.
TEST(Guid, FormatVersionAndVariant) {
  constexpr int kDraws = 20000;
  std::set<char> seen[32];
  std::set<std::string> distinct;
  for (int i = 0; i < kDraws; ++i) {
    const std::string guid = ObjectStore::generateGuid();
    ASSERT_EQ(guid.size(), static_cast<size_t>(ObjectStore::GUID_CHAR_SIZE_MIN)) << guid;
    ASSERT_EQ(guid.find_first_not_of("0123456789abcdef"), std::string::npos) << guid;
    ASSERT_EQ(guid[12], '4') << guid;
    ASSERT_NE(std::string("89ab").find(guid[16]), std::string::npos) << guid;
    for (size_t at = 0; at < guid.size(); ++at) seen[at].insert(guid[at]);
    distinct.insert(guid);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kDraws));
  for (size_t at = 0; at < 32; ++at) {
    const size_t expected = at == 12 ? 1 : at == 16 ? 4 : 16;
    EXPECT_EQ(seen[at].size(), expected) << "position " << at;
  }
}

bool WellFormed(const std::string& guid) {
  return guid.size() == 32 && guid.find_first_not_of("0123456789abcdef") == std::string::npos &&
         guid[12] == '4' && std::string("89ab").find(guid[16]) != std::string::npos;
}

// A thread whose buffer of draws cannot grow goes on drawing batches of the
// size it has; nothing fails and no draw is handed out twice.
TEST(Guid, KeepsWorkingWhenItsBatchCannotGrow) {
  constexpr int kDraws = 200;
  std::vector<std::string> guids;
  guids.reserve(kDraws);
  int refused = 0;
  bool threw = false;
  std::thread worker([&] {
    g_fail_new_from = 128;  // the batch buffers fail; the GUIDs' strings (33 bytes) do not
    try {
      for (int i = 0; i < kDraws; ++i) guids.push_back(ObjectStore::generateGuid());
    } catch (...) {
      threw = true;
    }
    g_fail_new_from = SIZE_MAX;
    refused = g_refused_news;
  });
  worker.join();
  EXPECT_FALSE(threw);
  EXPECT_GT(refused, 0);  // the growth was attempted
  ASSERT_EQ(guids.size(), static_cast<size_t>(kDraws));
  for (const std::string& guid : guids) EXPECT_TRUE(WellFormed(guid)) << guid;
  EXPECT_EQ(std::set<std::string>(guids.begin(), guids.end()).size(), guids.size());
}

// Out of memory for the text, the call throws std::bad_alloc with the lock
// already left: another thread that has to draw still gets its GUID.
TEST(Guid, OutOfMemoryThrowsAfterLeavingTheLock) {
  bool threw_bad_alloc = false;
  std::thread first([&] {
    for (int i = 0; i < 8; ++i) ObjectStore::generateGuid();  // empties the first batch
    g_fail_new_from = 0;
    try {
      ObjectStore::generateGuid();  // draws again, then cannot allocate the text
    } catch (const std::bad_alloc&) {
      threw_bad_alloc = true;
    }
    g_fail_new_from = SIZE_MAX;
  });
  first.join();
  EXPECT_TRUE(threw_bad_alloc);

  // Detached, so that a lock left held fails the test instead of hanging it.
  auto done = std::make_shared<std::promise<std::string>>();
  std::future<std::string> guid = done->get_future();
  std::thread([done] { done->set_value(ObjectStore::generateGuid()); }).detach();
  ASSERT_EQ(guid.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the lock was not left";
  EXPECT_TRUE(WellFormed(guid.get()));
}

TEST(ZqCriticalSection, ThrowsTextWhenOutOfMemory) {
  g_fail_new_from = 0;
  try {
    ObjectStore::ZqCriticalSection section;
    g_fail_new_from = SIZE_MAX;
    FAIL() << "constructed without memory";
  } catch (const char* text) {
    g_fail_new_from = SIZE_MAX;
    EXPECT_STREQ(text, "Not enough memory to initialize ZqCriticalSection");
  }
}

}  // namespace
