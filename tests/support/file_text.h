// Whole files as strings, byte for byte, for tests that write a file and
// read back what the library made of it.
#ifndef OBJSTORE_TESTS_SUPPORT_FILE_TEXT_H_
#define OBJSTORE_TESTS_SUPPORT_FILE_TEXT_H_

#include <fstream>
#include <iterator>
#include <string>

namespace testing_support {

// The file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's contents with `text`; false when that failed.
inline bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return out.good();
}

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_FILE_TEXT_H_
