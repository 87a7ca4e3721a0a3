// The platform's two lock classes.
//
// ZqComplexLock is the reader-writer lock each cache handle carries;
// ZqCriticalSectionH is the mutual-exclusion object behind the library's
// ZqCriticalSection wrapper. Neither is recursive, copyable or movable.
#ifndef OBJSTORE_HOST_LOCKS_H_
#define OBJSTORE_HOST_LOCKS_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/Export.h"

namespace visibleReaders {
struct Row;
}

// A reader-writer lock for critical sections of tens of nanoseconds, on one
// state word and two Linux futex words, with a reader bias.
//
// Biased readers: while no writer has come for a while, a reader does not
// touch the state word. It writes the lock's address into a slot of its own
// thread's row in a process-wide table (one cache line that only that thread
// writes) and checks that the bias still stands; its unlock clears the slot.
// So concurrent readers on different cores write no line in common, and read
// throughput grows with the cores. A writer first takes the state word as
// below, which keeps new plain readers out, then revokes the bias and waits
// until no row names the lock: a reader is then either seen by the writer or
// sees the bias gone and takes the plain path. A revoking writer spins
// briefly, then sleeps until the last biased reader's unlock wakes it (or a
// short timeout passes). The bias is enabled by a plain reader that meets
// another reader inside (a thread that reads alone is faster on the plain
// path), once a delay after the last revocation has passed; the delay
// doubles while writers keep revoking the bias soon after it was set and
// shrinks while they do not, so that write-heavy use pays for few
// revocations. Past 1,024 threads holding rows, or 8 biased
// locks held by one thread, readers take the plain path.
//
// Plain path: a waiter first spins briefly, since the holder is usually about
// to leave; only when the lock stays taken (a long section, or a holder that
// lost its core) does it sleep in the kernel. An unlock makes a system call
// only when some thread sleeps. Sleepers are woken to compete, not handed the
// lock: handing it to a thread that has yet to get a core would leave it idle.
//
// Neither side starves: a writer that has to sleep, or a reader that has
// slept for a millisecond, raises a flag that keeps the other side out until
// one of its own side has taken the lock (readers win when both sides raise
// it); the sleeping writer turns the bias off too. A writer behind a stream
// of readers therefore waits for the readers inside to leave, not for the
// stream to end.
//
// The object spans two cache lines (aligned to 64, 128 bytes): the first
// holds the state word, which every plain acquisition writes, and what only
// writers and plain readers read; the second what only writers, wake-ups and
// the enabling of the bias write, which every acquisition and unlock reads.
// So the lock shares a line with no read-mostly data beside it, and a biased
// reader reads only lines that no one writes while the bias stands. Whatever
// allocates an object that contains the lock must honour that alignment.
class OBJSTORE_API ZqComplexLock {
 public:
  ZqComplexLock();
  ~ZqComplexLock();
  ZqComplexLock(const ZqComplexLock&) = delete;
  ZqComplexLock& operator=(const ZqComplexLock&) = delete;

  // Acquires the lock shared; any number of readers may hold it at once.
  int rdlock();
  // Acquires the lock exclusively; waits for every other holder to leave.
  int rwlock();
  // Releases whichever mode the calling thread holds: held_exclusive_ tells
  // a writer, the calling thread's row a biased reader.
  int unlock();

 private:
  void rdlock_slow();
  void rwlock_slow();
  void wake_writer();
  OBJSTORE_LOCAL bool rdlock_biased(visibleReaders::Row& row);
  OBJSTORE_LOCAL bool rdlock_plain();
  OBJSTORE_LOCAL void unlock_biased(std::atomic<const void*>& slot);
  OBJSTORE_LOCAL void maybe_restore_bias();
  OBJSTORE_LOCAL void revoke_bias();
  OBJSTORE_LOCAL void wait_for_biased_reader(const std::atomic<const void*>& slot);

  // Readers holding the lock on the plain path, the writer bit, who sleeps,
  // and the two starvation flags (layout in Locks.cpp). Every change of mode
  // on the plain path is one atomic operation on this word.
  alignas(64) std::atomic<uint32_t> state_;
  // 1 while readers may take the lock through their rows. Beside the state
  // word, as is revoker_asleep_, which every biased unlock reads: a plain
  // reader, which writes that line anyway, reads them at no extra cost, and
  // while the bias stands nobody writes the line.
  std::atomic<uint32_t> bias_;
  // Set by a writer from before it clears bias_ until no slot names the
  // lock any more, so that an unlock can tell a plain reader from a biased
  // one without reading its row.
  std::atomic<uint32_t> revoking_;
  // A revoking writer sleeps on revoke_seq_ while revoker_asleep_ is set;
  // a biased reader's unlock that sees the flag bumps the word and wakes it.
  std::atomic<uint32_t> revoker_asleep_;
  // The bias's bookkeeping, in nanoseconds of the monotonic clock. Written by
  // writers under the lock, read by readers: plain fields, ordered by the
  // lock. bias_since_ is written by the reader that enables the bias, which
  // a writer waiting to sleep may have turned off just before: two readers
  // may write it then, hence an atomic.
  std::atomic<int64_t> bias_since_;  // when the bias was last enabled
  int64_t inhibit_until_;            // plain readers do not enable the bias before
  int64_t inhibit_ns_;               // the delay after the last revocation
  // Set only while a writer holds the lock. A reader can never observe it
  // set (no writer holds the lock beside a reader, and the writer clears it
  // before its release), so unlock() tells the modes apart without per-thread
  // bookkeeping.
  alignas(64) std::atomic<bool> held_exclusive_;
  std::atomic<uint32_t> revoke_seq_;
  // Bumped before each wake-up of the sleeping readers or writers; a thread
  // sleeps on one of them only while it still holds the value it read
  // before it last saw the lock taken, so no wake-up is lost.
  std::atomic<uint32_t> reader_seq_;
  std::atomic<uint32_t> writer_seq_;
};

static_assert(sizeof(ZqComplexLock) == 128, "ZqComplexLock spans exactly two cache lines");

class OBJSTORE_API ZqCriticalSectionH {
 public:
  ZqCriticalSectionH();
  ~ZqCriticalSectionH();
  ZqCriticalSectionH(const ZqCriticalSectionH&) = delete;
  ZqCriticalSectionH& operator=(const ZqCriticalSectionH&) = delete;

  // Acquires the section. The flag is accepted for the platform's sake; every
  // caller passes true and relies on exclusion alone.
  void enter(bool wait);
  void leave();

 private:
  std::mutex mutex_;
};

#endif  // OBJSTORE_HOST_LOCKS_H_
