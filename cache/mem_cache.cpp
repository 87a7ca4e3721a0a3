// Two-key LRU memory cache.
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
// Invariants between operations:
//   - stats.num_entries equals the number of nodes;
//   - stats.cur_bytes equals the fixed charge plus every node's stored charge;
//   - a node is in the chains its stored hashes select;
//   - new and relinked nodes enter at the head of a chain and of the recency
//     list, so within a chain the most recently linked node comes first;
//   - the recency list is exact once the queued promotions are applied,
//     which every exclusive section does before anything else;
//   - num_buckets is a power of two fixed at creation.
// mem_cache_check_invariants (mem_cache_internal.h) checks the structural ones;
// debug builds run it at the end of exclusive sections.

#include "cache/mem_cache.h"

#include <sched.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>

// XXH3 inlined into this unit: the strong hashes of short keys then cost a
// few nanoseconds, and the library needs no xxHash at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "cache/mem_cache_internal.h"
#include "host/LogWriter.h"

namespace {

// ---- Allocation -------------------------------------------------------------------
// Every allocation and release of the cache's own memory passes through these
// four. With allocation hooks installed (mem_cache_set_allocation_hooks), each
// allocation first asks the test whether it is to fail, and each release is
// reported, so that each failure point can be reached and every byte
// accounted for.

// Written only while no cache operation runs (see mem_cache_internal.h), so
// a plain pointer: the allocation path pays one load and a branch.
const mem_cache_allocation_hooks* g_hooks = nullptr;

// True when the test's hook asks this allocation to fail; errno is then ENOMEM.
bool allocation_refused() {
  if (g_hooks == nullptr || !g_hooks->allocation_fails()) return false;
  errno = ENOMEM;
  return true;
}

void* cache_malloc(size_t size) { return allocation_refused() ? nullptr : std::malloc(size); }

// For the handle, whose lock and counters want whole cache lines.
void* cache_aligned_alloc(size_t alignment, size_t size) {
  if (allocation_refused()) return nullptr;
  void* memory = nullptr;
  const int error = posix_memalign(&memory, alignment, size);
  if (error != 0) {
    errno = error;
    return nullptr;
  }
  return memory;
}

void* cache_calloc(size_t count, size_t size) {
  return allocation_refused() ? nullptr : std::calloc(count, size);
}

void cache_free(void* memory) {
  if (g_hooks != nullptr && memory != nullptr) g_hooks->released(memory);
  std::free(memory);
}

// Per-element overhead counted against the budget (node and bookkeeping);
// also the divisor offset that sizes the tables.
const int kEntryOverhead = 96;

// Pointer-to-member links let one chain routine serve both tables.
typedef generic_cache_item* generic_cache_item::*item_link;

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
uint64_t fixed_charge(int buckets) { return 8 * (2 * static_cast<uint64_t>(buckets) + 26); }

// Each key's terminator counts too, so a key of length L costs L + 1 bytes.
const int kKeyTerminators = 2;

// The element's charge from its current fields, taken once at insertion.
// Computed in 64 bits so that large lengths cannot wrap into a small or
// negative charge.
int64_t calc_item_size(const generic_cache_element* e) {
  return static_cast<int64_t>(e->key1_len) + e->key2_len + e->data_len + kEntryOverhead +
         kKeyTerminators;
}

// ---- Default hashes ---------------------------------------------------------
// Each byte counts as a signed 8-bit value; the sum wraps in 32 bits. The last
// byte is always added, even when the stride also reaches it.

int32_t strided_sum(const char* key, int32_t len, int32_t stride) {
  uint32_t sum =
      static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[len - 1])));
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

// Longer keys are folded and hashed in blocks of this many bytes.
constexpr size_t kFoldBlock = 256;

// Copies `len` bytes (at most kFoldBlock) to `out` with ASCII capitals folded.
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

int32_t low_32_bits(XXH64_hash_t hash) { return static_cast<int32_t>(static_cast<uint32_t>(hash)); }

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

// ---- Calls back into the cache -----------------------------------------------------
// The release callback and the rename function run under the cache's
// exclusive lock: a call from them into the same cache would wait for that
// lock for ever. Debug builds keep, per thread, the chain of caches whose
// callbacks are running, and abort with the name of the function called
// instead of hanging.

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
  static thread_local const in_callback* innermost_;
  const generic_cache_t* cache_;
  const in_callback* outer_;
};
thread_local const in_callback* in_callback::innermost_ = nullptr;

void refuse_reentry(const generic_cache_t* cache, const char* function) {
  if (cache == nullptr || !in_callback::running_for(cache)) return;
  std::fprintf(stderr,
               "mem_cache: %s was called from a release callback or rename function of the same "
               "cache, which holds the cache's lock: the call would wait for ever\n",
               function);
  std::abort();
}
#else
struct in_callback {
  explicit in_callback(const generic_cache_t* /*cache*/) {}
};
inline void refuse_reentry(const generic_cache_t* /*cache*/, const char* /*function*/) {}
#endif

// ---- Nodes, handles and key sides -------------------------------------------------

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

hashed_item* hashed(generic_cache_item* item) { return reinterpret_cast<hashed_item*>(item); }

// Lookup counters, spread over cache lines by CPU: lookups hold the lock only
// shared, and if they all wrote one line, that line would bounce between the
// cores on every lookup. generic_cache_get_stats adds the slots up.
struct alignas(64) lookup_counter_slot {
  uint64_t hits;
  uint64_t misses;
};
constexpr unsigned kCounterSlots = 16;

// Promotions queued under the shared lock. A promotion only moves its node
// in the recency list, which lookups never read, so it need not take the
// exclusive lock: it claims a slot and leaves its node there, and the queue
// is applied, in claiming order, by the next exclusive section before
// anything else, or by the promotion that finds it full. That one applies it
// under `recency`, a mutex that only such promoters take, still holding the
// lock shared: taking the lock exclusively would revoke its reader bias and
// stall every lookup for a moment. The recency list is thus changed either
// under the exclusive lock or under the shared lock and `recency`, never by
// two threads at once, and read only by exclusive sections, which see exactly
// the order that promotions under the exclusive lock would have left. No
// queued node can have been freed: nodes are freed only in exclusive
// sections.
constexpr uint32_t kQueuedPromotions = 64;

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

cache_handle* handle_of(generic_cache_t* cache) { return reinterpret_cast<cache_handle*>(cache); }

// sched_getcpu reads the CPU number that the kernel keeps for the thread (no
// system call), so threads on different cores count on different lines.
lookup_counter_slot& counter_slot(generic_cache_t* cache) {
  const int cpu = sched_getcpu();
  return handle_of(cache)->slots[cpu > 0 ? static_cast<unsigned>(cpu) % kCounterSlots : 0];
}

void count_hit(generic_cache_t* cache) {
  __atomic_fetch_add(&counter_slot(cache).hits, 1, __ATOMIC_RELAXED);
}

void count_miss(generic_cache_t* cache) {
  __atomic_fetch_add(&counter_slot(cache).misses, 1, __ATOMIC_RELAXED);
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

constexpr key_side kKey1Side = {&generic_cache_t::key1_buckets,
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

constexpr key_side kKey2Side = {&generic_cache_t::key2_buckets,
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

uint32_t hash_key(const generic_cache_t* cache, const key_side& side, const char* key, int len) {
  return static_cast<uint32_t>((cache->*side.hash)(key, len));
}

// Bucket of a hash value. The mask is taken on the 32-bit two's-complement
// value, so negative hashes give valid indexes.
int bucket_of(const generic_cache_t* cache, uint32_t hash) {
  return static_cast<int>(hash & static_cast<uint32_t>(cache->stats.num_buckets - 1));
}

bool in_chain(generic_cache_item* item, const key_side& side) {
  return !side.optional || hashed(item)->has_key2;
}

generic_cache_item** bucket_of_item(generic_cache_t* cache, const key_side& side,
                                    generic_cache_item* item) {
  return &(cache->*side.buckets)[bucket_of(cache, hashed(item)->*side.stored_hash)];
}

// Takes the hash of one key of the node's element, whose length is settled.
void store_hash(generic_cache_t* cache, const key_side& side, generic_cache_item* item) {
  const generic_cache_element* e = item->element;
  const char* key = e->*side.key;
  if (side.optional) hashed(item)->has_key2 = key != nullptr;
  hashed(item)->*side.stored_hash =
      key != nullptr ? hash_key(cache, side, key, e->*side.key_len) : 0;
}

void add_charge(generic_cache_t* cache, int64_t delta) {
  cache->stats.cur_bytes =
      static_cast<uint64_t>(static_cast<int64_t>(cache->stats.cur_bytes) + delta);
}

// Moves a node's charge by `delta`, never below zero, and cur_bytes with it:
// cur_bytes stays the fixed charge plus the nodes' charges whatever lengths a
// caller wrote into a cached element.
void adjust_charge(generic_cache_t* cache, generic_cache_item* item, int64_t delta) {
  hashed_item* node = hashed(item);
  const int64_t old_charge = static_cast<int64_t>(node->charge);
  const int64_t new_charge = old_charge + delta < 0 ? 0 : old_charge + delta;
  node->charge = static_cast<uint64_t>(new_charge);
  add_charge(cache, new_charge - old_charge);
}

// ---- Chains and the recency list ------------------------------------------------

// Links `item` at the head of its chain on `side`; linking in front of
// another node is a collision.
void chain_push(generic_cache_t* cache, const key_side& side, generic_cache_item* item) {
  generic_cache_item** bucket = bucket_of_item(cache, side, item);
  generic_cache_item* old_head = *bucket;
  item->*side.next = old_head;
  item->*side.prev = nullptr;
  if (old_head != nullptr) {
    old_head->*side.prev = item;
    ++cache->stats.num_collisions;
  }
  *bucket = item;
}

// Unlinks `item` from its chain on `side`; a bucket headed by it takes its
// successor.
void chain_unlink(generic_cache_t* cache, const key_side& side, generic_cache_item* item) {
  generic_cache_item** bucket = bucket_of_item(cache, side, item);
  if (item->*side.prev != nullptr) (item->*side.prev)->*side.next = item->*side.next;
  if (item->*side.next != nullptr) (item->*side.next)->*side.prev = item->*side.prev;
  if (*bucket == item) *bucket = item->*side.next;
  item->*side.prev = nullptr;
  item->*side.next = nullptr;
}

// Links or unlinks a node on both sides; a node without key2 keeps null
// secondary links.
void chains_push(generic_cache_t* cache, generic_cache_item* item) {
  chain_push(cache, kKey1Side, item);
  if (in_chain(item, kKey2Side)) chain_push(cache, kKey2Side, item);
}

void chains_unlink(generic_cache_t* cache, generic_cache_item* item) {
  chain_unlink(cache, kKey1Side, item);
  if (in_chain(item, kKey2Side)) chain_unlink(cache, kKey2Side, item);
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

// Links a node, whose hashes and charge are stored, at the head of its chains
// and of the recency list, and charges it.
void link_item(generic_cache_t* cache, generic_cache_item* item) {
  recency_push_head(cache, item);
  item->key2_prev = nullptr;
  item->key2_next = nullptr;
  chains_push(cache, item);
  ++cache->stats.num_entries;
  add_charge(cache, static_cast<int64_t>(hashed(item)->charge));
}

// Unlinks a node from everything, refunds its charge and frees it; counts a
// single removal. The element stays the caller's business.
void unlink_and_free_item(generic_cache_t* cache, generic_cache_item* item) {
  recency_unlink(cache, item);
  chains_unlink(cache, item);
  add_charge(cache, -static_cast<int64_t>(hashed(item)->charge));
  --cache->stats.num_entries;
  ++cache->stats.num_removes;
  cache_free(item);
}

// Makes a node the most recently used; chains and counters stay as they are.
void promote_item(generic_cache_t* cache, generic_cache_item* item) {
  if (cache->lru_head == item) return;
  recency_unlink(cache, item);
  recency_push_head(cache, item);
}

// Under the shared lock: queues a promotion of `item`. False when the queue is
// full. The claim acquires the reset of the count, so the slot it hands out
// has been emptied.
bool queue_promotion(generic_cache_t* cache, generic_cache_item* item) {
  promotion_queue& queue = handle_of(cache)->promotions;
  const uint32_t slot = __atomic_fetch_add(&queue.claimed, 1, __ATOMIC_ACQ_REL);
  if (slot >= kQueuedPromotions) return false;
  __atomic_store_n(&queue.items[slot], item, __ATOMIC_RELEASE);
  return true;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Moves the first `queued` slots, in claiming order, into `taken` and empties
// the queue. A slot's promoter may still be between its claim and its store
// (only under the shared lock): wait for it, it is not blocked.
void take_slots(promotion_queue& queue, uint32_t queued, generic_cache_item** taken) {
  for (uint32_t i = 0; i < queued; ++i) {
    generic_cache_item* item;
    for (int spins = 0; (item = __atomic_load_n(&queue.items[i], __ATOMIC_ACQUIRE)) == nullptr;)
      if (++spins < 100)
        cpu_relax();
      else
        sched_yield();  // it lost its core between the claim and the store
    taken[i] = item;
    __atomic_store_n(&queue.items[i], nullptr, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&queue.claimed, 0, __ATOMIC_RELEASE);
}

// Under the exclusive lock: applies the queued promotions.
void apply_queued_promotions(generic_cache_t* cache) {
  promotion_queue& queue = handle_of(cache)->promotions;
  const uint32_t claimed = __atomic_load_n(&queue.claimed, __ATOMIC_RELAXED);
  if (claimed == 0) return;
  generic_cache_item* taken[kQueuedPromotions];
  const uint32_t queued = claimed < kQueuedPromotions ? claimed : kQueuedPromotions;
  take_slots(queue, queued, taken);
  for (uint32_t i = 0; i < queued; ++i) promote_item(cache, taken[i]);
}

// Under the shared lock, for a promotion that found the queue full: empties
// the full queue, unless another such promoter already did, applies what it
// took, then promotes `item`. Every promotion that returned before this one
// began was in that queue or applied by an earlier holder of `recency`, so
// `item` ends up in front of it. The queue is emptied before its nodes are
// moved, so that other promoters queue again meanwhile instead of waiting
// for the whole apply; what they queue is applied after it, by the next
// holder of `recency` or the next exclusive section. A promoter that finds
// `recency` taken spins, queueing again, for about as long as an apply
// takes; only then does it sleep on the mutex.
void promote_with_full_queue(generic_cache_t* cache, generic_cache_item* item) {
  promotion_queue& queue = handle_of(cache)->promotions;
  std::unique_lock<std::mutex> hold(queue.recency, std::try_to_lock);
  for (int spins = 0; !hold.owns_lock(); ++spins) {
    if (queue_promotion(cache, item)) return;
    if (spins < 1000)
      cpu_relax();
    else
      hold.lock();
  }
  generic_cache_item* taken[kQueuedPromotions];
  uint32_t queued = 0;
  if (__atomic_load_n(&queue.claimed, __ATOMIC_ACQUIRE) >= kQueuedPromotions) {
    queued = kQueuedPromotions;
    take_slots(queue, queued, taken);
  }
  for (uint32_t i = 0; i < queued; ++i) promote_item(cache, taken[i]);
  promote_item(cache, item);
}

// Removes a node and hands its element to the release callback. The callback
// comes last, so it may free the element and its keys, and may even throw:
// the cache is consistent by then.
void rem_item_from_cache(generic_cache_t* cache, generic_cache_item* item) {
  generic_cache_element* element = item->element;
  unlink_and_free_item(cache, item);
  if (cache->element_callback == nullptr) return;
  in_callback scope(cache);
  cache->element_callback(element);
}

// ---- Self-check ---------------------------------------------------------------------
// Reads only what the cache keeps itself (links, stored hashes and charges),
// never the elements, so a caller who broke the element contract cannot make
// it fail. The caller holds the lock exclusively. It allocates nothing and
// costs one pass over the buckets and a few over the nodes: it marks the
// nodes of the recency list, and each chain must hold exactly the marked ones.

std::string broken(const char* where, int64_t at, const std::string& what) {
  return std::string(where) + " " + std::to_string(at) + ": " + what;
}

// Marks the listed nodes that belong in `side`'s table and unmarks the rest.
// The list's length has been checked, so the walk ends.
void mark_listed(generic_cache_t* cache, const key_side& side) {
  for (generic_cache_item* item = cache->lru_head; item != nullptr; item = item->lru_next)
    hashed(item)->check_mark = in_chain(item, side);
}

// Every chain of `side`'s table holds only marked nodes, each once (the mark
// is cleared on the first visit, which also ends a cycle), consistently
// linked back and in the bucket its stored hash selects; and holds all of
// the `belonging` marked ones.
std::string check_chains(generic_cache_t* cache, const key_side& side, int32_t belonging) {
  const char* const table = side.optional ? "secondary bucket" : "primary bucket";
  int32_t chained = 0;
  for (int b = 0; b < cache->stats.num_buckets; ++b) {
    const generic_cache_item* back = nullptr;
    for (generic_cache_item* item = (cache->*side.buckets)[b]; item != nullptr;
         item = item->*side.next) {
      if (!hashed(item)->check_mark)
        return broken(table, b, "a node not listed with this key, or chained twice");
      hashed(item)->check_mark = 0;
      if (item->*side.prev != back) return broken(table, b, "a node that does not link back");
      if (bucket_of(cache, hashed(item)->*side.stored_hash) != b)
        return broken(table, b, "a node whose stored hash selects another bucket");
      back = item;
      ++chained;
    }
  }
  if (chained != belonging) return broken(table, -1, "a listed node is missing from its chain");
  return "";
}

// The recency list: consistently doubly linked from lru_head to lru_tail,
// num_entries nodes, each with an element; nodes without key2 keep null
// secondary links; the charges add up to cur_bytes. Counts the key2 nodes.
std::string check_recency_list(generic_cache_t* cache, int32_t* with_key2) {
  const int32_t entries = cache->stats.num_entries;
  int32_t listed = 0;
  uint64_t charges = 0;
  *with_key2 = 0;
  const generic_cache_item* back = nullptr;
  for (generic_cache_item* item = cache->lru_head; item != nullptr; item = item->lru_next) {
    // Longer than num_entries also ends a cycle.
    if (listed == entries) return broken("recency list", entries, "longer than num_entries");
    if (item->lru_prev != back) return broken("recency list", listed, "does not link back");
    if (item->element == nullptr) return broken("recency list", listed, "a node without element");
    if (hashed(item)->has_key2)
      ++*with_key2;
    else if (item->key2_prev != nullptr || item->key2_next != nullptr)
      return broken("recency list", listed, "a node without key2 has secondary links");
    charges += hashed(item)->charge;
    back = item;
    ++listed;
  }
  if (cache->lru_tail != back) return broken("recency list", listed, "lru_tail is not the end");
  if (listed != entries) return broken("recency list", listed, "shorter than num_entries");
  const uint64_t expected_bytes = fixed_charge(cache->stats.num_buckets) + charges;
  if (cache->stats.cur_bytes != expected_bytes)
    return broken("cur_bytes", static_cast<int64_t>(cache->stats.cur_bytes),
                  "not " + std::to_string(expected_bytes) + ", the fixed and stored charges");
  return "";
}

// A queued promotion must name a cached node: the queue is applied by
// dereferencing it. Compared by address, so a stale slot is not read; a
// queue is short and usually empty.
std::string check_promotion_queue(generic_cache_t* cache) {
  const promotion_queue& queue = handle_of(cache)->promotions;
  const uint32_t claimed = __atomic_load_n(&queue.claimed, __ATOMIC_RELAXED);
  for (uint32_t i = 0; i < claimed && i < kQueuedPromotions; ++i) {
    const generic_cache_item* item = cache->lru_head;
    while (item != nullptr && item != queue.items[i]) item = item->lru_next;
    if (item == nullptr) return broken("promotion queue slot", i, "names a node not cached");
  }
  return "";
}

std::string check_invariants_locked(generic_cache_t* cache) {
  const int32_t buckets = cache->stats.num_buckets;
  if (buckets <= 0 || (buckets & (buckets - 1)) != 0)
    return broken("num_buckets", buckets, "not a power of two");
  if (cache->stats.num_entries < 0) return broken("num_entries", cache->stats.num_entries, "< 0");
  int32_t with_key2 = 0;
  std::string problem = check_recency_list(cache, &with_key2);
  if (problem.empty()) problem = check_promotion_queue(cache);
  if (!problem.empty()) return problem;
  mark_listed(cache, kKey1Side);
  problem = check_chains(cache, kKey1Side, cache->stats.num_entries);
  if (problem.empty()) {
    mark_listed(cache, kKey2Side);
    problem = check_chains(cache, kKey2Side, with_key2);
  }
  // A failed walk leaves marks behind; no other code reads them, but the
  // next check must start clean.
  for (generic_cache_item* item = cache->lru_head; item != nullptr; item = item->lru_next)
    hashed(item)->check_mark = 0;
  return problem;
}

#ifdef OBJSTORE_CACHE_CHECKS
// Debug builds check the whole cache at the end of exclusive sections. A
// check visits every bucket of both tables and every node about six times:
// while that is at most kCheckVisitsPerSection visits it runs after every
// section, past that after one section in visits / kCheckVisitsPerSection,
// so that checking costs about that many visits per section whatever the
// size. Checked after every section, a test that fills 65,536 buckets with
// 100,000 keys would run for many minutes under the sanitizers, not seconds.
constexpr uint64_t kCheckVisitsPerSection = 32;

void check_after_section(generic_cache_t* cache) {
  uint32_t& countdown = handle_of(cache)->sections_until_check;
  if (countdown > 0) {
    --countdown;
    return;
  }
  const uint64_t visits = 2 * static_cast<uint64_t>(cache->stats.num_buckets) +
                          6 * static_cast<uint64_t>(cache->stats.num_entries);
  countdown = static_cast<uint32_t>(visits / kCheckVisitsPerSection);
  const std::string problem = check_invariants_locked(cache);
  if (problem.empty()) return;
  std::fprintf(stderr, "mem_cache: broken invariant after an exclusive section: %s\n",
               problem.c_str());
  std::abort();
}
#endif

// ---- Locking --------------------------------------------------------------------

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
bool prepare_lookup(const generic_cache_t* cache, const char* key, int len, lookup_key* out) {
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
generic_cache_item* walk_chain(generic_cache_t* cache, const lookup_key& k) {
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
generic_cache_item* find_item(generic_cache_t* cache, const lookup_key& k) {
  generic_cache_item* item = walk_chain<side>(cache, k);
  if (item != nullptr)
    count_hit(cache);
  else
    count_miss(cache);
  return item;
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

// ---- Bulk rename --------------------------------------------------------------------

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

// ---- Clearing -----------------------------------------------------------------------

// Releases every element in primary-table order and returns the cache to its
// charge at creation. Every element is in exactly one primary chain, so each
// is released exactly once. A callback that throws does not stop the others
// from being released (nothing may stay cached or leak); the first exception
// is returned for the caller to rethrow once the cache is consistent.
std::exception_ptr release_all(generic_cache_t* cache) {
  std::exception_ptr first_failure;
  for (int i = 0; i < cache->stats.num_buckets; ++i) {
    generic_cache_item* item = cache->key1_buckets[i];
    cache->key1_buckets[i] = nullptr;
    cache->key2_buckets[i] = nullptr;
    while (item != nullptr) {
      generic_cache_item* next = item->key1_next;
      generic_cache_element* element = item->element;
      cache_free(item);
      if (cache->element_callback != nullptr) {
        try {
          in_callback scope(cache);
          cache->element_callback(element);
        } catch (...) {
          if (!first_failure) first_failure = std::current_exception();
        }
      }
      item = next;
    }
  }
  cache->lru_head = nullptr;
  cache->lru_tail = nullptr;
  cache->stats.num_entries = 0;
  cache->stats.cur_bytes = fixed_charge(cache->stats.num_buckets);
  return first_failure;
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
      key1_hash != nullptr ? key1_hash : (key1_case_sensitive ? str_to_num1 : str_to_num1_cis);
  cache->key2_hash =
      key2_hash != nullptr ? key2_hash : (key2_case_sensitive ? str_to_num2 : str_to_num2_cis);
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

void mem_cache_set_allocation_hooks(const mem_cache_allocation_hooks* hooks) { g_hooks = hooks; }

std::string mem_cache_check_invariants(generic_cache_t* cache) {
  if (cache == nullptr) return "the cache is null";
  write_hold hold(cache);
  return check_invariants_locked(cache);
}
