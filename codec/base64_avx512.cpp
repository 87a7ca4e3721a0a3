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

#include "codec/base64_paths.h"

#define OBJSTORE_AVX512VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace ObjectStore {
namespace base64_detail {

namespace {

using ByteVector = std::array<std::uint8_t, 64>;

// ---- Encoding ----------------------------------------------------------------

// Gathers group g's bytes into 32-bit element g as b1 b0 b2 b1, so that each
// 6-bit index is one contiguous bit field of its 64-bit lane.
constexpr ByteVector MakeSpread() {
  ByteVector spread{};
  constexpr std::uint8_t kOrder[4] = {1, 0, 2, 1};
  for (std::size_t k = 0; k < 64; ++k) spread[k] = static_cast<std::uint8_t>(k / 4 * 3 + kOrder[k % 4]);
  return spread;
}
alignas(64) constexpr ByteVector kSpread = MakeSpread();

// Bit offsets of the indices in element b1 b0 b2 b1, in text order: index 0
// at bits 10..15, 1 at 4..9, 2 at 22..27, 3 at 16..21; +32 for the second
// element of each 64-bit lane. Byte k of the constant controls output byte k.
constexpr std::uint64_t MakeIndexOffsets() {
  constexpr std::uint8_t kOffsets[8] = {10, 4, 22, 16, 10 + 32, 4 + 32, 22 + 32, 16 + 32};
  std::uint64_t lane = 0;
  for (unsigned k = 0; k < 8; ++k) lane |= std::uint64_t{kOffsets[k]} << (8 * k);
  return lane;
}
constexpr std::uint64_t kIndexOffsets = MakeIndexOffsets();

OBJSTORE_AVX512VBMI inline __m512i LoadVector(const void* p) { return _mm512_loadu_si512(p); }

// The unmasked forms of these two expand, in GCC 12's headers, to a
// self-initialised "undefined" source that trips -Wmaybe-uninitialized; the
// zero-masking forms with every lane selected compute the same.
constexpr __mmask64 kAllBytes = ~__mmask64{0};
OBJSTORE_AVX512VBMI inline __m512i PermuteBytes(__m512i indices, __m512i table) {
  return _mm512_maskz_permutexvar_epi8(kAllBytes, indices, table);
}
OBJSTORE_AVX512VBMI inline __m512i CutFields(__m512i offsets, __m512i lanes) {
  return _mm512_maskz_multishift_epi64_epi8(kAllBytes, offsets, lanes);
}

// 48 bytes in the low 48 bytes of `bytes` -> 64 characters. vpermb uses only
// the low 6 bits of each index, so the two stray bits from the field cut
// need no masking.
OBJSTORE_AVX512VBMI inline __m512i EncodeBlock(__m512i bytes, __m512i spread, __m512i alphabet) {
  const __m512i grouped = PermuteBytes(spread, bytes);
  const __m512i indices = CutFields(_mm512_set1_epi64(static_cast<long long>(kIndexOffsets)), grouped);
  return PermuteBytes(indices, alphabet);
}

// ---- Decoding ----------------------------------------------------------------

// Byte 0..127 -> its 6-bit value, or 0x80 when it is a stop. Bytes >= 0x80
// index the same table by their low 7 bits; their own top bit marks them.
constexpr std::uint8_t kStopValue = 0x80;
using HalfTable = std::array<std::uint8_t, 128>;
constexpr HalfTable MakeValueTable() {
  HalfTable table{};
  for (auto& entry : table) entry = kStopValue;
  for (std::uint8_t value = 0; value < 64; ++value) table[static_cast<unsigned char>(base64_chars[value])] = value;
  return table;
}
alignas(64) constexpr HalfTable kValues = MakeValueTable();

// Output byte k of the block comes from byte 2 - k % 3 of 32-bit element
// k / 3, where the packed group holds its three bytes in reverse order.
constexpr ByteVector MakeGather() {
  ByteVector gather{};
  for (std::size_t k = 0; k < 48; ++k) gather[k] = static_cast<std::uint8_t>(k / 3 * 4 + 2 - k % 3);
  for (std::size_t k = 48; k < 64; ++k) gather[k] = 0;
  return gather;
}
alignas(64) constexpr ByteVector kGather = MakeGather();

struct DecodeTables {
  __m512i values_low, values_high, gather;
};

OBJSTORE_AVX512VBMI inline DecodeTables LoadDecodeTables() {
  return {LoadVector(kValues.data()), LoadVector(kValues.data() + 64), LoadVector(kGather.data())};
}

// Character -> 6-bit value, or kStopValue.
OBJSTORE_AVX512VBMI inline __m512i Values(__m512i chars, const DecodeTables& tables) {
  return _mm512_permutex2var_epi8(tables.values_low, chars, tables.values_high);
}

// Bit 7 set in each byte that is a stop: a byte >= 0x80 or a kStopValue.
OBJSTORE_AVX512VBMI inline __m512i StopBits(__m512i chars, __m512i values) {
  return _mm512_or_si512(chars, values);
}

// Bit k set when byte k of the block is a stop.
OBJSTORE_AVX512VBMI inline std::uint64_t StopMask(__m512i stop_bits) { return _mm512_movepi8_mask(stop_bits); }

// 64 six-bit values -> 48 bytes in the low 48 bytes of the result.
OBJSTORE_AVX512VBMI inline __m512i Pack(__m512i values, const DecodeTables& tables) {
  // Per 16 bits: v0 << 6 | v1; per 32 bits: (v0 v1) << 12 | (v2 v3), i.e. the
  // group's three bytes in reverse order.
  const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
  const __m512i groups = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
  return PermuteBytes(tables.gather, groups);
}

constexpr __mmask64 kLow48Bytes = (__mmask64{1} << 48) - 1;

}  // namespace

OBJSTORE_AVX512VBMI std::size_t encode_avx512vbmi(const unsigned char* in, std::size_t length, char* out) {
  const __m512i spread = LoadVector(kSpread.data());
  const __m512i alphabet = LoadVector(base64_chars);
  char* const start = out;
  std::size_t i = 0;
  // Two blocks per round, each a full 64-byte load: the second reads up to
  // in[i + 111].
  for (; i + 112 <= length; i += 96, out += 128) {
    const __m512i chars0 = EncodeBlock(LoadVector(in + i), spread, alphabet);
    const __m512i chars1 = EncodeBlock(LoadVector(in + i + 48), spread, alphabet);
    _mm512_storeu_si512(out, chars0);
    _mm512_storeu_si512(out + 64, chars1);
  }
  // Blocks whose load must not run past the input read only their 48 bytes.
  for (; i + 48 <= length; i += 48, out += 64) {
    const __m512i bytes = _mm512_maskz_loadu_epi8(kLow48Bytes, in + i);
    _mm512_storeu_si512(out, EncodeBlock(bytes, spread, alphabet));
  }
  // i is a multiple of 3, so the rest starts on a group boundary.
  if (i < length) out += encode_scalar(in + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

OBJSTORE_AVX512VBMI std::size_t decode_avx512vbmi(const char* text, std::size_t length,
                                                  unsigned char* out) {
  const DecodeTables tables = LoadDecodeTables();
  unsigned char* const start = out;
  std::size_t i = 0;
  // Two blocks per round, full stores ending at out + 112. With i + 152 <=
  // length the output holds at least 114 more bytes.
  for (; i + 152 <= length; i += 128, out += 96) {
    const __m512i chars0 = LoadVector(text + i), chars1 = LoadVector(text + i + 64);
    const __m512i values0 = Values(chars0, tables), values1 = Values(chars1, tables);
    const __m512i stop_bits = _mm512_or_si512(StopBits(chars0, values0), StopBits(chars1, values1));
    if (StopMask(stop_bits) != 0) break;  // the loop below finds the stop
    _mm512_storeu_si512(out, Pack(values0, tables));
    _mm512_storeu_si512(out + 48, Pack(values1, tables));
  }
  // One block per round; the store writes just its 48 bytes, so any block
  // that lies wholly inside the text fits.
  for (; i + 64 <= length; i += 64, out += 48) {
    const __m512i chars = LoadVector(text + i);
    const __m512i values = Values(chars, tables);
    const std::uint64_t stop_mask = StopMask(StopBits(chars, values));
    if (stop_mask != 0) {
      // The first stop ends the text; what precedes it is all alphabet.
      const std::size_t stop = i + static_cast<std::size_t>(__builtin_ctzll(stop_mask));
      out += decode_scalar(text + i, stop - i, out);
      return static_cast<std::size_t>(out - start);
    }
    _mm512_mask_storeu_epi8(out, kLow48Bytes, Pack(values, tables));
  }
  // i is a multiple of 4, so the rest starts on a group boundary and its room
  // is DecodedLength(length - i).
  if (i < length) out += decode_scalar(text + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

}  // namespace base64_detail
}  // namespace ObjectStore
