// The memory cache's allocations. Invariant: every allocation and release of
// the cache's own memory (handle, tables, nodes) passes through here, and so
// past the allocation hooks (mem_cache_internal.h) when a test installed
// them; without hooks these are malloc, posix_memalign, calloc and free.

#include <cerrno>
#include <cstdlib>

#include "cache/cache_node_internal.h"
#include "cache/mem_cache_internal.h"

namespace {

// Written only while no cache operation runs (see mem_cache_internal.h), so
// a plain pointer: the allocation path pays one load and a branch.
const mem_cache_allocation_hooks* g_hooks = nullptr;

// True when the test's hook asks this allocation to fail; errno is then ENOMEM.
bool allocation_refused() {
  if (g_hooks == nullptr || !g_hooks->allocation_fails()) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

void mem_cache_set_allocation_hooks(const mem_cache_allocation_hooks* hooks) { g_hooks = hooks; }

namespace mem_cache_detail {

void* cache_malloc(size_t size) { return allocation_refused() ? nullptr : std::malloc(size); }

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

}  // namespace mem_cache_detail
