// Replays a stream of accesses through the library's LRU cache the way a
// caller of the cache uses it, from one thread or several, and collects what
// the cache reports.
#ifndef OBJSTORE_TOOLS_OSUTIL_REPLAY_H_
#define OBJSTORE_TOOLS_OSUTIL_REPLAY_H_

#include <cstdint>

#include "cache/mem_cache.h"
#include "tools/osutil/access_source.h"
#include "tools/osutil/progress.h"

namespace osutil {

struct ReplayConfig {
  int32_t budgetBytes;
  int32_t expectedEntryBytes;
  bool strongHash;  // generic_cache_hash_strong instead of the default hashes
  int threads = 1;  // threads that share the one cache
};

struct ReplayResult {
  // Per access, as the caller sees it: an access is a hit or a miss.
  uint64_t accesses = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t refused = 0;    // misses whose element did not fit even an empty cache
  uint64_t evictions = 0;  // elements that left to make room
  // Elements that left because a miss inserted their key again: another
  // thread had inserted it between this thread's lookup and its insertion.
  // Always 0 with one thread.
  uint64_t replaced = 0;
  int threads = 1;
  // Time spent replaying, from the threads' common start to the last one's
  // end, summed over the blocks of accesses; reading the trace is not in it.
  double seconds = 0;
  // Latency of every 64th access of each thread (the first included).
  uint64_t latencySamples = 0;
  uint64_t latencyP99Ns = 0;
  uint64_t latencyP999Ns = 0;
  // The cache's own figures at the end, before it is destroyed. It counts
  // lookups, two per access (find, then promote or replace).
  generic_cache_stats stats{};
  generic_cache_bucket_stats buckets{};

  double hitRatio() const { return accesses == 0 ? 0.0 : double(hits) / double(accesses); }
  double missRatio() const { return accesses == 0 ? 0.0 : double(misses) / double(accesses); }
  double operationsPerSecond() const { return seconds > 0 ? double(accesses) / seconds : 0.0; }
};

// One pass over `source` from its current position through a fresh cache.
// For each access: look the key up; on a hit mark it used; on a miss insert
// an element that owns a copy of the key, charged the access's payload
// bytes. The accesses are read in blocks (bounded memory whatever the trace's
// length); `config.threads` threads share each block, taking its accesses in
// order, so one thread replays the trace exactly in order. Throws
// std::runtime_error when the cache cannot be created, and TraceError from
// the source; the cache is released either way.
ReplayResult replay(AccessSource& source, const ReplayConfig& config, ProgressBar& progress);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_REPLAY_H_
