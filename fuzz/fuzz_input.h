// Reads a fuzz input front to back as a stream of small decisions. Reading
// past the end yields zeros, so every input decodes to some complete run and
// a seed can be written by hand: one byte per decision, in program order.
#ifndef OBJSTORE_FUZZ_FUZZ_INPUT_H_
#define OBJSTORE_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  std::size_t remaining() const { return empty() ? 0 : size_ - pos_; }

  uint8_t Byte() { return empty() ? 0 : data_[pos_++]; }
  bool Bool() { return (Byte() & 1) != 0; }
  // A value in [0, n) from one byte (n <= 256).
  unsigned Below(unsigned n) { return n == 0 ? 0 : Byte() % n; }
  // A little-endian 16-bit value.
  uint16_t U16() {
    const unsigned low = Byte();
    return static_cast<uint16_t>(low | static_cast<unsigned>(Byte()) << 8);
  }

  // A string whose length comes first (one byte, at most `max_len`), then
  // its bytes.
  std::string String(std::size_t max_len) {
    const std::size_t len = Byte() % (max_len + 1);
    std::string text;
    for (std::size_t i = 0; i < len && !empty(); ++i) text += static_cast<char>(Byte());
    return text;
  }

  // Like String, but every byte is taken from `alphabet` (by value modulo its
  // size), so that the few bytes that matter to the code under test recur.
  std::string StringOver(const std::string& alphabet, std::size_t max_len) {
    const std::size_t len = Byte() % (max_len + 1);
    std::string text;
    for (std::size_t i = 0; i < len && !empty(); ++i) text += alphabet[Byte() % alphabet.size()];
    return text;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Stops the run with a message naming the broken property; libFuzzer saves
// the input that got here as a crash artifact.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** property broken: %s\n", what.c_str());
  std::abort();
}

// `text` in double quotes, every byte outside printable ASCII (and the quote
// and backslash) as \xNN, for messages about arbitrary inputs.
inline std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "\"";
}

}  // namespace fuzzing

#endif  // OBJSTORE_FUZZ_FUZZ_INPUT_H_
