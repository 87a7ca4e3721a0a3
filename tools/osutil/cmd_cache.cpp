// cache replay: drives the LRU cache with a trace or a synthetic workload and
// reports hit ratio, evictions, the cache's statistics and throughput; with
// --sweep, the miss-ratio curve over a range of budgets.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/osutil/access_source.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"
#include "tools/osutil/miss_ratio_curve.h"
#include "tools/osutil/replay.h"

namespace osutil {
namespace {

const char kCacheHelp[] =
    "Usage: osutil cache replay TRACE --budget BYTES [OPTIONS]\n"
    "       osutil cache replay --synthetic zipf:S --keys N --ops M --budget BYTES [OPTIONS]\n"
    "\n"
    "replay  replays accesses through the LRU cache and reports what it did\n"
    "\n"
    "Run 'osutil cache replay --help' for details.\n";

const char kReplayHelp[] =
    "Usage: osutil cache replay TRACE --budget BYTES [OPTIONS]\n"
    "       osutil cache replay --synthetic zipf:S --keys N --ops M [--seed SEED]\n"
    "                           --budget BYTES [OPTIONS]\n"
    "\n"
    "Replays accesses through a cache of BYTES bytes the way a caller uses it:\n"
    "each access looks its key up; a hit marks the element most recently used, a\n"
    "miss inserts a new element (which owns a copy of its key), evicting the least\n"
    "recently used elements until it fits. Prints accesses, hits, misses, hit\n"
    "ratio, evictions, refused insertions (elements larger than the whole budget),\n"
    "operations per second, the cache's statistics record and its bucket\n"
    "statistics. The cache counts lookups, two per access (find, then promote or\n"
    "replace), so its num_hits and num_misses are twice the hits and misses.\n"
    "\n"
    "TRACE is a file (- for standard input) with one access per line, \"KEY [SIZE]\":\n"
    "KEY has no blanks; SIZE (default 0, at most 1 GiB) is the payload bytes the\n"
    "element is charged. Blank lines and lines starting with '#' are skipped. A\n"
    "hit does not change the element's size. Each element costs\n"
    "  length(KEY) + SIZE + 97 bytes\n"
    "of the budget, and the cache itself costs 8 * (2 * buckets + 26) bytes, where\n"
    "buckets is the largest power of two not above BYTES / (expected size + 96),\n"
    "and at least 1.\n"
    "\n"
    "Options:\n"
    "  --budget BYTES         the cache's byte budget, 1 to 2147483647 (required)\n"
    "  --expected-size N      expected bytes of one element, for the table size\n"
    "                         (default 128)\n"
    "  --hash default|strong  the default hashes, or the strong XXH3 pair\n"
    "                         (default: default). The default hashes add up every\n"
    "                         third byte, so keys that differ only in a few digits\n"
    "                         (paths, padded numbers, the synthetic keys) crowd\n"
    "                         into few buckets and lookups slow down; the bucket\n"
    "                         statistics show it\n"
    "  --synthetic zipf:S     instead of TRACE, draw keys from a Zipf law with\n"
    "                         exponent S (0 to 100; 0 is uniform): rank k of N is\n"
    "                         drawn with probability proportional to 1 / k^S. The\n"
    "                         key of rank k is \"key\" and k in ten digits, the size 0,\n"
    "                         so every element costs 110 bytes\n"
    "  --keys N               distinct keys of the synthetic workload (1 to 4294967295)\n"
    "  --ops M                accesses of the synthetic workload\n"
    "  --seed SEED            the synthetic workload's seed (default 1); the same\n"
    "                         seed draws the same accesses\n"
    "  --sweep                replay at 12 budgets spaced evenly on a log scale\n"
    "                         from BYTES / 64 to BYTES (fewer when tiny budgets\n"
    "                         round to the same byte count), print one row per\n"
    "                         budget and write the miss-ratio curve\n"
    "  --csv FILE             with --sweep: the curve as CSV (default miss_ratio.csv)\n"
    "  --svg FILE             with --sweep: the curve as an SVG plot, budget on a\n"
    "                         log scale (default miss_ratio.svg)\n"
    "\n"
    "A progress bar is drawn on stderr when stderr is a terminal and the workload\n"
    "is long (a trace file of 16 MiB or more, 2000000 synthetic accesses or more).\n"
    "Exit status 1 when the trace cannot be read or has a malformed line.\n";

constexpr int kSweepBudgets = 12;
constexpr int kSweepSpan = 64;

struct ReplayOptions {
  ReplayConfig config{};
  std::string tracePath;  // empty for a synthetic workload
  double zipfExponent = 0;
  uint64_t keys = 0;
  uint64_t ops = 0;
  uint64_t seed = 1;
  bool sweep = false;
  std::string csvPath = "miss_ratio.csv";
  std::string svgPath = "miss_ratio.svg";
};

double parseZipfLaw(const std::string& law) {
  const std::string prefix = "zipf:";
  if (law.compare(0, prefix.size(), prefix) != 0) {
    throw UsageError("cache replay", "unknown synthetic workload '" + law + "' (expected zipf:S)");
  }
  const double exponent = parseDouble("cache replay", "Zipf exponent", law.substr(prefix.size()));
  if (exponent < 0 || exponent > 100) {
    throw UsageError("cache replay", "Zipf exponent must lie between 0 and 100");
  }
  return exponent;
}

// Options that only make sense together are checked here, so that a replay
// never starts on a half-described workload.
ReplayOptions parseReplayOptions(const ParsedArgs& parsed) {
  const std::string command = "cache replay";
  ReplayOptions options;
  if (!parsed.has("budget")) throw UsageError(command, "missing --budget");
  options.config.budgetBytes =
      static_cast<int32_t>(parseUnsigned(command, "budget", parsed.value("budget"), INT32_MAX));
  if (options.config.budgetBytes < 1) throw UsageError(command, "budget must be at least 1");
  options.config.expectedEntryBytes = static_cast<int32_t>(parseUnsigned(
      command, "expected size", parsed.value("expected-size", "128"), INT32_MAX - 96));
  if (options.config.expectedEntryBytes < 1) {
    throw UsageError(command, "expected size must be at least 1");
  }
  const std::string hash = parsed.value("hash", "default");
  if (hash != "default" && hash != "strong") {
    throw UsageError(command, "unknown hash '" + hash + "' (expected default or strong)");
  }
  options.config.strongHash = hash == "strong";

  const bool synthetic = parsed.has("synthetic");
  if (synthetic) {
    requireOperands(command, parsed, 0, 0);
    options.zipfExponent = parseZipfLaw(parsed.value("synthetic"));
    if (!parsed.has("keys") || !parsed.has("ops")) {
      throw UsageError(command, "--synthetic needs --keys and --ops");
    }
    options.keys = parseUnsigned(command, "key count", parsed.value("keys"), UINT32_MAX);
    if (options.keys < 1) throw UsageError(command, "key count must be at least 1");
    options.ops = parseUnsigned(command, "operation count", parsed.value("ops"));
    if (parsed.has("seed")) options.seed = parseUnsigned(command, "seed", parsed.value("seed"));
  } else {
    for (const char* name : {"keys", "ops", "seed"}) {
      if (parsed.has(name))
        throw UsageError(command, std::string("--") + name + " needs --synthetic");
    }
    if (parsed.positional.empty()) throw UsageError(command, "missing TRACE (or --synthetic)");
    requireOperands(command, parsed, 1, 1);
    options.tracePath = parsed.positional[0];
  }

  options.sweep = parsed.has("sweep");
  if (!options.sweep && (parsed.has("csv") || parsed.has("svg"))) {
    throw UsageError(command, "--csv and --svg need --sweep");
  }
  options.csvPath = parsed.value("csv", options.csvPath);
  options.svgPath = parsed.value("svg", options.svgPath);
  if (options.csvPath.empty() || options.svgPath.empty()) {
    throw UsageError(command, "empty output file name");
  }
  return options;
}

std::unique_ptr<AccessSource> openSource(const ReplayOptions& options) {
  if (options.tracePath.empty()) {
    return makeZipfWorkload(options.zipfExponent, options.keys, options.ops, options.seed);
  }
  return openTrace(options.tracePath, options.sweep);
}

void printReplay(const AccessSource& source, const ReplayConfig& config,
                 const ReplayResult& result) {
  const generic_cache_stats& s = result.stats;
  const generic_cache_bucket_stats& b = result.buckets;
  auto u = [](uint64_t value) { return static_cast<unsigned long long>(value); };
  std::printf("workload: %s\n", source.describe().c_str());
  std::printf("budget: %d bytes (%s)\n", config.budgetBytes,
              humanBytes(static_cast<uint64_t>(config.budgetBytes)).c_str());
  std::printf("expected element size: %d bytes\n", config.expectedEntryBytes);
  std::printf("hash: %s\n", config.strongHash ? "strong" : "default");
  std::printf("accesses: %llu\n", u(result.accesses));
  std::printf("hits: %llu\n", u(result.hits));
  std::printf("misses: %llu\n", u(result.misses));
  std::printf("hit ratio: %.6f\n", result.hitRatio());
  std::printf("evictions: %llu\n", u(result.evictions()));
  std::printf("refused: %llu\n", u(result.refused));
  std::printf("seconds: %.6f\n", result.seconds);
  std::printf("operations per second: %.0f\n",
              result.seconds > 0 ? double(result.accesses) / result.seconds : 0.0);
  std::printf("cache statistics (lookups: two per access):\n");
  std::printf("  num_entries: %d\n", s.num_entries);
  std::printf("  cur_bytes: %llu\n", u(s.cur_bytes));
  std::printf("  num_buckets: %d\n", s.num_buckets);
  std::printf("  num_inserts: %llu\n", u(s.num_inserts));
  std::printf("  num_removes: %llu\n", u(s.num_removes));
  std::printf("  num_renames: %llu\n", u(s.num_renames));
  std::printf("  num_hits: %llu\n", u(s.num_hits));
  std::printf("  num_misses: %llu\n", u(s.num_misses));
  std::printf("  num_collisions: %llu\n", u(s.num_collisions));
  std::printf("bucket statistics:\n");
  std::printf("  num_buckets: %d\n", b.num_buckets);
  std::printf("  key1_used_buckets: %d\n", b.key1_used_buckets);
  std::printf("  key1_longest_chain: %d\n", b.key1_longest_chain);
  std::printf("  key2_used_buckets: %d\n", b.key2_used_buckets);
  std::printf("  key2_longest_chain: %d\n", b.key2_longest_chain);
}

int runSingleReplay(AccessSource& source, const ReplayOptions& options) {
  ProgressBar progress(source.isLong() && ::isatty(STDERR_FILENO), "replay");
  const ReplayResult result = replay(source, options.config, progress);
  progress.finish();
  printReplay(source, options.config, result);
  return kExitOk;
}

int runSweep(AccessSource& source, const ReplayOptions& options) {
  const std::vector<int32_t> budgets =
      sweepBudgets(options.config.budgetBytes, kSweepBudgets, kSweepSpan);
  std::vector<SweepPoint> points;
  std::printf("workload: %s\n", source.describe().c_str());
  std::printf("%14s %12s %12s %12s %10s %12s\n", "budget_bytes", "accesses", "hits", "misses",
              "miss_ratio", "evictions");
  for (size_t i = 0; i < budgets.size(); ++i) {
    ReplayConfig config = options.config;
    config.budgetBytes = budgets[i];
    if (i > 0) source.rewind();
    ProgressBar progress(source.isLong() && ::isatty(STDERR_FILENO),
                         "budget " + std::to_string(i + 1) + "/" + std::to_string(budgets.size()));
    points.push_back({budgets[i], replay(source, config, progress)});
    progress.finish();
    const ReplayResult& r = points.back().result;
    std::printf("%14d %12llu %12llu %12llu %10.6f %12llu\n", budgets[i],
                static_cast<unsigned long long>(r.accesses),
                static_cast<unsigned long long>(r.hits), static_cast<unsigned long long>(r.misses),
                r.missRatio(), static_cast<unsigned long long>(r.evictions()));
    std::fflush(stdout);
  }
  writeMissRatioCsv(options.csvPath, points);
  writeMissRatioSvg(options.svgPath, points, source.describe());
  std::printf("wrote %s and %s\n", options.csvPath.c_str(), options.svgPath.c_str());
  return kExitOk;
}

int runReplay(const Args& args) {
  const ParsedArgs parsed = parseArgs("cache replay", args,
                                      {{"budget", 0, true},
                                       {"expected-size", 0, true},
                                       {"hash", 0, true},
                                       {"synthetic", 0, true},
                                       {"keys", 0, true},
                                       {"ops", 0, true},
                                       {"seed", 0, true},
                                       {"sweep", 0, false},
                                       {"csv", 0, true},
                                       {"svg", 0, true}});
  if (parsed.help) return printHelp(kReplayHelp);
  const ReplayOptions options = parseReplayOptions(parsed);
  try {
    std::unique_ptr<AccessSource> source = openSource(options);
    return options.sweep ? runSweep(*source, options) : runSingleReplay(*source, options);
  } catch (const UsageError&) {
    throw;
  } catch (const std::runtime_error& error) {  // TraceError and unwritable outputs
    printError("cache replay", error.what());
    return kExitFailed;
  }
}

}  // namespace

int runCache(const Args& args) {
  return dispatchSubcommand("cache", kCacheHelp, args, {{"replay", runReplay}});
}

}  // namespace osutil
