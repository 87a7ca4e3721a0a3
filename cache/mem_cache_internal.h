// What the memory cache shares with its tests: the signature texts of its
// messages, its structural self-check and its allocation hooks.
// Not installed, and nothing here is exported from the shared library: the
// tests and fuzz targets link the library's objects as a static archive
// (objstore_utils_internal), not libobjstore_utils.so.
#ifndef OBJSTORE_CACHE_MEM_CACHE_INTERNAL_H_
#define OBJSTORE_CACHE_MEM_CACHE_INTERNAL_H_

#include <string>

#include "cache/mem_cache.h"

// Signature texts the cache's messages carry. Operators grep for them, so they
// never change, whatever the functions behind them are called today.
inline constexpr char kInitSignature[] =
    "generic_cache_t* generic_cache_init_cache(int, int, CallBackFunc, HashFunc, HashFunc, bool, "
    "bool)";
inline constexpr char kInsertSignature[] =
    "int generic_cache_insert(generic_cache_t*, generic_cache_element_t*)";
inline constexpr char kFind1Signature[] =
    "generic_cache_item_t* find_item_with_key1(generic_cache_t*, const char*, int)";
inline constexpr char kFind2Signature[] =
    "generic_cache_item_t* find_item_with_key2(generic_cache_t*, const char*, int)";
inline constexpr char kRename1Signature[] =
    "int generic_cache_rename_all_key1_if(generic_cache_t*, RenameFunc, void*)";
inline constexpr char kRename2Signature[] =
    "int generic_cache_rename_all_key2_if(generic_cache_t*, RenameFunc, void*)";
inline constexpr char kDumpSignature[] = "void generic_cache_dump_cache(const generic_cache_t*)";
inline constexpr char kUpdate1Signature[] =
    "int generic_cache_update_with_key1(generic_cache_t*, const char*, int, "
    "generic_cache_element_t*)";
inline constexpr char kUpdate2Signature[] =
    "int generic_cache_update_with_key2(generic_cache_t*, const char*, int, "
    "generic_cache_element_t*)";

// Checks every structural invariant of `cache` and returns a description of
// the first one broken, or "" when all hold:
//   - num_buckets is a power of two;
//   - the recency list is consistently doubly linked, from lru_head to
//     lru_tail, and holds exactly num_entries nodes;
//   - every node sits in the primary chain its stored key1 hash selects, and
//     in the secondary chain its stored key2 hash selects exactly when it has
//     a key2; every chain is consistently linked and holds only listed nodes,
//     each once;
//   - cur_bytes is the fixed charge plus the charges stored in the nodes;
//   - every queued promotion names a listed node.
// It reads only what the cache keeps itself (stored hashes and charges), never
// the elements, so a caller who broke the element contract does not make it
// fail. Takes the cache's lock exclusively, without applying the queued
// promotions: the caller must not hold it. Costs one pass over the buckets
// and a few over the nodes, writing only a mark in each node that it clears
// again; allocates only the description of a failure. A null cache is
// reported, not read.
std::string mem_cache_check_invariants(generic_cache_t* cache);

// Lets a test fail any allocation of the cache's own memory and see every
// release. `allocation_fails` is asked before each allocation (handle, tables,
// nodes); when it answers true, that allocation fails with ENOMEM as if the
// heap were exhausted. `released` is told of each release of non-null memory.
struct mem_cache_allocation_hooks {
  bool (*allocation_fails)();
  void (*released)(void* memory);
};

// Installs `hooks` for every cache in the process; null removes them. The
// hooks must outlive their use. Call only while no thread is inside a cache
// operation: the allocation path reads the pointer without synchronisation.
void mem_cache_set_allocation_hooks(const mem_cache_allocation_hooks* hooks);

#endif  // OBJSTORE_CACHE_MEM_CACHE_INTERNAL_H_
