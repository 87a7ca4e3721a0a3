// End-to-end tests of the osutil program: every test runs the real binary
// with pipes on its standard streams and checks its output and exit status,
// against GNU coreutils where they offer the same answer.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/osutil_run.h"
#include "tests/support/port111.h"

#ifndef OSUTIL_VERSION
#define OSUTIL_VERSION ""
#endif

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

std::string randomBytes(size_t size, uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t word = engine();
    std::memcpy(&bytes[i], &word, std::min<size_t>(8, size - i));
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// The program, help and bad usage
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, HelpOfTheProgramAndEveryCommand) {
  const std::vector<Strings> commands = {{},
                                         {"guid"},
                                         {"base64"},
                                         {"path"},
                                         {"path", "join"},
                                         {"path", "split"},
                                         {"tokenize"},
                                         {"fs"},
                                         {"fs", "mkdir"},
                                         {"fs", "exists"},
                                         {"fs", "size"},
                                         {"fs", "df"},
                                         {"fs", "empty"},
                                         {"registry"},
                                         {"registry", "get"},
                                         {"registry", "int"},
                                         {"registry", "set"},
                                         {"probe"},
                                         {"probe", "rpcbind"},
                                         {"probe", "disklib"},
                                         {"cache"},
                                         {"cache", "replay"},
                                         {"perf"}};
  for (const Strings& command : commands) {
    for (const char* flag : {"--help", "-h"}) {
      Strings args = command;
      args.push_back(flag);
      const RunResult run = osutil(args);
      const std::string shown = ::testing::PrintToString(args);
      EXPECT_EQ(run.status, 0) << shown;
      EXPECT_EQ(run.out.rfind("Usage: osutil", 0), 0u) << shown << run.out;
      EXPECT_EQ(run.err, "") << shown;
    }
  }
  const RunResult version = osutil({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("osutil ") + OSUTIL_VERSION + "\n");
}

TEST_F(OsutilTest, BadUsageExitsTwoWithAMessageOnStderrOnly) {
  const std::vector<Strings> cases = {
      {},
      {"frobnicate"},
      {"--bogus", "guid"},
      {"--log-level", "loud", "guid"},
      {"--log-level"},
      {"guid", "-n", "many"},
      {"guid", "-n", "-1"},
      {"guid", "extra"},
      {"base64", "-x"},
      {"base64", "a", "b"},
      {"base64", "--decode=yes"},
      {"base64", "--strict"},
      {"path"},
      {"path", "glue", "a", "b"},
      {"path", "join", "a"},
      {"path", "split"},
      {"path", "split", "/a", "/b"},
      {"tokenize", "a"},
      {"fs"},
      {"fs", "size"},
      {"fs", "df", "/", "/"},
      {"fs", "exists"},
      {"fs", "mkdir", "--parents", "x"},
      {"fs", "empty"},
      {"registry", "get"},
      {"registry", "int", "n", "x7"},
      {"registry", "int", "n", "99999999999"},
      {"registry", "set", "Zelt", "name"},
      {"probe", "disklib", "seven"},
      {"probe", "rpcbind", "now"},
      {"probe", "nfs"},
      {"cache", "evict"},
      {"cache", "replay", "trace.txt"},
      {"cache", "replay", "--budget", "0", "trace.txt"},
      {"cache", "replay", "--budget", "4294967296", "trace.txt"},
      {"cache", "replay", "--budget", "1000", "--hash", "md5", "trace.txt"},
      {"cache", "replay", "--budget", "1000"},
      {"cache", "replay", "--budget", "1000", "a.txt", "b.txt"},
      {"cache", "replay", "--budget", "1000", "--synthetic", "zipf:0.9", "--keys", "10"},
      {"cache", "replay", "--budget", "1000", "--synthetic", "pareto:1", "--keys", "1", "--ops",
       "1"},
      {"cache", "replay", "--budget", "1000", "--synthetic", "zipf:x", "--keys", "1", "--ops", "1"},
      {"cache", "replay", "--budget", "1000", "--synthetic", "zipf:1", "--keys", "0", "--ops", "1"},
      {"cache", "replay", "--budget", "1000", "--synthetic", "zipf:1", "--keys", "1", "--ops", "1",
       "trace.txt"},
      {"cache", "replay", "--budget", "1000", "--keys", "5", "trace.txt"},
      {"cache", "replay", "--budget", "1000", "--csv", "out.csv", "trace.txt"},
      {"perf", "now"},
      {"perf", "-n", "lots"},
  };
  for (const Strings& args : cases) {
    const RunResult run = osutil(args);
    const std::string shown = ::testing::PrintToString(args);
    EXPECT_EQ(run.status, 2) << shown << run.err;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_EQ(run.err.rfind("osutil: ", 0), 0u) << shown << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos) << shown << run.err;
  }
}

TEST_F(OsutilTest, LogWriterOnlyWhenAskedFor) {
  // No writer: the library's level-5 trace of a split is dropped.
  const RunResult quiet = osutil({"path", "split", "/a/b"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");

  const RunResult traced = osutil({"--log-level", "5", "path", "split", "/a/b"});
  EXPECT_EQ(traced.out, "/a\nb\n");
  EXPECT_NE(traced.err.find("splitParentPath: fullPath=[/a/b] parentOut=[/a] childOut=[b]"),
            std::string::npos)
      << traced.err;

  // To a file, at an explicit level: errors reach it, traces above it do not.
  const std::string log = path("osutil.log");
  const RunResult failed = osutil({"--log-file", log, "--log-level=-1", "fs", "df", path("none")});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.find("Can't statvfs"), std::string::npos) << "log went to stderr";
  osutil({"--log-file=" + log, "--log-level", "-1", "path", "split", "/a/b"});
  const std::string logged = readFile(log);
  EXPECT_NE(logged.find("Can't statvfs " + path("none") + " (2)"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("splitParentPath"), std::string::npos) << logged;

  const RunResult unopenable = osutil({"--log-file", path("no/such/dir/log"), "guid"});
  EXPECT_EQ(unopenable.status, 1);
  EXPECT_NE(unopenable.err.find("cannot open log file"), std::string::npos) << unopenable.err;
}

// ---------------------------------------------------------------------------
// guid, path, tokenize
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, GuidPrintsDistinctVersion4Texts) {
  EXPECT_EQ(lines(osutil({"guid"}).out).size(), 1u);
  EXPECT_EQ(osutil({"guid", "-n", "0"}).out, "");

  const RunResult run = osutil({"guid", "--count", "50"});
  ASSERT_EQ(run.status, 0);
  const Strings guids = lines(run.out);
  ASSERT_EQ(guids.size(), 50u);
  for (const std::string& guid : guids) {
    ASSERT_EQ(guid.size(), 32u) << guid;
    EXPECT_EQ(guid.find_first_not_of("0123456789abcdef"), std::string::npos) << guid;
    EXPECT_EQ(guid[12], '4') << guid;
    EXPECT_NE(std::string("89ab").find(guid[16]), std::string::npos) << guid;
  }
  EXPECT_EQ(std::set<std::string>(guids.begin(), guids.end()).size(), guids.size());
}

TEST_F(OsutilTest, PathJoinSplitAndTokenize) {
  struct Case {
    Strings args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"path", "join", "a", "b"}, "a/b\n"},
      {{"path", "join", "a/", "/b"}, "a/b\n"},
      {{"path", "join", "", "b"}, "b\n"},
      {{"path", "join", "a", ""}, "a/\n"},
      {{"path", "split", "/a/b/c"}, "/a/b\nc\n"},
      {{"path", "split", "/a/"}, "/\na\n"},
      {{"path", "split", "/"}, "/\n\n"},
      {{"path", "split", "a//b"}, "a/\nb\n"},
      {{"tokenize", "/a//b/", "/"}, "a\nb\n"},
      {{"tokenize", "a,b;;c", ",;"}, "a\nb\nc\n"},
      {{"tokenize", ",,,", ","}, ""},
      {{"tokenize", "a b", ""}, "a b\n"},
      {{"tokenize", "--", "-x-y-", "-"}, "x\ny\n"},
  };
  for (const Case& c : cases) {
    const RunResult run = osutil(c.args);
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(c.args) << run.err;
    EXPECT_EQ(run.out, c.out) << ::testing::PrintToString(c.args);
  }

  const RunResult relative = osutil({"path", "split", "a"});
  EXPECT_EQ(relative.status, 1);
  EXPECT_EQ(relative.out, "");
  EXPECT_EQ(relative.err, "osutil: path split: a is not a full path\n");
  const RunResult empty = osutil({"path", "split", ""});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "osutil: path split: Can't split an empty path\n");
}

// ---------------------------------------------------------------------------
// base64
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, Base64MatchesCoreutilsBothWays) {
  for (size_t size : {0, 1, 2, 3, 57, 4096, (1 << 20) + 1}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string original = randomBytes(size, size);
    const std::string file = path("data.bin");
    writeFile(file, original);

    // Ours is coreutils' unwrapped text plus one newline (none when empty).
    const RunResult ours = osutil({"base64", file});
    ASSERT_EQ(ours.status, 0) << ours.err;
    const std::string unwrapped = runProgram("base64", {"-w", "0", file}).out;
    EXPECT_EQ(ours.out, size == 0 ? "" : unwrapped + "\n");
    EXPECT_EQ(osutil({"base64", "-"}, piped(original)).out, ours.out) << "from standard input";

    EXPECT_EQ(runProgram("base64", {"-d"}, piped(ours.out)).out, original)
        << "coreutils decodes ours";
    const std::string wrapped = runProgram("base64", {file}).out;  // 76 columns
    const RunResult decoded = osutil({"base64", "-d"}, piped(wrapped));
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.out, original) << "ours decodes coreutils' wrapped text";
  }
}

TEST_F(OsutilTest, Base64StreamsA64MiBFile) {
  const std::string original = path("big.bin"), ours = path("big.b64"), theirs = path("big.cu"),
                    wrapped = path("big.wrapped"), back = path("big.back");
  writeFile(original, randomBytes(64u << 20, 64));

  ASSERT_EQ(osutil({"base64", original}, throughFiles("", ours)).status, 0);
  ASSERT_EQ(runProgram("base64", {"-w", "0", original}, throughFiles("", theirs)).status, 0);
  std::string expected = readFile(theirs);
  expected += '\n';
  EXPECT_TRUE(readFile(ours) == expected) << "encodings differ";

  // Decoding reads from a file on standard input: 77-byte lines whose groups
  // straddle the chunk boundaries.
  ASSERT_EQ(runProgram("base64", {original}, throughFiles("", wrapped)).status, 0);
  ASSERT_EQ(osutil({"base64", "--decode"}, throughFiles(wrapped, back)).status, 0);
  EXPECT_TRUE(readFile(back) == readFile(original)) << "decoding differs";
}

TEST_F(OsutilTest, Base64DecodingSkipsLineBreaksAndStopsAtOtherBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"TWFu\nTWFu\n", "ManMan"},
      {"TWFu\r\nTWFu\r\n", "ManMan"},
      {"TWE=", "Ma"},
      {"TWE", "Ma"},
      {"TQ==TWFu", "M"},
      {"TW=u", "M"},
      {"TWFu TWFu", "Man"},
      {"T", ""},
      {"-_", ""},
      {"", ""},
  };
  for (const auto& [text, bytes] : cases) {
    const RunResult run = osutil({"base64", "-d"}, piped(text));
    EXPECT_EQ(run.status, 0) << text;
    EXPECT_EQ(run.out, bytes) << text;
  }
  const RunResult missing = osutil({"base64", path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

// --strict fails where coreutils' base64 -d fails and decodes the same where
// it succeeds; the offset names the first bad byte.
TEST_F(OsutilTest, Base64StrictFailsWhereCoreutilsFails) {
  // A padded group whose last '=' is the first byte of the second read chunk.
  std::string straddling = "\n";
  for (int i = 0; i < 65535; ++i) straddling += "TWFu";
  straddling += "TQ==";
  const std::string straddlingBad = straddling.substr(0, straddling.size() - 1) + "A";
  // Line breaks anywhere, padding, a group after padding, unused bits set.
  const Strings good = {"",       "\n",       "TWFu", "TW\nFu\n", "TWE=",
                        "TQ==\n", "TQ==TWFu", "TR==", "TW\n=\n=", straddling + "TWFu"};
  // The input ends inside a group; '=' misplaced or surplus; bytes outside
  // the alphabet (CR too: coreutils skips LF only).
  const std::vector<std::pair<std::string, size_t>> bad = {
      {"TWE", 3},
      {"TWFuT\n", 6},
      {"TQ=", 3},
      {"TQ===", 4},
      {"T===", 1},
      {"TW=u", 3},
      {"TW-u", 2},
      {"TWF\xff", 3},
      {"TWFu\r\n", 4},
      {std::string("TW\0u", 4), 2},
      {"TWFu\nTW=uTWFu", 8},
      {straddlingBad, straddlingBad.size() - 1}};
  for (const std::string& input : good) {
    const RunResult theirs = runProgram("base64", {"-d"}, piped(input));
    const RunResult ours = osutil({"base64", "-d", "--strict"}, piped(input));
    ASSERT_EQ(theirs.status, 0) << input.substr(0, 20) << ": coreutils disagrees with the table";
    EXPECT_EQ(ours.status, 0) << input.substr(0, 20) << ours.err;
    EXPECT_TRUE(ours.out == theirs.out) << input.substr(0, 20);
  }
  for (const auto& [input, offset] : bad) {
    ASSERT_NE(runProgram("base64", {"-d"}, piped(input)).status, 0)
        << input.substr(0, 20) << ": coreutils disagrees with the table";
    const RunResult ours = osutil({"base64", "-d", "--strict"}, piped(input));
    EXPECT_EQ(ours.status, 1) << input.substr(0, 20);
    const std::string expected =
        "osutil: base64: invalid input at offset " + std::to_string(offset);
    EXPECT_EQ(ours.err.rfind(expected + ":", 0), 0u) << ours.err;
  }
}

// ---------------------------------------------------------------------------
// fs
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, FsMkdirAndExists) {
  const std::string nested = path("a/b/c");
  EXPECT_EQ(osutil({"fs", "exists", nested}).status, 1);
  EXPECT_EQ(osutil({"fs", "exists", nested}).out, "no\n");
  EXPECT_EQ(osutil({"fs", "mkdir", nested}).status, 0);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(osutil({"fs", "mkdir", nested}).status, 0) << "an existing directory is fine";
  const RunResult exists = osutil({"fs", "exists", nested});
  EXPECT_EQ(exists.status, 0);
  EXPECT_EQ(exists.out, "yes\n");

  writeFile(path("file"), "x");
  const RunResult underFile = osutil({"fs", "mkdir", path("file/sub")});
  EXPECT_EQ(underFile.status, 1);
  EXPECT_NE(underFile.err.find("cannot create directory"), std::string::npos) << underFile.err;
}

// "no" means that nothing is there; a path longer than PATH_MAX is looked up
// too, and a lookup that fails otherwise is an error, not a "no".
TEST_F(OsutilTest, FsExistsAnswersLongPathsAndTellsNoFromUnknown) {
  std::string tail;
  for (int i = 0; i < 24; ++i) tail += "/" + std::string(200, 'a' + i % 26);  // 4824 bytes
  const std::string longDir = path("long") + tail;
  // std::filesystem cannot remove a tree deeper than PATH_MAX.
  struct Remover {
    std::string top;
    ~Remover() { runProgram("rm", {"-rf", "--", top}); }
  } remover{path("long")};
  ASSERT_EQ(osutil({"fs", "mkdir", longDir}).status, 0);
  writeFile(path("file"), "x");
  fs::create_symlink("loop", path("loop"));
  fs::create_symlink("nowhere", path("dangling"));
  struct Case {
    std::string path;
    std::string out;  // "yes", "no", or "" for an error
  };
  const std::vector<Case> cases = {
      {path("file/sub"), "no"},  // ENOTDIR
      {path("dangling"), "no"},
      {path("loop"), ""},
      {longDir, "yes"},
      {longDir + "/", "yes"},
      {longDir + "/missing", "no"},
      {path("long/../file") + tail, "no"},  // a file on the way: ENOTDIR
      {path("loop") + tail, ""},
      {path("long") + tail + "/" + std::string(300, 'n'), ""},  // ENAMETOOLONG
  };
  for (const Case& c : cases) {
    const std::string shown = c.path.substr(c.path.size() > 60 ? c.path.size() - 60 : 0);
    const RunResult run = osutil({"fs", "exists", c.path});
    EXPECT_EQ(run.status, c.out == "yes" ? 0 : 1) << shown << run.err;
    EXPECT_EQ(run.out, c.out.empty() ? "" : c.out + "\n") << shown;
    if (c.out.empty()) {
      EXPECT_EQ(
          run.err.rfind("osutil: fs exists: cannot tell whether '" + c.path + "' exists: ", 0), 0u)
          << shown << run.err;
    } else {
      EXPECT_EQ(run.err, "") << shown;
    }
  }
}

TEST_F(OsutilTest, FsSizeAgreesWithStat) {
  const std::string file = path("sized");
  writeFile(file, randomBytes(12345, 7));
  const RunResult run = osutil({"fs", "size", file});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto values = fields(run.out);
  const Strings stat = lines(runProgram("stat", {"-c", "%s\n%b\n%B", file}).out);
  ASSERT_EQ(stat.size(), 3u);
  EXPECT_EQ(field(values, "size"), std::stoull(stat[0]));
  EXPECT_EQ(field(values, "allocated"), std::stoull(stat[1]) * std::stoull(stat[2]));

  const RunResult missing = osutil({"fs", "size", path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
}

TEST_F(OsutilTest, FsDfAgreesWithStatF) {
  const RunResult run = osutil({"fs", "df", dir_});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto values = fields(run.out);
  // Fragment size, total blocks and free blocks (root's reserve included).
  const Strings stat = lines(runProgram("stat", {"-f", "-c", "%S\n%b\n%f", dir_}).out);
  ASSERT_EQ(stat.size(), 3u);
  const uint64_t fragment = std::stoull(stat[0]);
  EXPECT_EQ(field(values, "total"), std::stoull(stat[1]) * fragment);
  // Other programs write to the volume meanwhile.
  const double freeBytes = static_cast<double>(std::stoull(stat[2]) * fragment);
  EXPECT_NEAR(static_cast<double>(field(values, "free")), freeBytes, 256.0 * (1 << 20));
  EXPECT_LE(field(values, "free"), field(values, "total"));

  const RunResult missing = osutil({"fs", "df", path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

TEST_F(OsutilTest, FsEmptyRemovesTheTreeButKeepsTheDirectory) {
  const std::string tree = path("tree"), outside = path("outside");
  auto build = [&] {
    fs::create_directories(tree + "/sub/deeper");
    writeFile(tree + "/f1", "1");
    writeFile(tree + "/sub/f2", "2");
    writeFile(tree + "/sub/deeper/f3", "3");
    writeFile(outside, "keep");
    fs::create_symlink(outside, tree + "/link");
  };
  build();

  // Not a terminal and no --yes: refused, nothing touched.
  const RunResult refused = osutil({"fs", "empty", tree});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--yes"), std::string::npos) << refused.err;
  EXPECT_TRUE(fs::exists(tree + "/sub/deeper/f3"));

  const RunResult emptied = osutil({"fs", "empty", "--yes", tree});
  EXPECT_EQ(emptied.status, 0) << emptied.err;
  EXPECT_TRUE(fs::is_directory(tree));
  EXPECT_TRUE(fs::is_empty(tree));
  EXPECT_EQ(readFile(outside), "keep") << "a link is removed, not followed";

  // Nothing was there to remove: no word of entries that stay removed.
  const RunResult missing = osutil({"fs", "empty", "-y", path("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "osutil: fs empty: cannot empty '" + path("missing") +
                             "': " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(osutil({"fs", "empty", "--yes", "/"}).status, 1) << "the root is never emptied";
}

// Sets or clears the immutable attribute, which stops even root's unlink.
bool setImmutable(const std::string& file, bool on) {
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

// An entry that cannot be removed is named, as rm names it.
TEST_F(OsutilTest, FsEmptyNamesTheEntryThatFailed) {
  const std::string tree = path("tree"), locked = path("tree/sub/locked");
  fs::create_directories(tree + "/sub");
  writeFile(locked, "x");
  // Permissions stop others; the immutable attribute stops root too.
  struct Unlock {
    std::string file;
    ~Unlock() {
      setImmutable(file, false);
      chmod(fs::path(file).parent_path().c_str(), 0755);
    }
  } unlock{locked};
  int expected = EACCES;
  if (geteuid() != 0) {
    ASSERT_EQ(chmod((tree + "/sub").c_str(), 0555), 0);
  } else if (setImmutable(locked, true)) {
    expected = EPERM;
  } else {
    GTEST_SKIP() << "this file system cannot make a file unremovable for root";
  }
  const RunResult run = osutil({"fs", "empty", "--yes", tree});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "osutil: fs empty: cannot unlink '" + locked +
                         "': " + std::strerror(expected) + "\nosutil: fs empty: cannot empty '" +
                         tree + "': " + std::strerror(expected) +
                         " (entries removed before the failure stay removed)\n");
  EXPECT_TRUE(fs::exists(locked));

  // The messages still reach a log the user asked for.
  const RunResult logged = osutil({"--log-level", "-1", "fs", "empty", "--yes", tree});
  EXPECT_NE(
      logged.err.find("Error: can't unlink " + locked + " (" + std::to_string(expected) + ")"),
      std::string::npos)
      << logged.err;
}

TEST_F(OsutilTest, FsEmptyAsksOnATerminal) {
  const std::string tree = path("tree");
  fs::create_directories(tree + "/sub");
  writeFile(tree + "/sub/f", "x");

  const RunResult declined = osutil({"fs", "empty", tree}, typed("n\n"));
  EXPECT_EQ(declined.status, 1);
  EXPECT_NE(declined.err.find("Remove everything under " + tree + "? [y/N]"), std::string::npos)
      << declined.err;
  EXPECT_TRUE(fs::exists(tree + "/sub/f"));

  const RunResult accepted = osutil({"fs", "empty", tree}, typed("y\n"));
  EXPECT_EQ(accepted.status, 0) << accepted.err;
  EXPECT_TRUE(fs::is_directory(tree));
  EXPECT_TRUE(fs::is_empty(tree));
}

// ---------------------------------------------------------------------------
// registry and probes
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, RegistryRoundTrip) {
  EXPECT_EQ(osutil({"registry", "set", "Zelt", "colour", "deep blue"}).status, 0);
  EXPECT_EQ(osutil({"registry", "set", "~Zelt", "retries", "42"}).status, 0);
  EXPECT_EQ(osutil({"registry", "set", "~Zelt", "junk", "abc"}).status, 0);
  EXPECT_EQ(osutil({"registry", "set", "~Zelt", "retries", "-3"}).status, 0) << "overwrite";

  struct Case {
    Strings args;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"registry", "get", "colour"}, 0, "deep blue\n"},
      {{"registry", "get", "retries"}, 1, ""},  // only in ~Zelt
      {{"registry", "int", "retries"}, 0, "-3\n"},
      {{"registry", "int", "retries", "7"}, 0, "-3\n"},
      {{"registry", "int", "missing", "-7"}, 0, "-7\n"},
      {{"registry", "int", "missing"}, 0, "0\n"},
      {{"registry", "int", "junk", "5"}, 0, "5\n"},
      {{"registry", "int", "colour", "9"}, 0, "9\n"},  // only in Zelt
  };
  for (const Case& c : cases) {
    const RunResult run = osutil(c.args);
    EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.args) << run.err;
    EXPECT_EQ(run.out, c.out) << ::testing::PrintToString(c.args);
  }
  const RunResult parseError = osutil({"--log-level", "-1", "registry", "int", "junk", "5"});
  EXPECT_NE(parseError.err.find("Error: Can't parse [junk]: [abc]"), std::string::npos)
      << parseError.err;

  const RunResult unstorable = osutil({"registry", "set", "Zelt", "a=b", "x"});
  EXPECT_EQ(unstorable.status, 1);
  EXPECT_NE(unstorable.err.find("cannot store"), std::string::npos) << unstorable.err;
}

TEST_F(OsutilTest, RegistryCheckListsProblemsAndExitsOneForThem) {
  const std::string store = registry_.file("osutil-e2e");
  const RunResult absent = osutil({"registry", "check"});
  EXPECT_EQ(absent.status, 0);
  EXPECT_EQ(absent.out, store + ": ok (no such file: every setting has its default)\n");

  std::ofstream(store) << "[Zelt]\nsName=a\nno equals\n";
  const RunResult bad = osutil({"registry", "check"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, store + ":3: '=' character not found in line\n");
  EXPECT_NE(bad.err.find("1 problem in"), std::string::npos) << bad.err;

  const std::string clean = path("clean.ini");
  std::ofstream(clean) << "[Zelt]\nsName=a\n";
  const RunResult ok = osutil({"registry", "check", clean});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, clean + ": ok\n");

  EXPECT_EQ(osutil({"registry", "check", dir_}).status, 1) << "a directory is no store";
  EXPECT_EQ(osutil({"registry", "check", "a", "b"}).status, 2);
  EXPECT_EQ(osutil({"registry", "check", "--help"}).status, 0);
}

TEST_F(OsutilTest, ProbeDisklibReadsTheMountMappedInTheStore) {
  ASSERT_EQ(osutil({"registry", "set", "MediaManager", "subclient7", dir_}).status, 0);
  const RunResult run = osutil({"probe", "disklib", "7"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto values = fields(run.out);
  const Strings stat = lines(runProgram("stat", {"-f", "-c", "%S\n%b\n%a", dir_}).out);
  ASSERT_EQ(stat.size(), 3u);
  const uint64_t fragment = std::stoull(stat[0]);
  EXPECT_EQ(field(values, "capacity"), std::stoull(stat[1]) * fragment);
  EXPECT_NEAR(static_cast<double>(field(values, "free")),
              static_cast<double>(std::stoull(stat[2]) * fragment), 256.0 * (1 << 20));

  const RunResult unknown = osutil({"probe", "disklib", "8"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("subclient 8"), std::string::npos) << unknown.err;
}

TEST_F(OsutilTest, ProbeRpcbindSeesAListenerOnPort111) {
  Port111Lock lock;
  const int listener = bindPort111();
  if (listener < 0) {
    const int error = errno;
    if (error != EADDRINUSE) GTEST_SKIP() << "cannot bind port 111: " << std::strerror(error);
    // A real port mapper holds it.
    const RunResult run = osutil({"probe", "rpcbind"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "running\n");
    return;
  }
  ASSERT_EQ(listen(listener, 4), 0);
  const RunResult held = osutil({"--log-level", "1", "probe", "rpcbind"});
  EXPECT_EQ(held.status, 0);
  EXPECT_EQ(held.out, "running\n");
  EXPECT_NE(held.err.find("already in LISTENING MODE"), std::string::npos) << held.err;
  close(listener);

  const RunResult released = osutil({"probe", "rpcbind"});
  EXPECT_EQ(released.status, 1);
  EXPECT_EQ(released.out, "not running\n");
}

// ---------------------------------------------------------------------------
// cache replay
// ---------------------------------------------------------------------------

// A budget of 500 bytes with an expected size of 100 gives 500 / 196 = 2
// buckets and a fixed charge of 8 * (2 * 2 + 26) = 240 bytes; a one-byte key
// with no size costs 1 + 0 + 97 = 98, so 260 bytes hold exactly two elements.
// The trace a b a c b a a b c b then runs, with the most recent first:
//   a miss [a]   b miss [b a]   a hit [a b]    c miss, evicts b [c a]
//   b miss, evicts a [b c]      a miss, evicts c [a b]   a hit [a b]
//   b hit [b a]  c miss, evicts a [c b]        b hit [b c]
// so 4 hits, 6 misses, 4 evictions and 2 elements (436 bytes) at the end.
// The cache itself counts two lookups per access.
const char kHandTrace[] =
    "# comment lines and blank lines carry no access\n"
    "a\nb\n\na\n  c\nb 0\na\na\nb\nc\nb\n";

TEST_F(OsutilTest, CacheReplayOfAHandMadeTrace) {
  const std::string trace = path("trace.txt");
  writeFile(trace, kHandTrace);
  for (const Strings& args :
       {Strings{"cache", "replay", trace, "--budget", "500", "--expected-size", "100"},
        Strings{"cache", "replay", "-", "--budget=500", "--expected-size=100", "--hash",
                "strong"}}) {
    const RunResult run = osutil(args, piped(kHandTrace));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto values = fields(run.out);
    EXPECT_EQ(field(values, "accesses"), 10u);
    EXPECT_EQ(field(values, "hits"), 4u);
    EXPECT_EQ(field(values, "misses"), 6u);
    EXPECT_EQ(values.at("hit ratio"), "0.400000");
    EXPECT_EQ(field(values, "evictions"), 4u);
    EXPECT_EQ(field(values, "refused"), 0u);
    EXPECT_EQ(field(values, "num_entries"), 2u);
    EXPECT_EQ(field(values, "cur_bytes"), 436u);
    EXPECT_EQ(field(values, "num_buckets"), 2u);
    EXPECT_EQ(field(values, "num_inserts"), 6u);
    EXPECT_EQ(field(values, "num_removes"), 4u);
    EXPECT_EQ(field(values, "num_hits"), 8u);
    EXPECT_EQ(field(values, "num_misses"), 12u);
    EXPECT_LE(field(values, "key1_longest_chain"), 2u);
    EXPECT_GT(field(values, "operations per second"), 0u);
  }
}

TEST_F(OsutilTest, CacheReplayRefusesAnElementLargerThanTheBudget) {
  // "huge" costs 4 + 1000 + 97 bytes: it empties the cache (2 evictions) and
  // is refused; the last a is inserted afresh.
  const RunResult run =
      osutil({"cache", "replay", "-", "--budget", "500", "--expected-size", "100"},
             piped("a\nb\nhuge 1000\na\n"));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto values = fields(run.out);
  EXPECT_EQ(field(values, "hits"), 0u);
  EXPECT_EQ(field(values, "misses"), 4u);
  EXPECT_EQ(field(values, "evictions"), 2u);
  EXPECT_EQ(field(values, "refused"), 1u);
  EXPECT_EQ(field(values, "num_entries"), 1u);

  for (const char* bad : {"a 12x\n", "a 1 2\n", "a 2147483648\n"}) {
    const RunResult malformed = osutil({"cache", "replay", "-", "--budget", "500"}, piped(bad));
    EXPECT_EQ(malformed.status, 1) << bad;
    EXPECT_NE(malformed.err.find("line 1"), std::string::npos) << malformed.err;
  }
  EXPECT_EQ(osutil({"cache", "replay", path("missing"), "--budget", "500"}).status, 1);
}

// The synthetic workload follows its Zipf law. Two figures of a replay depend
// on the law alone: with room for every key the misses count the distinct
// keys drawn, E = sum_k 1 - (1 - p_k)^M; with room for one element the hits
// count repeats of the previous key, E = (M - 1) * sum_k p_k^2.
TEST_F(OsutilTest, CacheReplayOfAZipfWorkloadFollowsTheLaw) {
  struct Case {
    double exponent;
    uint64_t keys, ops;
  };
  for (const Case& c :
       {Case{0.0, 1000, 2000}, Case{0.99, 100000, 20000}, Case{1.5, 100000, 20000}}) {
    std::ostringstream law;
    law << "zipf:" << c.exponent;
    SCOPED_TRACE(law.str());
    double norm = 0;
    for (uint64_t k = 1; k <= c.keys; ++k) norm += std::pow(double(k), -c.exponent);
    double distinct = 0, distinctVariance = 0, squares = 0;
    for (uint64_t k = 1; k <= c.keys; ++k) {
      const double p = std::pow(double(k), -c.exponent) / norm;
      const double seen = 1 - std::pow(1 - p, double(c.ops));
      distinct += seen;
      distinctVariance += seen * (1 - seen);  // the indicators correlate negatively
      squares += p * p;
    }
    const double repeats = double(c.ops - 1) * squares;

    const Strings workload = {"cache",           "replay",
                              "--synthetic",     law.str(),
                              "--keys",          std::to_string(c.keys),
                              "--ops",           std::to_string(c.ops),
                              "--seed",          "7",
                              "--hash",          "strong",
                              "--expected-size", "100000"};
    Strings roomy = workload, single = workload;
    roomy.insert(roomy.end(), {"--budget", "2147483647"});
    single.insert(single.end(), {"--budget", "400"});  // 224 fixed + one 110-byte element

    const auto all = fields(osutil(roomy).out);
    EXPECT_EQ(field(all, "evictions"), 0u);
    EXPECT_NEAR(double(field(all, "misses")), distinct, 5 * std::sqrt(distinctVariance) + 1);
    const auto one = fields(osutil(single).out);
    EXPECT_EQ(field(one, "num_entries"), 1u);
    // Adjacent repeats are 1-dependent: a variance of three times the
    // binomial one bounds theirs.
    EXPECT_NEAR(double(field(one, "hits")), repeats, 5 * std::sqrt(3 * repeats) + 1);

    EXPECT_EQ(fields(osutil(roomy).out).at("hits"), all.at("hits"))
        << "the same seed draws the same accesses";
  }
  const auto oneKey = fields(osutil({"cache", "replay", "--synthetic", "zipf:0.99", "--keys", "1",
                                     "--ops", "1000", "--budget", "100000"})
                                 .out);
  EXPECT_EQ(field(oneKey, "hits"), 999u);
  EXPECT_EQ(field(oneKey, "misses"), 1u);
}

TEST_F(OsutilTest, CacheReplaySweepWritesTheMissRatioCurve) {
  const std::string csv = path("curve.csv"), svg = path("curve.svg");
  const RunResult run =
      osutil({"cache", "replay", "--synthetic", "zipf:0.9", "--keys", "2000", "--ops", "20000",
              "--budget", "200000", "--hash", "strong", "--sweep", "--csv", csv, "--svg", svg});
  ASSERT_EQ(run.status, 0) << run.err;

  const Strings rows = lines(readFile(csv));
  ASSERT_EQ(rows.size(), 13u);
  EXPECT_EQ(rows[0], "budget_bytes,accesses,hits,misses,miss_ratio,evictions,refused");
  std::vector<uint64_t> budgets, misses;
  for (size_t i = 1; i < rows.size(); ++i) {
    uint64_t budget, accesses, hits, miss;
    ASSERT_EQ(std::sscanf(rows[i].c_str(), "%lu,%lu,%lu,%lu", &budget, &accesses, &hits, &miss), 4)
        << rows[i];
    EXPECT_EQ(accesses, 20000u);
    EXPECT_EQ(hits + miss, accesses);
    budgets.push_back(budget);
    misses.push_back(miss);
  }
  EXPECT_EQ(budgets.front(), 3125u);  // 200000 / 64
  EXPECT_EQ(budgets.back(), 200000u);
  for (size_t i = 1; i < budgets.size(); ++i) {
    EXPECT_GT(budgets[i], budgets[i - 1]);
    // Equal element sizes make LRU a stack algorithm: a larger cache holds
    // everything a smaller one holds, so it never misses more.
    EXPECT_LE(misses[i], misses[i - 1]) << "budget " << budgets[i];
  }
  EXPECT_GT(misses.front(), misses.back());

  const std::string plot = readFile(svg);
  ASSERT_GT(plot.size(), 7u);
  EXPECT_EQ(plot.rfind("<?xml", 0), 0u);
  EXPECT_NE(plot.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(plot.find("<polyline"), std::string::npos);
  size_t circles = 0;
  for (size_t at = plot.find("<circle"); at != std::string::npos; at = plot.find("<circle", at + 1))
    ++circles;
  EXPECT_EQ(circles, 12u);
  EXPECT_NE(plot.find("log scale"), std::string::npos);
  EXPECT_EQ(plot.substr(plot.size() - 7), "</svg>\n");
}

// ---------------------------------------------------------------------------
// perf
// ---------------------------------------------------------------------------

TEST_F(OsutilTest, PerfReportsTheTimedWorkloadThenClears) {
  const RunResult run = osutil({"perf", "-n", "200"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* expected :
       {"Performance counters at [osutil perf] (For All The Files):\n", "\nbackupitem: count=200 ",
        "\ncustom1: count=200 ", "\ncustom2: count=200 ", "\ncustom3: count=200 ",
        "\nDiskCacheFstat: count=200 ", "after clearPerfCounters: every counter reads zero\n"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }

  ASSERT_EQ(osutil({"registry", "set", "~Zelt", "nzeltDisablePerfCounters", "1"}).status, 0);
  const RunResult disabled = osutil({"perf"});
  EXPECT_EQ(disabled.status, 1);
  EXPECT_NE(disabled.err.find("disabled"), std::string::npos) << disabled.err;
}

}  // namespace
