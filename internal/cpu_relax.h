// A spinning waiter's pause between two looks at a contended word: it frees
// the core's shared resources for the sibling hyperthread and keeps the loop
// from flooding the line with reads. Shared by the lock and the cache's
// promotion queue. Not installed.
#ifndef OBJSTORE_INTERNAL_CPU_RELAX_H_
#define OBJSTORE_INTERNAL_CPU_RELAX_H_

namespace objstore_internal {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace objstore_internal

#endif  // OBJSTORE_INTERNAL_CPU_RELAX_H_
