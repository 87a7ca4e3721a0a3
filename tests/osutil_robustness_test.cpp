// osutil against what it must survive: files that are not regular, output
// and logs that cannot be written, operands where none belong.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/osutil_run.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

using RobustnessTest = OsutilTest;

// ENOSPC's text, as osutil prints it after a write to /dev/full.
const std::string kNoSpace = std::strerror(ENOSPC);

bool haveDevFull() { return access("/dev/full", W_OK) == 0; }

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

TEST_F(RobustnessTest, UnwritableStandardOutputIsReportedOnce) {
  if (!haveDevFull()) GTEST_SKIP() << "no /dev/full";
  // The guid loop stops at the first failed line on its own; the message
  // comes from the check at exit all the same.
  for (const Strings& args : {Strings{"guid", "-n", "100000"}, Strings{"path", "join", "a", "b"},
                              Strings{"--help"}}) {
    const RunResult run = osutil(args, throughFiles("", "/dev/full"));
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, "osutil: write error: " + kNoSpace + "\n") << ::testing::PrintToString(args);
  }
}

TEST_F(RobustnessTest, UnwritableLogFileFailsTheRun) {
  if (!haveDevFull()) GTEST_SKIP() << "no /dev/full";
  const RunResult lost = osutil({"--log-file", "/dev/full", "path", "split", "/a/b"});
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.out, "/a\nb\n") << "the command itself still runs";
  EXPECT_EQ(lost.err, "osutil: cannot write log file '/dev/full': " + kNoSpace + "\n");

  // A command that fails keeps its status; the lost log is still reported.
  const RunResult failed = osutil({"--log-file", "/dev/full", "fs", "df", path("missing")});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("cannot write log file"), std::string::npos) << failed.err;

  // Nothing logged, nothing lost.
  const RunResult quiet = osutil({"--log-file", "/dev/full", "--log-level", "-1", "guid"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
}

TEST_F(RobustnessTest, LogFileLinesMatchTheStandardErrorWriter) {
  const std::string log = path("osutil.log");
  ASSERT_EQ(osutil({"--log-file", log, "path", "split", "/a/b"}).status, 0);
  const RunResult onStderr = osutil({"--log-level", "5", "path", "split", "/a/b"});
  const Strings fileLines = lines(readFile(log)), stderrLines = lines(onStderr.err);
  ASSERT_EQ(fileLines.size(), 1u);
  ASSERT_EQ(stderrLines.size(), 1u);
  // "YYYY-MM-DD HH:MM:SS.mmm " differs between the runs; the rest may not.
  const size_t stampLength = std::strlen("2026-12-08 10:11:12.345 ");
  EXPECT_EQ(fileLines[0].substr(stampLength), stderrLines[0].substr(stampLength));
}

TEST_F(RobustnessTest, VersionTakesNoOperands) {
  const RunResult run = osutil({"--version", "extra"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "osutil: unexpected argument 'extra'\nTry 'osutil --help'.\n");
}

}  // namespace
