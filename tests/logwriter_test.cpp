// The log macros and the ready stream writer.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <boost/make_shared.hpp>

#include "host/LogWriter.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/file_text.h"

namespace {

using testing_support::ReadFile;
using testing_support::ScopedCaptureLog;

int g_evaluations = 0;
const char* CountedArgument() {
  ++g_evaluations;
  return "value";
}

TEST(LogMacro, WritesWhenLevelAllows) {
  struct Case {
    int writer_level;
    int message_level;
    bool written;
  };
  const Case cases[] = {{-1, -1, true}, {-1, 1, false}, {5, 5, true},
                        {4, 5, false},  {3, 4, false},  {-2, -1, false}};
  for (const Case& c : cases) {
    ScopedCaptureLog log(c.writer_level);
    g_evaluations = 0;
    OBJSTORE_LOG(c.message_level, "void f()", "text %s", CountedArgument());
    EXPECT_EQ(log->messages().size(), c.written ? 1u : 0u)
        << c.writer_level << " " << c.message_level;
    // Arguments are evaluated only for a message that is written.
    EXPECT_EQ(g_evaluations, c.written ? 1 : 0);
  }
}

TEST(LogMacro, PassesLevelSignatureZeroesAndFormattedText) {
  ScopedCaptureLog log(-1);
  OBJSTORE_LOG(-1, "int g(int)", "Error: value [%d] is invalid.", 42);
  auto messages = log->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, -1);
  EXPECT_EQ(messages[0].function, "int g(int)");
  EXPECT_EQ(messages[0].format, "Error: value [%d] is invalid.");
  EXPECT_EQ(messages[0].text, "Error: value [42] is invalid.");
  EXPECT_EQ(messages[0].reserved1, 0);
  EXPECT_EQ(messages[0].reserved2, 0);
  EXPECT_EQ(log->level_queries(), 1);
}

TEST(LogMacro, AlwaysPathSkipsTheLevelQuery) {
  ScopedCaptureLog log(-5);
  OBJSTORE_LOG_ALWAYS(-1, "int h()", "Error: Can't parse [%s]: [%s]", "n", "x");
  ASSERT_EQ(log->texts(), std::vector<std::string>{"Error: Can't parse [n]: [x]"});
  EXPECT_EQ(log->level_queries(), 0);
}

TEST(LogMacro, NoWriterWritesNothingAndEvaluatesNothing) {
  g_ptrLogWriter.reset();
  g_evaluations = 0;
  OBJSTORE_LOG(-1, "void f()", "%s", CountedArgument());
  OBJSTORE_LOG_ALWAYS(-1, "void f()", "%s", CountedArgument());
  EXPECT_EQ(g_evaluations, 0);
}

TEST(StreamLogWriter, WritesOneLinePerMessageToAFile) {
  char path[] = "/tmp/objstore_log_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    auto writer = boost::make_shared<CStreamLogWriter>(2, path);
    ASSERT_TRUE(writer->ok());
    g_ptrLogWriter = writer;
    OBJSTORE_LOG(-1, "int a(int)", "Error: first [%d]", 1);
    OBJSTORE_LOG(5, "int a(int)", "trace not written");
    writer->setLogLevel(5);
    OBJSTORE_LOG(5, "int a(int)", "second");
    g_ptrLogWriter.reset();
  }
  std::string text = ReadFile(path);
  unlink(path);
  // "date time level function:line message"
  EXPECT_NE(text.find(" -1 int a(int):"), std::string::npos) << text;
  EXPECT_NE(text.find(" Error: first [1]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("trace not written"), std::string::npos) << text;
  EXPECT_NE(text.find(" 5 int a(int):"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

// A fresh folder under /tmp, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/objstore_logdir_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// logrotate's create rotation: the file is renamed, the host calls reopen().
TEST(StreamLogWriter, ReopenFollowsARenameToTheNewFile) {
  ScratchDir dir;
  const std::string path = dir / "service.log", rotated = dir / "service.log.1";
  {
    CStreamLogWriter writer(5, path);
    writer.logMessage(1, "f()", 1, 0, 0, "before rotation");
    ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
    writer.logMessage(1, "f()", 2, 0, 0, "still to the renamed file");
    EXPECT_EQ(writer.reopen(), 0);
    writer.logMessage(1, "f()", 3, 0, 0, "to the new file");
  }
  const std::string old_text = ReadFile(rotated), new_text = ReadFile(path);
  EXPECT_NE(old_text.find(" still to the renamed file\n"), std::string::npos) << old_text;
  EXPECT_EQ(std::count(old_text.begin(), old_text.end(), '\n'), 2);
  EXPECT_NE(new_text.find(" to the new file\n"), std::string::npos) << new_text;
  EXPECT_EQ(std::count(new_text.begin(), new_text.end(), '\n'), 1);
}

// A writer that could not open its file at first gets it by reopening; a
// failed reopen keeps the present file and says so there.
TEST(StreamLogWriter, AFailedReopenKeepsThePresentFile) {
  ScratchDir dir;
  const std::string sub = dir / "sub", path = sub + "/service.log", kept = dir / "kept.log";
  CStreamLogWriter writer(-1, path);
  EXPECT_FALSE(writer.ok());  // no folder yet: on stderr
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_EQ(writer.reopen(), 0);
  EXPECT_TRUE(writer.ok());
  writer.logMessage(-1, "f()", 1, 0, 0, "in the file");

  ASSERT_EQ(rename(path.c_str(), kept.c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  EXPECT_EQ(writer.reopen(), ENOENT);
  writer.logMessage(-1, "f()", 2, 0, 0, "still in that file");
  const std::string text = ReadFile(kept);
  for (const std::string& line : {std::string(" in the file\n"),
                                  "Error: Can't open [" + path + "]: No such file or directory\n",
                                  std::string(" still in that file\n")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
}

}  // namespace
