// Two-key LRU memory cache.
//
// Each cached element has one node. The node sits in three doubly linked
// lists at once: the chain of its key1 bucket, the chain of its key2 bucket
// (only when the element has a key2) and the recency list. Behind the public
// node the cache keeps the hash values of the element's keys, taken when the
// node was linked: lookups compare strings only where the hash values agree,
// and removals find the node's buckets without hashing again. An element's
// keys must still not change behind the cache's back: lookups would miss it.
//
// Invariants between operations:
//   - stats.num_entries equals the number of nodes;
//   - stats.cur_bytes equals the fixed charge plus every element's charge;
//   - new and relinked nodes enter at the head of a chain and of the recency
//     list, so within a chain the most recently linked node comes first;
//   - num_buckets is a power of two fixed at creation.

#include "cache/mem_cache.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <new>
#include <strings.h>

// XXH3 inlined into this unit: the strong hashes of short keys then cost a
// few nanoseconds, and the library needs no xxHash at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "host/LogWriter.h"

namespace {

// Signature texts of the log sites.
const char kInitSignature[] =
    "generic_cache_t* generic_cache_init_cache(int, int, CallBackFunc, HashFunc, HashFunc, bool, "
    "bool)";
const char kInsertSignature[] = "int generic_cache_insert(generic_cache_t*, generic_cache_element_t*)";
const char kFind1Signature[] =
    "generic_cache_item_t* find_item_with_key1(generic_cache_t*, const char*, int)";
const char kFind2Signature[] =
    "generic_cache_item_t* find_item_with_key2(generic_cache_t*, const char*, int)";
const char kRename1Signature[] =
    "int generic_cache_rename_all_key1_if(generic_cache_t*, RenameFunc, void*)";
const char kRename2Signature[] =
    "int generic_cache_rename_all_key2_if(generic_cache_t*, RenameFunc, void*)";
const char kDumpSignature[] = "void generic_cache_dump_cache(const generic_cache_t*)";
const char kUpdate1Signature[] =
    "int generic_cache_update_with_key1(generic_cache_t*, const char*, int, "
    "generic_cache_element_t*)";
const char kUpdate2Signature[] =
    "int generic_cache_update_with_key2(generic_cache_t*, const char*, int, "
    "generic_cache_element_t*)";

// ---- Allocation -------------------------------------------------------------------
// Every allocation and release of the cache's own memory passes through these
// three. A test build (OBJSTORE_CACHE_FAULT_INJECTION) asks the test whether
// the next allocation is to fail and tells it of every release, so that each
// failure point can be reached and every byte accounted for.

#ifdef OBJSTORE_CACHE_FAULT_INJECTION
}  // namespace
bool objstore_cache_test_allocation_fails();     // defined by the test
void objstore_cache_test_released(void* memory);  // likewise
namespace {
#endif

void* cache_malloc(size_t size) {
#ifdef OBJSTORE_CACHE_FAULT_INJECTION
  if (objstore_cache_test_allocation_fails()) {
    errno = ENOMEM;
    return nullptr;
  }
#endif
  return std::malloc(size);
}

void* cache_calloc(size_t count, size_t size) {
#ifdef OBJSTORE_CACHE_FAULT_INJECTION
  if (objstore_cache_test_allocation_fails()) {
    errno = ENOMEM;
    return nullptr;
  }
#endif
  return std::calloc(count, size);
}

void cache_free(void* memory) {
#ifdef OBJSTORE_CACHE_FAULT_INJECTION
  if (memory != nullptr) objstore_cache_test_released(memory);
#endif
  std::free(memory);
}

// Per-element overhead counted against the budget (node and bookkeeping);
// also the divisor offset that sizes the tables.
const int kEntryOverhead = 96;

// Pointer-to-member links let one chain routine serve both tables.
typedef generic_cache_item* generic_cache_item::*ItemLink;

// ---- Sizing and charges ---------------------------------------------------

// Largest power of two not above n (n >= 1); 0 for n == 0.
int calc_hash_buckets(int n) {
  int halvings = 0;
  for (int rest = n; rest > 1; rest >>= 1) ++halvings;
  return (n >> halvings) << halvings;
}

// Fixed charge of a cache with `buckets` buckets per table: both tables and
// the handle. Creation and clearing both use it, so a cleared cache is charged
// exactly what a new one is.
uint64_t fixed_charge(int buckets) {
  return 8 * (2 * static_cast<uint64_t>(buckets) + 26);
}

// The element's charge from its current fields. Computed in 64 bits so that
// large lengths cannot wrap into a small or negative charge.
int64_t calc_item_size(const generic_cache_item* item) {
  const generic_cache_element* e = item->element;
  return static_cast<int64_t>(e->key1_len) + e->key2_len + e->data_len + kEntryOverhead + 2;
}

// ---- Default hashes ---------------------------------------------------------
// Each byte counts as a signed 8-bit value; the sum wraps in 32 bits. The last
// byte is always added, even when the stride also reaches it.

int32_t strided_sum(const char* key, int32_t len, int32_t stride) {
  uint32_t sum = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[len - 1])));
  for (int32_t i = 0; i < len; i += stride)
    sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[i])));
  return static_cast<int32_t>(sum);
}

// As strided_sum, each byte folded through tolower first (glibc's tolower
// accepts the signed char range), so that keys equal under strcasecmp hash
// alike.
int32_t strided_sum_cis(const char* key, int32_t len, int32_t stride) {
  uint32_t sum = static_cast<uint32_t>(std::tolower(static_cast<signed char>(key[len - 1])));
  for (int32_t i = 0; i < len; i += stride)
    sum += static_cast<uint32_t>(std::tolower(static_cast<signed char>(key[i])));
  return static_cast<int32_t>(sum);
}

int32_t str_to_num1(const char* key, int32_t len) { return strided_sum(key, len, 3); }
int32_t str_to_num2(const char* key, int32_t len) { return strided_sum(key, len, 2); }
int32_t str_to_num1_cis(const char* key, int32_t len) { return strided_sum_cis(key, len, 3); }
int32_t str_to_num2_cis(const char* key, int32_t len) { return strided_sum_cis(key, len, 2); }

// ---- Strong hashes ---------------------------------------------------------------

// Folds the ASCII capitals of eight bytes to lower case at once; every other
// byte, including those >= 0x80, is left alone.
uint64_t fold_ascii_word(uint64_t word) {
  const uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t low7 = word & (0x7F * kOnes);
  // Bit 7 of each byte: set in at_least_a where the low seven bits are >= 'A',
  // in above_z where they are > 'Z'; neither sum carries into the next byte.
  const uint64_t at_least_a = low7 + (0x80 - 'A') * kOnes;
  const uint64_t above_z = low7 + (0x80 - 'Z' - 1) * kOnes;
  const uint64_t is_capital = (at_least_a & ~above_z) & ~word & (0x80 * kOnes);
  return word | (is_capital >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Copies `len` bytes (at most kFoldBlock) to `out` with ASCII capitals folded.
constexpr size_t kFoldBlock = 256;

void fold_ascii_block(const char* in, size_t len, char* out) {
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t word;
    std::memcpy(&word, in + i, 8);
    word = fold_ascii_word(word);
    std::memcpy(out + i, &word, 8);
  }
  for (; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    out[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c | 0x20 : c);
  }
}

int32_t low_32_bits(XXH64_hash_t hash) {
  return static_cast<int32_t>(static_cast<uint32_t>(hash));
}

}  // namespace

int32_t generic_cache_hash_strong(const char* key, int32_t len) {
  return low_32_bits(XXH3_64bits(key, len > 0 ? static_cast<size_t>(len) : 0));
}

// The key is folded through a block on the stack, never copied whole: short
// keys (the usual case) hash in one shot, longer ones stream block by block,
// which XXH3 guarantees gives the one-shot value of the folded key.
int32_t generic_cache_hash_strong_cis(const char* key, int32_t len) {
  const size_t length = len > 0 ? static_cast<size_t>(len) : 0;
  char block[kFoldBlock];
  if (length <= kFoldBlock) {
    fold_ascii_block(key, length, block);
    return low_32_bits(XXH3_64bits(block, length));
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (size_t done = 0; done < length; done += kFoldBlock) {
    const size_t chunk = length - done < kFoldBlock ? length - done : kFoldBlock;
    fold_ascii_block(key + done, chunk, block);
    XXH3_64bits_update(&state, block, chunk);
  }
  return low_32_bits(XXH3_64bits_digest(&state));
}

namespace {

// ---- Nodes and buckets ------------------------------------------------------------

// The node as the cache allocates it. Equal keys hash alike (the comparison
// and the hash follow the same case flag), so a node whose stored hash differs
// from a lookup key's cannot match it.
struct hashed_item {
  generic_cache_item item;  // first member: the public node's address is this one's
  uint32_t key1_hash;       // key1_hash(key1, key1_len) as last linked
  uint32_t key2_hash;       // key2_hash(key2, key2_len); 0 without key2
  bool has_key2;            // linked in a secondary chain
};

hashed_item* hashed(generic_cache_item* item) { return reinterpret_cast<hashed_item*>(item); }

uint32_t hash_key1(const generic_cache_t* cache, const char* key, int len) {
  return static_cast<uint32_t>(cache->key1_hash(key, len));
}

uint32_t hash_key2(const generic_cache_t* cache, const char* key, int len) {
  return static_cast<uint32_t>(cache->key2_hash(key, len));
}

// Bucket of a hash value. The mask is taken on the 32-bit two's-complement
// value, so negative hashes give valid indexes.
int bucket_of(const generic_cache_t* cache, uint32_t hash) {
  return static_cast<int>(hash & static_cast<uint32_t>(cache->stats.num_buckets - 1));
}

// Takes the hash values of the element's keys, whose lengths are settled.
void store_hashes(const generic_cache_t* cache, generic_cache_item* item) {
  const generic_cache_element* e = item->element;
  hashed_item* node = hashed(item);
  node->key1_hash = hash_key1(cache, e->key1, e->key1_len);
  node->has_key2 = e->key2 != nullptr;
  node->key2_hash = node->has_key2 ? hash_key2(cache, e->key2, e->key2_len) : 0;
}

// The buckets a node is linked in; -1 for no secondary chain.
int index1_of(const generic_cache_t* cache, generic_cache_item* item) {
  return bucket_of(cache, hashed(item)->key1_hash);
}

int index2_of(const generic_cache_t* cache, generic_cache_item* item) {
  return hashed(item)->has_key2 ? bucket_of(cache, hashed(item)->key2_hash) : -1;
}

// ---- Counters -----------------------------------------------------------------
// Lookups run under the shared lock, so hits and misses are counted
// atomically; every other counter moves only under the exclusive lock.

void count_hit(generic_cache_t* cache) {
  __atomic_fetch_add(&cache->stats.num_hits, 1, __ATOMIC_RELAXED);
}

void count_miss(generic_cache_t* cache) {
  __atomic_fetch_add(&cache->stats.num_misses, 1, __ATOMIC_RELAXED);
}

void add_charge(generic_cache_t* cache, int64_t delta) {
  cache->stats.cur_bytes = static_cast<uint64_t>(static_cast<int64_t>(cache->stats.cur_bytes) + delta);
}

// ---- Chains and the recency list ------------------------------------------------

// Links `item` at the head of a bucket chain; linking in front of another node
// is a collision.
void chain_push(generic_cache_t* cache, generic_cache_item** bucket, generic_cache_item* item,
                ItemLink prev, ItemLink next) {
  generic_cache_item* old_head = *bucket;
  item->*next = old_head;
  item->*prev = nullptr;
  if (old_head != nullptr) {
    old_head->*prev = item;
    ++cache->stats.num_collisions;
  }
  *bucket = item;
}

// Unlinks `item` from a bucket chain; a bucket headed by it takes its successor.
void chain_unlink(generic_cache_item** bucket, generic_cache_item* item, ItemLink prev,
                  ItemLink next) {
  if (item->*prev != nullptr) (item->*prev)->*next = item->*next;
  if (item->*next != nullptr) (item->*next)->*prev = item->*prev;
  if (*bucket == item) *bucket = item->*next;
  item->*prev = nullptr;
  item->*next = nullptr;
}

void recency_push_head(generic_cache_t* cache, generic_cache_item* item) {
  if (cache->lru_head != nullptr)
    cache->lru_head->lru_prev = item;
  else
    cache->lru_tail = item;  // the list was empty
  item->lru_next = cache->lru_head;
  item->lru_prev = nullptr;
  cache->lru_head = item;
}

void recency_unlink(generic_cache_t* cache, generic_cache_item* item) {
  if (item->lru_prev != nullptr) item->lru_prev->lru_next = item->lru_next;
  if (item->lru_next != nullptr) item->lru_next->lru_prev = item->lru_prev;
  if (cache->lru_head == item) cache->lru_head = item->lru_next;
  if (cache->lru_tail == item) cache->lru_tail = item->lru_prev;
}

// Links a node into both chains (index2 -1: no secondary chain) and at the
// head of the recency list.
void generic_cache_lru_add(generic_cache_t* cache, generic_cache_item* item, int index1,
                           int index2) {
  recency_push_head(cache, item);
  chain_push(cache, &cache->key1_buckets[index1], item, &generic_cache_item::key1_prev,
             &generic_cache_item::key1_next);
  if (index2 == -1) {
    item->key2_prev = nullptr;
    item->key2_next = nullptr;
  } else {
    chain_push(cache, &cache->key2_buckets[index2], item, &generic_cache_item::key2_prev,
               &generic_cache_item::key2_next);
  }
  ++cache->stats.num_entries;
}

// Unlinks a node from everything; counts a single removal.
void generic_cache_lru_remove(generic_cache_t* cache, generic_cache_item* item, int index1,
                              int index2) {
  recency_unlink(cache, item);
  chain_unlink(&cache->key1_buckets[index1], item, &generic_cache_item::key1_prev,
               &generic_cache_item::key1_next);
  if (index2 != -1)
    chain_unlink(&cache->key2_buckets[index2], item, &generic_cache_item::key2_prev,
                 &generic_cache_item::key2_next);
  --cache->stats.num_entries;
  ++cache->stats.num_removes;
}

// Makes a node the most recently used; chains and counters stay as they are.
void generic_cache_lru_update(generic_cache_t* cache, generic_cache_item* item) {
  if (cache->lru_head == item) return;
  recency_unlink(cache, item);
  recency_push_head(cache, item);
}

// Removes a node whose element's fields still describe where it is linked.
// The release callback comes last, so it may free the element and its keys.
void rem_item_from_cache(generic_cache_t* cache, generic_cache_item* item) {
  generic_cache_element* element = item->element;
  add_charge(cache, -calc_item_size(item));
  generic_cache_lru_remove(cache, item, index1_of(cache, item), index2_of(cache, item));
  cache_free(item);
  if (cache->element_callback != nullptr) cache->element_callback(element);
}

// ---- Insertion --------------------------------------------------------------------

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

// Inserts an element, evicting from the least recently used end until it fits.
// 0 when inserted; 1 when refused, and then the caller still owns it.
int generic_cache_insert(generic_cache_t* cache, generic_cache_element* element) {
  if (element == nullptr) {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: element [%p] is invalid.",
                 static_cast<const void*>(element));
    return 1;
  }
  if (element->key1 == nullptr || element->key1[0] == '\0') {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: key1 [%p] is invalid or key1[0] is 0.",
                 static_cast<const void*>(element->key1));
    return 1;
  }
  if (!settle_key_length(element->key1, &element->key1_len)) {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: key1_len [%d] is invalid.", element->key1_len);
    return 1;
  }
  if (element->key2 != nullptr && element->key2[0] == '\0') {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: key2[0] is 0.");
    return 1;
  }
  // A null key2 keeps whatever length the caller set (it is charged), but a
  // length below -1 would lower the charge.
  bool key2_len_ok = element->key2 != nullptr ? settle_key_length(element->key2, &element->key2_len)
                                              : element->key2_len >= -1;
  if (!key2_len_ok) {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: key2_len [%d] is invalid.", element->key2_len);
    return 1;
  }
  if (element->data_len < 0) {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: data_len [%d] is invalid.", element->data_len);
    return 1;
  }

  hashed_item* node = static_cast<hashed_item*>(cache_malloc(sizeof(hashed_item)));
  if (node == nullptr) {
    OBJSTORE_LOG(-1, kInsertSignature, "Error: malloc for size [%d] failed with the error [%s].",
                 static_cast<int>(sizeof(hashed_item)), std::strerror(errno));
    return 1;
  }
  generic_cache_item* item = &node->item;
  item->element = element;
  store_hashes(cache, item);
  const int64_t charge = calc_item_size(item);

  // Evict strictly from the least recently used end, one element at a time,
  // and stop as soon as the new element fits.
  while (static_cast<int64_t>(cache->stats.cur_bytes) + charge > cache->max_bytes) {
    if (cache->stats.num_entries == 0) {
      OBJSTORE_LOG(-1, kInsertSignature, "Error: no room in cache for %d bytes",
                   static_cast<int>(charge > INT_MAX ? INT_MAX : charge));
      cache_free(item);
      return 1;
    }
    rem_item_from_cache(cache, cache->lru_tail);
  }
  generic_cache_lru_add(cache, item, index1_of(cache, item), index2_of(cache, item));
  add_charge(cache, charge);
  ++cache->stats.num_inserts;
  return 0;
}

// ---- Lookup -------------------------------------------------------------------------

// Validates a lookup key and settles its hash length: -1 means strlen, a
// longer length is clamped to the key. False for a null or empty key or a
// length of 0 or below -1.
bool settle_lookup_length(const char* key, int* len) {
  if (key == nullptr || key[0] == '\0') return false;
  if (*len == -1) {
    *len = static_cast<int>(std::strlen(key));
    return true;
  }
  if (*len <= 0) return false;
  *len = static_cast<int>(strnlen(key, static_cast<size_t>(*len)));
  return true;
}

// Walks one chain from its head; the first node whose key compares equal wins.
// Stored hashes filter the comparisons only when the whole key was hashed: a
// shorter explicit length hashes a prefix, and then every node is compared.
generic_cache_item* find_item_with_key1(generic_cache_t* cache, const char* key, int len) {
  if (!settle_lookup_length(key, &len)) {
    OBJSTORE_LOG(-1, kFind1Signature, "Error: key [%p] is invalid or key[0] is 0.",
                 static_cast<const void*>(key));
    return nullptr;
  }
  const uint32_t hash = hash_key1(cache, key, len);
  const bool whole_key = key[len] == '\0';
  for (generic_cache_item* item = cache->key1_buckets[bucket_of(cache, hash)]; item != nullptr;
       item = item->key1_next) {
    if ((!whole_key || hashed(item)->key1_hash == hash) &&
        cache->key1_cmp(item->element->key1, key) == 0) {
      count_hit(cache);
      return item;
    }
  }
  count_miss(cache);
  return nullptr;
}

generic_cache_item* find_item_with_key2(generic_cache_t* cache, const char* key, int len) {
  if (!settle_lookup_length(key, &len)) {
    OBJSTORE_LOG(-1, kFind2Signature, "Error: key [%p] is invalid or key[0] is 0.",
                 static_cast<const void*>(key));
    return nullptr;
  }
  const uint32_t hash = hash_key2(cache, key, len);
  const bool whole_key = key[len] == '\0';
  for (generic_cache_item* item = cache->key2_buckets[bucket_of(cache, hash)]; item != nullptr;
       item = item->key2_next) {
    if ((!whole_key || hashed(item)->key2_hash == hash) &&
        cache->key2_cmp(item->element->key2, key) == 0) {
      count_hit(cache);
      return item;
    }
  }
  count_miss(cache);
  return nullptr;
}

typedef generic_cache_item* (*FindItemFunc)(generic_cache_t*, const char*, int);

// RAII guards for the handle's lock.
class SharedLock {
 public:
  explicit SharedLock(const generic_cache_t* cache) : lock_(cache->lock) { lock_.rdlock(); }
  ~SharedLock() { lock_.unlock(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  ZqComplexLock& lock_;
};

class ExclusiveLock {
 public:
  explicit ExclusiveLock(generic_cache_t* cache) : lock_(cache->lock) { lock_.rwlock(); }
  ~ExclusiveLock() { lock_.unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  ZqComplexLock& lock_;
};

generic_cache_element* find_element(generic_cache_t* cache, FindItemFunc find, const char* key,
                                    int len) {
  if (cache == nullptr) return nullptr;
  SharedLock guard(cache);
  generic_cache_item* item = find(cache, key, len);
  return item != nullptr ? item->element : nullptr;
}

int delete_element(generic_cache_t* cache, FindItemFunc find, const char* key, int len) {
  if (cache == nullptr) return 1;
  ExclusiveLock guard(cache);
  generic_cache_item* item = find(cache, key, len);
  if (item == nullptr) return 1;
  rem_item_from_cache(cache, item);
  return 0;
}

int promote_element(generic_cache_t* cache, FindItemFunc find, const char* key, int len) {
  if (cache == nullptr) return 1;
  ExclusiveLock guard(cache);
  generic_cache_item* item = find(cache, key, len);
  if (item == nullptr) return 1;
  generic_cache_lru_update(cache, item);
  return 0;
}

// Replaces the element found under `key` (if any) by `element`. The old one
// is released before the new one is linked, even when the insertion fails.
int replace_element(generic_cache_t* cache, FindItemFunc find, const char* key, int len,
                    generic_cache_element* element, const char* signature) {
  if (cache == nullptr) {
    OBJSTORE_LOG(-1, signature, "Error: cache [%p] is invalid.", static_cast<const void*>(cache));
    return 1;
  }
  ExclusiveLock guard(cache);
  generic_cache_item* old_item = find(cache, key, len);
  if (old_item != nullptr) rem_item_from_cache(cache, old_item);
  return generic_cache_insert(cache, element);
}

// ---- Bulk rename --------------------------------------------------------------------

// Drops a node whose element the rename function left with an unusable key.
// It is unlinked with the indexes and charge it had before the call, so every
// structure stays consistent, and released like any removed element.
void drop_renamed_item(generic_cache_t* cache, generic_cache_item* item, int old_index1,
                       int old_index2, int64_t old_charge) {
  generic_cache_element* element = item->element;
  add_charge(cache, -old_charge);
  generic_cache_lru_remove(cache, item, old_index1, old_index2);
  cache_free(item);
  if (cache->element_callback != nullptr) cache->element_callback(element);
}

// Moves a node to the chains of new_index1/new_index2 (-1: none); the
// recency list is left alone so the walk is not disturbed.
void relink_item(generic_cache_t* cache, generic_cache_item* item, int old_index1, int old_index2,
                 int new_index1, int new_index2) {
  chain_unlink(&cache->key1_buckets[old_index1], item, &generic_cache_item::key1_prev,
               &generic_cache_item::key1_next);
  if (old_index2 != -1)
    chain_unlink(&cache->key2_buckets[old_index2], item, &generic_cache_item::key2_prev,
                 &generic_cache_item::key2_next);
  chain_push(cache, &cache->key1_buckets[new_index1], item, &generic_cache_item::key1_prev,
             &generic_cache_item::key1_next);
  if (new_index2 != -1)
    chain_push(cache, &cache->key2_buckets[new_index2], item, &generic_cache_item::key2_prev,
               &generic_cache_item::key2_next);
  ++cache->stats.num_renames;
}

int rename_key1_of(generic_cache_t* cache, generic_cache_item* item, RenameFunc rename,
                   void* user_data) {
  generic_cache_element* e = item->element;
  const int old_index1 = index1_of(cache, item);
  const int index2 = index2_of(cache, item);
  const int32_t old_len = e->key1_len;
  const int64_t old_charge = calc_item_size(item);

  const int code = rename(e, user_data, cache->key1_case_sensitive);
  if (code != 0) return code;

  if (e->key1 == nullptr || e->key1[0] == '\0') {
    OBJSTORE_LOG(-1, kRename1Signature, "Error: renamed key1 [%p] is invalid or key1[0] is 0.",
                 static_cast<const void*>(e->key1));
    drop_renamed_item(cache, item, old_index1, index2, old_charge);
    return code;
  }
  e->key1_len = static_cast<int32_t>(std::strlen(e->key1));
  store_hashes(cache, item);
  relink_item(cache, item, old_index1, index2, index1_of(cache, item), index2);
  add_charge(cache, static_cast<int64_t>(e->key1_len) - old_len);
  return code;
}

int rename_key2_of(generic_cache_t* cache, generic_cache_item* item, RenameFunc rename,
                   void* user_data) {
  generic_cache_element* e = item->element;
  const int index1 = index1_of(cache, item);
  const int old_index2 = index2_of(cache, item);
  const int32_t old_len = e->key2_len;
  const int64_t old_charge = calc_item_size(item);

  const int code = rename(e, user_data, cache->key2_case_sensitive);
  if (code != 0) return code;

  if (e->key2 != nullptr && e->key2[0] == '\0') {
    OBJSTORE_LOG(-1, kRename2Signature, "Error: renamed key2[0] is 0.");
    drop_renamed_item(cache, item, index1, old_index2, old_charge);
    return code;
  }
  e->key2_len = e->key2 != nullptr ? static_cast<int32_t>(std::strlen(e->key2)) : -1;
  store_hashes(cache, item);
  relink_item(cache, item, index1, old_index2, index1, index2_of(cache, item));
  // A length of -1 means "no key2" and was never charged.
  int64_t delta = 0;
  if (old_len != -1) delta -= static_cast<int64_t>(old_len) + 1;
  if (e->key2_len != -1) delta += static_cast<int64_t>(e->key2_len) + 1;
  add_charge(cache, delta);
  return code;
}

typedef int (*RenameOneFunc)(generic_cache_t*, generic_cache_item*, RenameFunc, void*);

// Offers every element, most recently used first. The successor is taken
// before the call because a dropped node is freed.
int rename_all(generic_cache_t* cache, RenameFunc rename, void* user_data, RenameOneFunc rename_one,
               const char* signature) {
  if (cache == nullptr || rename == nullptr) {
    OBJSTORE_LOG(-1, signature, "Error: cache [%p] or rename function is invalid.",
                 static_cast<const void*>(cache));
    return 1;
  }
  ExclusiveLock guard(cache);
  int result = 0;
  for (generic_cache_item* item = cache->lru_head; item != nullptr;) {
    generic_cache_item* next = item->lru_next;
    result = rename_one(cache, item, rename, user_data);
    if (result > 0) break;
    item = next;
  }
  return result;
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

  void* memory = cache_malloc(sizeof(generic_cache_t));
  if (memory == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: new failed");
    return nullptr;
  }
  generic_cache_t* cache = new (memory) generic_cache_t;  // constructs the lock

  const int table_bytes = static_cast<int>(static_cast<size_t>(buckets) * sizeof(generic_cache_item*));
  cache->key1_buckets =
      static_cast<generic_cache_item**>(cache_calloc(buckets, sizeof(generic_cache_item*)));
  if (cache->key1_buckets == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: calloc for size [%d] failed with the error [%s].",
                 table_bytes, std::strerror(errno));
    cache->~generic_cache_t();
    cache_free(memory);
    return nullptr;
  }
  cache->key2_buckets =
      static_cast<generic_cache_item**>(cache_calloc(buckets, sizeof(generic_cache_item*)));
  if (cache->key2_buckets == nullptr) {
    OBJSTORE_LOG(-1, kInitSignature, "Error: calloc for size [%d] failed with the error [%s].",
                 table_bytes, std::strerror(errno));
    cache_free(cache->key1_buckets);
    cache->~generic_cache_t();
    cache_free(memory);
    return nullptr;
  }

  cache->element_callback = callback;
  cache->key1_hash = key1_hash != nullptr ? key1_hash
                                          : (key1_case_sensitive ? str_to_num1 : str_to_num1_cis);
  cache->key2_hash = key2_hash != nullptr ? key2_hash
                                          : (key2_case_sensitive ? str_to_num2 : str_to_num2_cis);
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
  cache->stats.cur_bytes = fixed_charge(buckets);
  cache->stats.num_buckets = buckets;
  return cache;
}

void generic_cache_remove_all(generic_cache_t* cache) {
  if (cache == nullptr) return;
  ExclusiveLock guard(cache);
  // Every element is in exactly one primary chain, so walking the primary
  // table releases each exactly once.
  for (int i = 0; i < cache->stats.num_buckets; ++i) {
    generic_cache_item* item = cache->key1_buckets[i];
    while (item != nullptr) {
      generic_cache_item* next = item->key1_next;
      generic_cache_element* element = item->element;
      cache_free(item);
      if (cache->element_callback != nullptr) cache->element_callback(element);
      item = next;
    }
    cache->key1_buckets[i] = nullptr;
    cache->key2_buckets[i] = nullptr;
  }
  cache->lru_head = nullptr;
  cache->lru_tail = nullptr;
  cache->stats.num_entries = 0;
  cache->stats.cur_bytes = fixed_charge(cache->stats.num_buckets);
}

void generic_cache_del_cache(generic_cache_t* cache) {
  if (cache == nullptr) return;
  generic_cache_remove_all(cache);
  cache_free(cache->key1_buckets);
  cache_free(cache->key2_buckets);
  cache->~generic_cache_t();
  cache_free(cache);
}

void generic_cache_get_stats(generic_cache_t* cache, generic_cache_stats* stats) {
  if (cache == nullptr || stats == nullptr) return;
  SharedLock guard(cache);
  const generic_cache_stats& source = cache->stats;
  stats->num_entries = source.num_entries;
  stats->cur_bytes = source.cur_bytes;
  stats->num_buckets = source.num_buckets;
  stats->num_inserts = source.num_inserts;
  stats->num_removes = source.num_removes;
  stats->num_renames = source.num_renames;
  // Concurrent lookups may be counting right now: read these two atomically.
  stats->num_hits = __atomic_load_n(&source.num_hits, __ATOMIC_RELAXED);
  stats->num_misses = __atomic_load_n(&source.num_misses, __ATOMIC_RELAXED);
  stats->num_collisions = source.num_collisions;
}

generic_cache_element_t* generic_cache_find_element_with_key1(generic_cache_t* cache,
                                                              const char* key, int len) {
  return find_element(cache, find_item_with_key1, key, len);
}

generic_cache_element_t* generic_cache_find_element_with_key2(generic_cache_t* cache,
                                                              const char* key, int len) {
  return find_element(cache, find_item_with_key2, key, len);
}

int generic_cache_delete_with_key1(generic_cache_t* cache, const char* key, int len) {
  return delete_element(cache, find_item_with_key1, key, len);
}

int generic_cache_delete_with_key2(generic_cache_t* cache, const char* key, int len) {
  return delete_element(cache, find_item_with_key2, key, len);
}

int generic_cache_update_pos_with_key1(generic_cache_t* cache, const char* key, int len) {
  return promote_element(cache, find_item_with_key1, key, len);
}

int generic_cache_update_pos_with_key2(generic_cache_t* cache, const char* key, int len) {
  return promote_element(cache, find_item_with_key2, key, len);
}

int generic_cache_update_with_key1(generic_cache_t* cache, const char* key, int len,
                                   generic_cache_element_t* element) {
  return replace_element(cache, find_item_with_key1, key, len, element, kUpdate1Signature);
}

int generic_cache_update_with_key2(generic_cache_t* cache, const char* key, int len,
                                   generic_cache_element_t* element) {
  return replace_element(cache, find_item_with_key2, key, len, element, kUpdate2Signature);
}

int generic_cache_rename_all_key1_if(generic_cache_t* cache, RenameFunc rename, void* user_data) {
  return rename_all(cache, rename, user_data, rename_key1_of, kRename1Signature);
}

int generic_cache_rename_all_key2_if(generic_cache_t* cache, RenameFunc rename, void* user_data) {
  return rename_all(cache, rename, user_data, rename_key2_of, kRename2Signature);
}

void generic_cache_get_bucket_stats(generic_cache_t* cache, generic_cache_bucket_stats* stats) {
  if (cache == nullptr || stats == nullptr) return;
  SharedLock guard(cache);
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
  if (cache == nullptr) return;
  SharedLock guard(cache);
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
