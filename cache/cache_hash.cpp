// The cache's hashes: the default pair, which a table gets when its creator
// passes none, and the exported strong pair (XXH3). Each is a function of the
// key's bytes alone and never changes, since nodes store hash values; each
// _cis variant gives keys that differ only in letter case one value.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

// XXH3 inlined into this unit: the strong hashes of short keys then cost a
// few nanoseconds, and the library needs no xxHash at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "cache/cache_node_internal.h"
#include "cache/mem_cache.h"

namespace {

// ---- Default hashes ---------------------------------------------------------
// Each byte counts as a signed 8-bit value; the sum wraps in 32 bits. The last
// byte is always added, even when the stride also reaches it.

int32_t strided_sum(const char* key, int32_t len, int32_t stride) {
  uint32_t sum =
      static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[len - 1])));
  for (int32_t i = 0; i < len; i += stride)
    sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[i])));
  return static_cast<int32_t>(sum);
}

// As strided_sum, each byte folded through tolower first (glibc's tolower
// accepts the signed char range), so that keys equal under strcasecmp hash
// alike.
int32_t strided_sum_cis(const char* key, int32_t len, int32_t stride) {
  uint32_t sum = static_cast<uint32_t>(std::tolower(static_cast<signed char>(key[len - 1])));
  for (int32_t i = 0; i < len; i += stride)
    sum += static_cast<uint32_t>(std::tolower(static_cast<signed char>(key[i])));
  return static_cast<int32_t>(sum);
}

int32_t str_to_num1(const char* key, int32_t len) { return strided_sum(key, len, 3); }
int32_t str_to_num2(const char* key, int32_t len) { return strided_sum(key, len, 2); }
int32_t str_to_num1_cis(const char* key, int32_t len) { return strided_sum_cis(key, len, 3); }
int32_t str_to_num2_cis(const char* key, int32_t len) { return strided_sum_cis(key, len, 2); }

// ---- Strong hashes ---------------------------------------------------------------

// Folds the ASCII capitals of eight bytes to lower case at once; every other
// byte, including those >= 0x80, is left alone.
uint64_t fold_ascii_word(uint64_t word) {
  const uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t low7 = word & (0x7F * kOnes);
  // Bit 7 of each byte: set in at_least_a where the low seven bits are >= 'A',
  // in above_z where they are > 'Z'; neither sum carries into the next byte.
  const uint64_t at_least_a = low7 + (0x80 - 'A') * kOnes;
  const uint64_t above_z = low7 + (0x80 - 'Z' - 1) * kOnes;
  const uint64_t is_capital = (at_least_a & ~above_z) & ~word & (0x80 * kOnes);
  return word | (is_capital >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Longer keys are folded and hashed in blocks of this many bytes.
constexpr size_t kFoldBlock = 256;

// Copies `len` bytes (at most kFoldBlock) to `out` with ASCII capitals folded.
void fold_ascii_block(const char* in, size_t len, char* out) {
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t word;
    std::memcpy(&word, in + i, 8);
    word = fold_ascii_word(word);
    std::memcpy(out + i, &word, 8);
  }
  for (; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    out[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c | 0x20 : c);
  }
}

int32_t low_32_bits(XXH64_hash_t hash) { return static_cast<int32_t>(static_cast<uint32_t>(hash)); }

}  // namespace

int32_t generic_cache_hash_strong(const char* key, int32_t len) {
  return low_32_bits(XXH3_64bits(key, len > 0 ? static_cast<size_t>(len) : 0));
}

// The key is folded through a block on the stack, never copied whole: short
// keys (the usual case) hash in one shot, longer ones stream block by block,
// which XXH3 guarantees gives the one-shot value of the folded key.
int32_t generic_cache_hash_strong_cis(const char* key, int32_t len) {
  const size_t length = len > 0 ? static_cast<size_t>(len) : 0;
  char block[kFoldBlock];
  if (length <= kFoldBlock) {
    fold_ascii_block(key, length, block);
    return low_32_bits(XXH3_64bits(block, length));
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (size_t done = 0; done < length; done += kFoldBlock) {
    const size_t chunk = length - done < kFoldBlock ? length - done : kFoldBlock;
    fold_ascii_block(key + done, chunk, block);
    XXH3_64bits_update(&state, block, chunk);
  }
  return low_32_bits(XXH3_64bits_digest(&state));
}

namespace mem_cache_detail {

HashFunc default_key1_hash(bool case_sensitive) {
  return case_sensitive ? str_to_num1 : str_to_num1_cis;
}

HashFunc default_key2_hash(bool case_sensitive) {
  return case_sensitive ? str_to_num2 : str_to_num2_cis;
}

}  // namespace mem_cache_detail
