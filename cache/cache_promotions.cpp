// Promotions queued under the shared lock. A promotion only moves its node in
// the recency list, which lookups never read, so it need not take the
// exclusive lock: it claims a slot and leaves its node there
// (queue_promotion, cache_ops_internal.h), and the queue is applied, in
// claiming order, by the next exclusive section before anything else, or by
// the promotion that finds it full. That one applies it under `recency`, a
// mutex that only such promoters take, still holding the lock shared: taking
// the lock exclusively would revoke its reader bias and stall every lookup
// for a moment. Invariants:
//   - the recency list is changed either under the exclusive lock or under
//     the shared lock and `recency`, never by two threads at once, and read
//     only by exclusive sections;
//   - it is exact once the queued promotions are applied, which every
//     exclusive section does before anything else, so those sections see
//     exactly the order that promotions under the exclusive lock would have
//     left;
//   - no queued node can have been freed: nodes are freed only in exclusive
//     sections.

#include <sched.h>

#include <cstdint>
#include <mutex>

#include "cache/cache_node_internal.h"
#include "cache/cache_ops_internal.h"
#include "internal/cpu_relax.h"

namespace mem_cache_detail {
namespace {

// Moves the first `queued` slots, in claiming order, into `taken` and empties
// the queue. A slot's promoter may still be between its claim and its store
// (only under the shared lock): wait for it, it is not blocked.
void take_slots(promotion_queue& queue, uint32_t queued, generic_cache_item** taken) {
  for (uint32_t i = 0; i < queued; ++i) {
    generic_cache_item* item;
    for (int spins = 0; (item = __atomic_load_n(&queue.items[i], __ATOMIC_ACQUIRE)) == nullptr;)
      if (++spins < 100)
        objstore_internal::cpuRelax();
      else
        sched_yield();  // it lost its core between the claim and the store
    taken[i] = item;
    __atomic_store_n(&queue.items[i], nullptr, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&queue.claimed, 0, __ATOMIC_RELEASE);
}

}  // namespace

void apply_queued_promotions_now(generic_cache_t* cache) {
  promotion_queue& queue = handle_of(cache)->promotions;
  const uint32_t claimed = __atomic_load_n(&queue.claimed, __ATOMIC_RELAXED);
  generic_cache_item* taken[kQueuedPromotions];
  const uint32_t queued = claimed < kQueuedPromotions ? claimed : kQueuedPromotions;
  take_slots(queue, queued, taken);
  for (uint32_t i = 0; i < queued; ++i) promote_item(cache, taken[i]);
}

// Empties the full queue, unless another such promoter already did, applies
// what it took, then promotes `item`. Every promotion that returned before
// this one began was in that queue or applied by an earlier holder of
// `recency`, so `item` ends up in front of it. The queue is emptied before
// its nodes are moved, so that other promoters queue again meanwhile instead
// of waiting for the whole apply; what they queue is applied after it, by the
// next holder of `recency` or the next exclusive section. A promoter that
// finds `recency` taken spins, queueing again, for about as long as an apply
// takes; only then does it sleep on the mutex.
void promote_with_full_queue(generic_cache_t* cache, generic_cache_item* item) {
  promotion_queue& queue = handle_of(cache)->promotions;
  std::unique_lock<std::mutex> hold(queue.recency, std::try_to_lock);
  for (int spins = 0; !hold.owns_lock(); ++spins) {
    if (queue_promotion(cache, item)) return;
    if (spins < 1000)
      objstore_internal::cpuRelax();
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

}  // namespace mem_cache_detail
