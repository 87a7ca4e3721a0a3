// The AVX2 path: 24 bytes <-> 32 characters per 256-bit block. Each function
// carries its own target attribute, so this file builds with the default flags
// and runs only where avx2_supported() said yes. Whatever is left after the
// last whole block, and the block that holds a stop, go to the scalar path.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "codec/base64_paths_internal.h"

#define OBJSTORE_AVX2 __attribute__((target("avx2")))

namespace ObjectStore {
namespace base64_detail {

namespace {

// ---- Encoding ----------------------------------------------------------------

// 12 input bytes per 128-bit lane, at bytes 4..15 of lane 0 (in[0..11]) and
// bytes 0..11 of lane 1 (in[12..23]): one load from in - 4 covers both.
// Reads in[-4..27]; the caller guarantees both ends lie inside the input.
OBJSTORE_AVX2 inline __m256i load_encode_block(const unsigned char* in) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in - 4));
}

// The first block has nothing before it: two 16-byte loads put in[0..11] at
// bytes 4..15 of lane 0 as well. Reads in[0..27].
OBJSTORE_AVX2 inline __m256i load_first_encode_block(const unsigned char* in) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
  const __m128i low_at_4 = _mm_slli_si128(low, 4);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low_at_4), high, 1);
}

// Each 32-bit element gets the bytes b1 b0 b2 b1 of its group: then every
// 6-bit index lies in one 16-bit half, where a multiply can move it.
OBJSTORE_AVX2 inline __m256i six_bit_indices(__m256i bytes) {
  const __m256i spread = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,  //
                              1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  // Indices 0 and 2 sit at bits 10..15 and 22..27: the high half of a 16-bit
  // product by 2^6 and 2^10 brings them to bytes 0 and 2.
  const __m256i first_third = _mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00));
  const __m256i to_bytes_0_2 = _mm256_mulhi_epu16(first_third, _mm256_set1_epi32(0x04000040));
  // Indices 1 and 3 sit at bits 4..9 and 16..21: the low half of a product by
  // 2^4 and 2^8 brings them to bytes 1 and 3.
  const __m256i second_fourth = _mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0));
  const __m256i to_bytes_1_3 = _mm256_mullo_epi16(second_fourth, _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(to_bytes_0_2, to_bytes_1_3);
}

// Index 0..63 -> its character. The alphabet is five runs; each index is
// reduced to a run number and the run's offset added to it.
OBJSTORE_AVX2 inline __m256i indices_to_chars(__m256i indices) {
  // 52..63 -> 1..12, others 0; then +1 for 26..63: upper case 0, lower case
  // 1, digits 2..11, '+' 12, '/' 13.
  const __m256i above_51 = _mm256_subs_epu8(indices, _mm256_set1_epi8(51));
  const __m256i above_25 = _mm256_cmpgt_epi8(indices, _mm256_set1_epi8(25));  // -1 or 0
  const __m256i run = _mm256_sub_epi8(above_51, above_25);
  const __m256i offsets = _mm256_setr_epi8(  //
      'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0,  //
      'A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0);
  return _mm256_add_epi8(_mm256_shuffle_epi8(offsets, run), indices);
}

OBJSTORE_AVX2 inline void store_chars(__m256i bytes, char* out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), indices_to_chars(six_bit_indices(bytes)));
}

// ---- Decoding ----------------------------------------------------------------

// A byte is a stop exactly when the class bits of its low nibble and of its
// high nibble share a bit. High nibbles 0, 1 and 8..15 (controls, bytes >=
// 0x80) carry 0x10, which every low nibble has; each of 2..7 has one bit that
// marks the low nibbles outside its alphabet run(s).
OBJSTORE_AVX2 inline __m256i low_nibble_classes() {
  return _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                          0x1B, 0x1B, 0x1B, 0x1A,  //
                          0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                          0x1B, 0x1B, 0x1B, 0x1A);
}
OBJSTORE_AVX2 inline __m256i high_nibble_classes() {
  return _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                          0x10, 0x10, 0x10, 0x10,  //
                          0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                          0x10, 0x10, 0x10, 0x10);
}

OBJSTORE_AVX2 inline __m256i high_nibbles_of(__m256i chars) {
  return _mm256_and_si256(_mm256_srli_epi32(chars, 4), _mm256_set1_epi8(0x0F));
}

// The two class lookups of a block: a byte is a stop exactly when its
// entries share a bit.
struct nibble_classes {
  __m256i low, high;
};

OBJSTORE_AVX2 inline nibble_classes classify(__m256i chars, __m256i high_nibbles) {
  const __m256i low_nibbles = _mm256_and_si256(chars, _mm256_set1_epi8(0x0F));
  return {_mm256_shuffle_epi8(low_nibble_classes(), low_nibbles),
          _mm256_shuffle_epi8(high_nibble_classes(), high_nibbles)};
}

OBJSTORE_AVX2 inline bool has_stop(const nibble_classes& classes) {
  return !_mm256_testz_si256(classes.low, classes.high);
}

// Bit k set when byte k of the block is a stop.
OBJSTORE_AVX2 inline std::uint32_t stop_mask_of(const nibble_classes& classes) {
  const __m256i shared = _mm256_and_si256(classes.low, classes.high);
  const __m256i clean = _mm256_cmpeq_epi8(shared, _mm256_setzero_si256());
  return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(clean));
}

// Character -> 6-bit value for alphabet characters (others give garbage):
// one offset per high nibble, except that '/' shares its nibble with '+' and
// is moved to slot 1 by subtracting one.
OBJSTORE_AVX2 inline __m256i values_of(__m256i chars, __m256i high_nibbles) {
  const __m256i offsets = _mm256_setr_epi8(                                                     //
      0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i is_slash = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'));
  const __m256i slot = _mm256_add_epi8(high_nibbles, is_slash);
  return _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, slot));
}

// 32 six-bit values -> 24 bytes at the start of the result.
OBJSTORE_AVX2 inline __m256i pack(__m256i values) {
  // Per 16 bits: v0 << 6 | v1; per 32 bits: (v0 v1) << 12 | (v2 v3), i.e. the
  // group's three bytes in reverse order.
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
  const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  // 12 bytes at the start of each lane, then the two lanes joined.
  const __m256i lanes = _mm256_shuffle_epi8(
      groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                               2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

}  // namespace

OBJSTORE_AVX2 std::size_t encode_avx2(const unsigned char* in, std::size_t length, char* out) {
  char* const start = out;
  std::size_t i = 0;
  if (length >= 28) {
    store_chars(load_first_encode_block(in), out);
    i += 24;
    out += 32;
  }
  // From here on in - 4 is inside the input. Four blocks per round; the last
  // reads up to in[i + 99].
  for (; i + 100 <= length; i += 96, out += 128) {
    store_chars(load_encode_block(in + i), out);
    store_chars(load_encode_block(in + i + 24), out + 32);
    store_chars(load_encode_block(in + i + 48), out + 64);
    store_chars(load_encode_block(in + i + 72), out + 96);
  }
  for (; i + 28 <= length; i += 24, out += 32) store_chars(load_encode_block(in + i), out);
  // i is a multiple of 3, so the rest starts on a group boundary.
  if (i < length) out += encode_scalar(in + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

OBJSTORE_AVX2 std::size_t decode_avx2(const char* text, std::size_t length, unsigned char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  unsigned char* const start = out;
  std::size_t i = 0;
  // One block per round (unrolling measured slower: the loop is bound by the
  // vector ports, not by its overhead). The 32-byte store ends 8 bytes past
  // the block's output; with i + 44 <= length the output holds 33 more bytes.
  for (; i + 44 <= length; i += 32, out += 24) {
    const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i high = high_nibbles_of(chars);
    const nibble_classes classes = classify(chars, high);
    if (has_stop(classes)) {
      // The first stop ends the text; what precedes it is all alphabet.
      const std::size_t stop = i + static_cast<std::size_t>(__builtin_ctz(stop_mask_of(classes)));
      out += decode_scalar(text + i, stop - i, out);
      return static_cast<std::size_t>(out - start);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), pack(values_of(chars, high)));
  }
  // i is a multiple of 4, so the rest starts on a group boundary and its room
  // is decoded_length(length - i).
  if (i < length) out += decode_scalar(text + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

}  // namespace base64_detail
}  // namespace ObjectStore
