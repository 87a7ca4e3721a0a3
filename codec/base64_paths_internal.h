// Internal to the codec: one entry point per code path, for the public
// wrappers in base64.cpp, and for tests and benchmarks that drive each path
// directly (they link the static codec library). Not installed, not exported.
//
// Every path produces exactly the bytes of the scalar path:
//   encode_*: writes encoded_length(length) characters to `out`, no terminator.
//             With a length of 0 it reads nothing and writes nothing.
//   decode_*: decodes the leading run of alphabet characters of `text`, up to
//             its end or its first other byte, and returns the count of bytes
//             decoded. It may use all decoded_length(length) bytes of `out` as
//             scratch, never more, so `out` must hold that many.
// A vector path may only be called when its *_supported() answers true.
#ifndef OBJSTORE_CODEC_BASE64_PATHS_INTERNAL_H_
#define OBJSTORE_CODEC_BASE64_PATHS_INTERNAL_H_

#include <cstddef>

namespace ObjectStore {
namespace base64_detail {

// A character's position in the alphabet is its 6-bit value. Every table of
// every path is derived from this string, so classification depends on the
// alphabet alone, never on the locale.
inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters for `length` bytes: complete, padded groups of four.
constexpr std::size_t encoded_length(std::size_t length) { return (length + 2) / 3 * 4; }

// Bytes that `length` alphabet characters decode to: 3 per full group, and
// 0, 1 or 2 for a pending remainder of 1, 2 or 3 characters.
constexpr std::size_t decoded_length(std::size_t length) {
  const std::size_t rem = length % 4;
  return length / 4 * 3 + (rem > 0 ? rem - 1 : 0);
}

using encode_fn = std::size_t (*)(const unsigned char* bytes, std::size_t length, char* out);
using decode_fn = std::size_t (*)(const char* text, std::size_t length, unsigned char* out);

std::size_t encode_scalar(const unsigned char* bytes, std::size_t length, char* out);
std::size_t decode_scalar(const char* text, std::size_t length, unsigned char* out);

std::size_t encode_avx2(const unsigned char* bytes, std::size_t length, char* out);
std::size_t decode_avx2(const char* text, std::size_t length, unsigned char* out);

std::size_t encode_avx512vbmi(const unsigned char* bytes, std::size_t length, char* out);
std::size_t decode_avx512vbmi(const char* text, std::size_t length, unsigned char* out);

// What this processor and its operating system can run.
bool avx2_supported();
bool avx512vbmi_supported();

// The path that base64_encode and base64_decode use on this machine:
// "scalar", "avx2" or "avx512vbmi". Chosen once, on first use.
const char* dispatched_path_name();

}  // namespace base64_detail
}  // namespace ObjectStore

#endif  // OBJSTORE_CODEC_BASE64_PATHS_INTERNAL_H_
