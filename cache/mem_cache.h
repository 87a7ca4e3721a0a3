// A byte-budgeted LRU cache of caller-owned elements, found by a primary
// string key (key1) or an optional secondary one (key2).
//
// The cache never copies a key or a payload. It links the caller's element
// into two hash tables and one recency list through a small node of its own,
// and hands each element back through the release callback when it leaves
// (eviction, deletion, replacement, clearing, destruction).
//
// Budget: creation charges a fixed amount for the tables,
//   8 * (2 * num_buckets + 26) bytes,
// and every element costs key1_len + key2_len + data_len + 98 bytes (96 bytes
// of overhead plus one terminator per key; a null key2 with key2_len -1 costs
// nothing). When an insertion does not fit, the least recently used elements
// are evicted, one at a time, until it does.
//
// Locking: every handle carries a reader-writer lock. The two lookups and the
// statistics take it shared; so do the promotions, which queue their move to
// the head of the recency list for the next exclusive operation to apply
// first (so every eviction and rename walk sees the exact recency order).
// Every other operation takes it exclusively and runs the release or rename
// callback under it, so a callback must never call back into the same cache.
// The handle's recency fields (lru_head, lru_tail and the nodes' lru links)
// may lag behind queued promotions until then: treat the handle as opaque.
//
// Status results: 0 for success, 1 for failure or "not found". Every failure
// is also written to the host's log writer at level -1.
//
// Example:
//   generic_cache_t* cache = generic_cache_init_cache(1 << 20, 200, free_element,
//                                                     nullptr, nullptr, true, true);
//   generic_cache_update_with_key1(cache, e->key1, -1, e);   // insert or replace
//   generic_cache_element_t* hit = generic_cache_find_element_with_key1(cache, "k", -1);
//   generic_cache_update_pos_with_key1(cache, "k", -1);      // mark as used
//   generic_cache_del_cache(cache);                           // releases the rest
#ifndef OBJSTORE_CACHE_MEM_CACHE_H_
#define OBJSTORE_CACHE_MEM_CACHE_H_

#include <cstdint>

#include "host/Export.h"
#include "host/Locks.h"

// The caller's record. The caller allocates and fills it and keeps it alive
// until the release callback hands it back. While it is cached, its keys, key
// lengths and data_len must not change except through the rename operations:
// lookups would miss it. (The cache keeps the keys' hashes and the charge it
// admitted, so such a change cannot corrupt it or its byte count.)
typedef struct generic_cache_element {
  char* key1;        // primary key: required, non-empty, NUL-terminated
  char* key2;        // secondary key, or null; if present, non-empty
  int32_t key1_len;  // strlen(key1), or -1 to have insertion store it
  int32_t key2_len;  // strlen(key2), or -1 (also for a null key2)
  void* data;        // the caller's payload; never dereferenced
  int32_t data_len;  // payload bytes, counted against the budget
} generic_cache_element_t;

// Release callback: receives each element once, as it leaves the cache. It
// runs under the cache's exclusive lock, after the element's node has been
// unlinked, its charge refunded and num_entries lowered.
//
// It may throw. The exception then leaves the cache function that called
// it, with the lock released (a scope object holds it) and the cache
// consistent: the element handed over is no longer cached and cur_bytes
// matches what stays. What the call did before the throw stays done; what it
// had yet to do is not done:
//   - a deletion: the element is gone;
//   - an update, throwing for the element replaced under `key` or for an
//     eviction: the elements evicted until then are gone, and `element` is
//     not inserted and is still the caller's (also when it was the cached
//     element passed back, which is then no longer cached);
//   - a rename walk, throwing for an element that broke the contract: the
//     elements offered before it keep their new keys, the rest are not
//     offered;
//   - generic_cache_remove_all and generic_cache_del_cache: every element
//     is still released, and the first exception is rethrown once the cache
//     is empty (for del_cache, once it is freed); later ones are dropped.
typedef void (*CallBackFunc)(generic_cache_element* element);
// Hash of a key of `len` bytes (len >= 1); any value, the cache masks it.
typedef int32_t (*HashFunc)(const char* key, int32_t len);
// Bulk rename: may change one key of `element`. Negative: unchanged, go on;
// 0: the key may have changed, relink; positive: stop and return the code.
// `case_sensitive` is the cache's flag for the key being offered. If it
// throws, the exception leaves the walk with the lock released; an element
// whose key it changed before throwing is not relinked: it stays cached, but
// lookups miss it under both its new key and its old one until it leaves.
typedef int32_t (*RenameFunc)(generic_cache_element* element, void* user_data, bool case_sensitive);
typedef int (*KeyCompareFunc)(const char*, const char*);
// Pinned lookup: sees the element found, while it is still cached.
typedef void (*VisitFunc)(generic_cache_element* element, void* user_data);

// The cache's node: one per cached element.
typedef struct generic_cache_item {
  generic_cache_item* key1_prev;
  generic_cache_item* key1_next;
  generic_cache_item* key2_prev;  // both null when the element has no key2
  generic_cache_item* key2_next;
  generic_cache_item* lru_prev;  // more recently used neighbour
  generic_cache_item* lru_next;  // less recently used neighbour
  generic_cache_element* element;
} generic_cache_item_t;

struct generic_cache_stats {
  int32_t num_entries;      // elements now cached
  uint64_t cur_bytes;       // fixed charge plus every element's charge
  int32_t num_buckets;      // buckets in each of the two tables
  uint64_t num_inserts;     // successful insertions
  uint64_t num_removes;     // evictions, deletions, replacements (not clearing)
  uint64_t num_renames;     // nodes relinked by the rename operations
  uint64_t num_hits;        // lookups that found a node
  uint64_t num_misses;      // lookups with a valid key that found none
  uint64_t num_collisions;  // links in front of another node in a chain
};

// The handle. Created and destroyed only by generic_cache_init_cache and
// generic_cache_del_cache; treat it as opaque.
typedef struct generic_cache {
  mutable ZqComplexLock lock;  // guards everything below; the dump locks a const handle
  generic_cache_item** key1_buckets;
  generic_cache_item** key2_buckets;
  CallBackFunc element_callback;
  HashFunc key1_hash;
  HashFunc key2_hash;
  KeyCompareFunc key1_cmp;  // strcmp or strcasecmp
  KeyCompareFunc key2_cmp;
  bool key1_case_sensitive;
  bool key2_case_sensitive;
  generic_cache_item* lru_head;  // most recently used
  generic_cache_item* lru_tail;  // least recently used: evicted first
  int32_t max_bytes;
  int32_t expected_entry_size;
  // num_hits and num_misses stay 0 here: lookups count them on per-CPU lines
  // that the cache keeps behind the handle. generic_cache_get_stats adds
  // those up and copies the other fields under the lock; call it instead of
  // reading this record.
  generic_cache_stats stats;
} generic_cache_t;

// Creates a cache with a budget of `max_bytes` for elements of about
// `expected_entry_size` bytes each; the tables get the largest power of two
// not above max_bytes / (expected_entry_size + 96) buckets (at least one).
// A null hash selects the default for the key's case flag; the comparison is
// strcmp or strcasecmp by the flag, so a caller's hash for case-insensitive
// keys must ignore case too. Returns null (and logs) on invalid sizes or
// failed allocation.
OBJSTORE_API generic_cache_t* generic_cache_init_cache(int max_bytes, int expected_entry_size,
                                                       CallBackFunc callback, HashFunc key1_hash,
                                                       HashFunc key2_hash, bool key1_case_sensitive,
                                                       bool key2_case_sensitive);

// Releases every element (in primary-table order) and frees the cache. Null
// is accepted. No other thread may be inside or enter any operation on it.
OBJSTORE_API void generic_cache_del_cache(generic_cache_t* cache);

// Copies the statistics into `stats`, under the shared lock. Lookups count
// their hits and misses outside the handle's `stats` record (on per-CPU
// lines, so that concurrent lookups do not all write one cache line), which
// keeps them at 0: this is the only place to read them.
OBJSTORE_API void generic_cache_get_stats(generic_cache_t* cache, generic_cache_stats* stats);

// Releases every element and returns the cache to its charge at creation; the
// counters keep running (cleared elements are not counted as removes).
OBJSTORE_API void generic_cache_remove_all(generic_cache_t* cache);

// Lookups: the element whose key equals `key` (strcmp or strcasecmp), or
// null. `len` is strlen(key) or -1. They do not change the recency order.
// The element may leave the cache as soon as the call returns: a caller that
// shares the cache between threads and reads the element afterwards uses a
// pinned lookup (generic_cache_visit_element_with_key1 below) instead.
OBJSTORE_API generic_cache_element_t* generic_cache_find_element_with_key1(generic_cache_t* cache,
                                                                           const char* key,
                                                                           int len);
OBJSTORE_API generic_cache_element_t* generic_cache_find_element_with_key2(generic_cache_t* cache,
                                                                           const char* key,
                                                                           int len);

// Pinned lookups: call `visit(element, user_data)` with the element whose key
// equals `key`, while the cache still holds it (under the shared lock), so
// that the caller can take a reference of its own, copy a field or decide,
// and no other thread can evict the element and hand it to the release
// callback until `visit` returns. Each counts a hit or a miss as the plain
// lookups do; the _and_update_pos variants also mark the element as most
// recently used, as generic_cache_update_pos_with_key1/2 would. 0 when an
// element was found and visited, 1 otherwise (also for a null cache or
// visit, or an invalid key, which count nothing).
//
// `visit` runs while other threads may read the cache and while every
// insertion, deletion and rename waits: keep it short, and never call into
// the same cache from it (that waits for ever; Debug builds abort instead).
// It may throw: the lock is released and the exception leaves the call, with
// the lookup counted and the promotion queued.
OBJSTORE_API int generic_cache_visit_element_with_key1(generic_cache_t* cache, const char* key,
                                                       int len, VisitFunc visit, void* user_data);
OBJSTORE_API int generic_cache_visit_element_with_key2(generic_cache_t* cache, const char* key,
                                                       int len, VisitFunc visit, void* user_data);
OBJSTORE_API int generic_cache_visit_and_update_pos_with_key1(generic_cache_t* cache,
                                                              const char* key, int len,
                                                              VisitFunc visit, void* user_data);
OBJSTORE_API int generic_cache_visit_and_update_pos_with_key2(generic_cache_t* cache,
                                                              const char* key, int len,
                                                              VisitFunc visit, void* user_data);

// Removes the element found under `key` and hands it to the release
// callback. 0 when one was removed, 1 otherwise.
OBJSTORE_API int generic_cache_delete_with_key1(generic_cache_t* cache, const char* key, int len);
OBJSTORE_API int generic_cache_delete_with_key2(generic_cache_t* cache, const char* key, int len);

// Marks the element found under `key` as most recently used. 0 or 1.
OBJSTORE_API int generic_cache_update_pos_with_key1(generic_cache_t* cache, const char* key,
                                                    int len);
OBJSTORE_API int generic_cache_update_pos_with_key2(generic_cache_t* cache, const char* key,
                                                    int len);

// Removes (and releases) the element found under `key`, if any, then inserts
// `element`, evicting from the least recently used end until it fits. The
// lookup key and the element's own keys are independent. 0 when `element` was
// inserted; 1 when it was refused, in which case the caller still owns it.
// Passing the element that is cached under `key` re-inserts it as most
// recently used without handing it to the release callback.
//
// An element too large for the cache (its charge above max_bytes less the
// tables' fixed charge) is not caught before the evictions: every element
// is evicted first, each handed to the release callback and counted in
// num_removes, and only the empty cache refuses it, with result 1 and
// "Error: no room in cache for N bytes" (N its charge) at level -1. The
// cache is then empty, at its fixed charge; num_inserts does not move; the
// caller still owns `element`. A caller whose elements may be that large
// compares first (objstore::TwoKeyCache::insert does).
OBJSTORE_API int generic_cache_update_with_key1(generic_cache_t* cache, const char* key, int len,
                                                generic_cache_element_t* element);
OBJSTORE_API int generic_cache_update_with_key2(generic_cache_t* cache, const char* key, int len,
                                                generic_cache_element_t* element);

// Offers every element, most recently used first, to `rename`, which may
// change its key1 (or key2) in place; on 0 the node is moved to the chains of
// the new key and the charge corrected. Never evicts and never releases,
// except an element that `rename` left breaking the contract (a null or empty
// key1, an empty key2, or a change to the key not offered or its length):
// that one is removed, released and logged. Returns the code of the last
// element offered, or 0 for an empty cache.
//
// The walk holds the cache's lock exclusively from the first element to the
// last, `rename` and any release included: every lookup, promotion,
// insertion and deletion waits for the whole walk.
OBJSTORE_API int generic_cache_rename_all_key1_if(generic_cache_t* cache, RenameFunc rename,
                                                  void* user_data);
OBJSTORE_API int generic_cache_rename_all_key2_if(generic_cache_t* cache, RenameFunc rename,
                                                  void* user_data);

// Writes one level-4 line per element, grouped by primary bucket. Holds the
// cache's lock shared for the whole walk, one log write per element: every
// insertion, deletion and rename waits until the dump ends, so a slow log
// writer blocks every update for the dump's length. Lookups that arrive
// while such an update waits are held back behind it until the dump and the
// update are done, so the whole cache stops. The level is asked per
// element: with the writer below level 4, or none installed, the walk still
// visits every element, writing nothing.
OBJSTORE_API void generic_cache_dump_cache(const generic_cache_t* cache);

// ---- Strong hashes and bucket statistics ----------------------------------
//
// The default hashes add up every second or third byte, so keys that differ
// in few positions, or only by moving digits between positions, crowd into
// few buckets: 100,000 keys of the form "/vol1/dir%03d/file%06d.dat" fill 19
// of 65,536 buckets, and every lookup walks a chain of thousands. Keys that
// share long prefixes or suffixes (paths, padded numbers, hexadecimal
// identifiers) should use the strong pair instead:
//
//   generic_cache_t* cache = generic_cache_init_cache(
//       budget, entry_size, release, generic_cache_hash_strong,
//       generic_cache_hash_strong_cis, true, false);
//
// Both are XXH3 (64-bit, seed 0) reduced to its low 32 bits; every byte of the
// key counts. The _cis variant hashes the key as if its ASCII letters were
// lower case, without copying the key to the heap, so that keys equal under
// strcasecmp in the "C" and UTF-8 locales hash alike: pass it for a table
// whose case flag is false. Neither ever changes: a hash value may be stored.

// XXH3 of the `len` bytes at `key` (len >= 1).
OBJSTORE_API int32_t generic_cache_hash_strong(const char* key, int32_t len);
// generic_cache_hash_strong of the key with 'A'-'Z' folded to 'a'-'z'.
OBJSTORE_API int32_t generic_cache_hash_strong_cis(const char* key, int32_t len);

// How well a hash spreads the cached keys over each table.
struct generic_cache_bucket_stats {
  int32_t num_buckets;         // buckets in each table
  int32_t key1_used_buckets;   // primary buckets holding at least one element
  int32_t key1_longest_chain;  // elements in the fullest primary bucket
  int32_t key2_used_buckets;   // the same for the secondary table, which
  int32_t key2_longest_chain;  // holds only the elements that have a key2
};

// Counts the chains of both tables under the shared lock, held for the whole
// pass over the tables and the elements: insertions, deletions and renames
// wait for it, and so do lookups that arrive behind a waiting one. A good
// hash keeps the longest chain near num_entries / used buckets; a chain of
// hundreds means the hash is failing its keys. Leaves `stats` untouched when
// either pointer is null.
OBJSTORE_API void generic_cache_get_bucket_stats(generic_cache_t* cache,
                                                 generic_cache_bucket_stats* stats);

#endif  // OBJSTORE_CACHE_MEM_CACHE_H_
