// The stream log writer under several threads and rotations.
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

// Every line of `path` is one whole message of the test's threads; returns how many.
int CountWholeLines(const std::string& path) {
  static const std::regex kWhole(R"(\S+ \S+ 1 f\(\):\d+ thread \d line \d+)");
  std::ifstream in(path);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    EXPECT_TRUE(std::regex_match(line, kWhole)) << line;
  }
  return lines;
}

// Lines from several threads stay whole and none is lost, also while the
// file is renamed and reopened under them as fast as that goes.
TEST(LogWriterThreads, RotationLosesAndSplitsNoLine) {
  char dir[] = "/tmp/objstore_logdir_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/service.log";
  constexpr int kThreads = 4, kLinesEach = 2000;
  int rotations = 0;
  {
    CStreamLogWriter writer(5, path);
    std::atomic<bool> done{false};
    std::thread rotator([&] {
      while (!done.load() && rotations < 200) {
        const std::string rotated = path + "." + std::to_string(++rotations);
        if (std::rename(path.c_str(), rotated.c_str()) != 0) ADD_FAILURE() << "rename";
        EXPECT_EQ(writer.reopen(), 0);
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
      loggers.emplace_back([&writer, t] {
        for (int i = 0; i < kLinesEach; ++i) {
          writer.logMessage(1, "f()", i, 0, 0, "thread %d line %d", t, i);
        }
      });
    }
    for (std::thread& logger : loggers) logger.join();
    done = true;
    rotator.join();
  }
  int lines = CountWholeLines(path);
  for (int i = 1; i <= rotations; ++i) lines += CountWholeLines(path + "." + std::to_string(i));
  std::filesystem::remove_all(dir);
  EXPECT_EQ(lines, kThreads * kLinesEach);
  EXPECT_GT(rotations, 0);
}

}  // namespace
