// Runs osutil, or any program, as a child with pipes on its standard streams,
// for the end-to-end tests of the command-line tool; and the fixture those
// tests share.
#ifndef OBJSTORE_TESTS_SUPPORT_OSUTIL_RUN_H_
#define OBJSTORE_TESTS_SUPPORT_OSUTIL_RUN_H_

#include <signal.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_registry.h"

// The build defines it for every osutil_*_test; empty elsewhere, and the
// fixture then skips.
#ifndef OSUTIL_BINARY
#define OSUTIL_BINARY ""
#endif

namespace testing_support {

using Strings = std::vector<std::string>;

struct RunResult {
  int status = -1;  // exit status; 128 + signal when the program was killed
  std::string out;
  std::string err;
};

// Where the child's standard input comes from and its output goes.
struct Streams {
  std::string input;             // written to a pipe, unless inputPath or ttyInput is set
  std::string inputPath;         // a file opened as standard input
  std::string outputPath;        // a file that receives standard output instead of `out`
  bool ttyInput = false;         // a pseudo-terminal, fed `input`
  std::string workingDirectory;  // the child's, when set
};

Streams piped(const std::string& input);
Streams throughFiles(const std::string& inputPath, const std::string& outputPath);
// A pseudo-terminal on standard input, fed `answer`.
Streams typed(const std::string& answer);

// Runs `program` (looked up in PATH) with `args`, feeding and draining the
// pipes together so that neither side can block the other.
RunResult runProgram(const std::string& program, const Strings& args, const Streams& streams = {});

inline RunResult osutil(const Strings& args, const Streams& streams = {}) {
  return runProgram(OSUTIL_BINARY, args, streams);
}

Strings lines(const std::string& text);
// "name: value" lines, leading blanks dropped, as the replay and fs
// commands print them.
std::map<std::string, std::string> fields(const std::string& text);
// The named field as a number; a test failure when it is missing.
uint64_t field(const std::map<std::string, std::string>& values, const std::string& name);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// Every test gets a scratch directory and a private configuration store,
// which the child processes inherit through the environment.
class OsutilTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    if (std::string(OSUTIL_BINARY).empty()) GTEST_SKIP() << "built without the osutil binary";
    std::string pattern = (std::filesystem::temp_directory_path() / "osutil-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  testing_support::TempRegistry registry_{"osutil-e2e"};
  std::string dir_;
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_OSUTIL_RUN_H_
