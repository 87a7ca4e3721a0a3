// cache replay: drives the LRU cache with a trace or a synthetic workload,
// from one thread or several, and reports hit ratio, evictions, the cache's
// statistics, throughput and latency; with --sweep, the miss-ratio curve over
// a range of budgets.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
    "ratio, evictions, replaced and refused insertions (elements larger than the\n"
    "whole budget), operations per second, the 99th and 99.9th percentile latency\n"
    "of an access, the cache's statistics record and its bucket statistics. The\n"
    "cache counts lookups, two per access (find, then promote or replace), so its\n"
    "num_hits and num_misses are twice the hits and misses. Without accesses there\n"
    "is no ratio: the hit ratio line is left out, the JSON's ratios are null, the\n"
    "sweep shows - and leaves the CSV field empty and the point unplotted.\n"
    "\n"
    "The accesses are read in blocks of up to 262144 and each block is replayed\n"
    "from memory, so the seconds, the operations per second and the latencies\n"
    "are the cache's, without the time spent reading the trace. Every 64th access\n"
    "of each thread (the first included) is timed for the latencies.\n"
    "\n"
    "TRACE is a file (- for standard input) with one access per line, \"KEY [SIZE]\":\n"
    "KEY has no blanks; SIZE (default 0, at most 1 GiB) is the payload bytes the\n"
    "element is charged. Blank lines and lines starting with '#' are skipped. A\n"
    "hit does not change the element's size. A line with a NUL byte, a key over\n"
    "1048576 bytes or a line over 1048640 bytes is refused with its line number,\n"
    "before the rest of a long line is read. Each element costs\n"
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
    "  --threads N            replay from N threads (1 to 256, default 1) that\n"
    "                         share the one cache and take the accesses in trace\n"
    "                         order, 64 at a time; one thread replays exactly in\n"
    "                         order. A miss that another thread has just inserted\n"
    "                         replaces that element and counts as replaced\n"
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
    "  --csv FILE             with --sweep: the curve as CSV (default miss_ratio.csv;\n"
    "                         - for standard output)\n"
    "  --svg FILE             with --sweep: the curve as an SVG plot, budget on a\n"
    "                         log scale (default miss_ratio.svg; - for standard\n"
    "                         output)\n"
    "  --json                 print one JSON object instead of the text: the\n"
    "                         settings (workload, budget_bytes, expected_size,\n"
    "                         hash, threads), then the figures under the names of\n"
    "                         the text (accesses, hits, misses, hit_ratio,\n"
    "                         evictions, replaced, refused, seconds,\n"
    "                         operations_per_second, latency_ns with p99, p99_9\n"
    "                         and samples), the statistics record under \"cache\"\n"
    "                         and the bucket statistics under \"buckets\". With\n"
    "                         --sweep: the settings, one object of figures per\n"
    "                         budget under \"sweep\" (each with its budget_bytes and\n"
    "                         miss_ratio), and \"csv\" and \"svg\", the files written;\n"
    "                         with --json the curve's files are written only when\n"
    "                         --csv or --svg names them\n"
    "\n"
    "When --csv or --svg is -, standard output carries that file alone and the\n"
    "table is not printed. The two files must differ from each other and from\n"
    "the trace (compared as files: another name, a link or standard input or\n"
    "output of the same file counts as the same); a terminal or /dev/null may be\n"
    "named twice.\n"
    "\n"
    "A progress bar is drawn on stderr when stderr is a terminal and the workload\n"
    "is long (a trace file of 16 MiB or more, 2000000 synthetic accesses or more).\n"
    "Exit status 1 when the trace cannot be read or has a malformed line, 2 for\n"
    "bad usage.\n";

constexpr int kSweepBudgets = 12;
constexpr int kSweepSpan = 64;
constexpr uint64_t kMaxThreads = 256;

using Json = nlohmann::ordered_json;

struct ReplayOptions {
  ReplayConfig config{};
  std::string tracePath;  // empty for a synthetic workload
  double zipfExponent = 0;
  uint64_t keys = 0;
  uint64_t ops = 0;
  uint64_t seed = 1;
  bool sweep = false;
  bool json = false;
  // The curve's files; empty for a file that is not written.
  std::string csvPath;
  std::string svgPath;
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

// What a path names, so that two spellings of one file compare equal: the
// file's device and inode when it exists; otherwise its directory's and its
// name in it; otherwise (no such directory either) the spelling itself.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;      // set when the file does not exist yet
  std::string spelling;  // set when not even its directory exists
  bool characterDevice = false;

  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && name == other.name &&
           spelling == other.spelling;
  }
};

FileIdentity identityOf(const struct stat& status) {
  FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.characterDevice = S_ISCHR(status.st_mode);
  return identity;
}

// `standardStream` is the descriptor that "-" stands for.
FileIdentity identifyFile(const std::string& path, int standardStream) {
  struct stat status;
  if (path == kStandardOutput) {
    if (::fstat(standardStream, &status) == 0) return identityOf(status);
    FileIdentity closed;
    closed.spelling = path;
    return closed;
  }
  if (::stat(path.c_str(), &status) == 0) return identityOf(status);
  // Not normalised lexically: the kernel resolves "link/.." in the directory.
  const std::filesystem::path spelled(path);
  const std::string name = spelled.filename().string();
  const std::filesystem::path directory = spelled.has_parent_path() ? spelled.parent_path() : ".";
  FileIdentity identity;
  if (!name.empty() && name != "." && name != ".." && ::stat(directory.c_str(), &status) == 0) {
    identity = identityOf(status);
    identity.name = name;
  } else {
    identity.spelling = path;
  }
  return identity;
}

// Two names of one file would have the second output overwrite the first, or
// an output truncate the trace it is made from. A character device (a
// terminal, /dev/null) keeps nothing to overwrite.
void refuseSameFile(const std::string& command, const FileIdentity& a, const FileIdentity& b,
                    const std::string& message) {
  if (a == b && !a.characterDevice) throw UsageError(command, message);
}

void checkOutputFiles(const std::string& command, const ReplayOptions& options) {
  const bool csv = !options.csvPath.empty(), svg = !options.svgPath.empty();
  if (options.json && (options.csvPath == kStandardOutput || options.svgPath == kStandardOutput)) {
    throw UsageError(command, "--json and an output file '-' both need standard output");
  }
  const FileIdentity csvFile = identifyFile(options.csvPath, STDOUT_FILENO);
  const FileIdentity svgFile = identifyFile(options.svgPath, STDOUT_FILENO);
  if (csv && svg) {
    refuseSameFile(
        command, csvFile, svgFile,
        "--csv '" + options.csvPath + "' and --svg '" + options.svgPath + "' name the same file");
  }
  if (options.tracePath.empty()) return;
  const FileIdentity trace = identifyFile(options.tracePath, STDIN_FILENO);
  if (csv) refuseSameFile(command, csvFile, trace, "--csv '" + options.csvPath + "' is the trace");
  if (svg) refuseSameFile(command, svgFile, trace, "--svg '" + options.svgPath + "' is the trace");
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
  options.config.threads = static_cast<int>(
      parseUnsigned(command, "thread count", parsed.value("threads", "1"), kMaxThreads));
  if (options.config.threads < 1) throw UsageError(command, "thread count must be at least 1");

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
  options.json = parsed.has("json");
  if (!options.sweep && (parsed.has("csv") || parsed.has("svg"))) {
    throw UsageError(command, "--csv and --svg need --sweep");
  }
  if ((parsed.has("csv") && parsed.value("csv").empty()) ||
      (parsed.has("svg") && parsed.value("svg").empty())) {
    throw UsageError(command, "empty output file name");
  }
  if (options.sweep) {
    // With --json the curve is in the JSON: files only when asked for.
    options.csvPath = parsed.value("csv", options.json ? "" : "miss_ratio.csv");
    options.svgPath = parsed.value("svg", options.json ? "" : "miss_ratio.svg");
    checkOutputFiles(command, options);
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
  std::printf("threads: %d\n", result.threads);
  std::printf("accesses: %llu\n", u(result.accesses));
  std::printf("hits: %llu\n", u(result.hits));
  std::printf("misses: %llu\n", u(result.misses));
  // No access, no ratio: 0 would claim that every access missed (or hit).
  if (result.accesses != 0) std::printf("hit ratio: %.6f\n", result.hitRatio());
  std::printf("evictions: %llu\n", u(result.evictions));
  std::printf("replaced: %llu\n", u(result.replaced));
  std::printf("refused: %llu\n", u(result.refused));
  std::printf("seconds: %.6f\n", result.seconds);
  std::printf("operations per second: %.0f\n", result.operationsPerSecond());
  std::printf("latency p99: %llu ns\n", u(result.latencyP99Ns));
  std::printf("latency p99.9: %llu ns\n", u(result.latencyP999Ns));
  std::printf("latency samples: %llu\n", u(result.latencySamples));
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

Json settingsJson(const AccessSource& source, const ReplayConfig& config) {
  return {{"workload", source.describe()},
          {"budget_bytes", config.budgetBytes},
          {"expected_size", config.expectedEntryBytes},
          {"hash", config.strongHash ? "strong" : "default"},
          {"threads", config.threads}};
}

// The figures of one replay, named as in the text output.
Json figuresJson(const ReplayResult& result) {
  return {{"accesses", result.accesses},
          {"hits", result.hits},
          {"misses", result.misses},
          {"hit_ratio", result.accesses != 0 ? Json(result.hitRatio()) : Json()},
          {"miss_ratio", result.accesses != 0 ? Json(result.missRatio()) : Json()},
          {"evictions", result.evictions},
          {"replaced", result.replaced},
          {"refused", result.refused},
          {"seconds", result.seconds},
          {"operations_per_second", result.operationsPerSecond()},
          {"latency_ns",
           {{"p99", result.latencyP99Ns},
            {"p99_9", result.latencyP999Ns},
            {"samples", result.latencySamples}}}};
}

Json statisticsJson(const ReplayResult& result) {
  const generic_cache_stats& s = result.stats;
  const generic_cache_bucket_stats& b = result.buckets;
  return {{"cache",
           {{"num_entries", s.num_entries},
            {"cur_bytes", s.cur_bytes},
            {"num_buckets", s.num_buckets},
            {"num_inserts", s.num_inserts},
            {"num_removes", s.num_removes},
            {"num_renames", s.num_renames},
            {"num_hits", s.num_hits},
            {"num_misses", s.num_misses},
            {"num_collisions", s.num_collisions}}},
          {"buckets",
           {{"num_buckets", b.num_buckets},
            {"key1_used_buckets", b.key1_used_buckets},
            {"key1_longest_chain", b.key1_longest_chain},
            {"key2_used_buckets", b.key2_used_buckets},
            {"key2_longest_chain", b.key2_longest_chain}}}};
}

int runSingleReplay(AccessSource& source, const ReplayOptions& options) {
  ProgressBar progress(source.isLong() && ::isatty(STDERR_FILENO), "replay");
  const ReplayResult result = replay(source, options.config, progress);
  progress.finish();
  if (!options.json) {
    printReplay(source, options.config, result);
    return kExitOk;
  }
  Json json = settingsJson(source, options.config);
  json.update(figuresJson(result));
  json.update(statisticsJson(result));
  printJson(json);
  return kExitOk;
}

int runSweep(AccessSource& source, const ReplayOptions& options) {
  const std::vector<int32_t> budgets =
      sweepBudgets(options.config.budgetBytes, kSweepBudgets, kSweepSpan);
  // Standard output carries the table only when no file or JSON claims it.
  const bool table =
      !options.json && options.csvPath != kStandardOutput && options.svgPath != kStandardOutput;
  std::vector<SweepPoint> points;
  for (size_t i = 0; i < budgets.size(); ++i) {
    ReplayConfig config = options.config;
    config.budgetBytes = budgets[i];
    if (i > 0) source.rewind();
    ProgressBar progress(source.isLong() && ::isatty(STDERR_FILENO),
                         "budget " + std::to_string(i + 1) + "/" + std::to_string(budgets.size()));
    points.push_back({budgets[i], replay(source, config, progress)});
    progress.finish();
    const ReplayResult& r = points.back().result;
    if (!table) continue;
    // The first pass has read every line of the trace, so a malformed line
    // was refused before anything reached standard output.
    if (i == 0) {
      std::printf("workload: %s\n", source.describe().c_str());
      std::printf("%14s %12s %12s %12s %10s %12s\n", "budget_bytes", "accesses", "hits", "misses",
                  "miss_ratio", "evictions");
    }
    char ratio[32] = "-";  // no access, no ratio
    if (r.accesses != 0) std::snprintf(ratio, sizeof ratio, "%.6f", r.missRatio());
    std::printf("%14d %12llu %12llu %12llu %10s %12llu\n", budgets[i],
                static_cast<unsigned long long>(r.accesses),
                static_cast<unsigned long long>(r.hits), static_cast<unsigned long long>(r.misses),
                ratio, static_cast<unsigned long long>(r.evictions));
    std::fflush(stdout);
  }
  if (!options.csvPath.empty()) writeMissRatioCsv(options.csvPath, points);
  if (!options.svgPath.empty()) writeMissRatioSvg(options.svgPath, points, source.describe());
  if (table) std::printf("wrote %s and %s\n", options.csvPath.c_str(), options.svgPath.c_str());
  if (!options.json) return kExitOk;

  Json json = settingsJson(source, options.config);
  Json rows = Json::array();
  for (const SweepPoint& point : points) {
    Json row = {{"budget_bytes", point.budgetBytes}};
    row.update(figuresJson(point.result));
    rows.push_back(std::move(row));
  }
  json["sweep"] = std::move(rows);
  json["csv"] = options.csvPath.empty() ? Json() : Json(options.csvPath);
  json["svg"] = options.svgPath.empty() ? Json() : Json(options.svgPath);
  printJson(json);
  return kExitOk;
}

int runReplay(const Args& args) {
  const ParsedArgs parsed = parseArgs("cache replay", args,
                                      {{"budget", 0, true},
                                       {"expected-size", 0, true},
                                       {"hash", 0, true},
                                       {"threads", 0, true},
                                       {"synthetic", 0, true},
                                       {"keys", 0, true},
                                       {"ops", 0, true},
                                       {"seed", 0, true},
                                       {"sweep", 0, false},
                                       {"csv", 0, true},
                                       {"svg", 0, true},
                                       kJsonOption});
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
