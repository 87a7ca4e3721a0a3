#include "host/Locks.h"

ZqComplexLock::ZqComplexLock() : held_exclusive_(false) {}
ZqComplexLock::~ZqComplexLock() = default;

int ZqComplexLock::rdlock() {
  mutex_.lock_shared();
  return 0;
}

int ZqComplexLock::rwlock() {
  mutex_.lock();
  held_exclusive_.store(true, std::memory_order_relaxed);
  return 0;
}

int ZqComplexLock::unlock() {
  if (held_exclusive_.load(std::memory_order_relaxed)) {
    held_exclusive_.store(false, std::memory_order_relaxed);
    mutex_.unlock();
  } else {
    mutex_.unlock_shared();
  }
  return 0;
}

ZqCriticalSectionH::ZqCriticalSectionH() = default;
ZqCriticalSectionH::~ZqCriticalSectionH() = default;

void ZqCriticalSectionH::enter(bool /*wait*/) { mutex_.lock(); }
void ZqCriticalSectionH::leave() { mutex_.unlock(); }
