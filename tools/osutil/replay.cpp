#include "tools/osutil/replay.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace osutil {
namespace {

// Accesses between two progress updates.
constexpr uint64_t kProgressStride = 1 << 16;

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

// The cache hands every element back here once, when it leaves.
void releaseElement(generic_cache_element* element) { std::free(element); }

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

}  // namespace

ReplayResult replay(AccessSource& source, const ReplayConfig& config, ProgressBar& progress) {
  CacheHandle cache = createCache(config);
  generic_cache_t* handle = cache.get();
  ReplayResult result;
  Access access;
  const auto start = std::chrono::steady_clock::now();
  while (source.next(access)) {
    ++result.accesses;
    if (generic_cache_find_element_with_key1(handle, access.key, access.keyLength) != nullptr) {
      generic_cache_update_pos_with_key1(handle, access.key, access.keyLength);
      ++result.hits;
    } else {
      ++result.misses;
      generic_cache_element_t* element = newElement(access);
      // A refused element stays ours; the cache never saw it.
      if (generic_cache_update_with_key1(handle, access.key, access.keyLength, element) != 0) {
        releaseElement(element);
        ++result.refused;
      }
    }
    if (result.accesses % kProgressStride == 0) progress.update(source.progress());
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  generic_cache_get_stats(handle, &result.stats);
  generic_cache_get_bucket_stats(handle, &result.buckets);
  return result;
}

}  // namespace osutil
