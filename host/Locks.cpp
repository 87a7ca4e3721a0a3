#include "host/Locks.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "host/VisibleReaders_internal.h"
#include "internal/cpu_relax.h"

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

// A reader kept out then yields its core, for up to this long, before it
// sleeps. It is kept out mostly by a writer that waits for other readers to
// leave; when those lost their cores, yielding hands the cores to them. And
// a reader that yields needs no wake-up: waking sleepers from the writer's
// release lets them take the writer's core at once, and with more busy
// threads than cores the writer then waits a scheduler round (milliseconds)
// to return from its call.
constexpr std::chrono::nanoseconds kReaderYield = std::chrono::microseconds(200);

// How long a waiter sleeps before it raises its side's flag. A writer
// raises its flag as it first goes to sleep: had it to wake up to raise it,
// the raise would wait for a core, and with more busy readers than cores
// that takes the scheduler's whole round (milliseconds) while readers keep
// streaming in. A reader waits longer, since a reader that waits does so
// behind a writer's section, which may be long, and raising the flag early
// would only let readers in between the writers of a write-heavy load.
constexpr std::chrono::nanoseconds kWriterStarvation = std::chrono::nanoseconds(0);
constexpr std::chrono::nanoseconds kReaderStarvation = std::chrono::milliseconds(1);

// The reader bias's delays (see ZqComplexLock). After a revocation the bias
// stays off for at least kRevocationsWorth revocations' cost, and for at
// most kMaxInhibit; a bias that lived for less than kShortLived times the
// delay before it doubles the next delay, a longer one halves it.
constexpr int64_t kRevocationsWorth = 16;
constexpr int64_t kShortLived = 4;
constexpr int64_t kMaxInhibitNs = 1000000;
// Plain readers look at the clock on one shared acquisition in this many
// (a power of two), which keeps the clock off the plain path's cost.
constexpr uint32_t kRestoreCheckPeriod = 32;
// A revoking writer's sleeps, doubling between these bounds: a biased
// reader's unlock usually wakes it first; the timeout only covers a wake-up
// lost to the race between that unlock and the writer going to sleep.
constexpr long kRevokeSleepFirstNs = 50000;
constexpr long kRevokeSleepMaxNs = 1000000;

// The calling thread's row of visible-reader slots, once it has claimed one;
// set back to null when the thread exits. Trivially constructed and
// destroyed, so reading it costs one thread-local access and no guard.
thread_local visibleReaders::Row* tRow = nullptr;
// The calling thread's plain shared acquisitions, for kRestoreCheckPeriod.
thread_local uint32_t tPlainReads = 0;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
  static constexpr std::chrono::nanoseconds kYield = kReaderYield;
  // A release wakes one sleeping reader, which wakes the others as it enters.
  static constexpr bool kWakeOthers = true;
  static constexpr std::chrono::nanoseconds kStarvation = kReaderStarvation;
  static constexpr uint32_t kFirst = kReaderFirst;
  static bool mayEnter(uint32_t state, bool starved) { return readerMayEnter(state, starved); }
  static uint32_t entered(uint32_t state, bool /*slept*/) {
    return (state + kReader) & ~kReaderFirst;
  }
};

struct WriterSide {
  static constexpr uint32_t kAsleep = kWritersAsleep;
  // A writer is woken by the last reader out, which costs that reader little.
  static constexpr std::chrono::nanoseconds kYield = std::chrono::nanoseconds(0);
  static constexpr bool kWakeOthers = false;
  static constexpr std::chrono::nanoseconds kStarvation = kWriterStarvation;
  static constexpr uint32_t kFirst = kWriterFirst;
  static bool mayEnter(uint32_t state, bool /*starved*/) { return writerMayEnter(state); }
  // A woken writer cannot know whether other writers still sleep: it sets
  // their bit again.
  static uint32_t entered(uint32_t state, bool slept) {
    return ((state | kWriter) & ~kWriterFirst) | (slept ? kWritersAsleep : 0);
  }
};

// The slow path of either side: spins, yields for up to kYield, then sleeps
// on the side's sequence word until the lock lets it in, raising the side's
// flag once it has waited for kStarvation. beforeFirstSleep() runs once, as
// the waiter is about to sleep for the first time. A template, so that each side's loop compiles as
// if written out by hand.
template <class Side, class BeforeFirstSleep>
void waitToEnter(std::atomic<uint32_t>& stateWord, std::atomic<uint32_t>& seqWord,
                 BeforeFirstSleep beforeFirstSleep) {
  int spins = kSpinLimit;
  bool slept = false;
  bool starved = Side::kStarvation.count() == 0;
  Clock::time_point firstSleep{};
  Clock::time_point firstYield{};
  bool yielding = Side::kYield.count() > 0;
  uint32_t state = stateWord.load(std::memory_order_relaxed);
  for (;;) {
    if (Side::mayEnter(state, starved)) {
      if (stateWord.compare_exchange_weak(state, Side::entered(state, slept),
                                          std::memory_order_acquire, std::memory_order_relaxed)) {
        if (slept && Side::kWakeOthers) futexWake(&seqWord, INT_MAX);
        return;
      }
      continue;
    }
    if (spins > 0) {
      --spins;
      objstore_internal::cpuRelax();
      state = stateWord.load(std::memory_order_relaxed);
      continue;
    }
    if (yielding) {
      const Clock::time_point now = Clock::now();
      if (firstYield == Clock::time_point{}) firstYield = now;
      yielding = now - firstYield < Side::kYield;
      if (yielding) {
        sched_yield();
        state = stateWord.load(std::memory_order_relaxed);
        continue;
      }
    }
    // Read before the state is confirmed below: a release after that
    // confirmation bumps it, so the sleep cannot miss the release.
    const uint32_t seq = seqWord.load(std::memory_order_acquire);
    const uint32_t asleep = state | Side::kAsleep | (starved ? Side::kFirst : 0);
    if (!stateWord.compare_exchange_strong(state, asleep, std::memory_order_acq_rel,
                                           std::memory_order_relaxed))
      continue;
    if (!slept) {
      beforeFirstSleep();
      firstSleep = Clock::now();
    }
    slept = true;
    // Every release that could let this side in wakes its sleepers.
    futexWait(&seqWord, seq, nullptr);
    if (!starved) starved = Clock::now() - firstSleep >= Side::kStarvation;
    spins = kSpinLimit;
    state = stateWord.load(std::memory_order_relaxed);
  }
}

}  // namespace

ZqComplexLock::ZqComplexLock()
    : state_(0),
      bias_(0),
      revoking_(0),
      revoker_asleep_(0),
      bias_since_(0),
      inhibit_until_(0),
      inhibit_ns_(0),
      held_exclusive_(false),
      revoke_seq_(0),
      reader_seq_(0),
      writer_seq_(0) {}
ZqComplexLock::~ZqComplexLock() = default;

inline void ZqComplexLock::unlock_biased(std::atomic<const void*>& slot) {
  slot.store(nullptr, std::memory_order_release);
  if (revoker_asleep_.load(std::memory_order_relaxed) != 0) {
    revoke_seq_.fetch_add(1, std::memory_order_release);
    futexWake(&revoke_seq_, 1);
  }
}

// Announces the reader in a free slot of its thread's row, then checks that
// the bias still stands. The slot's store and the bias's load are sequentially
// consistent, as are the revoking writer's store of the bias and its reads of
// the slots: either this reader sees the bias gone, or the writer sees the
// slot and waits for it to clear.
inline bool ZqComplexLock::rdlock_biased(visibleReaders::Row& row) {
  for (auto& slot : row.slots) {
    if (slot.load(std::memory_order_relaxed) != nullptr) continue;
    slot.store(this, std::memory_order_seq_cst);
    if (bias_.load(std::memory_order_seq_cst) != 0) return true;
    unlock_biased(slot);  // a writer may be waiting for this slot already
    return false;
  }
  return false;
}

// True when another reader held the lock as this one entered.
inline bool ZqComplexLock::rdlock_plain() {
  // Optimistic: every reader that is let in pays one atomic operation.
  const uint32_t before = state_.fetch_add(kReader, std::memory_order_acquire);
  if (readerMayEnter(before, false)) {
    if (before & kReaderFirst) state_.fetch_and(~kReaderFirst, std::memory_order_relaxed);
    return (before & kReaderMask) != 0;
  }
  // Kept out: leave as a reader would, so that a writer waiting for the
  // count to drop to zero is not stranded.
  const uint32_t state = state_.fetch_sub(kReader, std::memory_order_release) - kReader;
  if ((state & (kReaderMask | kWritersAsleep)) == kWritersAsleep) wake_writer();
  rdlock_slow();
  return false;
}

int ZqComplexLock::rdlock() {
  if (bias_.load(std::memory_order_relaxed) != 0) {
    visibleReaders::Row* row = tRow != nullptr ? tRow : visibleReaders::claimRow(&tRow);
    if (row != nullptr && rdlock_biased(*row)) return 0;
  }
  // Only readers that meet another reader consider the bias: a thread that
  // reads alone keeps the plain path, which is the cheaper one for it.
  if (rdlock_plain()) maybe_restore_bias();
  return 0;
}

// Called by a plain reader, which holds the lock shared: no writer can be
// revoking meanwhile, and only one of several such readers enables the bias.
void ZqComplexLock::maybe_restore_bias() {
  if ((++tPlainReads & (kRestoreCheckPeriod - 1)) != 0) return;
  // Not while a waiting writer has turned the bias off: it sets revoking_
  // before it clears bias_, so a reader that sees its clear sees the flag.
  if (bias_.load(std::memory_order_acquire) != 0) return;
  if (revoking_.load(std::memory_order_relaxed) != 0) return;
  const int64_t now = nowNs();
  if (now < inhibit_until_) return;
  uint32_t off = 0;
  if (bias_.compare_exchange_strong(off, 1, std::memory_order_release, std::memory_order_relaxed))
    bias_since_.store(now, std::memory_order_relaxed);
}

int ZqComplexLock::rwlock() {
  uint32_t state = state_.load(std::memory_order_relaxed);
  if (!writerMayEnter(state) ||
      !state_.compare_exchange_weak(state, (state | kWriter) & ~kWriterFirst,
                                    std::memory_order_acquire, std::memory_order_relaxed))
    rwlock_slow();
  // Plain readers enable the bias only while holding the lock, so it cannot
  // be turned on now. A waiting writer may have turned it off without
  // waiting for the biased readers: revoking_ is still set then.
  if ((bias_.load(std::memory_order_relaxed) | revoking_.load(std::memory_order_relaxed)) != 0)
    revoke_bias();
  held_exclusive_.store(true, std::memory_order_relaxed);
  return 0;
}

// Under the exclusive hold of the state word: turns the bias off, waits for
// every biased reader to leave and sets the delay before plain readers may
// turn it on again.
void ZqComplexLock::revoke_bias() {
  const int64_t start = nowNs();
  revoking_.store(1, std::memory_order_relaxed);
  bias_.store(0, std::memory_order_seq_cst);
  const uint32_t rows = visibleReaders::rowLimit();
  for (uint32_t r = 0; r < rows; ++r) {
    for (const auto& slot : visibleReaders::rowAt(r).slots)
      if (slot.load(std::memory_order_seq_cst) == this) wait_for_biased_reader(slot);
  }
  revoking_.store(0, std::memory_order_release);
  const int64_t end = nowNs();
  const int64_t floor = kRevocationsWorth * (end - start);
  int64_t delay = inhibit_ns_ > floor ? inhibit_ns_ : floor;
  if (start - bias_since_.load(std::memory_order_relaxed) < kShortLived * delay)
    delay = 2 * delay < kMaxInhibitNs ? 2 * delay : kMaxInhibitNs;
  else
    delay = delay / 2 > floor ? delay / 2 : floor;
  inhibit_ns_ = delay;
  inhibit_until_ = end + delay;
}

void ZqComplexLock::wait_for_biased_reader(const std::atomic<const void*>& slot) {
  for (int spins = 0; spins < kSpinLimit; ++spins) {
    if (slot.load(std::memory_order_acquire) != this) return;
    objstore_internal::cpuRelax();
  }
  long sleep_ns = kRevokeSleepFirstNs;
  for (;;) {
    const uint32_t seq = revoke_seq_.load(std::memory_order_acquire);
    revoker_asleep_.store(1, std::memory_order_seq_cst);
    if (slot.load(std::memory_order_seq_cst) != this) break;
    const timespec timeout{0, sleep_ns};
    futexWait(&revoke_seq_, seq, &timeout);
    sleep_ns = 2 * sleep_ns < kRevokeSleepMaxNs ? 2 * sleep_ns : kRevokeSleepMaxNs;
  }
  revoker_asleep_.store(0, std::memory_order_relaxed);
}

int ZqComplexLock::unlock() {
  if (!held_exclusive_.load(std::memory_order_relaxed)) {
    // A reader can hold a slot only while the bias stands or is being
    // revoked (the revoker keeps revoking_ set until no slot names the lock,
    // and sets it before it clears the bias): otherwise it is a plain
    // reader, told apart without a look at its row.
    if ((bias_.load(std::memory_order_acquire) != 0 ||
         revoking_.load(std::memory_order_acquire) != 0) &&
        tRow != nullptr) {
      for (auto& slot : tRow->slots) {
        if (slot.load(std::memory_order_relaxed) == this) {
          unlock_biased(slot);
          return 0;
        }
      }
    }
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
    futexWake(&reader_seq_, 1);
  }
  if (state & kWritersAsleep) {
    writer_seq_.fetch_add(1, std::memory_order_release);
    futexWake(&writer_seq_, 1);
  }
  return 0;
}

void ZqComplexLock::rdlock_slow() {
  waitToEnter<ReaderSide>(state_, reader_seq_, [] {});
}

// A writer about to sleep has its flag raised, which keeps plain readers
// out; it turns the bias off too, so that biased readers stop streaming in
// as well and leave the cores to the readers it waits for. revoking_ tells
// whoever takes the lock next that slots may still name it.
void ZqComplexLock::rwlock_slow() {
  waitToEnter<WriterSide>(state_, writer_seq_, [this] {
    if (bias_.load(std::memory_order_relaxed) == 0) return;
    revoking_.store(1, std::memory_order_relaxed);
    bias_.store(0, std::memory_order_seq_cst);
  });
}

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
