// The memory cache's layout, shared by its units and nobody else (not
// installed; nothing here is exported from the shared library).
//
// Each cached element has one node. The node sits in three doubly linked
// lists at once: the chain of its key1 bucket, the chain of its key2 bucket
// (only when the element has a key2) and the recency list. Behind the public
// node the cache keeps the hash values of the element's keys, taken when the
// node was linked, and the element's charge: lookups compare strings only
// where the hash values agree, and removals find the node's buckets and its
// refund without reading the element again. An element's keys must still not
// change behind the cache's back: lookups would miss it.
//
// The helpers defined here are the ones the lookup path runs: inline, so
// that they compile into the exported lookups.
#ifndef OBJSTORE_CACHE_CACHE_NODE_INTERNAL_H_
#define OBJSTORE_CACHE_CACHE_NODE_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"

namespace mem_cache_detail {

// ---- Allocation (cache_alloc.cpp) ---------------------------------------------------

void* cache_malloc(size_t size);
// For the handle, whose lock and counters want whole cache lines.
void* cache_aligned_alloc(size_t alignment, size_t size);
void* cache_calloc(size_t count, size_t size);
void cache_free(void* memory);

// ---- Default hashes (cache_hash.cpp) ------------------------------------------------

// The hash a table gets when the creator passes none, by its case flag.
HashFunc default_key1_hash(bool case_sensitive);
HashFunc default_key2_hash(bool case_sensitive);

// ---- Nodes, handles and key sides -------------------------------------------------

// Per-element overhead counted against the budget (node and bookkeeping);
// also the divisor offset that sizes the tables.
inline constexpr int kEntryOverhead = 96;

// Pointer-to-member links let one chain routine serve both tables.
typedef generic_cache_item* generic_cache_item::*item_link;

// The node as the cache allocates it. Behind the public node it keeps what it
// must never take from the element again, because a caller may change the
// element while it is cached (the contract forbids it; the cache must still
// not corrupt itself):
//   - the hash values of the keys as last linked: lookups compare strings only
//     where they agree, and removals find the node's buckets from them;
//   - the charge the element was admitted with, adjusted by renames: removal
//     refunds exactly what was charged, so cur_bytes can never wrap.
// Equal keys hash alike (the comparison and the hash follow the same case
// flag), so a node whose stored hash differs from a lookup key's cannot match.
struct hashed_item {
  generic_cache_item item;  // first member: the public node's address is this one's
  uint32_t key1_hash;
  uint32_t key2_hash;       // 0 without key2
  uint64_t charge : 62;     // what this node adds to cur_bytes
  uint64_t has_key2 : 1;    // linked in a secondary chain
  uint64_t check_mark : 1;  // used by the invariant check only; clear otherwise
};
static_assert(sizeof(hashed_item) == 72, "a node costs 72 bytes of heap");

inline hashed_item* hashed(generic_cache_item* item) {
  return reinterpret_cast<hashed_item*>(item);
}

// Lookup counters, spread over cache lines by CPU: lookups hold the lock only
// shared, and if they all wrote one line, that line would bounce between the
// cores on every lookup. generic_cache_get_stats adds the slots up.
struct alignas(64) lookup_counter_slot {
  uint64_t hits;
  uint64_t misses;
};
inline constexpr unsigned kCounterSlots = 16;

// Promotions queued under the shared lock (cache_promotions.cpp says who
// fills and who empties it, under which lock).
inline constexpr uint32_t kQueuedPromotions = 64;

struct promotion_queue {
  alignas(64) uint32_t claimed;  // slots handed out since the queue was last applied
  alignas(64) generic_cache_item* items[kQueuedPromotions];  // null until filled
  alignas(64) std::mutex recency;
};

// The handle as the cache allocates it.
struct cache_handle {
  generic_cache_t cache;  // first member: the public handle's address is this one's
  lookup_counter_slot slots[kCounterSlots];
  promotion_queue promotions;
#ifdef OBJSTORE_CACHE_CHECKS
  uint32_t sections_until_check;  // see check_after_section
#endif
};

inline cache_handle* handle_of(generic_cache_t* cache) {
  return reinterpret_cast<cache_handle*>(cache);
}

// One key of the cache: its table, hash, comparison and case flag in the
// handle, its fields in the element, its links and stored hash in the node.
// Lookup, linking and rename are written once and told which side they serve;
// the operations take the side as a template argument, so that every member
// pointer folds to a constant offset on the lookup path.
struct key_side {
  generic_cache_item** generic_cache_t::*buckets;
  HashFunc generic_cache_t::*hash;
  KeyCompareFunc generic_cache_t::*compare;
  bool generic_cache_t::*case_sensitive;
  char* generic_cache_element::*key;
  int32_t generic_cache_element::*key_len;
  item_link prev;
  item_link next;
  uint32_t hashed_item::*stored_hash;
  bool optional;     // key2: an element may have none, and then is in no chain
  const char* name;  // in messages
  const char* find_signature;
  const char* rename_signature;
  const char* update_signature;
};

inline constexpr key_side kKey1Side = {&generic_cache_t::key1_buckets,
                                       &generic_cache_t::key1_hash,
                                       &generic_cache_t::key1_cmp,
                                       &generic_cache_t::key1_case_sensitive,
                                       &generic_cache_element::key1,
                                       &generic_cache_element::key1_len,
                                       &generic_cache_item::key1_prev,
                                       &generic_cache_item::key1_next,
                                       &hashed_item::key1_hash,
                                       false,
                                       "key1",
                                       kFind1Signature,
                                       kRename1Signature,
                                       kUpdate1Signature};

inline constexpr key_side kKey2Side = {&generic_cache_t::key2_buckets,
                                       &generic_cache_t::key2_hash,
                                       &generic_cache_t::key2_cmp,
                                       &generic_cache_t::key2_case_sensitive,
                                       &generic_cache_element::key2,
                                       &generic_cache_element::key2_len,
                                       &generic_cache_item::key2_prev,
                                       &generic_cache_item::key2_next,
                                       &hashed_item::key2_hash,
                                       true,
                                       "key2",
                                       kFind2Signature,
                                       kRename2Signature,
                                       kUpdate2Signature};

inline uint32_t hash_key(const generic_cache_t* cache, const key_side& side, const char* key,
                         int len) {
  return static_cast<uint32_t>((cache->*side.hash)(key, len));
}

// Bucket of a hash value. The mask is taken on the 32-bit two's-complement
// value, so negative hashes give valid indexes.
inline int bucket_of(const generic_cache_t* cache, uint32_t hash) {
  return static_cast<int>(hash & static_cast<uint32_t>(cache->stats.num_buckets - 1));
}

inline bool in_chain(generic_cache_item* item, const key_side& side) {
  return !side.optional || hashed(item)->has_key2;
}

// Takes the hash of one key of the node's element, whose length is settled.
inline void store_hash(generic_cache_t* cache, const key_side& side, generic_cache_item* item) {
  const generic_cache_element* e = item->element;
  const char* key = e->*side.key;
  if (side.optional) hashed(item)->has_key2 = key != nullptr;
  hashed(item)->*side.stored_hash =
      key != nullptr ? hash_key(cache, side, key, e->*side.key_len) : 0;
}

// ---- Charges ----------------------------------------------------------------------

// Fixed charge of a cache with `buckets` buckets per table: both tables and
// the handle. Creation and clearing both use it, so a cleared cache is charged
// exactly what a new one is.
inline uint64_t fixed_charge(int buckets) { return 8 * (2 * static_cast<uint64_t>(buckets) + 26); }

// Each key's terminator counts too, so a key of length L costs L + 1 bytes.
inline constexpr int kKeyTerminators = 2;

// The element's charge from its current fields, taken once at insertion.
// Computed in 64 bits so that large lengths cannot wrap into a small or
// negative charge.
inline int64_t calc_item_size(const generic_cache_element* e) {
  return static_cast<int64_t>(e->key1_len) + e->key2_len + e->data_len + kEntryOverhead +
         kKeyTerminators;
}

// Moves a node's charge by `delta`, never below zero, and cur_bytes with it.
void adjust_charge(generic_cache_t* cache, generic_cache_item* item, int64_t delta);

// ---- Chains and the recency list (cache_nodes.cpp) ---------------------------------

// Links or unlinks a node on both sides, at the head of each chain; a node
// without key2 keeps null secondary links.
void chains_push(generic_cache_t* cache, generic_cache_item* item);
void chains_unlink(generic_cache_t* cache, generic_cache_item* item);

// Links a node, whose hashes and charge are stored, at the head of its chains
// and of the recency list, and charges it.
void link_item(generic_cache_t* cache, generic_cache_item* item);

// Unlinks a node from everything, refunds its charge and frees it; counts a
// single removal. The element stays the caller's business.
void unlink_and_free_item(generic_cache_t* cache, generic_cache_item* item);

// Makes a node the most recently used; chains and counters stay as they are.
void promote_item(generic_cache_t* cache, generic_cache_item* item);

// Removes a node and hands its element to the release callback. The callback
// comes last, so it may free the element and its keys, and may even throw:
// the cache is consistent by then.
void rem_item_from_cache(generic_cache_t* cache, generic_cache_item* item);

// Releases every element and returns the cache to its charge at creation.
// Returns the first exception a release callback threw, for the caller to
// rethrow once the cache is consistent.
std::exception_ptr release_all(generic_cache_t* cache);

// ---- Calls back into the cache ----------------------------------------------------
// The release callback, the rename function and the visitor run under the
// cache's lock: a call from them into the same cache would wait for that lock
// for ever. Debug builds keep, per thread, the chain of caches whose
// callbacks are running, so that the exported operations can abort with the
// name of the function called instead of hanging.

#ifdef OBJSTORE_CACHE_CHECKS
class in_callback {
 public:
  explicit in_callback(const generic_cache_t* cache) : cache_(cache), outer_(innermost_) {
    innermost_ = this;
  }
  ~in_callback() { innermost_ = outer_; }
  in_callback(const in_callback&) = delete;
  in_callback& operator=(const in_callback&) = delete;

  static bool running_for(const generic_cache_t* cache) {
    for (const in_callback* scope = innermost_; scope != nullptr; scope = scope->outer_)
      if (scope->cache_ == cache) return true;
    return false;
  }

 private:
  static inline thread_local const in_callback* innermost_ = nullptr;
  const generic_cache_t* cache_;
  const in_callback* outer_;
};
#else
struct in_callback {
  explicit in_callback(const generic_cache_t* /*cache*/) {}
};
#endif

}  // namespace mem_cache_detail

#endif  // OBJSTORE_CACHE_CACHE_NODE_INTERNAL_H_
