#include "codec/base64.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace ObjectStore {

namespace {

// A character's position in the alphabet is its 6-bit value.
constexpr char base64_chars[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Marks a byte outside the alphabet in the decode table. Its top bit is set,
// so OR-ing four lookups tells in one test whether a group is clean.
constexpr std::uint8_t kNotBase64 = 0xFF;

// Byte -> 6-bit value, or kNotBase64. Built from base64_chars at compile time,
// so classification depends on the alphabet alone, never on the locale.
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = kNotBase64;
  for (std::uint8_t value = 0; value < 64; ++value)
    table[static_cast<unsigned char>(base64_chars[value])] = value;
  return table;
}
constexpr std::array<std::uint8_t, 256> kDecodeTable = MakeDecodeTable();

inline bool is_base64(unsigned char c) { return kDecodeTable[c] != kNotBase64; }

// Bytes that `length` accepted characters decode to: 3 per full group, and
// 0, 1 or 2 for a pending remainder of 1, 2 or 3 characters.
constexpr std::size_t DecodedLength(std::size_t length) {
  const std::size_t rem = length % 4;
  return length / 4 * 3 + (rem > 0 ? rem - 1 : 0);
}

// The encode core: writes exactly 4 * ceil(length / 3) characters to `out`.
// This and DecodeCore are the only loops over the data; a faster codec
// replaces them without touching the wrappers below.
void EncodeCore(const unsigned char* in, std::size_t length, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    *out++ = base64_chars[b0 >> 2];
    *out++ = base64_chars[((b0 & 0x03) << 4) | (b1 >> 4)];
    *out++ = base64_chars[((b1 & 0x0F) << 2) | (b2 >> 6)];
    *out++ = base64_chars[b2 & 0x3F];
  }
  const std::size_t rem = length - i;
  if (rem == 0) return;
  // The group is completed with zero bytes; only rem + 1 characters carry data.
  const unsigned b0 = in[i];
  const unsigned b1 = rem == 2 ? in[i + 1] : 0;
  *out++ = base64_chars[b0 >> 2];
  *out++ = base64_chars[((b0 & 0x03) << 4) | (b1 >> 4)];
  *out++ = rem == 2 ? base64_chars[(b1 & 0x0F) << 2] : '=';
  *out++ = '=';
}

// The decode core: decodes `in` up to its end or its first byte outside the
// alphabet, writing at most DecodedLength(length) bytes to `out`. Returns the
// count written.
std::size_t DecodeCore(const unsigned char* in, std::size_t length, unsigned char* out) {
  unsigned char* const start = out;
  std::size_t i = 0;
  // Full groups of four accepted characters.
  for (; i + 4 <= length; i += 4) {
    const std::uint8_t p0 = kDecodeTable[in[i]], p1 = kDecodeTable[in[i + 1]];
    const std::uint8_t p2 = kDecodeTable[in[i + 2]], p3 = kDecodeTable[in[i + 3]];
    if ((p0 | p1 | p2 | p3) & 0x80) break;  // the stop lies inside this group
    *out++ = static_cast<unsigned char>((p0 << 2) | (p1 >> 4));
    *out++ = static_cast<unsigned char>(((p1 & 0x0F) << 4) | (p2 >> 2));
    *out++ = static_cast<unsigned char>(((p2 & 0x03) << 6) | p3);
  }
  // At most three accepted characters remain before the stop or the end.
  std::uint8_t p[3] = {0, 0, 0};
  std::size_t pending = 0;
  while (i < length && pending < 3 && is_base64(in[i])) p[pending++] = kDecodeTable[in[i++]];
  if (pending >= 2) *out++ = static_cast<unsigned char>((p[0] << 2) | (p[1] >> 4));
  if (pending == 3) *out++ = static_cast<unsigned char>(((p[1] & 0x0F) << 4) | (p[2] >> 2));
  return static_cast<std::size_t>(out - start);
}

}  // namespace

std::string base64_encode(const unsigned char* bytes, unsigned int length) {
  const std::size_t n = length;  // widened: 4 * ceil(n / 3) overflows 32 bits
  std::string text((n + 2) / 3 * 4, '\0');
  if (n > 0) EncodeCore(bytes, n, &text[0]);
  return text;
}

std::vector<unsigned char> base64_decode(const std::string& text) {
  // One allocation, sized for the whole text; trimmed to what was decoded.
  std::vector<unsigned char> bytes(DecodedLength(text.size()));
  if (bytes.empty()) return bytes;
  const std::size_t written =
      DecodeCore(reinterpret_cast<const unsigned char*>(text.data()), text.size(), bytes.data());
  bytes.resize(written);
  return bytes;
}

}  // namespace ObjectStore
