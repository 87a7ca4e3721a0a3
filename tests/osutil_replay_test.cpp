// End-to-end tests of `osutil cache replay`: where its outputs go, which
// traces it refuses, and its JSON.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/osutil_run.h"

namespace {

namespace fs = std::filesystem;
using testing_support::fields;
using testing_support::lines;
using testing_support::piped;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::Streams;
using testing_support::Strings;
using testing_support::writeFile;

const Strings kSweep = {"cache", "replay",   "--synthetic", "zipf:0.9", "--keys", "500",    "--ops",
                        "5000",  "--budget", "60000",       "--hash",   "strong", "--sweep"};

Strings with(Strings args, const Strings& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Each test runs osutil in its scratch directory.
class ReplayTest : public testing_support::OsutilTest {
 protected:
  RunResult osutil(const Strings& args, Streams streams = {}) const {
    streams.workingDirectory = dir_;
    return testing_support::osutil(args, streams);
  }
};

TEST_F(ReplayTest, CsvDashWritesTheCurveToStandardOutputAlone) {
  const RunResult run = osutil(with(kSweep, {"--csv", "-", "--svg", "curve.svg"}));
  ASSERT_EQ(run.status, 0) << run.err;
  const Strings rows = lines(run.out);
  ASSERT_EQ(rows.size(), 13u) << run.out;
  EXPECT_EQ(rows[0], "budget_bytes,accesses,hits,misses,miss_ratio,evictions,refused");
  EXPECT_FALSE(fs::exists(path("-")));
  EXPECT_EQ(readFile(path("curve.svg")).rfind("<?xml", 0), 0u);
}

// Two names of one file, or an output that is the trace, are refused before
// anything is read or written.
TEST_F(ReplayTest, OutputsThatNameOneFileAreRefused) {
  const std::string trace = "a 10\nb 20\na\n";
  writeFile(path("trace.txt"), trace);
  ASSERT_EQ(link(path("trace.txt").c_str(), path("trace-link.txt").c_str()), 0);
  writeFile(path("old.csv"), "old");
  ASSERT_EQ(symlink("old.csv", path("old-alias.csv").c_str()), 0);
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  Streams traceOnStdin;
  traceOnStdin.inputPath = path("trace.txt");
  const Strings fromTrace = {"cache", "replay", "trace.txt", "--budget", "2000", "--sweep"};
  const Strings fromStdin = {"cache", "replay", "-", "--budget", "2000", "--sweep"};
  const struct {
    Strings args;
    Streams streams;
    const char* message;
  } cases[] = {
      {with(kSweep, {"--csv", "out", "--svg", "out"}), {}, "name the same file"},
      {with(kSweep, {"--csv", "new.csv", "--svg", "sub/../new.csv"}), {}, "name the same file"},
      {with(kSweep, {"--csv", "old.csv", "--svg", "old-alias.csv"}), {}, "name the same file"},
      {with(kSweep, {"--csv", "-", "--svg", "-"}), {}, "name the same file"},
      {with(fromTrace, {"--csv", "trace.txt"}), {}, "is the trace"},
      {with(fromTrace, {"--svg", "./trace-link.txt"}), {}, "is the trace"},
      {with(fromStdin, {"--csv", "trace.txt"}), traceOnStdin, "is the trace"},
      {with(kSweep, {"--json", "--csv", "-"}), {}, "standard output"},
  };
  for (const auto& c : cases) {
    const RunResult run = osutil(c.args, c.streams);
    const std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << "\n" << run.err;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_EQ(readFile(path("trace.txt")), trace);
  EXPECT_EQ(readFile(path("old.csv")), "old");
  EXPECT_FALSE(fs::exists(path("out")));

  // A character device keeps nothing that a second write could destroy.
  EXPECT_EQ(osutil(with(kSweep, {"--csv", "/dev/null", "--svg", "/dev/null"})).status, 0);
}

// A NUL would cut the key short; a long line is refused from the bytes read so
// far, so memory stays bounded whatever the line's length.
TEST_F(ReplayTest, MalformedTraceLinesAreRefusedWithTheirNumber) {
  const Strings replay = {"cache", "replay", "-", "--budget", "100000"};
  const struct {
    std::string trace;
    const char* message;
  } cases[] = {
      {std::string("a\nb\0c 10\n", 9), "standard input line 2: NUL byte"},
      {"key" + std::string(2 << 20, ' ') + "1\n",
       "standard input line 1: line longer than 1048640"},
  };
  for (const auto& c : cases) {
    const RunResult run = osutil(replay, piped(c.trace));
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }

  // A 512 MiB line (a sparse file: NUL bytes that take no disk) under a
  // 256 MiB address-space limit, which the sanitizers' own reservations
  // would exceed: only reading a bounded part of the line stays under it.
  const std::string huge = path("huge-line");
  writeFile(huge, "k");
  ASSERT_EQ(truncate(huge.c_str(), off_t{512} << 20), 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string limit = "";
#else
  const std::string limit = "ulimit -v 262144 && ";
#endif
  Streams fromFile;
  fromFile.inputPath = huge;
  const RunResult run = testing_support::runProgram(
      "/bin/sh", with({"-c", limit + "exec \"$0\" \"$@\"", OSUTIL_BINARY}, replay), fromFile);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("standard input line 1: key longer than 1048576 bytes"), std::string::npos)
      << run.err;
}

TEST_F(ReplayTest, JsonCarriesTheFiguresOfTheText) {
  const Strings replay = {"cache", "replay", "-", "--budget", "500", "--expected-size", "100"};
  const std::string trace = "a\nb\na\nc\nb\na\na\nb\nc\nb\n";
  const RunResult text = osutil(replay, piped(trace));
  const RunResult json = osutil(with(replay, {"--json"}), piped(trace));
  ASSERT_EQ(json.status, 0) << json.err;
  const auto values = fields(text.out);
  const nlohmann::json parsed = nlohmann::json::parse(json.out);
  EXPECT_EQ(parsed.at("workload"), "trace standard input");
  EXPECT_EQ(parsed.at("threads"), 1);
  for (const char* name : {"accesses", "hits", "misses", "evictions", "replaced", "refused"})
    EXPECT_EQ(parsed.at(name).get<uint64_t>(), std::stoull(values.at(name))) << name;
  for (const char* name : {"num_entries", "cur_bytes", "num_inserts", "num_hits"})
    EXPECT_EQ(parsed.at("cache").at(name).get<uint64_t>(), std::stoull(values.at(name))) << name;
  EXPECT_EQ(parsed.at("buckets").at("num_buckets"), 2);
  EXPECT_DOUBLE_EQ(parsed.at("hit_ratio").get<double>(), 0.4);
  EXPECT_EQ(parsed.at("latency_ns").at("samples"), 1);

  // A name that is not UTF-8 still gives valid JSON, the byte replaced.
  writeFile(path("tr\xff"
                 "ce"),
            trace);
  const RunResult named = osutil({"cache", "replay",
                                  "tr\xff"
                                  "ce",
                                  "--budget", "500", "--json"});
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(nlohmann::json::parse(named.out).at("workload"), "trace 'tr\uFFFDce'");

  // The sweep's rows are in the JSON, so no file is written unless named.
  const RunResult sweep = osutil(with(kSweep, {"--json"}));
  ASSERT_EQ(sweep.status, 0) << sweep.err;
  const nlohmann::json curve = nlohmann::json::parse(sweep.out);
  ASSERT_EQ(curve.at("sweep").size(), 12u);
  EXPECT_EQ(curve.at("sweep").front().at("budget_bytes"), 938);  // 60000 / 64, rounded
  EXPECT_EQ(curve.at("sweep").back().at("budget_bytes"), 60000);
  for (const nlohmann::json& row : curve.at("sweep")) {
    EXPECT_EQ(row.at("hits").get<uint64_t>() + row.at("misses").get<uint64_t>(), 5000u);
  }
  EXPECT_TRUE(curve.at("csv").is_null());
  EXPECT_FALSE(fs::exists(path("miss_ratio.csv")));
  EXPECT_FALSE(fs::exists(path("miss_ratio.svg")));
}

// A malformed line is found before the sweep prints its table: standard
// output stays empty and no curve is written.
TEST_F(ReplayTest, SweepRefusesAMalformedLineBeforeAnyOutput) {
  writeFile(path("trace.txt"), "a 10\nb 20\nc 12x\n");
  const RunResult run = osutil({"cache", "replay", "trace.txt", "--budget", "60000", "--sweep"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("'trace.txt' line 3: invalid size '12x'"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(path("miss_ratio.csv")));
  EXPECT_FALSE(fs::exists(path("miss_ratio.svg")));
}

// A trace without accesses has no hit or miss ratio; 0 would claim one.
TEST_F(ReplayTest, NoAccessesGiveNoRatios) {
  const std::string trace = "# only a comment\n\n";
  const Strings replay = {"cache", "replay", "-", "--budget", "60000"};
  const RunResult text = osutil(replay, piped(trace));
  ASSERT_EQ(text.status, 0) << text.err;
  const auto values = fields(text.out);
  EXPECT_EQ(values.at("accesses"), "0");
  EXPECT_EQ(values.count("hit ratio"), 0u) << text.out;

  const RunResult json = osutil(with(replay, {"--json"}), piped(trace));
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json single = nlohmann::json::parse(json.out);
  EXPECT_TRUE(single.at("hit_ratio").is_null()) << json.out;
  EXPECT_TRUE(single.at("miss_ratio").is_null()) << json.out;

  const RunResult sweep = osutil(with(replay, {"--sweep"}), piped(trace));
  ASSERT_EQ(sweep.status, 0) << sweep.err;
  const Strings table = lines(sweep.out);
  ASSERT_GE(table.size(), 3u) << sweep.out;
  EXPECT_NE(table[2].find(" - "), std::string::npos) << table[2];
  EXPECT_EQ(lines(readFile(path("miss_ratio.csv"))).at(1), "938,0,0,0,,0,0");
}

}  // namespace
