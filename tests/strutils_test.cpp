#include <cerrno>
#include <clocale>
#include <locale>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/Error.h"
#include "objstore/paths.h"
#include "objstore/paths_internal.h"
#include "tests/support/capture_log_writer.h"

namespace {

using testing_support::ScopedCaptureLog;

struct JoinCase {
  std::string first, second, expected;
};

TEST(JoinTest, KeepsExactlyOneSeparatorAtTheSeam) {
  const JoinCase cases[] = {
      {"", "b", "b"},     {"", "", ""},       {"a", "", "a/"},         {"a", "b", "a/b"},
      {"a/", "b", "a/b"}, {"a", "/b", "a/b"}, {"a/", "/b", "a/b"},     {"a//", "//b", "a///b"},
      {"/", "/", "/"},    {"", "/b", "/b"},   {"/x/y", "z", "/x/y/z"},
  };
  for (const JoinCase& c : cases) {
    EXPECT_EQ(ObjectStore::join(c.first, c.second, '/'), c.expected)
        << "join(\"" << c.first << "\", \"" << c.second << "\")";
  }
}

TEST(JoinTest, UsesTheGivenSeparatorAndDefaultsToSlash) {
  EXPECT_EQ(ObjectStore::join("a\\", "\\b", '\\'), "a\\b");
  EXPECT_EQ(ObjectStore::join("a/", "b", '\\'), "a/\\b");
  EXPECT_EQ(ObjectStore::join("a", "b"), "a/b");
}

struct SplitSuccess {
  std::string path, parent, child;
};

TEST(SplitParentPathTest, SplitsIntoParentAndLastComponent) {
  const SplitSuccess cases[] = {
      {"/", "/", ""},          {"/a", "/", "a"},       {"/a/", "/", "a"},
      {"/a/b/c", "/a/b", "c"}, {"/a/b//", "/a/b", ""}, {"//", "/", ""},
      {"//a", "/", "a"},       {"a//b", "a/", "b"},    {"a/b", "a", "b"},
  };
  for (const SplitSuccess& c : cases) {
    std::string parent = "old parent", child = "old child";
    const CWyError result = ObjectStore::splitParentPath(c.path, parent, child, '/');
    EXPECT_FALSE(result.IsError()) << c.path;
    EXPECT_EQ(result.GetErrorCode(), 0) << c.path;
    EXPECT_EQ(parent, c.parent) << c.path;
    EXPECT_EQ(child, c.child) << c.path;
  }
}

struct SplitFailure {
  std::string path;
  int errnum;
  std::string message;
};

TEST(SplitParentPathTest, RefusesPathsWithoutSeparatorAndLeavesOutputsAlone) {
  const SplitFailure cases[] = {
      {"", EINVAL, "Can't split an empty path"},
      {"a", ENOENT, "a is not a full path"},
      {"a/", ENOENT, "a/ is not a full path"},
  };
  ScopedCaptureLog log(10);
  for (const SplitFailure& c : cases) {
    std::string parent = "old parent", child = "old child";
    const CWyError result = ObjectStore::splitParentPath(c.path, parent, child);
    EXPECT_TRUE(result.IsError()) << c.path;
    EXPECT_LT(result.GetErrorCode(), 0) << c.path;
    EXPECT_EQ(FXErrorUtil::GetErrNo(result), c.errnum) << c.path;
    EXPECT_EQ(result.GetErrorMessage(), c.message) << c.path;
    EXPECT_EQ(result.GetSourceFile(), ObjectStore::kErrorSourceName);
    EXPECT_EQ(result.GetFunction(), ObjectStore::kSplitParentPathSignature);
    EXPECT_EQ(parent, "old parent") << c.path;
    EXPECT_EQ(child, "old child") << c.path;
  }
  EXPECT_TRUE(log->messages().empty()) << "failures are only returned";
}

TEST(SplitParentPathTest, TracesEverySplitButTheRootAtLevelFive) {
  ScopedCaptureLog log(5);
  std::string parent, child;
  ASSERT_FALSE(ObjectStore::splitParentPath("/a/b/", parent, child).IsError());
  ASSERT_FALSE(ObjectStore::splitParentPath("/", parent, child).IsError());

  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, 5);
  EXPECT_EQ(messages[0].format, "splitParentPath: fullPath=[%s] parentOut=[%s] childOut=[%s]");
  EXPECT_EQ(messages[0].text, "splitParentPath: fullPath=[/a/b/] parentOut=[/a] childOut=[b]");
  EXPECT_EQ(messages[0].function, ObjectStore::kSplitParentPathSignature);

  log->clear();
  log->set_level(4);
  ASSERT_FALSE(ObjectStore::splitParentPath("/a/b", parent, child).IsError());
  EXPECT_TRUE(log->messages().empty());
}

TEST(SplitParentPathTest, HonoursAnotherSeparator) {
  std::string parent, child;
  ASSERT_FALSE(ObjectStore::splitParentPath("c:\\dir\\file", parent, child, '\\').IsError());
  EXPECT_EQ(parent, "c:\\dir");
  EXPECT_EQ(child, "file");
  EXPECT_TRUE(ObjectStore::splitParentPath("/a/b", parent, child, '\\').IsError());
}

struct TokenizeCase {
  std::string input, separators;
  std::vector<std::string> expected;
};

TEST(TokenizeTest, DropsSeparatorsAndEmptyTokens) {
  const TokenizeCase cases[] = {
      {"/a//b/", "/", {"a", "b"}},
      {"a,b;;c", ",;", {"a", "b", "c"}},
      {"", "/", {}},
      {"///", "/", {}},
      {"a b", "", {"a b"}},
      {"", "", {}},
      {"a.b", std::string("/\0.", 3), {"a.b"}},  // the set ends at the NUL
  };
  for (const TokenizeCase& c : cases) {
    std::vector<std::string> tokens{"stale", "entries"};
    ObjectStore::tokenize(tokens, c.input, c.separators);
    EXPECT_EQ(tokens, c.expected) << "input [" << c.input << "]";
  }
}

TEST(ToHexStringTest, WritesLowerCaseHexWithPrefixExceptForNull) {
  EXPECT_EQ(ObjectStore::to_hexstring(nullptr), "0");
  EXPECT_EQ(ObjectStore::to_hexstring(reinterpret_cast<const void*>(4096)), "0x1000");
  EXPECT_EQ(ObjectStore::to_hexstring(reinterpret_cast<const void*>(0xabcdef12)), "0xabcdef12");
}

// A numeric facet that groups every digit pair; installed as the global
// locale it would put separators into any stream that does not opt out.
struct PairGrouping : std::numpunct<char> {
  char do_thousands_sep() const override { return '\''; }
  std::string do_grouping() const override { return "\2"; }
};

TEST(ToHexStringTest, IgnoresTheGlobalLocale) {
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new PairGrouping));
  const std::string text = ObjectStore::to_hexstring(reinterpret_cast<const void*>(0x123456));
  std::locale::global(previous);
  EXPECT_EQ(text, "0x123456");
}

}  // namespace
