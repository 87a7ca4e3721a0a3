// Counts the heap allocations of each thread of the benchmark binary.
//
// The binary replaces malloc, calloc, realloc and the aligned forms with
// thin wrappers that count the call in a thread-local counter and hand it to
// the C library's own allocator, so every block still lives in glibc's heap
// (mallinfo2 keeps seeing all of it) and any block may be freed by any of
// the pairs. operator new reaches malloc and is counted with it. Under
// AddressSanitizer or ThreadSanitizer the sanitizer's allocator must stay in
// place: nothing is replaced and Counting() is false.
#ifndef OBJSTORE_BENCH_ALLOC_COUNTER_H_
#define OBJSTORE_BENCH_ALLOC_COUNTER_H_

#include <cstdint>

namespace bench_alloc {

// Whether the allocation functions are replaced in this build.
bool Counting();

// Allocation calls made so far by the calling thread (malloc, calloc, the
// aligned forms, realloc to a non-zero size, and operator new through
// malloc). Always 0 when Counting() is false.
uint64_t ThreadAllocations();

// Allocates with malloc and with operator new and tells whether both were
// counted: a counter that missed them would report any path as free of
// allocations. False when Counting() is false.
bool SelfCheck();

}  // namespace bench_alloc

#endif  // OBJSTORE_BENCH_ALLOC_COUNTER_H_
