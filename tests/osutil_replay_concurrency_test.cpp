// `osutil cache replay --threads`: several threads share one cache, and
// every access and every element that leaves it is accounted for. Under
// ThreadSanitizer the binary itself is instrumented, so a race in the
// threaded replay fails these runs.
#include <signal.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/osutil_run.h"

namespace {

using testing_support::field;
using testing_support::fields;
using testing_support::RunResult;
using testing_support::Strings;

std::map<std::string, std::string> replay(const std::string& budget, const std::string& threads) {
  const RunResult run =
      testing_support::osutil({"cache", "replay", "--synthetic", "zipf:0.8", "--keys", "3000",
                               "--ops", "60000", "--seed", "5", "--hash", "strong",
                               "--expected-size", "100", "--budget", budget, "--threads", threads});
  EXPECT_EQ(run.status, 0) << run.err;
  return fields(run.out);
}

TEST(ReplayThreads, EveryAccessAndEveryReleaseIsCountedOnce) {
  if (std::string(OSUTIL_BINARY).empty()) GTEST_SKIP() << "built without the osutil binary";
  signal(SIGPIPE, SIG_IGN);
  // Room for every key, so nothing is evicted and each key is cached once.
  const auto single = replay("2000000", "1");
  const uint64_t distinct = field(single, "misses");
  EXPECT_EQ(field(single, "replaced"), 0u);

  for (const char* budget : {"2000000", "40000"}) {
    SCOPED_TRACE(budget);
    const auto shared = replay(budget, "4");
    EXPECT_EQ(field(shared, "threads"), 4u);
    EXPECT_EQ(field(shared, "accesses"), 60000u);
    EXPECT_EQ(field(shared, "hits") + field(shared, "misses"), 60000u);
    EXPECT_GE(field(shared, "latency samples"), 60000u / 64);
    // Whatever the interleaving: each miss inserts once, and each element
    // that leaves is an eviction or a replacement, never both or neither.
    EXPECT_EQ(field(shared, "num_inserts"), field(shared, "misses") - field(shared, "refused"));
    EXPECT_EQ(field(shared, "num_removes"), field(shared, "evictions") + field(shared, "replaced"));
    EXPECT_EQ(field(shared, "num_hits") + field(shared, "num_misses"), 2 * 60000u);
    if (std::string(budget) == "2000000") {
      EXPECT_EQ(field(shared, "evictions"), 0u);
      EXPECT_EQ(field(shared, "num_entries"), distinct);  // an update replaces, never duplicates
    } else {
      EXPECT_GT(field(shared, "evictions"), 0u);
    }
  }
}

}  // namespace
