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
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "perf/objectStorePerf.h"
#include "perf/perfMetrics.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/metrics_exposition.h"
#include "tests/support/temp_registry.h"

namespace {

namespace fs = std::filesystem;
using ObjectStore::formatPerfMetrics;
using ObjectStore::PERF_METRICS_OPENMETRICS;
using ObjectStore::PERF_METRICS_PROMETHEUS;
using testing_support::Exposition;
using testing_support::parseExposition;

const char kCount[] = "objstore_perf_operation_duration_seconds_count";
const char kSum[] = "objstore_perf_operation_duration_seconds_sum";
const char kMin[] = "objstore_perf_operation_duration_min_seconds";
const char kMax[] = "objstore_perf_operation_duration_max_seconds";

class PerfMetricsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { registry_.emplace(nullptr); }
  static void TearDownTestSuite() { registry_.reset(); }
  void SetUp() override {
    ObjectStore::InitPerfCounters();
    ASSERT_TRUE(ObjectStore::g_object_store_enable_perf);
    ObjectStore::clearPerfCounters();
  }
  static ThrdPerfCounter& engine() { return *ObjectStore::g_object_store_counter; }
  static std::optional<testing_support::TempRegistry> registry_;
};
std::optional<testing_support::TempRegistry> PerfMetricsTest::registry_;

void timeOperations(int id, int times) {
  for (int i = 0; i < times; ++i) ObjectStore::TimeFunction timer("metrics test", id);
}

TEST_F(PerfMetricsTest, EveryCounterGivesItsFiguresInSeconds) {
  timeOperations(12, 5);  // "read"
  timeOperations(13, 3);  // "unlink"
  const Exposition metrics = parseExposition(formatPerfMetrics());
  EXPECT_FALSE(metrics.eof);
  EXPECT_EQ(metrics.families.at("objstore_perf_counters_enabled").type, "gauge");
  EXPECT_EQ(metrics.families.at("objstore_perf_operation_duration_seconds").type, "summary");
  EXPECT_EQ(metrics.families.at(kMin).type, "gauge");
  EXPECT_EQ(metrics.families.at(kMax).type, "gauge");
  EXPECT_EQ(metrics.byId("objstore_perf_counters_enabled").at(-1).value, 1);

  const auto counts = metrics.byId(kCount), sums = metrics.byId(kSum);
  const auto mins = metrics.byId(kMin), maxes = metrics.byId(kMax);
  for (int id = 0; id < ObjectStore::PERF_COUNTER_COUNT; ++id) {
    SCOPED_TRACE("counter " + std::to_string(id));
    PerfCounterStats stats;
    ASSERT_TRUE(engine().getStats(id, stats));
    for (const auto* family : {&counts, &sums, &mins, &maxes}) {
      ASSERT_EQ(family->count(id), 1u);
      EXPECT_EQ(family->at(id).labels.at("counter"), stats.name);
    }
    EXPECT_EQ(counts.at(id).value, static_cast<double>(stats.count));
    EXPECT_DOUBLE_EQ(sums.at(id).value, stats.totalNs / 1e9);
    if (stats.count == 0) {
      EXPECT_TRUE(std::isnan(mins.at(id).value));
      EXPECT_TRUE(std::isnan(maxes.at(id).value));
    } else {
      EXPECT_DOUBLE_EQ(mins.at(id).value, stats.minNs / 1e9);
      EXPECT_DOUBLE_EQ(maxes.at(id).value, stats.maxNs / 1e9);
    }
  }
  EXPECT_EQ(counts.at(12).value, 5);
  EXPECT_EQ(counts.at(13).value, 3);
  EXPECT_GT(sums.at(12).value, 0);
  EXPECT_LE(mins.at(12).value, maxes.at(12).value);

  // With the engine's own switch off, scopes no longer count.
  engine().enabled = false;
  const Exposition off = parseExposition(formatPerfMetrics());
  EXPECT_EQ(off.byId("objstore_perf_counters_enabled").at(-1).value, 0);
  engine().enabled = true;
}

TEST_F(PerfMetricsTest, OpenMetricsAddsUnitsAndEofToTheSameSamples) {
  timeOperations(37, 2);
  const Exposition classic = parseExposition(formatPerfMetrics(PERF_METRICS_PROMETHEUS));
  const std::string text = formatPerfMetrics(PERF_METRICS_OPENMETRICS);
  const Exposition open = parseExposition(text);
  EXPECT_TRUE(open.eof);
  EXPECT_EQ(text.substr(text.size() - 6), "# EOF\n");
  EXPECT_EQ(open.samples, classic.samples);
  for (const auto& [name, family] : open.families) {
    const bool inSeconds = name.size() > 8 && name.substr(name.size() - 8) == "_seconds";
    EXPECT_EQ(family.unit, inSeconds ? "seconds" : "") << name;
    EXPECT_EQ(classic.families.at(name).unit, "") << name;
  }
  // An unknown format value falls back to the Prometheus text format.
  EXPECT_EQ(formatPerfMetrics(static_cast<ObjectStore::PerfMetricsFormat>(7)),
            formatPerfMetrics(PERF_METRICS_PROMETHEUS));
}

TEST_F(PerfMetricsTest, CounterNamesBecomeValidEscapedLabels) {
  struct Case {
    int id;
    std::string name, label;
  };
  const Case cases[] = {
      {200, "quote\" backslash\\ newline\n end", "quote\" backslash\\ newline\n end"},
      {201, "caf\xC3\xA9 \xF0\x9F\x92\xBE", "caf\xC3\xA9 \xF0\x9F\x92\xBE"},  // valid UTF-8 stays
      {202, "bad \xFF end", "bad \xEF\xBF\xBD end"},
      {203, "overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {204, "surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {205, "cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {206, "read", "read"},  // the name of counter 12 again: the id keeps the series apart
  };
  for (const Case& c : cases) {
    ASSERT_EQ(engine().AddPerfCounter(c.id, c.name, CTRBASETYPE_ELAPSED_TIME, false), 0);
  }
  const Exposition metrics = parseExposition(formatPerfMetrics());
  const auto counts = metrics.byId(kCount);
  for (const Case& c : cases) {
    ASSERT_EQ(counts.count(c.id), 1u) << c.id;
    EXPECT_EQ(counts.at(c.id).labels.at("counter"), c.label) << c.id;
  }
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
  static std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
      text.append(buffer, static_cast<size_t>(n));
    return text;
  }
  std::string dir_;
};

TEST_F(MetricsFileTest, ReplacesTheFileWholeWithMode0644) {
  const std::string path = dir_ + "/objstore.prom";
  std::ofstream(path) << "old contents\n";
  const int oldFd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(oldFd, 0);

  timeOperations(41, 4);
  const mode_t savedMask = umask(077);
  const int result = ObjectStore::writePerfMetricsFile(path);
  umask(savedMask);
  ASSERT_EQ(result, 0);

  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  const std::string written = readFile(path);
  EXPECT_EQ(written, formatPerfMetrics());
  EXPECT_EQ(parseExposition(written).byId(kCount).at(41).value, 4);
  // A reader that had the old file open still reads it whole: the new one
  // replaced it by name instead of being written over it.
  EXPECT_EQ(readAll(oldFd), "old contents\n");
  close(oldFd);
  EXPECT_EQ(entries(), std::set<std::string>{"objstore.prom"});  // no temporary left

  // A path without a folder is relative to the working directory.
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  EXPECT_EQ(ObjectStore::writePerfMetricsFile("relative.prom", PERF_METRICS_OPENMETRICS), 0);
  fs::current_path(previous);
  EXPECT_TRUE(parseExposition(readFile(dir_ + "/relative.prom")).eof);
}

TEST_F(MetricsFileTest, AFailureSaysWhyAndLeavesNothingBehind) {
  fs::create_directory(dir_ + "/taken");
  struct Case {
    std::string path;
    int error;
  };
  const Case cases[] = {
      {"", EINVAL},
      {dir_ + "/", EISDIR},
      {dir_ + "/missing/objstore.prom", ENOENT},
      {dir_ + "/taken", EISDIR},  // a directory where the file should go
  };
  for (const Case& c : cases) {
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
