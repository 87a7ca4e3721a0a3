// The portable path, and the tail of every vector path: table-driven, with
// 64-bit loads (encoding) and 64-bit stores (decoding) where the bounds
// allow, exact byte writes at the end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/base64_paths_internal.h"

namespace ObjectStore {
namespace base64_detail {

namespace {

// The word-at-a-time loads and stores below place bytes by shifting.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the codec tables assume little-endian");

// ---- Encoding ----------------------------------------------------------------

// 12 bits -> the two characters of its two 6-bit halves, the first character in
// the low byte, so a 16-bit store writes them in text order.
using pair_table = std::array<std::uint16_t, 4096>;
constexpr pair_table make_pair_table() {
  pair_table table{};
  for (std::size_t bits = 0; bits < table.size(); ++bits) {
    const auto first = static_cast<unsigned char>(kAlphabet[bits >> 6]);
    const auto second = static_cast<unsigned char>(kAlphabet[bits & 0x3F]);
    table[bits] = static_cast<std::uint16_t>(first | second << 8);
  }
  return table;
}
constexpr pair_table kEncodePair = make_pair_table();

inline std::uint64_t load_big_endian64(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return __builtin_bswap64(word);
}

inline void store_pair(std::uint16_t pair, char* out) { std::memcpy(out, &pair, sizeof pair); }

// Encodes the first six of the eight bytes at `in` into eight characters.
// `word` holds them big-endian: the 48 payload bits are bits 63..16. Four
// 2-byte stores measured faster than merging the pairs into one 8-byte store:
// the merge costs shifts on the busy integer ports, stores have spare slots.
inline void encode_six(const unsigned char* in, char* out) {
  const std::uint64_t word = load_big_endian64(in);
  store_pair(kEncodePair[word >> 52], out);
  store_pair(kEncodePair[(word >> 40) & 0xFFF], out + 2);
  store_pair(kEncodePair[(word >> 28) & 0xFFF], out + 4);
  store_pair(kEncodePair[(word >> 16) & 0xFFF], out + 6);
}

// Encodes exactly three bytes; reads and writes nothing beyond them.
inline void encode_three(const unsigned char* in, char* out) {
  const unsigned bits = unsigned{in[0]} << 16 | unsigned{in[1]} << 8 | in[2];
  store_pair(kEncodePair[bits >> 12], out);
  store_pair(kEncodePair[bits & 0xFFF], out + 2);
}

// The last 1 or 2 bytes: the group is completed with zero bytes; only
// `rem` + 1 characters carry data, the rest is "=".
inline void encode_partial(const unsigned char* in, std::size_t rem, char* out) {
  const unsigned b0 = in[0];
  const unsigned b1 = rem == 2 ? in[1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = rem == 2 ? kAlphabet[(b1 & 0x0F) << 2] : '=';
  out[3] = '=';
}

// ---- Decoding ----------------------------------------------------------------

// Set in every table entry of a byte outside the alphabet, and in no entry of
// a character of it: OR-ing the four lookups of a group leaves it set exactly
// when the group holds a stop, so one test finds the stop while decoding.
constexpr std::uint32_t kStopFlag = 0x80000000u;
constexpr std::uint32_t kStopEntry = 0xFF000000u;

// Four tables, one per position in the group, each holding the character's
// 6 bits already shifted to where they land in the group's three output
// bytes (byte 0 in the low byte). OR-ing the four lookups gives the group's
// 3 bytes in memory order, plus kStopFlag if any character was a stop.
using decode_table = std::array<std::uint32_t, 256>;
constexpr std::uint32_t place(std::uint32_t value, unsigned position) {
  switch (position) {
    case 0:
      return value << 2;  // byte 0, bits 7..2
    case 1:
      return (value >> 4) | (value & 0x0F) << 12;  // byte 0 1..0, byte 1 7..4
    case 2:
      return (value >> 2) << 8 | (value & 0x03) << 22;  // byte 1 3..0, byte 2 7..6
    default:
      return value << 16;  // byte 2, bits 5..0
  }
}
constexpr decode_table make_decode_table(unsigned position) {
  decode_table table{};
  for (auto& entry : table) entry = kStopEntry;
  for (std::uint32_t value = 0; value < 64; ++value)
    table[static_cast<unsigned char>(kAlphabet[value])] = place(value, position);
  return table;
}
constexpr decode_table kDecode0 = make_decode_table(0);
constexpr decode_table kDecode1 = make_decode_table(1);
constexpr decode_table kDecode2 = make_decode_table(2);
constexpr decode_table kDecode3 = make_decode_table(3);

inline bool is_alphabet(unsigned char c) { return (kDecode0[c] & kStopFlag) == 0; }

// The group of four characters at `in`: 3 bytes, or kStopFlag set.
inline std::uint32_t decode_four(const unsigned char* in) {
  return kDecode0[in[0]] | kDecode1[in[1]] | kDecode2[in[2]] | kDecode3[in[3]];
}

// Two clean groups as one word: six bytes in memory order, two zero bytes.
inline void store_two_groups(std::uint32_t first, std::uint32_t second, unsigned char* out) {
  const std::uint64_t bytes = first | std::uint64_t{second} << 24;
  std::memcpy(out, &bytes, sizeof bytes);
}

inline void store_three(std::uint32_t group, unsigned char* out) {
  out[0] = static_cast<unsigned char>(group);
  out[1] = static_cast<unsigned char>(group >> 8);
  out[2] = static_cast<unsigned char>(group >> 16);
}

// The 1 to 3 alphabet characters left before the stop or the end: 2 give one
// byte, 3 give two; the unused low bits of the last one are dropped.
std::size_t decode_pending(const unsigned char* in, std::size_t available, unsigned char* out) {
  std::size_t pending = 0;
  while (pending < 3 && pending < available && is_alphabet(in[pending])) ++pending;
  if (pending < 2) return 0;
  const std::uint32_t bytes =
      kDecode0[in[0]] | kDecode1[in[1]] | (pending == 3 ? kDecode2[in[2]] : 0);
  out[0] = static_cast<unsigned char>(bytes);
  if (pending == 3) out[1] = static_cast<unsigned char>(bytes >> 8);
  return pending - 1;
}

}  // namespace

std::size_t encode_scalar(const unsigned char* in, std::size_t length, char* out) {
  char* const start = out;
  std::size_t i = 0;
  // Four 8-byte loads, each consuming six bytes: the last reads in[i + 25].
  for (; i + 26 <= length; i += 24, out += 32) {
    encode_six(in + i, out);
    encode_six(in + i + 6, out + 8);
    encode_six(in + i + 12, out + 16);
    encode_six(in + i + 18, out + 24);
  }
  for (; i + 8 <= length; i += 6, out += 8) encode_six(in + i, out);
  for (; i + 3 <= length; i += 3, out += 4) encode_three(in + i, out);
  if (i < length) {
    encode_partial(in + i, length - i, out);
    out += 4;
  }
  return static_cast<std::size_t>(out - start);
}

std::size_t decode_scalar(const char* text, std::size_t length, unsigned char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  unsigned char* const start = out;
  std::size_t i = 0;
  // Sixteen characters per round, two 8-byte stores ending at out + 14. With
  // i + 20 <= length the output holds at least 15 more bytes, so the two
  // zero bytes past each store stay inside it and are overwritten later.
  // Characters are read one by one: cutting them out of 64-bit loads measured
  // slower, the shifts costing more than the loads they save.
  for (; i + 20 <= length; i += 16, out += 12) {
    const std::uint32_t g0 = decode_four(in + i), g1 = decode_four(in + i + 4);
    const std::uint32_t g2 = decode_four(in + i + 8), g3 = decode_four(in + i + 12);
    if ((g0 | g1 | g2 | g3) & kStopFlag) break;  // the groups below find the stop
    store_two_groups(g0, g1, out);
    store_two_groups(g2, g3, out + 6);
  }
  for (; i + 4 <= length; i += 4, out += 3) {
    const std::uint32_t group = decode_four(in + i);
    if (group & kStopFlag) break;  // the stop lies inside this group
    store_three(group, out);
  }
  out += decode_pending(in + i, length - i, out);
  return static_cast<std::size_t>(out - start);
}

}  // namespace base64_detail
}  // namespace ObjectStore
