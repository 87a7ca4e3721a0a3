// A node's life in the cache: linked into its chains and the recency list,
// moved, unlinked, freed, and charged and refunded on the way. Invariants
// between operations:
//   - stats.num_entries equals the number of nodes;
//   - stats.cur_bytes equals the fixed charge plus every node's stored charge;
//   - a node is in the chains its stored hashes select;
//   - new and relinked nodes enter at the head of a chain and of the recency
//     list, so within a chain the most recently linked node comes first.
// mem_cache_check_invariants (cache_check.cpp) checks them.

#include <exception>

#include "cache/cache_node_internal.h"

namespace mem_cache_detail {
namespace {

void add_charge(generic_cache_t* cache, int64_t delta) {
  cache->stats.cur_bytes =
      static_cast<uint64_t>(static_cast<int64_t>(cache->stats.cur_bytes) + delta);
}

generic_cache_item** bucket_of_item(generic_cache_t* cache, const key_side& side,
                                    generic_cache_item* item) {
  return &(cache->*side.buckets)[bucket_of(cache, hashed(item)->*side.stored_hash)];
}

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

}  // namespace

// Never below zero: cur_bytes stays the fixed charge plus the nodes' charges
// whatever lengths a caller wrote into a cached element.
void adjust_charge(generic_cache_t* cache, generic_cache_item* item, int64_t delta) {
  hashed_item* node = hashed(item);
  const int64_t old_charge = static_cast<int64_t>(node->charge);
  const int64_t new_charge = old_charge + delta < 0 ? 0 : old_charge + delta;
  node->charge = static_cast<uint64_t>(new_charge);
  add_charge(cache, new_charge - old_charge);
}

void chains_push(generic_cache_t* cache, generic_cache_item* item) {
  chain_push(cache, kKey1Side, item);
  if (in_chain(item, kKey2Side)) chain_push(cache, kKey2Side, item);
}

void chains_unlink(generic_cache_t* cache, generic_cache_item* item) {
  chain_unlink(cache, kKey1Side, item);
  if (in_chain(item, kKey2Side)) chain_unlink(cache, kKey2Side, item);
}

void link_item(generic_cache_t* cache, generic_cache_item* item) {
  recency_push_head(cache, item);
  item->key2_prev = nullptr;
  item->key2_next = nullptr;
  chains_push(cache, item);
  ++cache->stats.num_entries;
  add_charge(cache, static_cast<int64_t>(hashed(item)->charge));
}

void unlink_and_free_item(generic_cache_t* cache, generic_cache_item* item) {
  recency_unlink(cache, item);
  chains_unlink(cache, item);
  add_charge(cache, -static_cast<int64_t>(hashed(item)->charge));
  --cache->stats.num_entries;
  ++cache->stats.num_removes;
  cache_free(item);
}

void promote_item(generic_cache_t* cache, generic_cache_item* item) {
  if (cache->lru_head == item) return;
  recency_unlink(cache, item);
  recency_push_head(cache, item);
}

void rem_item_from_cache(generic_cache_t* cache, generic_cache_item* item) {
  generic_cache_element* element = item->element;
  unlink_and_free_item(cache, item);
  if (cache->element_callback == nullptr) return;
  in_callback scope(cache);
  cache->element_callback(element);
}

// In primary-table order. Every element is in exactly one primary chain, so
// each is released exactly once. A callback that throws does not stop the
// others from being released (nothing may stay cached or leak); the first
// exception is kept.
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

}  // namespace mem_cache_detail
