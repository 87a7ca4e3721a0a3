// End-to-end tests of `osutil perf`'s machine-readable formats and of the
// collector file it writes: the real binary, its output read with real
// parsers.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/metrics_exposition.h"
#include "tests/support/temp_registry.h"

#ifndef OSUTIL_BINARY
#define OSUTIL_BINARY ""
#endif

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The counters the workload feeds once per iteration.
const std::set<int> kWorkloadCounters = {2, 37, 38, 39, 41};

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

  // Runs `osutil perf ARGS...` through the shell; the arguments hold no quote.
  RunResult perf(const Strings& args) const {
    std::string command = std::string("'") + OSUTIL_BINARY + "' perf";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " 2>'" + dir_ + "/stderr'";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "popen: " << command;
      return result;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = readFile(dir_ + "/stderr");
    return result;
  }

  testing_support::TempRegistry registry_{"osutil-perf"};  // counters on, whatever the machine says
  std::string dir_;
};

TEST_F(OsutilPerfTest, JsonIsOneObjectWithEveryCounter) {
  const RunResult run = perf({"--json", "-n", "25"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out);  // exactly one value
  EXPECT_EQ(report.at("iterations"), 25);
  EXPECT_EQ(report.at("counters_enabled"), true);
  EXPECT_EQ(report.at("counted"), true);
  EXPECT_EQ(report.at("cleared"), true);
  const nlohmann::json& counters = report.at("counters");
  ASSERT_EQ(counters.size(), 49u);
  EXPECT_EQ(counters[41].at("name"), "DiskCacheFstat");
  for (int id = 0; id < 49; ++id) {
    const nlohmann::json& counter = counters[id];
    EXPECT_EQ(counter.at("id"), id);
    if (!kWorkloadCounters.count(id)) {
      EXPECT_EQ(counter.at("count"), 0) << id;
      EXPECT_TRUE(counter.at("min_ns").is_null() && counter.at("max_ns").is_null()) << id;
      continue;
    }
    EXPECT_EQ(counter.at("count"), 25) << id;
    const uint64_t min = counter.at("min_ns"), max = counter.at("max_ns");
    const uint64_t total = counter.at("total_ns");
    EXPECT_TRUE(min <= max && 25 * min <= total && total <= 25 * max) << counter;
  }
}

TEST_F(OsutilPerfTest, ExpositionsAndTheCollectorFileCountTheWorkload) {
  const std::string prom = dir_ + "/objstore.prom";
  for (const char* format : {"prometheus", "openmetrics"}) {
    SCOPED_TRACE(format);
    const RunResult run = perf({"--format", format, "-n", "12", "--textfile", prom});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto printed = testing_support::parseExposition(run.out);
    EXPECT_EQ(printed.eof, std::string(format) == "openmetrics");
    // The collector reads the Prometheus text format, whatever was printed.
    const auto written = testing_support::parseExposition(readFile(prom));
    EXPECT_FALSE(written.eof);
    EXPECT_EQ(written.samples, printed.samples);
    for (int id : kWorkloadCounters) {
      EXPECT_EQ(written.byId("objstore_perf_operation_duration_seconds_count").at(id), 12) << id;
    }
  }
  struct stat status;
  ASSERT_EQ(stat(prom.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);

  const std::string nowhere = dir_ + "/missing/objstore.prom";
  const RunResult failed = perf({"-n", "1", "--textfile", nowhere});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("cannot write '" + nowhere + "': No such file or directory"),
            std::string::npos)
      << failed.err;
}

TEST_F(OsutilPerfTest, BadFormatOptionsAreUsageErrors) {
  for (const Strings& args :
       {Strings{"--format", "xml"}, Strings{"--json", "--format", "text"}, Strings{"--textfile="}}) {
    const RunResult run = perf(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("Try 'osutil perf --help'."), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
