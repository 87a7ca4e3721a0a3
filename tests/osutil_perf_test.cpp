// End-to-end tests of `osutil perf`'s machine-readable formats and of the
// collector file it writes: the real binary, its output read with real
// parsers.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/metrics_exposition.h"
#include "tests/support/temp_registry.h"

#ifndef OSUTIL_BINARY
#define OSUTIL_BINARY ""
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The counters the workload feeds once per iteration.
const int kWorkloadCounters[] = {2, 37, 38, 39, 41};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RunResult {
  int status = -1;
  std::string out, err;
};

class OsutilPerfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(OSUTIL_BINARY).empty()) GTEST_SKIP() << "built without the osutil binary";
    std::string pattern = (fs::temp_directory_path() / "osutil-perf-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Runs `osutil perf ARGS...` with its output streams in files of the scratch folder.
  RunResult perf(const Strings& args) const {
    const std::string outPath = dir_ + "/stdout", errPath = dir_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), flags, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), flags, 0600);
    Strings all = {OSUTIL_BINARY, "perf"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid;
    RunResult result;
    const int error = posix_spawn(&pid, OSUTIL_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int wstatus = 0;
    if (error != 0 || waitpid(pid, &wstatus, 0) != pid) {
      ADD_FAILURE() << "cannot run " << OSUTIL_BINARY;
      return result;
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
  }

  testing_support::TempRegistry registry_{"osutil-perf"};  // counters on, whatever the machine says
  std::string dir_;
};

TEST_F(OsutilPerfTest, JsonIsOneObjectWithEveryCounter) {
  for (const Strings& args :
       {Strings{"--json"}, Strings{"--format", "json"}, Strings{"--format=json"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Strings withCount = args;
    withCount.insert(withCount.end(), {"-n", "25"});
    const RunResult run = perf(withCount);
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);  // exactly one value
    EXPECT_EQ(report.at("iterations"), 25);
    EXPECT_GE(report.at("elapsed_seconds").get<double>(), 0);
    EXPECT_EQ(report.at("counters_enabled"), true);
    EXPECT_EQ(report.at("counted"), true);
    EXPECT_EQ(report.at("cleared"), true);
    const nlohmann::json& counters = report.at("counters");
    ASSERT_EQ(counters.size(), 49u);
    EXPECT_EQ(counters[41].at("name"), "DiskCacheFstat");
    for (size_t id = 0; id < counters.size(); ++id) {
      const nlohmann::json& counter = counters[id];
      EXPECT_EQ(counter.at("id"), id);
      const bool fed = std::count(std::begin(kWorkloadCounters), std::end(kWorkloadCounters), id);
      EXPECT_EQ(counter.at("count"), fed ? 25 : 0) << id;
      if (!fed) {
        EXPECT_TRUE(counter.at("min_ns").is_null() && counter.at("max_ns").is_null()) << id;
        continue;
      }
      const uint64_t min = counter.at("min_ns"), max = counter.at("max_ns");
      const uint64_t total = counter.at("total_ns");
      EXPECT_LE(min, max) << id;
      EXPECT_LE(25 * min, total) << id;
      EXPECT_LE(total, 25 * max) << id;
    }
  }
}

TEST_F(OsutilPerfTest, ExpositionsParseAndCountTheWorkload) {
  for (const char* format : {"prometheus", "openmetrics"}) {
    SCOPED_TRACE(format);
    const RunResult run = perf({"--format", format, "-n", "12"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto metrics = testing_support::parseExposition(run.out);
    EXPECT_EQ(metrics.eof, std::string(format) == "openmetrics");
    const auto counts = metrics.byId("objstore_perf_operation_duration_seconds_count");
    EXPECT_EQ(counts.size(), 49u);
    for (int id : kWorkloadCounters) EXPECT_EQ(counts.at(id).value, 12) << id;
  }
}

TEST_F(OsutilPerfTest, TextfileIsWrittenForTheCollector) {
  const std::string prom = dir_ + "/objstore.prom";
  const RunResult run = perf({"-n", "7", "--textfile", prom});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("after clearPerfCounters: every counter reads zero"), std::string::npos);
  struct stat status;
  ASSERT_EQ(stat(prom.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  const auto metrics = testing_support::parseExposition(readFile(prom));
  EXPECT_FALSE(metrics.eof);  // the collector reads the Prometheus text format
  EXPECT_EQ(metrics.byId("objstore_perf_operation_duration_seconds_count").at(37).value, 7);

  const std::string nowhere = dir_ + "/missing/objstore.prom";
  const RunResult failed = perf({"-n", "1", "--textfile", nowhere});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("cannot write '" + nowhere + "': No such file or directory"),
            std::string::npos)
      << failed.err;
}

TEST_F(OsutilPerfTest, BadFormatOptionsAreUsageErrors) {
  for (const Strings& args : {Strings{"--format", "xml"}, Strings{"--json", "--format", "text"},
                              Strings{"--textfile="}, Strings{"--format"}, Strings{"--json=yes"}}) {
    const RunResult run = perf(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("Try 'osutil perf --help'."), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
