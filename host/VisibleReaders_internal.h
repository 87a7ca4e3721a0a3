// The process-wide table of visible readers behind ZqComplexLock's reader
// bias. Not installed; nothing here is exported.
//
// Each thread that takes a lock shared through the bias owns one row: one
// cache line of slots that only its owner writes, each slot naming a lock
// the owner holds shared (or null). A biased reader therefore writes no line
// that another core writes. A writer that revokes a lock's bias reads the
// rows in use and waits until no slot names the lock.
//
// Rows are claimed lowest-first and given back when their thread exits, so a
// revocation reads about as many lines as the process has reading threads.
// A thread that finds every row taken reads through the lock's plain path.
#ifndef OBJSTORE_HOST_VISIBLE_READERS_INTERNAL_H_
#define OBJSTORE_HOST_VISIBLE_READERS_INTERNAL_H_

#include <atomic>
#include <cstdint>

namespace visibleReaders {

// A thread can hold this many locks shared through the bias at once; a
// further shared acquisition takes the plain path.
constexpr int kSlotsPerRow = 8;
constexpr uint32_t kRows = 1024;

struct alignas(64) Row {
  std::atomic<const void*> slots[kSlotsPerRow];
};
static_assert(sizeof(Row) == 64, "a row is one cache line");

// Claims a row for the calling thread and stores it in *threadRow, a
// thread-local of the caller's that is set back to null when the thread
// exits and its row is given back. Returns the row, or null while every row
// is taken (a later call may find one freed).
Row* claimRow(Row** threadRow);

// Rows [0, rowLimit()) are or have been claimed; the rest hold no slot.
uint32_t rowLimit();
Row& rowAt(uint32_t index);

}  // namespace visibleReaders

#endif  // OBJSTORE_HOST_VISIBLE_READERS_INTERNAL_H_
