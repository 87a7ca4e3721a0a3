// The log macros and the ready stream writer.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/LogWriter.h"
#include "tests/support/capture_log_writer.h"

namespace {

using testing_support::ScopedCaptureLog;

int g_evaluations = 0;
const char* counted_argument() {
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
    OBJSTORE_LOG(c.message_level, "void f()", "text %s", counted_argument());
    EXPECT_EQ(log->messages().size(), c.written ? 1u : 0u) << c.writer_level << " " << c.message_level;
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
  OBJSTORE_LOG(-1, "void f()", "%s", counted_argument());
  OBJSTORE_LOG_ALWAYS(-1, "void f()", "%s", counted_argument());
  EXPECT_EQ(g_evaluations, 0);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
  std::string text = read_file(path);
  unlink(path);
  // "date time level function:line message"
  EXPECT_NE(text.find(" -1 int a(int):"), std::string::npos) << text;
  EXPECT_NE(text.find(" Error: first [1]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("trace not written"), std::string::npos) << text;
  EXPECT_NE(text.find(" 5 int a(int):"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(StreamLogWriter, UnopenableFileFallsBackToStderr) {
  CStreamLogWriter writer(1, "/nonexistent-dir/log");
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(writer.getLogLevel(), 1);
}

TEST(StreamLogWriter, LinesFromManyThreadsStayWhole) {
  char path[] = "/tmp/objstore_log_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    CStreamLogWriter writer(5, path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&writer, t] {
        for (int i = 0; i < 200; ++i) writer.logMessage(1, "f()", i, 0, 0, "thread %d line %d", t, i);
      });
    for (std::thread& th : threads) th.join();
  }
  std::ifstream in(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    EXPECT_NE(line.find(" 1 f():"), std::string::npos) << line;
    EXPECT_NE(line.find("thread "), std::string::npos) << line;
  }
  unlink(path);
  EXPECT_EQ(lines, 800);
}

}  // namespace
