// The AVX-512 VBMI path: 48 bytes <-> 64 characters per 512-bit block, with
// byte permutes (vpermb, vpermi2b) as 64- and 128-entry lookup tables and
// vpmultishiftqb to cut out the 6-bit fields. Each function carries its own
// target attribute and runs only where avx512vbmi_supported() said yes.
// Whatever is left after the last whole block, and the block that holds a
// stop, go to the scalar path.
#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/base64_paths_internal.h"

#define OBJSTORE_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace ObjectStore {
namespace base64_detail {

namespace {

using byte_vector = std::array<std::uint8_t, 64>;

// ---- Encoding ----------------------------------------------------------------

// Gathers group g's bytes into 32-bit element g as b1 b0 b2 b1, so that each
// 6-bit index is one contiguous bit field of its 64-bit lane.
constexpr byte_vector make_spread() {
  byte_vector spread{};
  constexpr std::uint8_t kOrder[4] = {1, 0, 2, 1};
  for (std::size_t k = 0; k < 64; ++k)
    spread[k] = static_cast<std::uint8_t>(k / 4 * 3 + kOrder[k % 4]);
  return spread;
}
alignas(64) constexpr byte_vector kSpread = make_spread();

// Bit offsets of the indices in element b1 b0 b2 b1, in text order: index 0
// at bits 10..15, 1 at 4..9, 2 at 22..27, 3 at 16..21; +32 for the second
// element of each 64-bit lane. Byte k of the constant controls output byte k.
constexpr std::uint64_t make_index_offsets() {
  constexpr std::uint8_t kOffsets[8] = {10, 4, 22, 16, 10 + 32, 4 + 32, 22 + 32, 16 + 32};
  std::uint64_t lane = 0;
  for (unsigned k = 0; k < 8; ++k) lane |= std::uint64_t{kOffsets[k]} << (8 * k);
  return lane;
}
constexpr std::uint64_t kIndexOffsets = make_index_offsets();

OBJSTORE_AVX512VBMI inline __m512i load_vector(const void* p) { return _mm512_loadu_si512(p); }

// The unmasked forms of these two expand, in GCC 12's headers, to a
// self-initialised "undefined" source that trips -Wmaybe-uninitialized; the
// zero-masking forms with every lane selected compute the same.
constexpr __mmask64 kAllBytes = ~__mmask64{0};
OBJSTORE_AVX512VBMI inline __m512i permute_bytes(__m512i indices, __m512i table) {
  return _mm512_maskz_permutexvar_epi8(kAllBytes, indices, table);
}
OBJSTORE_AVX512VBMI inline __m512i cut_fields(__m512i offsets, __m512i lanes) {
  return _mm512_maskz_multishift_epi64_epi8(kAllBytes, offsets, lanes);
}

// 48 bytes in the low 48 bytes of `bytes` -> 64 characters. vpermb uses only
// the low 6 bits of each index, so the two stray bits from the field cut
// need no masking.
OBJSTORE_AVX512VBMI inline __m512i encode_block(__m512i bytes, __m512i spread, __m512i alphabet) {
  const __m512i grouped = permute_bytes(spread, bytes);
  const __m512i indices =
      cut_fields(_mm512_set1_epi64(static_cast<long long>(kIndexOffsets)), grouped);
  return permute_bytes(indices, alphabet);
}

// ---- Decoding ----------------------------------------------------------------

// Byte 0..127 -> its 6-bit value, or 0x80 when it is a stop. Bytes >= 0x80
// index the same table by their low 7 bits; their own top bit marks them.
constexpr std::uint8_t kStopValue = 0x80;
using half_table = std::array<std::uint8_t, 128>;
constexpr half_table make_value_table() {
  half_table table{};
  for (auto& entry : table) entry = kStopValue;
  for (std::uint8_t value = 0; value < 64; ++value)
    table[static_cast<unsigned char>(kAlphabet[value])] = value;
  return table;
}
alignas(64) constexpr half_table kValues = make_value_table();

// Output byte k of the block comes from byte 2 - k % 3 of 32-bit element
// k / 3, where the packed group holds its three bytes in reverse order.
constexpr byte_vector make_gather() {
  byte_vector gather{};
  for (std::size_t k = 0; k < 48; ++k) gather[k] = static_cast<std::uint8_t>(k / 3 * 4 + 2 - k % 3);
  for (std::size_t k = 48; k < 64; ++k) gather[k] = 0;
  return gather;
}
alignas(64) constexpr byte_vector kGather = make_gather();

struct decode_tables {
  __m512i values_low, values_high, gather;
};

OBJSTORE_AVX512VBMI inline decode_tables load_decode_tables() {
  return {load_vector(kValues.data()), load_vector(kValues.data() + 64),
          load_vector(kGather.data())};
}

// Character -> 6-bit value, or kStopValue.
OBJSTORE_AVX512VBMI inline __m512i values_of(__m512i chars, const decode_tables& tables) {
  return _mm512_permutex2var_epi8(tables.values_low, chars, tables.values_high);
}

// Bit 7 set in each byte that is a stop: a byte >= 0x80 or a kStopValue.
OBJSTORE_AVX512VBMI inline __m512i stop_bits_of(__m512i chars, __m512i values) {
  return _mm512_or_si512(chars, values);
}

// Bit k set when byte k of the block is a stop.
OBJSTORE_AVX512VBMI inline std::uint64_t stop_mask_of(__m512i stop_bits) {
  return _mm512_movepi8_mask(stop_bits);
}

// 64 six-bit values -> 48 bytes in the low 48 bytes of the result.
OBJSTORE_AVX512VBMI inline __m512i pack(__m512i values, const decode_tables& tables) {
  // Per 16 bits: v0 << 6 | v1; per 32 bits: (v0 v1) << 12 | (v2 v3), i.e. the
  // group's three bytes in reverse order.
  const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
  const __m512i groups = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
  return permute_bytes(tables.gather, groups);
}

constexpr __mmask64 kLow48Bytes = (__mmask64{1} << 48) - 1;

}  // namespace

OBJSTORE_AVX512VBMI std::size_t encode_avx512vbmi(const unsigned char* in, std::size_t length,
                                                  char* out) {
  const __m512i spread = load_vector(kSpread.data());
  const __m512i alphabet = load_vector(kAlphabet);
  char* const start = out;
  std::size_t i = 0;
  // Two blocks per round, each a full 64-byte load: the second reads up to
  // in[i + 111].
  for (; i + 112 <= length; i += 96, out += 128) {
    const __m512i chars0 = encode_block(load_vector(in + i), spread, alphabet);
    const __m512i chars1 = encode_block(load_vector(in + i + 48), spread, alphabet);
    _mm512_storeu_si512(out, chars0);
    _mm512_storeu_si512(out + 64, chars1);
  }
  // Blocks whose load must not run past the input read only their 48 bytes.
  for (; i + 48 <= length; i += 48, out += 64) {
    const __m512i bytes = _mm512_maskz_loadu_epi8(kLow48Bytes, in + i);
    _mm512_storeu_si512(out, encode_block(bytes, spread, alphabet));
  }
  // i is a multiple of 3, so the rest starts on a group boundary.
  if (i < length) out += encode_scalar(in + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

OBJSTORE_AVX512VBMI std::size_t decode_avx512vbmi(const char* text, std::size_t length,
                                                  unsigned char* out) {
  const decode_tables tables = load_decode_tables();
  unsigned char* const start = out;
  std::size_t i = 0;
  // Two blocks per round, full stores ending at out + 112. With i + 152 <=
  // length the output holds at least 114 more bytes.
  for (; i + 152 <= length; i += 128, out += 96) {
    const __m512i chars0 = load_vector(text + i), chars1 = load_vector(text + i + 64);
    const __m512i values0 = values_of(chars0, tables), values1 = values_of(chars1, tables);
    const __m512i stop_bits =
        _mm512_or_si512(stop_bits_of(chars0, values0), stop_bits_of(chars1, values1));
    if (stop_mask_of(stop_bits) != 0) break;  // the loop below finds the stop
    _mm512_storeu_si512(out, pack(values0, tables));
    _mm512_storeu_si512(out + 48, pack(values1, tables));
  }
  // One block per round; the store writes just its 48 bytes, so any block
  // that lies wholly inside the text fits.
  for (; i + 64 <= length; i += 64, out += 48) {
    const __m512i chars = load_vector(text + i);
    const __m512i values = values_of(chars, tables);
    const std::uint64_t stop_mask = stop_mask_of(stop_bits_of(chars, values));
    if (stop_mask != 0) {
      // The first stop ends the text; what precedes it is all alphabet.
      const std::size_t stop = i + static_cast<std::size_t>(__builtin_ctzll(stop_mask));
      out += decode_scalar(text + i, stop - i, out);
      return static_cast<std::size_t>(out - start);
    }
    _mm512_mask_storeu_epi8(out, kLow48Bytes, pack(values, tables));
  }
  // i is a multiple of 4, so the rest starts on a group boundary and its room
  // is decoded_length(length - i).
  if (i < length) out += decode_scalar(text + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

}  // namespace base64_detail
}  // namespace ObjectStore
