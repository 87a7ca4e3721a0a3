// End-to-end tests of `osutil perf`'s machine-readable formats and of the
// collector file it writes: the real binary, its output read with real
// parsers.
#include <sys/stat.h>

#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/metrics_exposition.h"
#include "tests/support/osutil_run.h"

namespace {

using testing_support::readFile;
using testing_support::RunResult;
using testing_support::Strings;

// The counters the workload feeds once per iteration.
const std::set<int> kWorkloadCounters = {2, 37, 38, 39, 41};

// The private configuration store of the fixture leaves the counters on,
// whatever the machine's store says.
class OsutilPerfTest : public testing_support::OsutilTest {
 protected:
  RunResult perf(Strings args) const {
    args.insert(args.begin(), "perf");
    return testing_support::osutil(args);
  }
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
  const std::string prom = path("objstore.prom");
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

  const std::string nowhere = path("missing/objstore.prom");
  const RunResult failed = perf({"-n", "1", "--textfile", nowhere});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("cannot write '" + nowhere + "': No such file or directory"),
            std::string::npos)
      << failed.err;
}

TEST_F(OsutilPerfTest, BadFormatOptionsAreUsageErrors) {
  for (const Strings& args : {Strings{"--format", "xml"}, Strings{"--json", "--format", "text"},
                              Strings{"--textfile="}}) {
    const RunResult run = perf(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("Try 'osutil perf --help'."), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
