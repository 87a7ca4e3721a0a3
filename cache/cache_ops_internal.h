// What the memory cache's operations are built from: the locked sections, the
// lookup path and the fast path of the promotion queue, defined here inline
// so that the compiler may inline them into the exported lookups as it could
// when the cache was one unit; and the entry points of the insertion, rename,
// promotion and check units. Shared by the cache's units only: not
// installed, nothing exported.
#ifndef OBJSTORE_CACHE_CACHE_OPS_INTERNAL_H_
#define OBJSTORE_CACHE_CACHE_OPS_INTERNAL_H_

#include <sched.h>

#include <cstdint>
#include <cstring>

#include "cache/cache_node_internal.h"
#include "cache/mem_cache.h"
#include "host/LogWriter.h"

namespace mem_cache_detail {

// ---- Promotions (cache_promotions.cpp) ------------------------------------------------

// Under the exclusive lock, with promotions queued: applies them.
void apply_queued_promotions_now(generic_cache_t* cache);

// Under the exclusive lock: applies the queued promotions, if any. Every
// exclusive section calls it first; the queue is usually empty.
inline void apply_queued_promotions(generic_cache_t* cache) {
  if (__atomic_load_n(&handle_of(cache)->promotions.claimed, __ATOMIC_RELAXED) != 0)
    apply_queued_promotions_now(cache);
}

// Under the shared lock: queues a promotion of `item`. False when the queue is
// full. The claim acquires the reset of the count, so the slot it hands out
// has been emptied.
inline bool queue_promotion(generic_cache_t* cache, generic_cache_item* item) {
  promotion_queue& queue = handle_of(cache)->promotions;
  const uint32_t slot = __atomic_fetch_add(&queue.claimed, 1, __ATOMIC_ACQ_REL);
  if (slot >= kQueuedPromotions) return false;
  __atomic_store_n(&queue.items[slot], item, __ATOMIC_RELEASE);
  return true;
}

// Under the shared lock, for a promotion that found the queue full: promotes
// `item` in the recency list, after everything queued before it.
void promote_with_full_queue(generic_cache_t* cache, generic_cache_item* item);

// ---- Self-check (cache_check.cpp) ---------------------------------------------------

#ifdef OBJSTORE_CACHE_CHECKS
// Under the exclusive lock, at the end of a section: checks the invariants
// now and then, and aborts naming the first one broken.
void check_after_section(generic_cache_t* cache);
#endif

// ---- Locking ----------------------------------------------------------------------

// Holds the cache's lock, shared (rdlock) or exclusively (rwlock), and does
// nothing else. The lock is mutable: the dump locks a const handle.
template <int (ZqComplexLock::*take)()>
class lock_hold {
 public:
  explicit lock_hold(const generic_cache_t* cache) : lock_(cache->lock) { (lock_.*take)(); }
  ~lock_hold() { lock_.unlock(); }
  lock_hold(const lock_hold&) = delete;
  lock_hold& operator=(const lock_hold&) = delete;

 private:
  ZqComplexLock& lock_;
};

using shared_section = lock_hold<&ZqComplexLock::rdlock>;
using write_hold = lock_hold<&ZqComplexLock::rwlock>;

// Every exclusive section begins by applying the queued promotions; in debug
// builds it ends, before the lock is released, by checking the invariants.
class exclusive_section {
 public:
  explicit exclusive_section(generic_cache_t* cache) : hold_(cache), cache_(cache) {
    apply_queued_promotions(cache_);
  }
#ifdef OBJSTORE_CACHE_CHECKS
  ~exclusive_section() { check_after_section(cache_); }
#endif
  exclusive_section(const exclusive_section&) = delete;
  exclusive_section& operator=(const exclusive_section&) = delete;

 private:
  write_hold hold_;  // released after the destructor's check
  generic_cache_t* cache_;
};

// ---- Lookup -------------------------------------------------------------------------

// sched_getcpu reads the CPU number that the kernel keeps for the thread (no
// system call), so threads on different cores count on different lines.
inline lookup_counter_slot& counter_slot(generic_cache_t* cache) {
  const int cpu = sched_getcpu();
  return handle_of(cache)->slots[cpu > 0 ? static_cast<unsigned>(cpu) % kCounterSlots : 0];
}

inline void count_hit(generic_cache_t* cache) {
  __atomic_fetch_add(&counter_slot(cache).hits, 1, __ATOMIC_RELAXED);
}

inline void count_miss(generic_cache_t* cache) {
  __atomic_fetch_add(&counter_slot(cache).misses, 1, __ATOMIC_RELAXED);
}

// A lookup key checked and hashed before any lock is taken, so that the
// exclusive operations hold the lock only for the chain walk and the surgery.
struct lookup_key {
  const char* key;
  uint32_t hash;
  // The hash covers the whole key, so stored hashes can filter the chain. A
  // shorter explicit length hashes a prefix; then every node is compared.
  bool whole_key;
};

// Validates a lookup key and hashes it: -1 means strlen, a longer length is
// clamped to the key. Logs and returns false for a null or empty key or a
// length of 0 or below -1; no counter moves then.
template <const key_side& side>
inline bool prepare_lookup(const generic_cache_t* cache, const char* key, int len,
                           lookup_key* out) {
  bool valid = key != nullptr && key[0] != '\0' && (len == -1 || len > 0);
  if (!valid) {
    OBJSTORE_LOG(-1, side.find_signature, "Error: key [%p] is invalid or key[0] is 0.",
                 static_cast<const void*>(key));
    return false;
  }
  len = len == -1 ? static_cast<int>(std::strlen(key))
                  : static_cast<int>(strnlen(key, static_cast<size_t>(len)));
  out->key = key;
  out->hash = hash_key(cache, side, key, len);
  out->whole_key = key[len] == '\0';
  return true;
}

// Walks one chain from its head; the first node whose key compares equal
// wins. Counts nothing.
template <const key_side& side>
inline generic_cache_item* walk_chain(generic_cache_t* cache, const lookup_key& k) {
  const KeyCompareFunc compare = cache->*side.compare;
  for (generic_cache_item* item = (cache->*side.buckets)[bucket_of(cache, k.hash)]; item != nullptr;
       item = item->*side.next) {
    if ((!k.whole_key || hashed(item)->*side.stored_hash == k.hash) &&
        compare(item->element->*side.key, k.key) == 0)
      return item;
  }
  return nullptr;
}

// A lookup: walks the chain and counts a hit or a miss.
template <const key_side& side>
inline generic_cache_item* find_item(generic_cache_t* cache, const lookup_key& k) {
  generic_cache_item* item = walk_chain<side>(cache, k);
  if (item != nullptr)
    count_hit(cache);
  else
    count_miss(cache);
  return item;
}

// ---- Insertion (cache_insert.cpp) and bulk rename (cache_rename.cpp) -----------------
// Instantiated there for kKey1Side and kKey2Side (rename: with the other side
// second).

// Replaces the element found under `key` (if any) by `element`; 0 when
// `element` was inserted, 1 when refused.
template <const key_side& side>
int replace_element(generic_cache_t* cache, const char* key, int len,
                    generic_cache_element* element);

// Offers every element to `rename` and relinks those it renamed on `side`.
template <const key_side& side, const key_side& other>
int rename_all(generic_cache_t* cache, RenameFunc rename, void* user_data);

}  // namespace mem_cache_detail

#endif  // OBJSTORE_CACHE_CACHE_OPS_INTERNAL_H_
