#include "host/VisibleReaders_internal.h"

#include <pthread.h>

namespace visibleReaders {
namespace {

Row gRows[kRows];
std::atomic<bool> gClaimed[kRows];
// One above the highest row ever claimed. Raised before the row's first slot
// is written, so a revoking writer that reads it after clearing a lock's
// bias scans every row that can name the lock.
std::atomic<uint32_t> gLimit{0};
std::atomic<uint32_t> gFree{kRows};

// A row is given back by a thread-specific key's destructor rather than a
// C++ thread_local's: glibc runs the keys' destructors after the
// thread_locals', which may still take locks shared.
pthread_key_t gExitKey;
// pthread_once rather than std::call_once, whose template instantiation
// libstdc++ would export from this library.
pthread_once_t gSetUp = PTHREAD_ONCE_INIT;

void giveBack(Row** threadRow) {
  Row* row = *threadRow;
  if (row == nullptr) return;
  *threadRow = nullptr;
  // A thread that exits holding a lock shared through its row keeps the row:
  // the lock stays held, as a plain reader's count would keep it.
  for (const auto& slot : row->slots)
    if (slot.load(std::memory_order_relaxed) != nullptr) return;
  gClaimed[row - gRows].store(false, std::memory_order_release);
  gFree.fetch_add(1, std::memory_order_relaxed);
}

void onThreadExit(void* threadRow) { giveBack(static_cast<Row**>(threadRow)); }

// In a child of fork() only the forking thread lives on: the other threads'
// rows are emptied and freed, or they would stay claimed for ever.
void afterForkInChild() {
  const auto* own = static_cast<Row* const*>(pthread_getspecific(gExitKey));
  const Row* ownRow = own != nullptr ? *own : nullptr;
  uint32_t free = 0;
  for (uint32_t i = 0; i < kRows; ++i) {
    if (&gRows[i] == ownRow) continue;
    for (auto& slot : gRows[i].slots) slot.store(nullptr, std::memory_order_relaxed);
    gClaimed[i].store(false, std::memory_order_relaxed);
    ++free;
  }
  gFree.store(free, std::memory_order_relaxed);
}

void setUp() {
  pthread_key_create(&gExitKey, onThreadExit);
  pthread_atfork(nullptr, nullptr, afterForkInChild);
}

}  // namespace

Row* claimRow(Row** threadRow) {
  if (*threadRow != nullptr) return *threadRow;
  if (gFree.load(std::memory_order_relaxed) == 0) return nullptr;
  pthread_once(&gSetUp, setUp);
  for (uint32_t i = 0; i < kRows; ++i) {
    bool taken = false;
    if (gClaimed[i].load(std::memory_order_relaxed) ||
        !gClaimed[i].compare_exchange_strong(taken, true, std::memory_order_acquire))
      continue;
    gFree.fetch_sub(1, std::memory_order_relaxed);
    uint32_t limit = gLimit.load(std::memory_order_relaxed);
    while (limit < i + 1 &&
           !gLimit.compare_exchange_weak(limit, i + 1, std::memory_order_seq_cst)) {
    }
    *threadRow = &gRows[i];
    pthread_setspecific(gExitKey, threadRow);
    return *threadRow;
  }
  return nullptr;
}

uint32_t rowLimit() { return gLimit.load(std::memory_order_seq_cst); }

Row& rowAt(uint32_t index) { return gRows[index]; }

}  // namespace visibleReaders
