// The public pair: sizes the result once and hands the data to the fastest
// code path this processor runs. The paths themselves live in
// base64_scalar.cpp, base64_avx2.cpp and base64_avx512.cpp.
#include "codec/base64.h"

#include <algorithm>
#include <cstddef>

#include "codec/base64_paths_internal.h"

namespace ObjectStore {

namespace base64_detail {

// __builtin_cpu_init() makes the answers valid even when called from another
// library's constructor, before the compiler runtime has run its own. The
// feature bits include the operating system's consent to save the wide
// registers (XCR0), not just the instruction set.
bool avx2_supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool avx512vbmi_supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}

namespace {

struct code_path {
  encode_fn encode;
  decode_fn decode;
  const char* name;
};

code_path choose_code_path() {
  if (avx512vbmi_supported()) return {encode_avx512vbmi, decode_avx512vbmi, "avx512vbmi"};
  if (avx2_supported()) return {encode_avx2, decode_avx2, "avx2"};
  return {encode_scalar, decode_scalar, "scalar"};
}

// Resolved on first use, once per process; thread-safe by the rules for
// function-local statics. Every later call costs one load of the guard.
const code_path& dispatched_code_path() {
  static const code_path path = choose_code_path();
  return path;
}

}  // namespace

const char* dispatched_path_name() { return dispatched_code_path().name; }

}  // namespace base64_detail

namespace {

// A result of more than one chunk is written through a stack buffer and
// appended chunk by chunk, so that it is allocated once (reserve) and written
// once: a sized constructor would first zero-fill all of it, a second pass
// over memory as large as the result. Up to one chunk, zero-filling in cache
// costs less than the copy out of a buffer, and the result is written in
// place. The chunks are multiples of every path's block size.
constexpr std::size_t kEncodeChunkBytes = 6144;  // 8 KiB of text
constexpr std::size_t kDecodeChunkChars = 8192;  // 6 KiB of bytes

void encode_in_chunks(base64_detail::encode_fn encode, const unsigned char* bytes, std::size_t n,
                      std::string& text) {
  text.reserve(base64_detail::encoded_length(n));
  char chunk[base64_detail::encoded_length(kEncodeChunkBytes)];
  for (std::size_t done = 0; done < n; done += kEncodeChunkBytes) {
    const std::size_t take = std::min(kEncodeChunkBytes, n - done);
    text.append(chunk, encode(bytes + done, take, chunk));
  }
}

void decode_in_chunks(base64_detail::decode_fn decode, const std::string& text,
                      std::vector<unsigned char>& bytes) {
  bytes.reserve(base64_detail::decoded_length(text.size()));
  unsigned char chunk[base64_detail::decoded_length(kDecodeChunkChars)];
  for (std::size_t done = 0; done < text.size(); done += kDecodeChunkChars) {
    const std::size_t take = std::min(kDecodeChunkChars, text.size() - done);
    const std::size_t written = decode(text.data() + done, take, chunk);
    bytes.insert(bytes.end(), chunk, chunk + written);
    // Chunks start on group boundaries; one that yields less than its full
    // share held the stop, and nothing after it counts.
    if (written < base64_detail::decoded_length(take)) break;
  }
}

}  // namespace

// Each returns one named result on every path, so it is built in place.
std::string base64_encode(const unsigned char* bytes, unsigned int length) {
  const std::size_t n = length;  // widened: 4 * ceil(n / 3) overflows 32 bits
  std::string text;
  if (n == 0) return text;
  const base64_detail::encode_fn encode = base64_detail::dispatched_code_path().encode;
  if (n > kEncodeChunkBytes) {
    encode_in_chunks(encode, bytes, n, text);
  } else {
    text.resize(base64_detail::encoded_length(n));
    encode(bytes, n, &text[0]);
  }
  return text;
}

std::vector<unsigned char> base64_decode(const std::string& text) {
  // Either way one allocation, for three bytes per four characters of the
  // whole text, so the result never grows.
  std::vector<unsigned char> bytes;
  const std::size_t capacity = base64_detail::decoded_length(text.size());
  if (capacity == 0) return bytes;
  const base64_detail::decode_fn decode = base64_detail::dispatched_code_path().decode;
  if (text.size() > kDecodeChunkChars) {
    decode_in_chunks(decode, text, bytes);
  } else {
    bytes.resize(capacity);
    bytes.resize(decode(text.data(), text.size(), bytes.data()));
  }
  return bytes;
}

}  // namespace ObjectStore
