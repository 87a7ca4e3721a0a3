#include "bench/alloc_counter.h"

#include <errno.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OBJSTORE_BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define OBJSTORE_BENCH_SANITIZED 1
#endif
#endif

#ifndef OBJSTORE_BENCH_SANITIZED

// glibc's own entry points behind malloc and friends.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* block);
}

namespace {
// Trivial and zero-initialised: reachable from the first allocation of any
// thread without a guard, and never destroyed.
thread_local uint64_t t_allocations = 0;
}  // namespace

// Visible by default (the build hides symbols otherwise), so that the
// shared libraries, libstdc++ included, bind to these definitions.
#define OBJSTORE_BENCH_REPLACEMENT extern "C" __attribute__((visibility("default")))

OBJSTORE_BENCH_REPLACEMENT void* malloc(size_t size) noexcept {
  ++t_allocations;
  return __libc_malloc(size);
}

OBJSTORE_BENCH_REPLACEMENT void* calloc(size_t count, size_t size) noexcept {
  ++t_allocations;
  return __libc_calloc(count, size);
}

OBJSTORE_BENCH_REPLACEMENT void* realloc(void* block, size_t size) noexcept {
  if (size != 0) ++t_allocations;  // realloc(p, 0) frees
  return __libc_realloc(block, size);
}

OBJSTORE_BENCH_REPLACEMENT void free(void* block) noexcept { __libc_free(block); }

OBJSTORE_BENCH_REPLACEMENT void* memalign(size_t alignment, size_t size) noexcept {
  ++t_allocations;
  return __libc_memalign(alignment, size);
}

OBJSTORE_BENCH_REPLACEMENT void* aligned_alloc(size_t alignment, size_t size) noexcept {
  ++t_allocations;
  return __libc_memalign(alignment, size);
}

OBJSTORE_BENCH_REPLACEMENT int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  // The checks glibc's posix_memalign makes before it allocates.
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0)
    return EINVAL;
  ++t_allocations;
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

OBJSTORE_BENCH_REPLACEMENT void* valloc(size_t size) noexcept {
  ++t_allocations;
  return __libc_valloc(size);
}

OBJSTORE_BENCH_REPLACEMENT void* pvalloc(size_t size) noexcept {
  ++t_allocations;
  return __libc_pvalloc(size);
}

namespace bench_alloc {

bool Counting() { return true; }

uint64_t ThreadAllocations() { return t_allocations; }

bool SelfCheck() {
  // Stored through volatile pointers, so that the compiler cannot drop the
  // pairs as unused.
  const uint64_t before = t_allocations;
  void* volatile block = std::malloc(24);
  std::free(block);
  const uint64_t after_malloc = t_allocations;
  int* volatile object = new int(1);
  delete object;
  return after_malloc == before + 1 && t_allocations == after_malloc + 1;
}

}  // namespace bench_alloc

#else  // OBJSTORE_BENCH_SANITIZED

namespace bench_alloc {
bool Counting() { return false; }
uint64_t ThreadAllocations() { return 0; }
bool SelfCheck() { return false; }
}  // namespace bench_alloc

#endif  // OBJSTORE_BENCH_SANITIZED
