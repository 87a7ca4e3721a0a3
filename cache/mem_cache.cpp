// The memory cache's exported operations (mem_cache.h). Each checks its
// arguments, takes the cache's lock (shared for lookups, promotions and
// statistics; exclusive, through exclusive_section, for everything else) and
// does its work there or through the unit that owns it: cache_insert.cpp,
// cache_rename.cpp, cache_nodes.cpp, cache_promotions.cpp. Invariants:
// num_buckets is a power of two fixed at creation; linked nodes are read and
// written only under the lock.

#include "cache/mem_cache.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "cache/cache_node_internal.h"
#include "cache/cache_ops_internal.h"
#include "cache/mem_cache_internal.h"
#include "host/LogWriter.h"

using mem_cache_detail::cache_aligned_alloc;
using mem_cache_detail::cache_calloc;
using mem_cache_detail::cache_free;
using mem_cache_detail::cache_handle;
using mem_cache_detail::exclusive_section;
using mem_cache_detail::find_item;
using mem_cache_detail::fixed_charge;
using mem_cache_detail::handle_of;
using mem_cache_detail::in_callback;
using mem_cache_detail::kEntryOverhead;
using mem_cache_detail::key_side;
using mem_cache_detail::kKey1Side;
using mem_cache_detail::kKey2Side;
using mem_cache_detail::lookup_counter_slot;
using mem_cache_detail::lookup_key;
using mem_cache_detail::prepare_lookup;
using mem_cache_detail::promote_with_full_queue;
using mem_cache_detail::queue_promotion;
using mem_cache_detail::release_all;
using mem_cache_detail::rem_item_from_cache;
using mem_cache_detail::rename_all;
using mem_cache_detail::replace_element;
using mem_cache_detail::shared_section;

namespace {

// Largest power of two not above n (n >= 1); 0 for n == 0.
int calc_hash_buckets(int n) {
  int halvings = 0;
  for (int rest = n; rest > 1; rest >>= 1) ++halvings;
  return (n >> halvings) << halvings;
}

// Debug builds abort, naming `function`, when it was called from a callback
// of the same cache running on this thread (see in_callback).
#ifdef OBJSTORE_CACHE_CHECKS
void refuse_reentry(const generic_cache_t* cache, const char* function) {
  if (cache == nullptr || !in_callback::running_for(cache)) return;
  std::fprintf(stderr,
               "mem_cache: %s was called from a release callback or rename function of the same "
               "cache, which holds the cache's lock: the call would wait for ever\n",
               function);
  std::abort();
}
#else
inline void refuse_reentry(const generic_cache_t* /*cache*/, const char* /*function*/) {}
#endif

// ---- Single-element operations ------------------------------------------------------

template <const key_side& side>
generic_cache_element* find_element(generic_cache_t* cache, const char* key, int len) {
  lookup_key k;
  if (cache == nullptr || !prepare_lookup<side>(cache, key, len, &k)) return nullptr;
  shared_section guard(cache);
  generic_cache_item* item = find_item<side>(cache, k);
  return item != nullptr ? item->element : nullptr;
}

// In an exclusive section: looks `k` up (counting the lookup) and hands the
// node found to `act`. 0 when one was found, 1 otherwise.
template <const key_side& side, void (*act)(generic_cache_t*, generic_cache_item*)>
int act_on_found(generic_cache_t* cache, const lookup_key& k) {
  exclusive_section guard(cache);
  generic_cache_item* item = find_item<side>(cache, k);
  if (item == nullptr) return 1;
  act(cache, item);
  return 0;
}

template <const key_side& side>
int delete_element(generic_cache_t* cache, const char* key, int len) {
  lookup_key k;
  if (cache == nullptr || !prepare_lookup<side>(cache, key, len, &k)) return 1;
  return act_on_found<side, rem_item_from_cache>(cache, k);
}

// Queues the promotion under the shared lock, or applies it there when the
// queue is full; either way the lookup is counted once.
template <const key_side& side>
int promote_element(generic_cache_t* cache, const char* key, int len) {
  lookup_key k;
  if (cache == nullptr || !prepare_lookup<side>(cache, key, len, &k)) return 1;
  shared_section guard(cache);
  generic_cache_item* item = find_item<side>(cache, k);
  if (item == nullptr) return 1;
  if (!queue_promotion(cache, item)) promote_with_full_queue(cache, item);
  return 0;
}

// A pinned lookup: finds, counts, promotes if asked, then hands the element to
// `visit` before the shared lock is released.
template <const key_side& side, bool promote>
int visit_element(generic_cache_t* cache, const char* key, int len, VisitFunc visit,
                  void* user_data) {
  lookup_key k;
  if (cache == nullptr || visit == nullptr || !prepare_lookup<side>(cache, key, len, &k)) return 1;
  shared_section guard(cache);
  generic_cache_item* item = find_item<side>(cache, k);
  if (item == nullptr) return 1;
  if (promote && !queue_promotion(cache, item)) promote_with_full_queue(cache, item);
  in_callback scope(cache);
  visit(item->element, user_data);
  return 0;
}

}  // namespace

// ---- Exported operations ---------------------------------------------------------------

generic_cache_t* generic_cache_init_cache(int max_bytes, int expected_entry_size,
                                          CallBackFunc callback, HashFunc key1_hash,
                                          HashFunc key2_hash, bool key1_case_sensitive,
                                          bool key2_case_sensitive) {
  if (max_bytes <= 0) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: max_bytes [%d] is invalid.", max_bytes);
    return nullptr;
  }
  // expected_entry_size + 96 must not overflow the division below.
  if (expected_entry_size <= 0 || expected_entry_size > INT_MAX - kEntryOverhead) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: expected_entry_size [%d] is invalid.",
                 expected_entry_size);
    return nullptr;
  }
  const int expected_entries = max_bytes / (expected_entry_size + kEntryOverhead);
  // A budget below one expected entry still gets one bucket: a table of zero
  // buckets could not be indexed.
  int buckets = calc_hash_buckets(expected_entries);
  if (buckets == 0) buckets = 1;

  void* memory = cache_aligned_alloc(alignof(cache_handle), sizeof(cache_handle));
  if (memory == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: new failed");
    return nullptr;
  }
  cache_handle* handle = new (memory) cache_handle;  // constructs the lock
  generic_cache_t* cache = &handle->cache;

  const int table_bytes =
      static_cast<int>(static_cast<size_t>(buckets) * sizeof(generic_cache_item*));
  cache->key1_buckets =
      static_cast<generic_cache_item**>(cache_calloc(buckets, sizeof(generic_cache_item*)));
  if (cache->key1_buckets == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: calloc for size [%d] failed with the error [%s].",
                 table_bytes, std::strerror(errno));
    handle->~cache_handle();
    cache_free(memory);
    return nullptr;
  }
  cache->key2_buckets =
      static_cast<generic_cache_item**>(cache_calloc(buckets, sizeof(generic_cache_item*)));
  if (cache->key2_buckets == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: calloc for size [%d] failed with the error [%s].",
                 table_bytes, std::strerror(errno));
    cache_free(cache->key1_buckets);
    handle->~cache_handle();
    cache_free(memory);
    return nullptr;
  }

  cache->element_callback = callback;
  cache->key1_hash =
      key1_hash != nullptr ? key1_hash : mem_cache_detail::default_key1_hash(key1_case_sensitive);
  cache->key2_hash =
      key2_hash != nullptr ? key2_hash : mem_cache_detail::default_key2_hash(key2_case_sensitive);
  // The comparison follows the flag even with a caller's hash.
  cache->key1_cmp = key1_case_sensitive ? std::strcmp : strcasecmp;
  cache->key2_cmp = key2_case_sensitive ? std::strcmp : strcasecmp;
  cache->key1_case_sensitive = key1_case_sensitive;
  cache->key2_case_sensitive = key2_case_sensitive;
  cache->lru_head = nullptr;
  cache->lru_tail = nullptr;
  cache->max_bytes = max_bytes;
  cache->expected_entry_size = expected_entry_size;
  std::memset(&cache->stats, 0, sizeof cache->stats);
  std::memset(handle->slots, 0, sizeof handle->slots);
  handle->promotions.claimed = 0;
#ifdef OBJSTORE_CACHE_CHECKS
  handle->sections_until_check = 0;
#endif
  cache->stats.cur_bytes = fixed_charge(buckets);
  cache->stats.num_buckets = buckets;
  return cache;
}

void generic_cache_remove_all(generic_cache_t* cache) {
  refuse_reentry(cache, __func__);
  if (cache == nullptr) return;
  std::exception_ptr failure;
  {
    exclusive_section guard(cache);
    failure = release_all(cache);
  }
  if (failure) std::rethrow_exception(failure);
}

void generic_cache_del_cache(generic_cache_t* cache) {
  refuse_reentry(cache, __func__);
  if (cache == nullptr) return;
  std::exception_ptr failure;
  {
    exclusive_section guard(cache);
    failure = release_all(cache);
  }
  cache_free(cache->key1_buckets);
  cache_free(cache->key2_buckets);
  cache_handle* handle = handle_of(cache);
  handle->~cache_handle();
  cache_free(handle);
  if (failure) std::rethrow_exception(failure);
}

void generic_cache_get_stats(generic_cache_t* cache, generic_cache_stats* stats) {
  refuse_reentry(cache, __func__);
  if (cache == nullptr || stats == nullptr) return;
  shared_section guard(cache);
  const generic_cache_stats& source = cache->stats;
  stats->num_entries = source.num_entries;
  stats->cur_bytes = source.cur_bytes;
  stats->num_buckets = source.num_buckets;
  stats->num_inserts = source.num_inserts;
  stats->num_removes = source.num_removes;
  stats->num_renames = source.num_renames;
  // Concurrent lookups may be counting right now: read the slots atomically.
  stats->num_hits = 0;
  stats->num_misses = 0;
  for (const lookup_counter_slot& slot : handle_of(cache)->slots) {
    stats->num_hits += __atomic_load_n(&slot.hits, __ATOMIC_RELAXED);
    stats->num_misses += __atomic_load_n(&slot.misses, __ATOMIC_RELAXED);
  }
  stats->num_collisions = source.num_collisions;
}

generic_cache_element_t* generic_cache_find_element_with_key1(generic_cache_t* cache,
                                                              const char* key, int len) {
  refuse_reentry(cache, __func__);
  return find_element<kKey1Side>(cache, key, len);
}

generic_cache_element_t* generic_cache_find_element_with_key2(generic_cache_t* cache,
                                                              const char* key, int len) {
  refuse_reentry(cache, __func__);
  return find_element<kKey2Side>(cache, key, len);
}

int generic_cache_visit_element_with_key1(generic_cache_t* cache, const char* key, int len,
                                          VisitFunc visit, void* user_data) {
  refuse_reentry(cache, __func__);
  return visit_element<kKey1Side, false>(cache, key, len, visit, user_data);
}

int generic_cache_visit_element_with_key2(generic_cache_t* cache, const char* key, int len,
                                          VisitFunc visit, void* user_data) {
  refuse_reentry(cache, __func__);
  return visit_element<kKey2Side, false>(cache, key, len, visit, user_data);
}

int generic_cache_visit_and_update_pos_with_key1(generic_cache_t* cache, const char* key, int len,
                                                 VisitFunc visit, void* user_data) {
  refuse_reentry(cache, __func__);
  return visit_element<kKey1Side, true>(cache, key, len, visit, user_data);
}

int generic_cache_visit_and_update_pos_with_key2(generic_cache_t* cache, const char* key, int len,
                                                 VisitFunc visit, void* user_data) {
  refuse_reentry(cache, __func__);
  return visit_element<kKey2Side, true>(cache, key, len, visit, user_data);
}

int generic_cache_delete_with_key1(generic_cache_t* cache, const char* key, int len) {
  refuse_reentry(cache, __func__);
  return delete_element<kKey1Side>(cache, key, len);
}

int generic_cache_delete_with_key2(generic_cache_t* cache, const char* key, int len) {
  refuse_reentry(cache, __func__);
  return delete_element<kKey2Side>(cache, key, len);
}

int generic_cache_update_pos_with_key1(generic_cache_t* cache, const char* key, int len) {
  refuse_reentry(cache, __func__);
  return promote_element<kKey1Side>(cache, key, len);
}

int generic_cache_update_pos_with_key2(generic_cache_t* cache, const char* key, int len) {
  refuse_reentry(cache, __func__);
  return promote_element<kKey2Side>(cache, key, len);
}

int generic_cache_update_with_key1(generic_cache_t* cache, const char* key, int len,
                                   generic_cache_element_t* element) {
  refuse_reentry(cache, __func__);
  return replace_element<kKey1Side>(cache, key, len, element);
}

int generic_cache_update_with_key2(generic_cache_t* cache, const char* key, int len,
                                   generic_cache_element_t* element) {
  refuse_reentry(cache, __func__);
  return replace_element<kKey2Side>(cache, key, len, element);
}

int generic_cache_rename_all_key1_if(generic_cache_t* cache, RenameFunc rename, void* user_data) {
  refuse_reentry(cache, __func__);
  return rename_all<kKey1Side, kKey2Side>(cache, rename, user_data);
}

int generic_cache_rename_all_key2_if(generic_cache_t* cache, RenameFunc rename, void* user_data) {
  refuse_reentry(cache, __func__);
  return rename_all<kKey2Side, kKey1Side>(cache, rename, user_data);
}

void generic_cache_get_bucket_stats(generic_cache_t* cache, generic_cache_bucket_stats* stats) {
  refuse_reentry(cache, __func__);
  if (cache == nullptr || stats == nullptr) return;
  shared_section guard(cache);
  const int buckets = cache->stats.num_buckets;
  stats->num_buckets = buckets;
  stats->key1_used_buckets = 0;
  stats->key1_longest_chain = 0;
  stats->key2_used_buckets = 0;
  stats->key2_longest_chain = 0;
  for (int i = 0; i < buckets; ++i) {
    int32_t chain1 = 0;
    for (const generic_cache_item* item = cache->key1_buckets[i]; item != nullptr;
         item = item->key1_next)
      ++chain1;
    int32_t chain2 = 0;
    for (const generic_cache_item* item = cache->key2_buckets[i]; item != nullptr;
         item = item->key2_next)
      ++chain2;
    if (chain1 > 0) ++stats->key1_used_buckets;
    if (chain2 > 0) ++stats->key2_used_buckets;
    if (chain1 > stats->key1_longest_chain) stats->key1_longest_chain = chain1;
    if (chain2 > stats->key2_longest_chain) stats->key2_longest_chain = chain2;
  }
}

void generic_cache_dump_cache(const generic_cache_t* cache) {
  refuse_reentry(cache, __func__);
  if (cache == nullptr) return;
  shared_section guard(cache);
  for (int i = 0; i < cache->stats.num_buckets; ++i) {
    for (const generic_cache_item* item = cache->key1_buckets[i]; item != nullptr;
         item = item->key1_next) {
      const generic_cache_element* e = item->element;
      // The level is asked per element: the walk runs in full either way.
      OBJSTORE_LOG(4, kDumpSignature,
                   "Bucket[%d]: key1 [%s], key1_len [%d], key2 [%s], key2_len [%d], data [%p]", i,
                   e->key1, e->key1_len, e->key2 != nullptr ? e->key2 : "(null)", e->key2_len,
                   e->data);
    }
  }
}
