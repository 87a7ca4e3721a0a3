// Where a cache replay takes its accesses from: a trace file (or standard
// input) with one "KEY [SIZE]" per line, or a synthetic Zipf workload.
#ifndef OBJSTORE_TOOLS_OSUTIL_ACCESS_SOURCE_H_
#define OBJSTORE_TOOLS_OSUTIL_ACCESS_SOURCE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "tools/osutil/zipf.h"

namespace osutil {

// One access: a NUL-terminated key, valid until the next call of next(),
// and the payload bytes an element for it is charged.
struct Access {
  const char* key;
  int32_t keyLength;
  int32_t payloadBytes;
};

// A trace line that cannot be read as an access, or an unreadable trace.
class TraceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AccessSource {
 public:
  virtual ~AccessSource() = default;
  // The next access; false at the end. Throws TraceError.
  virtual bool next(Access& access) = 0;
  // Starts over from the first access; the same accesses follow again.
  virtual void rewind() = 0;
  // The share of the accesses delivered so far, 0 to 1; negative when the
  // length is unknown (a pipe).
  virtual double progress() const = 0;
  // Whether the workload is long enough to deserve a progress bar.
  virtual bool isLong() const = 0;
  // One line for people: "trace 'x.txt'" or "zipf s=0.99 keys=... ops=...".
  virtual std::string describe() const = 0;
};

// Longest key, and largest SIZE, a trace may give: keeps every element's
// charge (key + payload + overhead) far from overflowing 32 bits.
constexpr int32_t kMaxTraceKeyBytes = 1 << 20;
constexpr int32_t kMaxTracePayloadBytes = 1 << 30;
// Longest trace line: the longest key with room for blanks and a size. A
// longer line is refused before more of it is read.
constexpr size_t kMaxTraceLineBytes = size_t(kMaxTraceKeyBytes) + 64;

// Opens `path` ("-" for standard input). With `rewindable` set, standard
// input is first spooled to an anonymous temporary file, so that the trace
// can be replayed more than once. Throws TraceError.
std::unique_ptr<AccessSource> openTrace(const std::string& path, bool rewindable);

// `ops` draws of ranks 1..keys from a Zipf law of exponent `exponent`,
// seeded with `seed`. The key of rank r is "key" and r in ten digits, so
// every key has 13 bytes; the payload is 0 bytes.
std::unique_ptr<AccessSource> makeZipfWorkload(double exponent, uint64_t keys, uint64_t ops,
                                               uint64_t seed);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_ACCESS_SOURCE_H_
