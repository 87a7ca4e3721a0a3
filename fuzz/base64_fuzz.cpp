// The codec against a plain reference, on every code path this processor runs
// and on the public pair:
//   - the input, read as text, decodes to what the lenient rule gives: the
//     leading run of alphabet characters, cut at the end, at "=" or at any
//     other byte; full groups give three bytes, a pending 2 or 3 characters
//     one or two, a lone character none;
//   - the input mapped onto mostly alphabet characters (long runs, so that
//     the vector loops run and hand over to their tails at every offset)
//     decodes the same way;
//   - the input, read as bytes, encodes to the reference text (4 * ceil(n/3)
//     characters of the alphabet, the right padding, unused bits zero), and
//     that text decodes back to the input.
// Each path reads its input from an allocation that is poisoned right before
// the first byte and ends right after the last, and writes into one of exactly
// the size it may use, so any stray access is an AddressSanitizer report.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/base64_paths_internal.h"
#include "fuzz/fuzz_input.h"

namespace {

namespace detail = ObjectStore::base64_detail;
using Bytes = std::vector<unsigned char>;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SixBits(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Group by group, straight from the rule.
Bytes ReferenceDecode(const char* text, std::size_t length) {
  std::vector<int> values;
  for (std::size_t i = 0; i < length; ++i) {
    const int value = SixBits(static_cast<unsigned char>(text[i]));
    if (value < 0) break;  // "=", blanks, any other byte: the run ends here
    values.push_back(value);
  }
  Bytes bytes;
  for (std::size_t i = 0; i < values.size(); i += 4) {
    const std::size_t pending = values.size() - i < 4 ? values.size() - i : 4;
    const int p0 = values[i];
    const int p1 = pending > 1 ? values[i + 1] : 0;
    const int p2 = pending > 2 ? values[i + 2] : 0;
    const int p3 = pending > 3 ? values[i + 3] : 0;
    if (pending >= 2) bytes.push_back(static_cast<unsigned char>((p0 << 2) | (p1 >> 4)));
    if (pending >= 3) bytes.push_back(static_cast<unsigned char>(((p1 & 0x0F) << 4) | (p2 >> 2)));
    if (pending >= 4) bytes.push_back(static_cast<unsigned char>(((p2 & 0x03) << 6) | p3));
  }
  return bytes;
}

std::string ReferenceEncode(const unsigned char* bytes, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; i += 3) {
    const std::size_t present = length - i < 3 ? length - i : 3;
    const unsigned b0 = bytes[i];
    const unsigned b1 = present > 1 ? bytes[i + 1] : 0;
    const unsigned b2 = present > 2 ? bytes[i + 2] : 0;
    const char group[4] = {kAlphabet[b0 >> 2], kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)],
                           kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)], kAlphabet[b2 & 0x3F]};
    text.append(group, present + 1);
    text.append(3 - present, '=');
  }
  return text;
}

// The form every encoding has, checked on its own so that a failure says
// which rule broke rather than only that the texts differ.
void CheckEncodedForm(const std::string& text, std::size_t length) {
  if (text.size() != (length + 2) / 3 * 4) {
    fuzzing::Fail("encoded length " + std::to_string(text.size()) + " for " +
                  std::to_string(length) + " bytes");
  }
  const std::size_t pads = length % 3 == 0 ? 0 : 3 - length % 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool pad_position = i >= text.size() - pads;
    if (pad_position ? text[i] != '=' : SixBits(static_cast<unsigned char>(text[i])) < 0) {
      fuzzing::Fail("encoded text has a wrong character at " + std::to_string(i));
    }
  }
  if (pads > 0) {
    // The group was filled up with zero bytes: the last character's bits
    // beyond the data are zero.
    const int last = SixBits(static_cast<unsigned char>(text[text.size() - pads - 1]));
    if ((last & (pads == 2 ? 0x0F : 0x03)) != 0) fuzzing::Fail("padding bits not zero");
  }
}

struct Path {
  const char* name;
  detail::encode_fn encode;
  detail::decode_fn decode;
};

std::vector<Path> SupportedPaths() {
  std::vector<Path> paths = {{"scalar", detail::encode_scalar, detail::decode_scalar}};
  if (detail::avx2_supported()) paths.push_back({"avx2", detail::encode_avx2, detail::decode_avx2});
  if (detail::avx512vbmi_supported()) {
    paths.push_back({"avx512vbmi", detail::encode_avx512vbmi, detail::decode_avx512vbmi});
  }
  return paths;
}

const std::vector<Path>& Paths() {
  static const std::vector<Path> paths = SupportedPaths();
  return paths;
}

// `length` bytes of `source` at an offset of `shift` bytes into an
// allocation whose first `shift` bytes are poisoned, so that the copy is
// misaligned like a caller's buffer can be and a read before it is caught.
class GuardedCopy {
 public:
  GuardedCopy(const void* source, std::size_t length, std::size_t shift)
      : storage_(new unsigned char[shift + length]), shift_(shift), length_(length) {
    if (length > 0) std::memcpy(storage_.get() + shift, source, length);
    ASAN_POISON_MEMORY_REGION(storage_.get(), shift);
  }
  ~GuardedCopy() { ASAN_UNPOISON_MEMORY_REGION(storage_.get(), shift_); }
  GuardedCopy(const GuardedCopy&) = delete;
  GuardedCopy& operator=(const GuardedCopy&) = delete;

  const unsigned char* bytes() const { return storage_.get() + shift_; }
  const char* text() const { return reinterpret_cast<const char*>(bytes()); }
  std::size_t size() const { return length_; }

 private:
  std::unique_ptr<unsigned char[]> storage_;
  std::size_t shift_;
  std::size_t length_;
};

void CheckDecode(const std::string& text, std::size_t shift, const char* what) {
  const Bytes expected = ReferenceDecode(text.data(), text.size());
  if (ObjectStore::base64_decode(text) != expected) {
    fuzzing::Fail(std::string("base64_decode disagrees with the reference on the ") + what);
  }
  const GuardedCopy input(text.data(), text.size(), shift);
  for (const Path& path : Paths()) {
    // Exactly the room a path may use as scratch.
    const std::size_t room = detail::decoded_length(text.size());
    std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
    const std::size_t written = path.decode(input.text(), input.size(), out.get());
    if (written != expected.size() ||
        (written > 0 && std::memcmp(out.get(), expected.data(), written) != 0)) {
      fuzzing::Fail(std::string(path.name) + " decode disagrees with the reference on the " + what);
    }
  }
}

void CheckEncode(const uint8_t* data, std::size_t size, std::size_t shift) {
  const std::string expected = ReferenceEncode(data, size);
  const std::string encoded = ObjectStore::base64_encode(data, static_cast<unsigned>(size));
  CheckEncodedForm(encoded, size);
  if (encoded != expected) fuzzing::Fail("base64_encode disagrees with the reference");
  if (ObjectStore::base64_decode(encoded) != Bytes(data, data + size)) {
    fuzzing::Fail("base64_decode(base64_encode(bytes)) is not the bytes");
  }
  const GuardedCopy input(data, size, shift);
  for (const Path& path : Paths()) {
    std::unique_ptr<char[]> out(new char[expected.size()]);
    const std::size_t written = path.encode(input.bytes(), input.size(), out.get());
    if (written != expected.size() || std::string(out.get(), written) != expected) {
      fuzzing::Fail(std::string(path.name) + " encode disagrees with the reference");
    }
    std::unique_ptr<unsigned char[]> back(new unsigned char[detail::decoded_length(written)]);
    const std::size_t decoded = path.decode(out.get(), written, back.get());
    if (decoded != size || (size > 0 && std::memcmp(back.get(), data, size) != 0)) {
      fuzzing::Fail(std::string(path.name) + " does not decode its own encoding back");
    }
  }
}

// Long alphabet runs broken by the occasional stop byte: the high byte values
// pick a stop, every other value a character.
std::string MostlyAlphabet(const uint8_t* data, std::size_t size) {
  static const char kStops[] = {'=', ' ', '\n', '-', '_', '.', '\0', '\x80'};
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    text += data[i] >= 0xF8 ? kStops[data[i] & 7] : kAlphabet[data[i] & 0x3F];
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::size_t shift = size > 0 ? data[0] % 8 : 0;
  CheckDecode(std::string(reinterpret_cast<const char*>(data), size), shift, "input as text");
  CheckDecode(MostlyAlphabet(data, size), (shift + 3) % 8, "input mapped onto the alphabet");
  CheckEncode(data, size, shift);
  return 0;
}
