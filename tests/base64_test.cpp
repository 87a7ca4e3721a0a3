#include "codec/base64.h"

#include <clocale>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Encode(const Bytes& bytes) {
  return ObjectStore::base64_encode(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Base64Encode, KnownGroupsAndPadding) {
  const struct {
    Bytes in;
    std::string out;
  } cases[] = {
      {{}, ""},
      {{0x4D}, "TQ=="},
      {{0x4D, 0x61}, "TWE="},
      {{0x4D, 0x61, 0x6E}, "TWFu"},
      {{0xFB, 0xEF, 0xFF}, "++//"},
      {{0xFF}, "/w=="},
      {{0x00, 0x00, 0x00}, "AAAA"},
      {{0x00}, "AA=="},
  };
  for (const auto& c : cases) EXPECT_EQ(Encode(c.in), c.out) << c.out;
}

TEST(Base64Encode, ZeroLengthDoesNotReadThePointer) {
  EXPECT_EQ(ObjectStore::base64_encode(nullptr, 0), "");
}

// RFC 4648, section 10.
TEST(Base64, Rfc4648Vectors) {
  const struct {
    const char* plain;
    const char* encoded;
  } vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    EXPECT_EQ(Encode(FromText(v.plain)), v.encoded) << v.plain;
    EXPECT_EQ(ObjectStore::base64_decode(v.encoded), FromText(v.plain)) << v.encoded;
  }
}

TEST(Base64Decode, LenientStops) {
  const struct {
    std::string in;
    Bytes out;
  } cases[] = {
      {"TWFu", {0x4D, 0x61, 0x6E}},
      {"TWE=", {0x4D, 0x61}},
      {"TQ==", {0x4D}},
      {"TQ=", {0x4D}},
      {"TQ", {0x4D}},
      {"TWE", {0x4D, 0x61}},
      {"T", {}},
      {"TQ==TWFu", {0x4D}},
      {"TW=u", {0x4D}},
      {"TWFu TWFu", {0x4D, 0x61, 0x6E}},
      {"TWFu\nTWFu", {0x4D, 0x61, 0x6E}},
      {"TWFu\r\nTWFu", {0x4D, 0x61, 0x6E}},
      {"QR==", {0x41}},
      {"====", {}},
      {"", {}},
      {"-_", {}},
      {"TWFuTW-_", {0x4D, 0x61, 0x6E, 0x4D}},  // stop inside a second group
      {std::string("TW\0u", 4), {0x4D}},       // an embedded NUL stops too
  };
  for (const auto& c : cases) EXPECT_EQ(ObjectStore::base64_decode(c.in), c.out) << c.in;
}

// Bytes >= 0x80 are alphanumeric in some single-byte locales; they must stop
// the decoding all the same, and never index past the alphabet.
TEST(Base64Decode, HighBytesStopWhateverTheLocale) {
  const char* previous = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  std::setlocale(LC_CTYPE, "en_US.ISO-8859-1");  // may not exist; C locale then
  for (int high = 0x80; high <= 0xFF; ++high) {
    std::string text = "TWFu";
    text.push_back(static_cast<char>(high));
    text += "TWFu";
    EXPECT_EQ(ObjectStore::base64_decode(text), (Bytes{0x4D, 0x61, 0x6E})) << high;
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(Base64, RoundTripsEveryLengthUpTo1000) {
  std::mt19937 engine(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes data;
  for (size_t length = 0; length <= 1000; ++length) {
    const std::string text = Encode(data);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4) << length;
    ASSERT_EQ(text.find_first_of("\r\n "), std::string::npos);
    ASSERT_EQ(ObjectStore::base64_decode(text), data) << length;
    data.push_back(static_cast<unsigned char>(byte(engine)));
  }
}

TEST(Base64Decode, UnpaddedDecodesLikePadded) {
  std::mt19937 engine(7);
  for (size_t length = 1; length <= 64; ++length) {
    Bytes data(length);
    for (auto& b : data) b = static_cast<unsigned char>(engine());
    std::string text = Encode(data);
    const std::string unpadded = text.substr(0, text.find('='));
    EXPECT_EQ(ObjectStore::base64_decode(unpadded), data) << length;
  }
}

// Positions are counted in size_t: a text past 2 GiB decodes to its end. Needs
// about 3.5 GiB of free memory, so it skips on smaller machines.
TEST(Base64Decode, TextLongerThan2GiB) {
  const size_t length = (size_t{1} << 31) + 8;
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0 ||
      static_cast<size_t>(pages) * static_cast<size_t>(page_size) < length / 4 * 7 + (1u << 30))
    GTEST_SKIP() << "needs about 3.5 GiB of free memory";
  std::string text(length, 'A');
  text.replace(length - 4, 4, "TWFu");
  const Bytes bytes = ObjectStore::base64_decode(text);
  ASSERT_EQ(bytes.size(), length / 4 * 3);
  EXPECT_EQ(bytes[bytes.size() - 3], 0x4D);
  EXPECT_EQ(bytes[bytes.size() - 1], 0x6E);
  EXPECT_EQ(bytes[0], 0);
}

}  // namespace
