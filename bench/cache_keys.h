// Keys, charges and budgets that the cache benchmarks share, so that every
// cache variant of every benchmark sees the same keys and the same budget.
#ifndef OBJSTORE_BENCH_CACHE_KEYS_H_
#define OBJSTORE_BENCH_CACHE_KEYS_H_

#include <cstdint>

#include "cache/mem_cache.h"

namespace cache_bench {

constexpr int kKeyStride = 48;  // bytes per key slot, terminator included
constexpr int kHexKeyLength = 32;

inline uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Writes key number `n` of `volume` as 32 hexadecimal digits and a
// terminator into `out` (kKeyStride bytes); returns 32. Distinct (volume, n)
// give distinct keys: the last 16 digits are n with the volume above bit 40.
inline int MakeHexKey(uint64_t n, char* out, int volume = 1) {
  n += static_cast<uint64_t>(volume - 1) << 40;
  static const char kDigits[] = "0123456789abcdef";
  const uint64_t halves[2] = {SplitMix64(n), n};
  for (int half = 0; half < 2; ++half)
    for (int i = 0; i < 16; ++i) out[half * 16 + i] = kDigits[(halves[half] >> (60 - 4 * i)) & 0xF];
  out[kHexKeyLength] = '\0';
  return kHexKeyLength;
}

// The cache's charge for an element: both keys with their terminators, the
// payload and 96 bytes of overhead (a null key2 with length -1 costs 0).
inline int64_t ElementCharge(const generic_cache_element_t& e) {
  return int64_t{e.key1_len} + e.key2_len + e.data_len + 98;
}

struct CacheBudget {
  int max_bytes;
  int expected_entry_size;
};

// A budget under which the cache holds exactly `elements` elements of
// `charge` bytes: their charges plus the fixed charge of the table size that
// the budget itself selects. A full cache then evicts one per insertion.
inline CacheBudget BudgetForExactly(int64_t elements, int64_t charge) {
  const int expected_entry_size = static_cast<int>(charge - 96);
  int64_t buckets = 1, max_bytes = 0;
  for (;;) {
    max_bytes = elements * charge + 8 * (2 * buckets + 26);
    int64_t settled = 1;
    while (settled * 2 <= max_bytes / (expected_entry_size + 96)) settled *= 2;
    if (settled == buckets) break;
    buckets = settled;
  }
  return {static_cast<int>(max_bytes), expected_entry_size};
}

}  // namespace cache_bench

#endif  // OBJSTORE_BENCH_CACHE_KEYS_H_
