// Bulk rename: every element is offered, most recently used first, to the
// caller's rename function under the exclusive lock. Invariants: a renamed
// node is relinked under its new key's hash and its charge follows the new
// key length; a node is never left in a chain its element's keys no longer
// select: an element whose rename broke the contract leaves the cache.

#include <cstdint>
#include <cstring>

#include "cache/cache_node_internal.h"
#include "cache/cache_ops_internal.h"
#include "host/LogWriter.h"

namespace mem_cache_detail {
namespace {

// Offers one element to the rename function; on 0 relinks its node under the
// new key of `side`, at the head of both chains, and corrects the charge.
// The element leaves the cache (released and logged) when the function broke
// the contract: an unusable new key, or a change to the other key, whose
// chain the node would otherwise stay in under a stale hash.
template <const key_side& side, const key_side& other>
int rename_one(generic_cache_t* cache, generic_cache_item* item, RenameFunc rename,
               void* user_data) {
  generic_cache_element* e = item->element;
  const int32_t old_len = e->*side.key_len;
  const char* const other_key = e->*other.key;
  const int32_t other_len = e->*other.key_len;

  int code;
  {
    in_callback scope(cache);
    code = rename(e, user_data, cache->*side.case_sensitive);
  }
  if (code != 0) return code;

  const char* new_key = e->*side.key;
  if (e->*other.key != other_key || e->*other.key_len != other_len) {
    OBJSTORE_LOG(-1, side.rename_signature,
                 "Error: the rename of %s changed %s [%p] or %s_len [%d].", side.name, other.name,
                 static_cast<const void*>(e->*other.key), other.name, e->*other.key_len);
    rem_item_from_cache(cache, item);
    return code;
  }
  if (!side.optional && (new_key == nullptr || new_key[0] == '\0')) {
    OBJSTORE_LOG(-1, side.rename_signature, "Error: renamed key1 [%p] is invalid or key1[0] is 0.",
                 static_cast<const void*>(new_key));
    rem_item_from_cache(cache, item);
    return code;
  }
  if (side.optional && new_key != nullptr && new_key[0] == '\0') {
    OBJSTORE_LOG(-1, side.rename_signature, "Error: renamed key2[0] is 0.");
    rem_item_from_cache(cache, item);
    return code;
  }

  // The old links are found from the stored hashes, before they change.
  chains_unlink(cache, item);
  e->*side.key_len = new_key != nullptr ? static_cast<int32_t>(std::strlen(new_key)) : -1;
  store_hash(cache, side, item);
  chains_push(cache, item);
  ++cache->stats.num_renames;
  // A key costs its length plus a terminator; a length of -1 means "no key2"
  // and was never charged.
  int64_t delta = 0;
  if (old_len != -1) delta -= static_cast<int64_t>(old_len) + 1;
  if (e->*side.key_len != -1) delta += static_cast<int64_t>(e->*side.key_len) + 1;
  adjust_charge(cache, item, delta);
  return code;
}

}  // namespace

// Offers every element, most recently used first. The successor is taken
// before the call because a dropped node is freed.
template <const key_side& side, const key_side& other>
int rename_all(generic_cache_t* cache, RenameFunc rename, void* user_data) {
  if (cache == nullptr || rename == nullptr) {
    OBJSTORE_LOG(-1, side.rename_signature, "Error: cache [%p] or rename function is invalid.",
                 static_cast<const void*>(cache));
    return 1;
  }
  exclusive_section guard(cache);
  int result = 0;
  for (generic_cache_item* item = cache->lru_head; item != nullptr;) {
    generic_cache_item* next = item->lru_next;
    result = rename_one<side, other>(cache, item, rename, user_data);
    if (result > 0) break;
    item = next;
  }
  return result;
}

template int rename_all<kKey1Side, kKey2Side>(generic_cache_t*, RenameFunc, void*);
template int rename_all<kKey2Side, kKey1Side>(generic_cache_t*, RenameFunc, void*);

}  // namespace mem_cache_detail
