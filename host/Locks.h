// The platform's two lock classes.
//
// ZqComplexLock is the reader-writer lock each cache handle carries;
// ZqCriticalSectionH is the mutual-exclusion object behind the library's
// ZqCriticalSection wrapper. Neither is recursive, copyable or movable.
#ifndef OBJSTORE_HOST_LOCKS_H_
#define OBJSTORE_HOST_LOCKS_H_

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "host/Export.h"

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
  // Releases whichever mode the calling thread holds.
  int unlock();

 private:
  std::shared_mutex mutex_;
  // Set only while a writer holds the lock. A reader can never observe it set
  // (no writer can hold the lock beside a reader), so unlock() can tell the
  // two modes apart without per-thread bookkeeping.
  std::atomic<bool> held_exclusive_;
};

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
