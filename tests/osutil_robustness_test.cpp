// osutil against what it must survive: files that are not regular, output
// and logs that cannot be written, operands where none belong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/osutil_run.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

using RobustnessTest = OsutilTest;

TEST_F(RobustnessTest, FsSizeRefusesAllButRegularFilesWithoutBlocking) {
  const std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer holds the FIFO, so that a regression which opens it for
  // reading prints a size instead of hanging the suite.
  const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  fs::create_directory(path("dir"));
  fs::create_symlink(fifo, path("link-to-fifo"));
  for (const std::string& target :
       {fifo, path("link-to-fifo"), std::string("/dev/null"), path("dir")}) {
    const RunResult run = osutil({"fs", "size", target});
    EXPECT_EQ(run.status, 1) << target;
    EXPECT_EQ(run.out, "") << target;
    EXPECT_EQ(run.err, "osutil: fs size: '" + target + "' is not a regular file\n");
  }
  close(holder);

  // A link to a regular file is followed, as before.
  writeFile(path("file"), "12345");
  fs::create_symlink(path("file"), path("link-to-file"));
  const RunResult linked = osutil({"fs", "size", path("link-to-file")});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_EQ(field(fields(linked.out), "size"), 5u);
}

TEST_F(RobustnessTest, UnwritableOutputOrLogFailsTheRunWithOneMessage) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const std::string noSpace = std::strerror(ENOSPC);
  const std::string lostLog = "osutil: cannot write log file '/dev/full': " + noSpace + "\n";
  struct Case {
    Strings args;
    bool stdoutToFull;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      // guid stops at its first failed line and returns 1 itself; the
      // message must come all the same.
      {{"guid", "-n", "100000"}, true, 1, "osutil: write error: " + noSpace + "\n"},
      {{"--help"}, true, 1, "osutil: write error: " + noSpace + "\n"},
      {{"--log-file", "/dev/full", "path", "split", "/a/b"}, false, 1, lostLog},
      // A command that failed keeps its status; the lost log is still told.
      {{"--log-file", "/dev/full", "fs", "df", path("missing")},
       false,
       1,
       "osutil: fs df: cannot read the file system of '" + path("missing") +
           "': " + std::strerror(ENOENT) + "\n" + lostLog},
      // Nothing logged, nothing lost.
      {{"--log-file", "/dev/full", "--log-level", "-1", "guid"}, false, 0, ""},
      {{"--version", "extra"},
       false,
       2,
       "osutil: unexpected argument 'extra'\nTry 'osutil --help'.\n"},
  };
  for (const Case& c : cases) {
    const RunResult run = osutil(c.args, throughFiles("", c.stdoutToFull ? "/dev/full" : ""));
    const std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(run.status, c.status) << shown;
    EXPECT_EQ(run.err, c.err) << shown;
  }
}

// A store the lookups cannot read is not a store without the value: get and
// int say why and exit 1, as set and check do.
TEST_F(RobustnessTest, RegistryLookupsReportAnUnreadableStore) {
  const std::string store = registry_.file("osutil-e2e");
  const std::string settings = "[Zelt]\na=1\n[~Zelt]\nn=5\n";
  const std::string denied = std::strerror(EACCES);
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { fs::create_directory(store); }, "not a regular file"},
      {[&] { mkfifo(store.c_str(), 0600); }, "not a regular file"},
      {[&] { fs::create_symlink(store, store); }, std::strerror(ELOOP)},
      {[&] { writeFile(store, settings + std::string(4 << 20, '#')); },
       "larger than 4194304 bytes"},
      {[&] { writeFile(store, settings), chmod(store.c_str(), 0); }, denied},
  };
  for (const auto& [make, reason] : cases) {
    std::error_code ignored;
    fs::remove_all(store, ignored);
    make();
    if (reason == denied && geteuid() == 0) continue;  // permissions do not stop root
    for (const Strings& args :
         {Strings{"registry", "get", "a"}, Strings{"registry", "int", "n", "7"}}) {
      const RunResult run = osutil(args);
      EXPECT_EQ(run.status, 1) << reason;
      EXPECT_EQ(run.out, "") << reason;
      EXPECT_EQ(run.err, "osutil: registry " + args[1] + ": cannot read store " + store + ": " +
                             reason + "\n");
    }
  }
  // No store at all has no values, as before.
  std::error_code ignored;
  fs::remove_all(store, ignored);
  EXPECT_EQ(osutil({"registry", "int", "n", "7"}).out, "7\n");
}

}  // namespace
