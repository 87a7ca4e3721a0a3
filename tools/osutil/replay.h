// Replays a stream of accesses through the library's LRU cache the way a
// caller of the cache uses it, and collects what the cache reports.
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
};

struct ReplayResult {
  // Per access, as the caller sees it: an access is a hit or a miss.
  uint64_t accesses = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t refused = 0;  // misses whose element did not fit even an empty cache
  double seconds = 0;
  // The cache's own figures at the end, before it is destroyed. It counts
  // lookups, two per access (find, then promote or replace).
  generic_cache_stats stats{};
  generic_cache_bucket_stats buckets{};

  // Nothing but insertions on a miss removes elements, and a miss never has
  // an element to replace, so every remove is an eviction.
  uint64_t evictions() const { return stats.num_removes; }
  double hitRatio() const { return accesses == 0 ? 0.0 : double(hits) / double(accesses); }
  double missRatio() const { return accesses == 0 ? 0.0 : double(misses) / double(accesses); }
};

// One pass over `source` from its current position through a fresh cache.
// For each access: look the key up; on a hit mark it used; on a miss insert
// an element that owns a copy of the key, charged the access's payload
// bytes. Throws std::runtime_error when the cache cannot be created, and
// TraceError from the source; the cache is released either way.
ReplayResult replay(AccessSource& source, const ReplayConfig& config, ProgressBar& progress);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_REPLAY_H_
