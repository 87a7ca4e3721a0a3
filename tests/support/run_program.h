// Runs a program as a child process with its standard streams on pipes (or
// files, or a terminal), for end-to-end tests of the command-line tools, and
// reads what it printed.
#ifndef OBJSTORE_TESTS_SUPPORT_RUN_PROGRAM_H_
#define OBJSTORE_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
Streams typed(const std::string& answer);

// Runs `program` (looked up in PATH) with `args`, feeding and draining the
// pipes together so that neither side can block the other. The child gets
// the default SIGPIPE action whatever the test's is.
RunResult runProgram(const std::string& program, const Strings& args, const Streams& streams = {});

// The lines of `text`, without their line breaks.
Strings lines(const std::string& text);

// "name: value" lines, leading blanks dropped, as osutil's commands print them.
std::map<std::string, std::string> fields(const std::string& text);

// The field `name` as a number; a test failure when it is missing.
uint64_t field(const std::map<std::string, std::string>& values, const std::string& name);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// A test that works in a scratch directory of its own, removed with all its
// contents afterwards, and that survives a child closing a pipe early.
class ScratchDirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_RUN_PROGRAM_H_
