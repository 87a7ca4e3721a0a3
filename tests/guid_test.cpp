// GUID texts and the critical-section wrapper, on one thread.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "objstore/objStrUtils.h"

// Lets a test make operator new fail, to reach the wrapper's out-of-memory
// path. Otherwise allocation is malloc's, released by the matching delete.
// Visible by default (tests build with hidden visibility) so that the
// libraries use the same pair and every block is released by its allocator.
#define OBJSTORE_TEST_REPLACEMENT __attribute__((visibility("default"), noinline))
static thread_local bool g_fail_new = false;

OBJSTORE_TEST_REPLACEMENT void* operator new(std::size_t size) {
  if (g_fail_new) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block) noexcept { std::free(block); }
OBJSTORE_TEST_REPLACEMENT void operator delete(void* block, std::size_t) noexcept {
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

TEST(ZqCriticalSection, ThrowsTextWhenOutOfMemory) {
  g_fail_new = true;
  try {
    ObjectStore::ZqCriticalSection section;
    g_fail_new = false;
    FAIL() << "constructed without memory";
  } catch (const char* text) {
    g_fail_new = false;
    EXPECT_STREQ(text, "Not enough memory to initialize ZqCriticalSection");
  }
}

}  // namespace
