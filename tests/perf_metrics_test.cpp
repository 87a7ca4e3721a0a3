// The counters as Prometheus and OpenMetrics expositions, and the atomic
// file for the node exporter's text-file collector, over the process's
// engine enabled from an empty configuration store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "perf/objectStorePerf.h"
#include "perf/perfMetrics.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/enabled_perf_test.h"
#include "tests/support/file_text.h"
#include "tests/support/metrics_exposition.h"

namespace {

namespace fs = std::filesystem;
using ObjectStore::formatPerfMetrics;
using testing_support::Exposition;
using testing_support::parseExposition;
using testing_support::ReadFile;

const char kCount[] = "objstore_perf_operation_duration_seconds_count";

using PerfMetricsTest = testing_support::EnabledPerfTest;

void TimeOperations(int id, int times) {
  for (int i = 0; i < times; ++i) ObjectStore::TimeFunction timer("metrics test", id);
}

TEST_F(PerfMetricsTest, EveryCounterGivesItsFiguresInSeconds) {
  TimeOperations(12, 5);  // "read"
  const Exposition metrics = parseExposition(formatPerfMetrics());
  EXPECT_FALSE(metrics.eof);
  EXPECT_EQ(metrics.byId("objstore_perf_counters_enabled").at(-1), 1);
  const auto counts = metrics.byId(kCount);
  const auto sums = metrics.byId("objstore_perf_operation_duration_seconds_sum");
  const auto mins = metrics.byId("objstore_perf_operation_duration_min_seconds");
  const auto maxes = metrics.byId("objstore_perf_operation_duration_max_seconds");
  ASSERT_EQ(counts.size(), 49u);
  for (int id = 0; id < ObjectStore::PERF_COUNTER_COUNT; ++id) {
    SCOPED_TRACE("counter " + std::to_string(id));
    PerfCounterStats stats;
    ASSERT_TRUE(engine().getStats(id, stats));
    EXPECT_EQ(metrics.samplesById(kCount).at(id).labels.at("counter"), stats.name);
    EXPECT_EQ(counts.at(id), stats.count);
    EXPECT_DOUBLE_EQ(sums.at(id), stats.totalNs / 1e9);
    // No operation yet: no extremes, rather than a made-up 0.
    EXPECT_EQ(std::isnan(mins.at(id)), stats.count == 0);
    EXPECT_EQ(std::isnan(maxes.at(id)), stats.count == 0);
    if (stats.count == 0) continue;
    EXPECT_DOUBLE_EQ(mins.at(id), stats.minNs / 1e9);
    EXPECT_DOUBLE_EQ(maxes.at(id), stats.maxNs / 1e9);
  }
  EXPECT_EQ(counts.at(12), 5);

  engine().enabled = false;  // scopes no longer reach the engine (the fixture sets it again)
  EXPECT_EQ(parseExposition(formatPerfMetrics()).byId("objstore_perf_counters_enabled").at(-1), 0);
}

TEST_F(PerfMetricsTest, OpenMetricsAddsUnitsAndEofToTheSameSamples) {
  TimeOperations(37, 2);
  const Exposition classic = parseExposition(formatPerfMetrics());
  const Exposition open = parseExposition(formatPerfMetrics(ObjectStore::PERF_METRICS_OPENMETRICS));
  EXPECT_TRUE(open.eof);
  EXPECT_EQ(open.samples, classic.samples);
  for (const auto& [name, metadata] : open.families) {
    const bool seconds = name.size() > 8 && name.compare(name.size() - 8, 8, "_seconds") == 0;
    EXPECT_EQ(metadata.count("UNIT") ? metadata.at("UNIT") : "", seconds ? "seconds" : "") << name;
    EXPECT_EQ(classic.families.at(name).count("UNIT"), 0u) << name;
  }
}

TEST_F(PerfMetricsTest, CounterNamesBecomeValidEscapedLabels) {
  const std::string kReplacement = "\xEF\xBF\xBD";
  const struct {
    int id;
    std::string name, label;
  } cases[] = {
      {200, "quote\" backslash\\ newline\n end", "quote\" backslash\\ newline\n end"},
      {201, "caf\xC3\xA9 \xF0\x9F\x92\xBE", "caf\xC3\xA9 \xF0\x9F\x92\xBE"},  // valid UTF-8 stays
      {202, "bad \xFF end", "bad " + kReplacement + " end"},
      {203, "overlong \xC0\xAF", "overlong " + kReplacement + kReplacement},
      {204, "surrogate \xED\xA0\x80", "surrogate " + kReplacement + kReplacement + kReplacement},
      {205, "cut \xE2\x82", "cut " + kReplacement + kReplacement},
      {206, "read", "read"},  // the name of counter 12 again: the id keeps the series apart
  };
  for (const auto& c : cases) {
    ASSERT_EQ(engine().AddPerfCounter(c.id, c.name, CTRBASETYPE_ELAPSED_TIME, false), 0);
  }
  const auto counts = parseExposition(formatPerfMetrics()).samplesById(kCount);
  for (const auto& c : cases) EXPECT_EQ(counts.at(c.id).labels.at("counter"), c.label) << c.id;
}

// ---------------------------------------------------------------------------
// The file for the text-file collector
// ---------------------------------------------------------------------------

class MetricsFileTest : public PerfMetricsTest {
 protected:
  void SetUp() override {
    PerfMetricsTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "objstore-metrics-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename());
    return names;
  }
  std::string dir_;
};

TEST_F(MetricsFileTest, ReplacesTheFileWholeWithMode0644) {
  const std::string path = dir_ + "/objstore.prom";
  std::ofstream(path) << "old contents\n";
  std::ifstream old_reader(path);

  TimeOperations(41, 4);
  const mode_t saved_mask = umask(077);
  const int result = ObjectStore::writePerfMetricsFile(path);
  umask(saved_mask);
  ASSERT_EQ(result, 0);
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  const std::string written = ReadFile(path);
  EXPECT_EQ(written, formatPerfMetrics());
  EXPECT_EQ(parseExposition(written).byId(kCount).at(41), 4);
  // A reader of the old file still reads it whole: the new one replaced it
  // by name instead of being written over it.
  std::string old_line;
  EXPECT_TRUE(std::getline(old_reader, old_line) && old_line == "old contents");
  EXPECT_EQ(entries(), std::set<std::string>{"objstore.prom"});  // no temporary left

  // A name without a folder is relative to the working directory.
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  EXPECT_EQ(ObjectStore::writePerfMetricsFile("relative.prom"), 0);
  fs::current_path(previous);
  EXPECT_EQ(ReadFile(dir_ + "/relative.prom"), written);
}

TEST_F(MetricsFileTest, AFailureSaysWhyAndLeavesNothingBehind) {
  fs::create_directory(dir_ + "/taken");
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {"", EINVAL},
      {dir_ + "/", EISDIR},
      {dir_ + "/missing/objstore.prom", ENOENT},
      {dir_ + "/taken", EISDIR},  // a directory where the file should go
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    testing_support::ScopedCaptureLog log(-1);
    EXPECT_EQ(ObjectStore::writePerfMetricsFile(c.path), c.error);
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].text.rfind("Error: Can't ", 0), 0u) << messages[0].text;
    EXPECT_EQ(entries(), std::set<std::string>{"taken"});
    EXPECT_TRUE(fs::is_empty(dir_ + "/taken"));
  }
}

}  // namespace
