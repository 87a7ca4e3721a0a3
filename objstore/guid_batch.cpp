// The GUID batcher: each thread draws UUIDs from RandomGenerator in batches
// and hands them out one at a time.
#include <new>

#include <boost/uuid/uuid.hpp>

#include "objstore/guid.h"
#include "objstore/guid_internal.h"

namespace ObjectStore {

// Built at load in this order, the generator (and its seeding) first; torn
// down in reverse, so the lock never outlives nor predates its generator.
boost::uuids::basic_random_generator<boost::mt19937> RandomGenerator;

namespace {

// Guards every draw from RandomGenerator.
ZqCriticalSection randomLock;

// The UUIDs a thread has drawn from RandomGenerator and not yet handed out.
//
// A draw per call made every GUID a round trip of randomLock, and of the
// generator's state, between the cores of the calling threads. The draw is
// about half of a call's work, so that traffic made two threads calling at
// once slower together than one thread alone. Each entry into randomLock
// therefore draws a batch into a buffer of the calling thread, and the
// threads format their GUIDs from their own buffers in parallel.
//
// The batch starts small and doubles with each refill: a thread that makes
// a few GUIDs draws a few and holds the lock about as briefly as before,
// while a thread that makes them in bulk soon draws kLargestBatch at a time
// (about 20 us under the lock, 16 KiB of buffer). Smaller batches were not
// enough: up to a few hundred per entry, two threads in a tight loop still
// fell into step, each waiting for the other's draw, and together made no
// more GUIDs than one.
//
// Each UUID still comes whole from one locked call of the generator (which
// sets version and variant), lives in exactly one thread's buffer and is
// handed out once, so two calls never receive the same draw. A thread that
// ends throws its unused ones away.
constexpr int kFirstBatch = 8;
constexpr int kLargestBatch = 1024;

// GCC would otherwise clone take() for its one call site; clang never does
// and has no such attribute.
#if defined(__clang__)
#define OBJSTORE_NO_CLONE
#else
#define OBJSTORE_NO_CLONE __attribute__((noclone))
#endif

// Trivial and zero-initialised, so that reaching it costs no guard: the
// empty state is size 0, and the first batch fills `inline_ids` as it is.
struct GuidBuffer {
  // Hands out the next unused UUID, drawing a batch first when none is
  // left. Out of line (and not specialised for its one caller's argument),
  // so that the buffer's address is computed once, by the caller
  // (takeBatchedUuid); inlined, the compiler would compute it again (a call
  // into the dynamic linker) at each use.
  __attribute__((noinline)) OBJSTORE_NO_CLONE boost::uuids::uuid take();
  __attribute__((noinline)) void refill();  // kept off take's fast path

  boost::uuids::uuid inline_ids[kFirstBatch];
  boost::uuids::uuid* heap;  // the grown batch; null until then
  int size;                  // the batch held; 0 before the first draw
  int next;                  // the first unused one; size when empty
};

thread_local GuidBuffer threadGuids;

// Frees a thread's grown batch when the thread ends. Reached only when a
// batch first grows, which is what registers its destructor.
struct GuidBufferRelease {
  bool armed = false;
  ~GuidBufferRelease() {
    GuidBuffer& buffer = threadGuids;
    delete[] buffer.heap;
    buffer = GuidBuffer();  // empty again, for anything still asking during the exit
  }
};

thread_local GuidBufferRelease threadGuidRelease;

boost::uuids::uuid GuidBuffer::take() {
  if (next == size) refill();
  return (heap != nullptr ? heap : inline_ids)[next++];
}

void GuidBuffer::refill() {
  // Grown before the lock is entered: no allocation inside it. Without
  // memory the batch keeps its size.
  if (size == 0) {
    size = kFirstBatch;
  } else if (size < kLargestBatch) {
    if (auto* larger = new (std::nothrow) boost::uuids::uuid[2 * size]) {
      threadGuidRelease.armed = true;
      delete[] heap;
      heap = larger;
      size *= 2;
    }
  }
  boost::uuids::uuid* const ids = heap != nullptr ? heap : inline_ids;
  randomLock.enter(true);
  for (int i = 0; i < size; ++i) ids[i] = RandomGenerator();  // the draw alone is locked
  randomLock.leave();
  next = 0;
}

}  // namespace

boost::uuids::uuid takeBatchedUuid() { return threadGuids.take(); }

}  // namespace ObjectStore
