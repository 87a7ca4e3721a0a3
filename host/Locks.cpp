#include "host/Locks.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

namespace {

// ZqComplexLock's state word:
//
//   bits  0..26  readers holding the lock
//   bit     27   a writer holds the lock
//   bit     28   writers may sleep: set by a writer before it sleeps, cleared
//                by the release that wakes one of them
//   bit     29   readers may sleep: likewise, and a release wakes them all
//   bit     30   writer first: a writer has waited too long; new readers stay
//                out until a writer takes the lock
//   bit     31   reader first: a reader has waited too long; writers stay out
//                until a reader takes the lock
//
// A reader adds itself to the count before it looks at the rest, which costs
// one atomic operation on the contended line instead of a read and a
// compare-and-swap, and takes itself out again when the state keeps it out.
// So the count may include passing readers beside the writer bit; they only
// delay writers, and the last of them out wakes a writer as any reader
// would. A writer takes the lock only at a zero count. A thread sleeps
// only after it has seen its sleep bit set in a state that keeps it out, and
// every release that could let it in clears that bit and wakes; a woken
// writer cannot know whether other writers still sleep, so it sets the bit
// again when it takes the lock. The reader count is far above the number of
// threads a process can have.
constexpr uint32_t kReader = 1;
constexpr uint32_t kReaderMask = (uint32_t{1} << 27) - 1;
constexpr uint32_t kWriter = uint32_t{1} << 27;
constexpr uint32_t kWritersAsleep = uint32_t{1} << 28;
constexpr uint32_t kReadersAsleep = uint32_t{1} << 29;
constexpr uint32_t kWriterFirst = uint32_t{1} << 30;
constexpr uint32_t kReaderFirst = uint32_t{1} << 31;

// A waiter's spins before it sleeps, and again after each wake-up: a few
// microseconds, longer than the sections the lock is made for and far
// shorter than a scheduler's slice, so that a waiter whose holder lost its
// core soon gives its own core away.
constexpr int kSpinLimit = 100;

// How long a waiter sleeps before it raises its side's flag. Until then a
// writer sleeps no longer than this at a time: while readers keep the lock,
// nothing else would wake it to raise the flag.
constexpr std::chrono::nanoseconds kStarvation = std::chrono::milliseconds(1);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

// Sleeps while *word still holds `expected`, for at most `timeout` if given;
// returns on a wake-up, a changed value, the timeout or a signal alike, so
// callers always look again.
void futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout,
          nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
          0);
}

// A reader that has waited too long ignores a writer's claim to go first.
inline bool readerMayEnter(uint32_t state, bool starved) {
  return (state & kWriter) == 0 &&
         ((state & kWriterFirst) == 0 || (state & kReaderFirst) != 0 || starved);
}

inline bool writerMayEnter(uint32_t state) {
  return (state & (kWriter | kReaderMask | kReaderFirst)) == 0;
}

using Clock = std::chrono::steady_clock;

// What the waiting loop below needs to know of each side: when it may enter,
// the state that holds the lock for it, its sleep bit and its flag.
struct ReaderSide {
  static constexpr uint32_t kAsleep = kReadersAsleep;
  static constexpr uint32_t kFirst = kReaderFirst;
  // Every release that could let a reader in wakes all sleeping readers.
  static constexpr bool kTimedSleep = false;
  static bool mayEnter(uint32_t state, bool starved) { return readerMayEnter(state, starved); }
  static uint32_t entered(uint32_t state, bool /*slept*/) {
    return (state + kReader) & ~kReaderFirst;
  }
};

struct WriterSide {
  static constexpr uint32_t kAsleep = kWritersAsleep;
  static constexpr uint32_t kFirst = kWriterFirst;
  static constexpr bool kTimedSleep = true;  // until its flag is up (see kStarvation)
  static bool mayEnter(uint32_t state, bool /*starved*/) { return writerMayEnter(state); }
  // A woken writer cannot know whether other writers still sleep: it sets
  // their bit again.
  static uint32_t entered(uint32_t state, bool slept) {
    return ((state | kWriter) & ~kWriterFirst) | (slept ? kWritersAsleep : 0);
  }
};

// The slow path of either side: spins, then sleeps on the side's sequence
// word until the lock lets it in, raising the side's flag once it has waited
// for kStarvation. A template, so that each side's loop compiles as if
// written out by hand.
template <class Side>
void waitToEnter(std::atomic<uint32_t>& stateWord, std::atomic<uint32_t>& seqWord) {
  int spins = kSpinLimit;
  bool slept = false;
  bool starved = false;
  Clock::time_point firstSleep{};
  const timespec timeout{0, static_cast<long>(kStarvation.count())};
  uint32_t state = stateWord.load(std::memory_order_relaxed);
  for (;;) {
    if (Side::mayEnter(state, starved)) {
      if (stateWord.compare_exchange_weak(state, Side::entered(state, slept),
                                          std::memory_order_acquire, std::memory_order_relaxed))
        return;
      continue;
    }
    if (spins > 0) {
      --spins;
      cpuRelax();
      state = stateWord.load(std::memory_order_relaxed);
      continue;
    }
    // Read before the state is confirmed below: a release after that
    // confirmation bumps it, so the sleep cannot miss the release.
    const uint32_t seq = seqWord.load(std::memory_order_acquire);
    const uint32_t asleep = state | Side::kAsleep | (starved ? Side::kFirst : 0);
    if (!stateWord.compare_exchange_strong(state, asleep, std::memory_order_acq_rel,
                                           std::memory_order_relaxed))
      continue;
    if (!slept) firstSleep = Clock::now();
    slept = true;
    futexWait(&seqWord, seq, Side::kTimedSleep && !starved ? &timeout : nullptr);
    if (!starved) starved = Clock::now() - firstSleep >= kStarvation;
    spins = kSpinLimit;
    state = stateWord.load(std::memory_order_relaxed);
  }
}

}  // namespace

ZqComplexLock::ZqComplexLock()
    : state_(0), held_exclusive_(false), reader_seq_(0), writer_seq_(0) {}
ZqComplexLock::~ZqComplexLock() = default;

int ZqComplexLock::rdlock() {
  // Optimistic: every reader that is let in pays one atomic operation.
  const uint32_t before = state_.fetch_add(kReader, std::memory_order_acquire);
  if (readerMayEnter(before, false)) {
    if (before & kReaderFirst) state_.fetch_and(~kReaderFirst, std::memory_order_relaxed);
    return 0;
  }
  // Kept out: leave as a reader would, so that a writer waiting for the
  // count to drop to zero is not stranded.
  const uint32_t state = state_.fetch_sub(kReader, std::memory_order_release) - kReader;
  if ((state & (kReaderMask | kWritersAsleep)) == kWritersAsleep) wake_writer();
  rdlock_slow();
  return 0;
}

int ZqComplexLock::rwlock() {
  uint32_t state = state_.load(std::memory_order_relaxed);
  if (!writerMayEnter(state) ||
      !state_.compare_exchange_weak(state, (state | kWriter) & ~kWriterFirst,
                                    std::memory_order_acquire, std::memory_order_relaxed))
    rwlock_slow();
  held_exclusive_.store(true, std::memory_order_relaxed);
  return 0;
}

int ZqComplexLock::unlock() {
  if (!held_exclusive_.load(std::memory_order_relaxed)) {
    const uint32_t state = state_.fetch_sub(kReader, std::memory_order_release) - kReader;
    // The last reader out lets a sleeping writer in.
    if ((state & (kReaderMask | kWritersAsleep)) == kWritersAsleep) wake_writer();
    return 0;
  }
  held_exclusive_.store(false, std::memory_order_relaxed);
  uint32_t state = state_.load(std::memory_order_relaxed);
  while (!state_.compare_exchange_weak(state, state & ~(kWriter | kReadersAsleep | kWritersAsleep),
                                       std::memory_order_release, std::memory_order_relaxed)) {
  }
  // Both sides are woken to compete; waking readers alone would strand a
  // writer that readers may not pass.
  if (state & kReadersAsleep) {
    reader_seq_.fetch_add(1, std::memory_order_release);
    futexWake(&reader_seq_, INT_MAX);
  }
  if (state & kWritersAsleep) {
    writer_seq_.fetch_add(1, std::memory_order_release);
    futexWake(&writer_seq_, 1);
  }
  return 0;
}

void ZqComplexLock::rdlock_slow() { waitToEnter<ReaderSide>(state_, reader_seq_); }

void ZqComplexLock::rwlock_slow() { waitToEnter<WriterSide>(state_, writer_seq_); }

// Called by the last reader out. Skipped when the lock has been taken again
// meanwhile: that holder's release wakes instead.
void ZqComplexLock::wake_writer() {
  uint32_t state = state_.load(std::memory_order_relaxed);
  do {
    if ((state & kWritersAsleep) == 0 || (state & (kWriter | kReaderMask)) != 0) return;
  } while (!state_.compare_exchange_weak(state, state & ~kWritersAsleep, std::memory_order_relaxed,
                                         std::memory_order_relaxed));
  writer_seq_.fetch_add(1, std::memory_order_release);
  futexWake(&writer_seq_, 1);
}

ZqCriticalSectionH::ZqCriticalSectionH() = default;
ZqCriticalSectionH::~ZqCriticalSectionH() = default;

void ZqCriticalSectionH::enter(bool /*wait*/) { mutex_.lock(); }
void ZqCriticalSectionH::leave() { mutex_.unlock(); }
