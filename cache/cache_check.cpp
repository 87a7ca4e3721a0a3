// The cache's structural self-check (mem_cache_check_invariants, which the
// tests call, and the checks that Debug builds run at the end of exclusive
// sections). It reads only what the cache keeps itself (links, stored hashes
// and charges), never the elements, so a caller who broke the element
// contract cannot make it fail. The caller holds the lock exclusively. It
// allocates nothing and costs one pass over the buckets and a few over the
// nodes: it marks the nodes of the recency list, and each chain must hold
// exactly the marked ones.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cache/cache_node_internal.h"
#include "cache/cache_ops_internal.h"
#include "cache/mem_cache_internal.h"

namespace mem_cache_detail {
namespace {

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

}  // namespace

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

}  // namespace mem_cache_detail

std::string mem_cache_check_invariants(generic_cache_t* cache) {
  if (cache == nullptr) return "the cache is null";
  mem_cache_detail::write_hold hold(cache);
  return mem_cache_detail::check_invariants_locked(cache);
}
