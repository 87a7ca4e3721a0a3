// End-to-end tests of `osutil perf`'s machine-readable formats and of the
// collector file it writes: the real binary, its output read with real
// parsers.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/metrics_exposition.h"
#include "tests/support/osutil_run.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::Strings;
using testing_support::writeFile;

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

// The gauge objstore_perf_counters_enabled of an exposition.
double enabledGauge(const std::string& text) {
  return testing_support::parseExposition(text).byId("objstore_perf_counters_enabled").at(-1);
}

// lstat's type bits of `path`; 0 when nothing is there.
mode_t typeOf(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

// --textfile replaces a regular file only: a link's target is replaced and
// the link kept; any other kind is refused and stays as it was.
TEST_F(OsutilPerfTest, TextfileReplacesOnlyRegularFiles) {
  fs::create_directory(path("sub"));
  // Relative to the link's directory, not to osutil's: dangling at first.
  fs::create_symlink("sub/real.prom", path("link.prom"));
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  // A reader, so that a regression which writes to the FIFO cannot hang.
  const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  fs::create_symlink("fifo", path("link-to-fifo"));
  writeFile(path("file"), "");
  const std::string refused = "refusing to write '" + path("fifo") + "'";
  auto failed = [this](const std::string& name, int error) {
    return "cannot write '" + path(name) + "': " + std::strerror(error);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"link.prom", ""},  // creates the target
      {"link.prom", ""},  // replaces it
      {"fifo", refused + ": it is a FIFO"},
      {"link-to-fifo", refused + " (the target of '" + path("link-to-fifo") + "'): it is a FIFO"},
      {"sub/", failed("sub/", EISDIR)},
      {"none/", failed("none/", ENOENT)},  // not "Is a directory": nothing is there
      {"file/", failed("file/", ENOTDIR)},
  };
  for (const auto& [name, message] : cases) {
    const std::string plain = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    const mode_t type = typeOf(path(plain));
    const RunResult run = perf({"-n", "1", "--textfile", path(name)});
    EXPECT_EQ(run.status, message.empty() ? 0 : 1) << name << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    if (type != 0) {
      EXPECT_EQ(typeOf(path(plain)), type) << name << " was replaced";
    }
  }
  EXPECT_EQ(enabledGauge(readFile(path("sub/real.prom"))), 1);
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0) << "nothing was written to the FIFO";
  close(reader);
}

// Character devices are written like a stream. Private nodes of the null and
// the full device: the system's own are never touched.
TEST_F(OsutilPerfTest, TextfileWritesACharacterDeviceInPlace) {
  const std::string null = path("null"), full = path("full");
  if (mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
  }
  EXPECT_EQ(perf({"-n", "1", "--textfile", null}).status, 0);
  const RunResult noSpace = perf({"-n", "1", "--textfile", full});
  EXPECT_EQ(noSpace.status, 1);
  EXPECT_NE(noSpace.err.find("cannot write '" + full + "': " + std::strerror(ENOSPC)),
            std::string::npos)
      << noSpace.err;
  EXPECT_EQ(typeOf(null), S_IFCHR);
  EXPECT_EQ(typeOf(full), S_IFCHR);
}

// Disabled counters still write the file, as disabled, so that an earlier
// run's figures do not stay on show; the exit status stays 1.
TEST_F(OsutilPerfTest, DisabledCountersRewriteTheFileAsDisabled) {
  const std::string prom = path("objstore.prom");
  ASSERT_EQ(perf({"-n", "1", "--textfile", prom}).status, 0);
  ASSERT_EQ(
      testing_support::osutil({"registry", "set", "~Zelt", "nzeltDisablePerfCounters", "1"}).status,
      0);
  const RunResult json = perf({"--json", "--textfile", prom});
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(testing_support::parseExposition(readFile(prom)).samples.size(), 1u);
  EXPECT_EQ(enabledGauge(readFile(prom)), 0);
  const nlohmann::json report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report.at("counters_enabled"), false);
  EXPECT_TRUE(report.at("counters").empty());
  EXPECT_EQ(enabledGauge(perf({"--format", "prometheus"}).out), 0);
}

}  // namespace
