// Insertion and replacement. Invariants: an element is linked only whole
// (checked, key lengths settled, hashed, its node allocated and charged) and
// only when cur_bytes plus its charge is within max_bytes, evicting from the
// least recently used end to get there; a refused element stays the caller's,
// and its node is freed.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "cache/cache_node_internal.h"
#include "cache/cache_ops_internal.h"
#include "cache/mem_cache_internal.h"
#include "host/LogWriter.h"

namespace mem_cache_detail {
namespace {

// Checks a key length the caller gave (or fills in a -1). strnlen reads at most
// len + 1 bytes, so a too-long length cannot run past the terminator.
bool settle_key_length(const char* key, int32_t* len) {
  if (*len == -1) {
    *len = static_cast<int32_t>(std::strlen(key));
    return true;
  }
  if (*len < 0) return false;
  return strnlen(key, static_cast<size_t>(*len) + 1) == static_cast<size_t>(*len);
}

// Why an insertion is refused, found before the lock and reported at the
// moment of insertion.
enum class refusal { kNone, kNoElement, kKey1, kKey1Len, kKey2, kKey2Len, kDataLen, kNoMemory };

// An insertion prepared before the lock: the element checked, its key lengths
// settled, its keys hashed and its node allocated and charged. Nothing is
// logged yet: an update first removes the element found under its lookup
// key, and the messages must follow that, as if everything ran under the
// lock. Frees its node unless insert_prepared linked it, whatever throws.
class pending_insert {
 public:
  pending_insert(generic_cache_t* cache, generic_cache_element* element)
      : element_(element), refusal_(check(element)) {
    if (refusal_ != refusal::kNone) return;
    node_ = static_cast<hashed_item*>(cache_malloc(sizeof(hashed_item)));
    if (node_ == nullptr) {
      refusal_ = refusal::kNoMemory;
      errno_ = errno;
      return;
    }
    generic_cache_item* item = &node_->item;
    item->element = element;
    store_hash(cache, kKey1Side, item);
    store_hash(cache, kKey2Side, item);
    node_->charge = static_cast<uint64_t>(calc_item_size(element));
    node_->check_mark = 0;
  }
  ~pending_insert() { cache_free(node_); }
  pending_insert(const pending_insert&) = delete;
  pending_insert& operator=(const pending_insert&) = delete;

  generic_cache_element* element() const { return element_; }
  refusal why_refused() const { return refusal_; }
  int saved_errno() const { return errno_; }
  int64_t charge() const { return static_cast<int64_t>(node_->charge); }
  generic_cache_item* release_node() {
    generic_cache_item* item = &node_->item;
    node_ = nullptr;
    return item;
  }

 private:
  // Settles the key lengths (a -1 becomes strlen) as it checks.
  static refusal check(generic_cache_element* e) {
    if (e == nullptr) return refusal::kNoElement;
    if (e->key1 == nullptr || e->key1[0] == '\0') return refusal::kKey1;
    if (!settle_key_length(e->key1, &e->key1_len)) return refusal::kKey1Len;
    if (e->key2 != nullptr && e->key2[0] == '\0') return refusal::kKey2;
    // A null key2 keeps whatever length the caller set (it is charged), but a
    // length below -1 would lower the charge.
    const bool key2_len_ok =
        e->key2 != nullptr ? settle_key_length(e->key2, &e->key2_len) : e->key2_len >= -1;
    if (!key2_len_ok) return refusal::kKey2Len;
    if (e->data_len < 0) return refusal::kDataLen;
    return refusal::kNone;
  }

  generic_cache_element* element_;
  refusal refusal_;
  hashed_item* node_ = nullptr;
  int errno_ = 0;
};

void log_refusal(const pending_insert& pending) {
  const generic_cache_element* e = pending.element();
  switch (pending.why_refused()) {
    case refusal::kNone:
      break;
    case refusal::kNoElement:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: element [%p] is invalid.",
                   static_cast<const void*>(e));
      break;
    case refusal::kKey1:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: key1 [%p] is invalid or key1[0] is 0.",
                   static_cast<const void*>(e->key1));
      break;
    case refusal::kKey1Len:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: key1_len [%d] is invalid.", e->key1_len);
      break;
    case refusal::kKey2:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: key2[0] is 0.");
      break;
    case refusal::kKey2Len:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: key2_len [%d] is invalid.", e->key2_len);
      break;
    case refusal::kDataLen:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: data_len [%d] is invalid.", e->data_len);
      break;
    case refusal::kNoMemory:
      OBJSTORE_LOG(-1, kInsertSignature, "Error: malloc for size [%d] failed with the error [%s].",
                   static_cast<int>(sizeof(hashed_item)), std::strerror(pending.saved_errno()));
      break;
  }
}

// Inserts a prepared element, evicting from the least recently used end, one
// element at a time, until it fits. 0 when inserted; 1 when refused, and then
// the caller still owns it.
int insert_prepared(generic_cache_t* cache, pending_insert& pending) {
  if (pending.why_refused() != refusal::kNone) {
    log_refusal(pending);
    return 1;
  }
  const int64_t charge = pending.charge();
  while (static_cast<int64_t>(cache->stats.cur_bytes) + charge > cache->max_bytes) {
    if (cache->stats.num_entries == 0) {
      OBJSTORE_LOG(-1, kInsertSignature, "Error: no room in cache for %d bytes",
                   static_cast<int>(charge > INT_MAX ? INT_MAX : charge));
      return 1;
    }
    rem_item_from_cache(cache, cache->lru_tail);
  }
  link_item(cache, pending.release_node());
  ++cache->stats.num_inserts;
  return 0;
}

}  // namespace

// Replaces the element found under `key` (if any) by `element`. The old one
// is released before the new one is linked, even when the insertion fails;
// an old one that is `element` itself stays the caller's and is not released.
template <const key_side& side>
int replace_element(generic_cache_t* cache, const char* key, int len,
                    generic_cache_element* element) {
  if (cache == nullptr) {
    OBJSTORE_LOG(-1, side.update_signature, "Error: cache [%p] is invalid.",
                 static_cast<const void*>(cache));
    return 1;
  }
  lookup_key k;
  const bool key_valid = prepare_lookup<side>(cache, key, len, &k);
  pending_insert pending(cache, element);
  exclusive_section guard(cache);
  generic_cache_item* old_item = key_valid ? find_item<side>(cache, k) : nullptr;
  if (old_item != nullptr) {
    // Passing back the cached element re-inserts it as most recently used.
    // Releasing it first would hand the caller's callback an element that
    // is about to be cached again.
    if (old_item->element == element)
      unlink_and_free_item(cache, old_item);
    else
      rem_item_from_cache(cache, old_item);
  }
  return insert_prepared(cache, pending);
}

template int replace_element<kKey1Side>(generic_cache_t*, const char*, int, generic_cache_element*);
template int replace_element<kKey2Side>(generic_cache_t*, const char*, int, generic_cache_element*);

}  // namespace mem_cache_detail
