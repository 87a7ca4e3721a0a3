#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "perf/perfMetrics.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/file_text.h"
#include "tests/support/temp_registry.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScopedCaptureLog;

// A private registry directory and focus for each test.
class RegistryTest : public ::testing::Test {
 protected:
  std::string StoreFile(const std::string& focus = "TestFocus") const {
    return registry_.file(focus);
  }
  void WriteStore(const std::string& contents, const std::string& focus = "TestFocus") const {
    ASSERT_TRUE(testing_support::WriteFile(StoreFile(focus), contents));
  }
  std::string ReadStore() const { return testing_support::ReadFile(StoreFile()); }

  testing_support::TempRegistry registry_{"TestFocus"};
};

struct ParseCase {
  const char* line;  // the value's line under [~Zelt]; null for no value
  int expected;
  bool parse_error;
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
    WriteStore(std::string("[~Zelt]\nother=1\n") + (c.line != nullptr ? c.line : "") + "\n");
    ScopedCaptureLog log(10);
    EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), c.expected)
        << (c.line ? c.line : "(absent)");
    const auto messages = log->messages();
    if (!c.parse_error) {
      EXPECT_TRUE(messages.empty()) << c.line;
      continue;
    }
    ASSERT_EQ(messages.size(), 1u) << c.line;
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].format, "Error: Can't parse [%s]: [%s]");
    EXPECT_EQ(messages[0].function, ObjectStore::detail::kGetRegistryValueSignature);
    const std::string text = std::string(c.line).substr(2);
    EXPECT_EQ(messages[0].text, "Error: Can't parse [v]: [" + text + "]");
  }
}

TEST_F(RegistryTest, ParseErrorReachesTheWriterWhateverItsLevel) {
  WriteStore("[~Zelt]\nv=abc\n");
  ScopedCaptureLog log(-5);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 7);
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->level_queries(), 0) << "the parse error skips the level query";
}

TEST_F(RegistryTest, TrailingArgumentsDoNotLimitTheResult) {
  WriteStore("[~Zelt]\nv=-3\nw=500\n");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), -3);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("w", 7, 0, 10), 500);
}

// A numeric facet that groups every digit triple with '\''.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return '\''; }
  std::string do_grouping() const override { return "\3"; }
};

TEST_F(RegistryTest, NumbersReadTheSameUnderAGroupingGlobalLocale) {
  WriteStore("[~Zelt]\nv=1'234\n");
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new Grouping));
  const int value = ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX);
  std::locale::global(previous);
  EXPECT_EQ(value, 1);
}

TEST_F(RegistryTest, TheTwoLookupsReadDifferentSections) {
  WriteStore("[Zelt]\ntext=hello world\nonlyText=5\n[~Zelt]\nonlyValue=6\n");
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
  WriteStore("[Zelt]\na=1\n");
  EXPECT_EQ(ObjectStore::getRegistryString("missing"), "");
  EXPECT_EQ(ObjectStore::getRegistryString(nullptr), "");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>(nullptr, 7, 0, INT_MAX), 7);
  EXPECT_TRUE(log->messages().empty());
}

struct TolerantCase {
  const char* what;
  std::string store;
  const char* text;                   // the text of Zelt/s
  int number;                         // the number of ~Zelt/n, 7 when absent
  std::vector<std::string> problems;  // each "LINE: reason"
};

// One bad line costs that line only; the lookups log its problem once, not
// at every call, and checkFile lists the same problems without logging.
TEST_F(RegistryTest, ABadLineIsSkippedAndLoggedOnce) {
  const TolerantCase cases[] = {
      {"a line without '='",
       "[Zelt]\ns=kept\nno equals sign here\n[~Zelt]\nn=3\n",
       "kept",
       3,
       {"3: '=' character not found in line"}},
      {"a continuation",
       "[Zelt]\ns=first\n  continued\n[~Zelt]\nn=3\n",
       "first",
       3,
       {"3: '=' character not found in line"}},
      {"an unclosed section: its values stay in the one before",
       "[Zelt]\ns=a\n[~Zelt\nn=3\n",
       "a",
       7,
       {"3: unmatched '['"}},
      {"no name", "[Zelt]\n= orphan\ns=a\n[~Zelt]\nn=3\n", "a", 3, {"2: key expected"}},
      {"a value before any section, and a bad line",
       "n=1\n[~Zelt]\nn=3\nbad\n[Zelt]\ns=a\n",
       "a",
       3,
       {"1: value outside any section", "4: '=' character not found in line"}},
      {"a byte-order mark", "\xEF\xBB\xBF[Zelt]\ns=a\n[~Zelt]\nn=3\n", "a", 3, {}},
      {"a duplicate key: the last counts",
       "[~Zelt]\nn=1\nn=3\n[Zelt]\ns=a\n",
       "a",
       3,
       {"3: duplicate key [n] in section [~Zelt], overrides line 2"}},
      {"a duplicate section: merged", "[Zelt]\nt=1\n[~Zelt]\nn=3\n[Zelt]\ns=a\n", "a", 3, {}},
  };
  for (const TolerantCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteStore(c.store);
    ScopedCaptureLog log(10);
    std::vector<std::string> listed;
    std::string error;
    EXPECT_TRUE(ZQPlatformInfo::checkFile(
        StoreFile(),
        [&listed](unsigned long line, const std::string& reason) {
          listed.push_back(std::to_string(line) + ": " + reason);
        },
        &error));
    EXPECT_EQ(listed, c.problems);
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(ObjectStore::getRegistryString("s"), c.text);
      EXPECT_EQ(ObjectStore::getRegistryValue<int>("n", 7, 0, INT_MAX), c.number);
    }
    std::vector<std::string> expected;
    for (const std::string& p : c.problems)
      expected.push_back("Error: Can't parse [" + StoreFile() + "] at line " + p);
    EXPECT_EQ(log->texts(), expected);
    for (const auto& m : log->messages()) EXPECT_EQ(m.level, -1);
  }
}

TEST_F(RegistryTest, ProblemsAreLoggedAgainForANewVersionAndCapped) {
  WriteStore("[Zelt]\ns=a\nbad\n");
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("s"), "a");
  std::string store = "[Zelt]\ns=b\n";
  for (int i = 0; i < 25; ++i) store += "bad\n";
  WriteStore(store);
  EXPECT_EQ(ObjectStore::getRegistryString("s"), "b");
  EXPECT_EQ(ObjectStore::getRegistryString("s"), "b");
  const std::vector<std::string> texts = log->texts();
  ASSERT_EQ(texts.size(), 12u) << "one for the first version, ten and a count for the second";
  EXPECT_EQ(texts[11], "Error: Can't parse [" + StoreFile() + "]: 15 more problems not shown");
}

// What a store that was always valid means must not change with the reader.
TEST_F(RegistryTest, ValidStoresKeepTheirMeaning) {
  WriteStore(
      "; comment\n# comment\n[ Zelt ] text after the bracket is ignored\n"
      "  s1  =  spaced value  \r\ns2=a=b ; not a comment\nS1=case counts\n"
      "[~Zelt]\nn = 5\r\n");
  EXPECT_EQ(ObjectStore::getRegistryString("s1"), "spaced value");
  EXPECT_EQ(ObjectStore::getRegistryString("s2"), "a=b ; not a comment");
  EXPECT_EQ(ObjectStore::getRegistryString("S1"), "case counts");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("n", 7, 0, INT_MAX), 5);
  std::string out;
  EXPECT_FALSE(ZQPlatformInfo().getString("zelt", "s1", &out)) << "sections are case-sensitive";
}

TEST_F(RegistryTest, AStoreThatCannotBeReadIsEmptyAndLogged) {
  fs::create_directory(StoreFile());
  ScopedCaptureLog log(10);
  EXPECT_EQ(ObjectStore::getRegistryString("x"), "");
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].level, -1);
  std::string error;
  EXPECT_FALSE(ZQPlatformInfo::checkFile(StoreFile(), nullptr, &error));
  EXPECT_EQ(error, "Can't read [" + StoreFile() + "]: not a regular file");
}

TEST_F(RegistryTest, LongValuesReadAsAbsentRatherThanTruncated) {
  const std::string fits = "5" + std::string(30, 'x');  // 31 bytes and the NUL
  const std::string too_long = "1234567890123456789012345678901234";
  WriteStore("[~Zelt]\nfits=" + fits + "\nlong=" + too_long + "\n");
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
  EXPECT_EQ(length, static_cast<int>(too_long.size() + 1)) << "the size it would need";

  length = 32;
  ASSERT_TRUE(store.getRegValue("~Zelt", "fits", &type, buffer, length));
  EXPECT_EQ(std::string(buffer), fits);
  EXPECT_EQ(length, 32);
  EXPECT_EQ(type, ZQPlatformInfo::kValueTypeText);
}

TEST_F(RegistryTest, EnvironmentAndFileAreReadOnEveryLookup) {
  WriteStore("[~Zelt]\nv=1\n");
  WriteStore("[~Zelt]\nv=2\n", "Other");
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 1);
  setenv("OBJSTORE_FOCUS", "Other", 1);
  EXPECT_EQ(ObjectStore::getRegistryValue<int>("v", 7, 0, INT_MAX), 2);
  WriteStore("[~Zelt]\nv=3\n", "Other");
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
  EXPECT_EQ(store.storePath(), StoreFile("Instance001"));
  for (const char* bad : {"", "../escape", "a/b"}) {
    EXPECT_FALSE(store.setFocus(bad)) << bad;
    EXPECT_EQ(store.storePath(), "");
    std::string out = "stale";
    EXPECT_FALSE(store.getString("Zelt", "x", &out));
    EXPECT_EQ(out, "");
  }
}

TEST_F(RegistryTest, SettersKeepEverythingElseAndReadBack) {
  WriteStore("; a comment\n[Zelt]\nkeep=me\n[Other]\nx=1\n[~Zelt]\nv=1\n");
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
  WriteStore("[Zelt]\nkeep=me\n");
  const std::string before = ReadStore();
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
  EXPECT_EQ(ReadStore(), before);
  EXPECT_EQ(log->messages().size(), 9u);
}

struct EditCase {
  const char* what;
  std::string before;
  const char* section;
  const char* name;
  const char* value;
  std::string after;
};

// A setter changes one line, or adds one, and leaves every other byte alone.
TEST_F(RegistryTest, SettersChangeOnlyTheirLine) {
  const EditCase cases[] = {
      {"a value, spacing and CRLF kept",
       "; settings\r\n[Zelt]\r\nsName = old value \r\n\r\n# tuning\r\n[~Zelt]\r\nnA=1\r\n", "Zelt",
       "sName", "new",
       "; settings\r\n[Zelt]\r\nsName = new \r\n\r\n# tuning\r\n[~Zelt]\r\nnA=1\r\n"},
      {"a new name after its section's last value", "[A]\na=1\n\n; about B\n[B]\nb=1\n", "A", "x",
       "2", "[A]\na=1\nx=2\n\n; about B\n[B]\nb=1\n"},
      {"a new section at the end", "[A]\na=1", "B", "b", "2", "[A]\na=1\n\n[B]\nb=2\n"},
      {"a new section in a CRLF store", "[A]\r\na=1\r\n", "B", "b", "2",
       "[A]\r\na=1\r\n\r\n[B]\r\nb=2\r\n"},
      {"the last of duplicate values", "[A]\na=1\na=2\n", "A", "a", "3", "[A]\na=1\na=3\n"},
      {"an empty value", "[A]\na=\n", "A", "a", "5", "[A]\na=5\n"},
      {"beside a bad line", "[A]\nbroken\na=1\n", "A", "a", "2", "[A]\nbroken\na=2\n"},
      {"a byte-order mark", "\xEF\xBB\xBF[A]\na=1\n", "A", "a", "2", "\xEF\xBB\xBF[A]\na=2\n"},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteStore(c.before);
    ASSERT_TRUE(ZQPlatformInfo().setString(c.section, c.name, c.value));
    EXPECT_EQ(ReadStore(), c.after);
  }
}

// A store that is a link stays one, and the file behind it keeps its owner,
// group and mode, so the service that reads it still can.
TEST_F(RegistryTest, SettersWriteThroughALinkAndKeepOwnerGroupAndMode) {
  const std::string real_dir = registry_.dir() + "/real";
  const std::string target = real_dir + "/store.ini";
  fs::create_directory(real_dir);
  std::ofstream(target) << "; kept\n[Zelt]\ns=1\n";
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  // Only root can give the file away; others test the mode alone.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  }
  struct stat before;
  ASSERT_EQ(::stat(target.c_str(), &before), 0);
  fs::create_symlink("real/store.ini", StoreFile());

  ASSERT_TRUE(ZQPlatformInfo().setString("Zelt", "s", "2"));
  EXPECT_TRUE(fs::is_symlink(StoreFile()));
  EXPECT_EQ(testing_support::ReadFile(target), "; kept\n[Zelt]\ns=2\n");
  struct stat after;
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not rewritten in place";

  // A dangling link names the file to create.
  fs::remove(target);
  ASSERT_TRUE(ZQPlatformInfo().setString("Zelt", "s", "3"));
  EXPECT_TRUE(fs::is_symlink(StoreFile()));
  EXPECT_EQ(ObjectStore::getRegistryString("s"), "3");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));

  // Nothing but the link and the target is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(registry_.dir()), fs::directory_iterator()), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(real_dir), fs::directory_iterator()), 1);
}

TEST_F(RegistryTest, SettersFailCleanlyWithoutTheDirectory) {
  setenv("OBJSTORE_REGISTRY_DIR", (registry_.dir() + "/missing").c_str(), 1);
  ScopedCaptureLog log(10);
  ZQPlatformInfo store;
  EXPECT_FALSE(store.setString("Zelt", "x", "1"));
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].level, -1);
}

struct NameCase {
  bool store;     // the store's setter; otherwise the metrics file's writer
  size_t length;  // of the file's name
};

// Both writers that replace a file through a temporary beside it take any
// name the directory can hold, although the temporary's name adds a '.' and
// a random suffix to it.
TEST_F(RegistryTest, WritersReplaceFilesWithNamesUpToNameMax) {
  const NameCase cases[] = {
      {true, 247}, {true, 248}, {true, NAME_MAX}, {false, 129}, {false, NAME_MAX},
  };
  std::set<std::string> written;
  for (const NameCase& c : cases) {
    SCOPED_TRACE(std::string(c.store ? "store" : "metrics") + ", " + std::to_string(c.length));
    ScopedCaptureLog log(-1);
    std::string name;
    if (c.store) {
      const std::string focus(c.length - 4, 's');
      name = focus + ".ini";
      ZQPlatformInfo store;
      ASSERT_TRUE(store.setFocus(focus));
      EXPECT_TRUE(store.setString("Zelt", "sHostName", "media02"));
      std::string out;
      EXPECT_TRUE(store.getString("Zelt", "sHostName", &out));
      EXPECT_EQ(out, "media02");
    } else {
      name = std::string(c.length - 5, 'm') + ".prom";
      EXPECT_EQ(ObjectStore::writePerfMetricsFile(registry_.dir() + "/" + name), 0);
      EXPECT_EQ(testing_support::ReadFile(registry_.dir() + "/" + name),
                ObjectStore::formatPerfMetrics());
    }
    EXPECT_EQ(log->texts(), std::vector<std::string>{});
    // The files written and nothing else: no temporary is left behind.
    written.insert(name);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(registry_.dir()))
      names.insert(entry.path().filename());
    EXPECT_EQ(names, written);
  }
}

}  // namespace
