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

// A reader-writer lock for critical sections of tens of nanoseconds, on one
// state word and two Linux futex words.
//
// A waiter first spins briefly, since the holder is usually about to leave;
// only when the lock stays taken (a long section, or a holder that lost its
// core) does it sleep in the kernel. An unlock makes a system call only when
// some thread sleeps. Sleepers are woken to compete, not handed the lock:
// handing it to a thread that has yet to get a core would leave it idle.
//
// Neither side starves: a waiter that has slept for longer than a
// millisecond raises a flag that keeps the other side out until one of its
// own side has taken the lock (readers win when both sides raise it).
//
// The object spans two cache lines (aligned to 64, 128 bytes): the first
// holds the state word, which every acquisition writes; the second what only
// writers and wake-ups write, which every unlock reads. So the lock shares a
// line with no read-mostly data beside it, and a reader's unlock does not
// have to fetch the contended line before it writes it. Whatever allocates
// an object that contains the lock must honour that alignment.
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
  // Releases whichever mode the calling thread holds, as held_exclusive_
  // tells.
  int unlock();

 private:
  void rdlock_slow();
  void rwlock_slow();
  void wake_writer();

  // Readers holding the lock, the writer bit, who sleeps, and the two
  // starvation flags (layout in Locks.cpp). Every change of mode is one
  // atomic operation on this word.
  alignas(64) std::atomic<uint32_t> state_;
  // Set only while a writer holds the lock. A reader can never observe it
  // set (no writer holds the lock beside a reader, and the writer clears it
  // before its release), so unlock() tells the modes apart without per-thread
  // bookkeeping.
  alignas(64) std::atomic<bool> held_exclusive_;
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
