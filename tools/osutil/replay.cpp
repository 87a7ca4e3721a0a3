#include "tools/osutil/replay.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/osutil/load_driver.h"

namespace osutil {
namespace {

// A block holds at most this many accesses, or this many key bytes (plus the
// one key that crosses the mark): a few MiB whatever the trace.
constexpr size_t kBlockAccesses = 1 << 18;
constexpr size_t kBlockKeyBytes = 16 << 20;
// Accesses a thread takes from the block at once: few enough that the threads
// finish a block together, many enough that taking them costs nothing.
constexpr size_t kClaimAccesses = 64;

// What one thread counted. The release callback adds to the tally of the
// thread that runs it, which is the thread whose insertion caused the release.
struct Tally {
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t refused = 0;
  uint64_t evictions = 0;
  uint64_t replaced = 0;
  const char* insertingKey = nullptr;  // the key of the update in progress
};

thread_local Tally* t_tally = nullptr;

// An element and its key in one allocation: the key's bytes follow the
// record, so the release callback frees both with one call.
generic_cache_element_t* newElement(const Access& access) {
  void* block =
      std::malloc(sizeof(generic_cache_element_t) + static_cast<size_t>(access.keyLength) + 1);
  if (block == nullptr) throw std::bad_alloc();
  char* key = static_cast<char*>(block) + sizeof(generic_cache_element_t);
  std::memcpy(key, access.key, static_cast<size_t>(access.keyLength) + 1);
  auto* element = new (block) generic_cache_element_t;
  element->key1 = key;
  element->key2 = nullptr;
  element->key1_len = access.keyLength;
  element->key2_len = -1;  // no key2: with -1 it adds nothing to the charge
  element->data = nullptr;
  element->data_len = access.payloadBytes;
  return element;
}

// The cache hands every element back here once, when it leaves. An update
// removes the element cached under its own key before it evicts, and keys
// are unique in this cache (an update replaces), so an element released
// during an update is a replacement exactly when its key is the update's.
void releaseElement(generic_cache_element* element) {
  if (Tally* tally = t_tally) {
    const bool sameKey =
        tally->insertingKey != nullptr && std::strcmp(element->key1, tally->insertingKey) == 0;
    ++(sameKey ? tally->replaced : tally->evictions);
  }
  std::free(element);
}

struct CacheDeleter {
  void operator()(generic_cache_t* cache) const { generic_cache_del_cache(cache); }
};
using CacheHandle = std::unique_ptr<generic_cache_t, CacheDeleter>;

CacheHandle createCache(const ReplayConfig& config) {
  HashFunc hash = config.strongHash ? generic_cache_hash_strong : nullptr;
  CacheHandle cache(generic_cache_init_cache(config.budgetBytes, config.expectedEntryBytes,
                                             releaseElement, hash, hash, true, true));
  if (!cache) {
    throw std::runtime_error("cannot create a cache of " + std::to_string(config.budgetBytes) +
                             " bytes for elements of " + std::to_string(config.expectedEntryBytes) +
                             " bytes");
  }
  return cache;
}

// Accesses copied out of the source, so that the threads read them from
// memory and the time of parsing stays out of the replay's.
class AccessBlock {
 public:
  // Reads the next block; false when the source has nothing more.
  bool fill(AccessSource& source) {
    keys_.clear();
    entries_.clear();
    Access access;
    while (entries_.size() < kBlockAccesses && keys_.size() < kBlockKeyBytes &&
           source.next(access)) {
      entries_.push_back({keys_.size(), access.keyLength, access.payloadBytes});
      keys_.insert(keys_.end(), access.key, access.key + access.keyLength + 1);
    }
    return !entries_.empty();
  }
  size_t size() const { return entries_.size(); }
  Access operator[](size_t i) const {
    const Entry& entry = entries_[i];
    return {keys_.data() + entry.keyOffset, entry.keyLength, entry.payloadBytes};
  }

 private:
  struct Entry {
    size_t keyOffset;  // offsets, not pointers: keys_ moves as it grows
    int32_t keyLength;
    int32_t payloadBytes;
  };
  std::vector<char> keys_;  // every key with its terminator
  std::vector<Entry> entries_;
};

void replayAccess(generic_cache_t* cache, const Access& access, Tally& tally) {
  if (generic_cache_find_element_with_key1(cache, access.key, access.keyLength) != nullptr) {
    // Another thread may evict it in between; the access found it all the same.
    generic_cache_update_pos_with_key1(cache, access.key, access.keyLength);
    ++tally.hits;
    return;
  }
  ++tally.misses;
  generic_cache_element_t* element = newElement(access);
  tally.insertingKey = access.key;
  const int status = generic_cache_update_with_key1(cache, access.key, access.keyLength, element);
  tally.insertingKey = nullptr;
  // A refused element stays ours; the cache never saw it.
  if (status != 0) {
    std::free(element);
    ++tally.refused;
  }
}

// Replays one block from `threads` threads; adds their counts to `result`.
LoadStats replayBlock(generic_cache_t* cache, const AccessBlock& block, int threads,
                      ReplayResult& result) {
  std::atomic<size_t> next{0};
  std::vector<Tally> tallies(static_cast<size_t>(threads));
  LoadStats stats = runWorkers(threads, [&](WorkerContext& worker) {
    Tally tally;  // on the thread's own stack: no shared line per access
    t_tally = &tally;
    while (!worker.stopRequested()) {
      const size_t begin = next.fetch_add(kClaimAccesses, std::memory_order_relaxed);
      if (begin >= block.size()) break;
      const size_t end = std::min(block.size(), begin + kClaimAccesses);
      for (size_t i = begin; i < end; ++i)
        worker.timer.run([&] { replayAccess(cache, block[i], tally); });
    }
    t_tally = nullptr;
    tallies[size_t(worker.index)] = tally;
  });
  for (const Tally& tally : tallies) {
    result.hits += tally.hits;
    result.misses += tally.misses;
    result.refused += tally.refused;
    result.evictions += tally.evictions;
    result.replaced += tally.replaced;
  }
  return stats;
}

}  // namespace

ReplayResult replay(AccessSource& source, const ReplayConfig& config, ProgressBar& progress) {
  CacheHandle cache = createCache(config);
  ReplayResult result;
  result.threads = std::max(1, config.threads);
  LoadStats load;
  AccessBlock block;
  while (block.fill(source)) {
    load.add(replayBlock(cache.get(), block, result.threads, result));
    progress.update(source.progress());
  }
  result.accesses = load.operations;
  result.seconds = load.seconds;
  result.latencySamples = load.latencies.count();
  result.latencyP99Ns = load.latencies.percentile(0.99);
  result.latencyP999Ns = load.latencies.percentile(0.999);
  generic_cache_get_stats(cache.get(), &result.stats);
  generic_cache_get_bucket_stats(cache.get(), &result.buckets);
  return result;
}

}  // namespace osutil
