#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <string>

#include <gtest/gtest.h>

#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/temp_registry.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedCaptureLog;

const char kParseSignature[] = "T ObjectStore::getRegistryValue(const char*, T, T, T)";

// A private registry directory and focus for each test.
class RegistryTest : public ::testing::Test {
 protected:
  std::string storeFile(const std::string& focus = "TestFocus") const {
    return registry_.file(focus);
  }
  void writeStore(const std::string& contents, const std::string& focus = "TestFocus") const {
    std::ofstream(storeFile(focus), std::ios::binary | std::ios::trunc) << contents;
  }
  std::string readStore() const {
    std::ifstream in(storeFile(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  testing_support::TempRegistry registry_{"TestFocus"};
};

struct ParseCase {
  const char* line;  // the value's line under [~Zelt]; null for no value
  int expected;
  bool parseError;
};

TEST_F(RegistryTest, ReadsNumbersWithStreamExtraction) {
  const ParseCase cases[] = {
      {nullptr, 7, false},
      {"v=12", 12, false},
      {"v=-3", -3, false},
      {"v=    5", 5, false},
      {"v=12abc", 12, false},
      {"v=0x10", 0, false},
      {"v=2147483647", INT_MAX, false},
      {"v=abc", 7, true},
      {"v=", 7, true},
      {"v=2147483648", 7, true},
      {"v=-2147483649", 7, true},
  };
  for (const ParseCase& c : cases) {
    writeStore(std::string("[~Zelt]\nother=1\n") + (c.line != nullptr ? c.line : "") + "\n");
    ScopedCaptureLog log(10);
    EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), c.expected)
        << (c.line ? c.line : "(absent)");
    const auto messages = log->messages();
    if (!c.parseError) {
      EXPECT_TRUE(messages.empty()) << c.line;
      continue;
    }
    ASSERT_EQ(messages.size(), 1u) << c.line;
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].format, "Error: Can't parse [%s]: [%s]");
    EXPECT_EQ(messages[0].function, kParseSignature);
    const std::string text = std::string(c.line).substr(2);
    EXPECT_EQ(messages[0].text, "Error: Can't parse [v]: [" + text + "]");
  }
}

TEST_F(RegistryTest, ParseErrorReachesTheWriterWhateverItsLevel) {
  writeStore("[~Zelt]\nv=abc\n");
  ScopedCaptureLog log(-5);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 7);
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->level_queries(), 0) << "the parse error skips the level query";
}

TEST_F(RegistryTest, ParseErrorWithoutWriterIsDropped) {
  writeStore("[~Zelt]\nv=abc\n");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 7);
}

TEST_F(RegistryTest, TrailingArgumentsDoNotLimitTheResult) {
  writeStore("[~Zelt]\nv=-3\nw=500\n");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), -3);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("w", 7, 0, 10), 500);
}

// A numeric facet that groups every digit triple with '\''.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return '\''; }
  std::string do_grouping() const override { return "\3"; }
};

TEST_F(RegistryTest, NumbersReadTheSameUnderAGroupingGlobalLocale) {
  writeStore("[~Zelt]\nv=1'234\n");
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const int value = ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX);
  std::locale::global(previous);
  EXPECT_EQ(value, 1);
}

TEST_F(RegistryTest, TheTwoLookupsReadDifferentSections) {
  writeStore("[Zelt]\ntext=hello world\nonlyText=5\n[~Zelt]\nonlyValue=6\n");
  EXPECT_EQ(ObjectStore::getRegistryString("text"), "hello world");
  EXPECT_EQ(ObjectStore::getRegistryString("onlyText"), "5");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("onlyText", 7, 0, INT_MAX), 7);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("onlyValue", 7, 0, INT_MAX), 6);
  EXPECT_EQ(ObjectStore::getRegistryString("onlyValue"), "");
}

TEST_F(RegistryTest, AbsenceIsSilent) {
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("missing"), "") << "no file at all";
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("missing", 7, 0, INT_MAX), 7);
  writeStore("[Zelt]\na=1\n");
  EXPECT_EQ(ObjectStore::getRegistryString("missing"), "");
  EXPECT_EQ(ObjectStore::getRegistryString(nullptr), "");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>(nullptr, 7, 0, INT_MAX), 7);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(RegistryTest, AMalformedStoreIsEmptyAndNamesFileAndLine) {
  writeStore("[Zelt]\ngood=1\nno equals sign here\n[~Zelt]\nv=3\n");
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("good"), "");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 7);
  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 2u) << "one per lookup";
  for (const auto& m : messages) {
    EXPECT_EQ(m.level, -1);
    EXPECT_NE(m.text.find(storeFile()), std::string::npos) << m.text;
    EXPECT_NE(m.text.find("line 3"), std::string::npos) << m.text;
  }
}

TEST_F(RegistryTest, AStoreThatCannotBeReadIsEmptyAndLogged) {
  fs::create_directory(storeFile());
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("x"), "");
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].level, -1);
}

TEST_F(RegistryTest, LongValuesReadAsAbsentRatherThanTruncated) {
  const std::string fits = "5" + std::string(30, 'x');  // 31 bytes and the NUL
  const std::string tooLong = "1234567890123456789012345678901234";
  writeStore("[~Zelt]\nfits=" + fits + "\nlong=" + tooLong + "\n");
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("fits", 7, 0, INT_MAX), 5);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("long", 7, 0, INT_MAX), 7);
  EXPECT_TRUE(log->messages().empty());

  ZQPlatformInfo store;
  char buffer[32];
  std::memset(buffer, 'z', sizeof buffer);
  int length = 32;
  uint32_t type = 0;
  EXPECT_FALSE(store.getRegValue("~Zelt", "long", &type, buffer, length));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(length, static_cast<int>(tooLong.size() + 1)) << "the size it would need";

  length = 32;
  ASSERT_TRUE(store.getRegValue("~Zelt", "fits", &type, buffer, length));
  EXPECT_EQ(std::string(buffer), fits);
  EXPECT_EQ(length, 32);
  EXPECT_EQ(type, ZQPlatformInfo::kValueTypeText);
}

TEST_F(RegistryTest, EnvironmentAndFileAreReadOnEveryLookup) {
  writeStore("[~Zelt]\nv=1\n");
  writeStore("[~Zelt]\nv=2\n", "Other");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 1);
  setenv("OBJSTORE_FOCUS", "Other", 1);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 2);
  writeStore("[~Zelt]\nv=3\n", "Other");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 3);
  setenv("OBJSTORE_REGISTRY_DIR", "/nonexistent/objstore", 1);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 7);
}

TEST_F(RegistryTest, FocusDefaultsToInstance001AndStaysInTheDirectory) {
  unsetenv("OBJSTORE_FOCUS");
  EXPECT_EQ(ZQPI_Focus::getFocus(), "Instance001");
  setenv("OBJSTORE_FOCUS", "", 1);
  EXPECT_EQ(ZQPI_Focus::getFocus(), "Instance001");

  ZQPlatformInfo store;
  EXPECT_EQ(store.storePath(), storeFile("Instance001"));
  for (const char* bad : {"", "../escape", "a/b"}) {
    EXPECT_FALSE(store.setFocus(bad)) << bad;
    EXPECT_EQ(store.storePath(), "");
    std::string out = "stale";
    EXPECT_FALSE(store.getString("Zelt", "x", &out));
    EXPECT_EQ(out, "");
  }
}

TEST_F(RegistryTest, SettersKeepEverythingElseAndReadBack) {
  writeStore("; a comment\n[Zelt]\nkeep=me\n[Other]\nx=1\n[~Zelt]\nv=1\n");
  ZQPlatformInfo store;
  ASSERT_TRUE(store.setValue("~Zelt", "v", -42));
  ASSERT_TRUE(store.setValue("~Zelt", "added", 9));
  ASSERT_TRUE(store.setString("Zelt", "dotted.name", "a = b ; c"));
  ASSERT_TRUE(store.setString("New", "k", ""));

  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), -42);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("added", 7, 0, INT_MAX), 9);
  EXPECT_EQ(ObjectStore::getRegistryString("keep"), "me");
  EXPECT_EQ(ObjectStore::getRegistryString("dotted.name"), "a = b ; c");
  std::string out;
  EXPECT_TRUE(store.getString("Other", "x", &out));
  EXPECT_EQ(out, "1");
  EXPECT_TRUE(store.getString("New", "k", &out));
  EXPECT_EQ(out, "");

  // Only the store itself is left behind: no temporary files.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(registry_.dir())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(RegistryTest, SettersRefuseWhatWouldNotReadBack) {
  writeStore("[Zelt]\nkeep=me\n");
  const std::string before = readStore();
  ScopedCaptureLog log(10);
  ZQPlatformInfo store;
  EXPECT_FALSE(store.setString("Zelt", "x", "two\nlines"));
  EXPECT_FALSE(store.setString("Zelt", "x", " padded"));
  EXPECT_FALSE(store.setString("Zelt", "a=b", "v"));
  EXPECT_FALSE(store.setString("Zelt", "", "v"));
  EXPECT_FALSE(store.setString("Zelt", ";x", "v"));
  EXPECT_FALSE(store.setString("Ze]lt", "x", "v"));
  EXPECT_FALSE(store.setString(nullptr, "x", "v"));
  EXPECT_FALSE(store.setString("Zelt", nullptr, "v"));
  EXPECT_FALSE(store.setString("Zelt", "x", std::string("nul\0byte", 8)));
  EXPECT_EQ(readStore(), before);
  EXPECT_EQ(log->messages().size(), 9u);
}

TEST_F(RegistryTest, SettersLeaveAMalformedStoreAlone) {
  writeStore("[Zelt]\nbroken\n");
  const std::string before = readStore();
  ScopedCaptureLog log(10);
  ZQPlatformInfo store;
  EXPECT_FALSE(store.setString("Zelt", "x", "1"));
  EXPECT_EQ(readStore(), before);
  EXPECT_FALSE(log->messages().empty());
}

TEST_F(RegistryTest, SettersFailCleanlyWithoutTheDirectory) {
  setenv("OBJSTORE_REGISTRY_DIR", (registry_.dir() + "/missing").c_str(), 1);
  ScopedCaptureLog log(10);
  ZQPlatformInfo store;
  EXPECT_FALSE(store.setString("Zelt", "x", "1"));
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].level, -1);
}

}  // namespace
