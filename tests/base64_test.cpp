#include "codec/base64.h"

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

// RFC 4648, section 10, and the groups that use the last two characters of
// the alphabet and the zero bits: each way.
TEST(Base64, KnownGroupsEachWay) {
  const struct {
    Bytes plain;
    const char* encoded;
  } vectors[] = {
      {{}, ""},
      {FromText("f"), "Zg=="},
      {FromText("fo"), "Zm8="},
      {FromText("foo"), "Zm9v"},
      {FromText("foob"), "Zm9vYg=="},
      {FromText("fooba"), "Zm9vYmE="},
      {FromText("foobar"), "Zm9vYmFy"},
      {{0xFB, 0xEF, 0xFF}, "++//"},
      {{0xFF}, "/w=="},
      {{0x00, 0x00, 0x00}, "AAAA"},
      {{0x00}, "AA=="},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Encode(v.plain), v.encoded) << v.encoded;
    EXPECT_EQ(ObjectStore::base64_decode(v.encoded), v.plain) << v.encoded;
  }
}

TEST(Base64Encode, ZeroLengthDoesNotReadThePointer) {
  EXPECT_EQ(ObjectStore::base64_encode(nullptr, 0), "");
}

TEST(Base64Decode, LenientStops) {
  const struct {
    std::string in;
    Bytes out;
  } cases[] = {
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
      {"-_", {}},
      {"TWFuTW-_", {0x4D, 0x61, 0x6E, 0x4D}},  // stop inside a second group
      {std::string("TW\0u", 4), {0x4D}},       // an embedded NUL stops too
  };
  for (const auto& c : cases) EXPECT_EQ(ObjectStore::base64_decode(c.in), c.out) << c.in;
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
