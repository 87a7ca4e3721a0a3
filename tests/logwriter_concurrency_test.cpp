// The stream log writer under several threads: whole lines, also while the
// file is rotated and reopened underneath them.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/LogWriter.h"

namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 4;

// Every line of `path` is one whole message of logThreads(); returns how many.
int countWholeLines(const std::string& path) {
  static const std::regex kWhole(R"(\S+ \S+ 1 f\(\):\d+ thread \d line \d+)");
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    EXPECT_TRUE(std::regex_match(line, kWhole)) << line;
  }
  return lines;
}

void logThreads(CStreamLogWriter& writer, int linesEach) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&writer, t, linesEach] {
      for (int i = 0; i < linesEach; ++i) {
        writer.logMessage(1, "f()", i, 0, 0, "thread %d line %d", t, i);
      }
    });
  for (std::thread& th : threads) th.join();
}

class LogWriterThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/objstore_logdir_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(LogWriterThreads, LinesStayWhole) {
  const std::string path = dir_ + "/service.log";
  {
    CStreamLogWriter writer(5, path);
    logThreads(writer, 200);
  }
  EXPECT_EQ(countWholeLines(path), kThreads * 200);
}

TEST_F(LogWriterThreads, RotationLosesAndSplitsNoLine) {
  const std::string path = dir_ + "/service.log";
  constexpr int kLinesEach = 2000;
  int rotations = 0;
  {
    CStreamLogWriter writer(5, path);
    std::atomic<bool> done{false};
    std::thread rotator([&] {
      // Rotations as fast as they come, while the threads log.
      while (!done.load() && rotations < 200) {
        const std::string rotated = path + "." + std::to_string(++rotations);
        if (std::rename(path.c_str(), rotated.c_str()) != 0) ADD_FAILURE() << "rename";
        EXPECT_EQ(writer.reopen(), 0);
        std::this_thread::yield();
      }
    });
    logThreads(writer, kLinesEach);
    done = true;
    rotator.join();
  }
  int lines = countWholeLines(path);
  for (int i = 1; i <= rotations; ++i) lines += countWholeLines(path + "." + std::to_string(i));
  EXPECT_EQ(lines, kThreads * kLinesEach);
  EXPECT_GT(rotations, 0);
}

}  // namespace
