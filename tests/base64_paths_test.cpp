// Every code path of the codec against an independent bit-by-bit reference
// and against the scalar path, on the lengths and stop positions where block
// loops hand over to each other.
#include "codec/base64_paths_internal.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/base64.h"

namespace {

namespace detail = ObjectStore::base64_detail;
using Bytes = std::vector<unsigned char>;

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ---- Reference: a bit accumulator, no tables --------------------------------

std::string ReferenceEncode(const Bytes& bytes) {
  std::string text;
  unsigned bits = 0, count = 0;
  for (unsigned char b : bytes) {
    bits = bits << 8 | b;
    for (count += 8; count >= 6; count -= 6) text += kAlphabet[(bits >> (count - 6)) & 0x3F];
  }
  if (count > 0) text += kAlphabet[(bits << (6 - count)) & 0x3F];
  while (text.size() % 4 != 0) text += '=';
  return text;
}

Bytes ReferenceDecode(const std::string& text) {
  Bytes bytes;
  unsigned bits = 0, count = 0;
  for (char c : text) {
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) break;
    bits = bits << 6 | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<unsigned char>(bits >> count));
    }
  }
  return bytes;
}

// ---- The paths --------------------------------------------------------------

struct PathUnderTest {
  const char* name;
  bool (*supported)();
  detail::encode_fn encode;
  detail::decode_fn decode;
};

// Names the path in gtest's messages instead of dumping its bytes.
void PrintTo(const PathUnderTest& path, std::ostream* os) { *os << path.name; }

bool Always() { return true; }

const PathUnderTest kPaths[] = {
    {"scalar", Always, detail::encode_scalar, detail::decode_scalar},
    {"avx2", detail::avx2_supported, detail::encode_avx2, detail::decode_avx2},
    {"avx512vbmi", detail::avx512vbmi_supported, detail::encode_avx512vbmi,
     detail::decode_avx512vbmi},
};

// Guard bytes after the exact room a path may use; any change is an overrun.
constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

std::string EncodeWith(const PathUnderTest& path, const Bytes& bytes) {
  // The input sits in an exact-size allocation, so a sanitizer sees over-reads.
  const std::unique_ptr<unsigned char[]> input(new unsigned char[bytes.size()]);
  if (!bytes.empty()) std::memcpy(input.get(), bytes.data(), bytes.size());
  const size_t room = detail::encoded_length(bytes.size());
  std::string out(room + kGuard, static_cast<char>(kGuardByte));
  const size_t written = path.encode(input.get(), bytes.size(), &out[0]);
  EXPECT_EQ(written, room);
  EXPECT_EQ(out.substr(room), std::string(kGuard, static_cast<char>(kGuardByte))) << "overrun";
  out.resize(written);
  return out;
}

Bytes DecodeWith(const PathUnderTest& path, const std::string& text) {
  const std::unique_ptr<char[]> input(new char[text.size()]);
  std::memcpy(input.get(), text.data(), text.size());
  const size_t room = detail::decoded_length(text.size());
  Bytes out(room + kGuard, kGuardByte);
  const size_t written = path.decode(input.get(), text.size(), out.data());
  EXPECT_LE(written, room);
  EXPECT_EQ(Bytes(out.begin() + static_cast<std::ptrdiff_t>(room), out.end()),
            Bytes(kGuard, kGuardByte))
      << "overrun";
  out.resize(written);
  return out;
}

Bytes RandomBytes(std::mt19937& engine, size_t length) {
  Bytes bytes(length);
  for (auto& b : bytes) b = static_cast<unsigned char>(engine());
  return bytes;
}

// Every length up to 200, the lengths around the block sizes of all paths
// (24/48 and 48/96 bytes; 32/64 and 64/128 characters), and random ones.
std::vector<size_t> InterestingLengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t block : {24u, 32u, 48u, 64u, 96u, 128u, 192u, 256u})
    for (size_t k = 3; k <= 12; ++k)
      for (size_t delta = 0; delta <= 8; ++delta) lengths.push_back(block * k - 4 + delta);
  std::mt19937 engine(99);
  for (int i = 0; i < 200; ++i) lengths.push_back(engine() % 5000);
  return lengths;
}

class Base64Path : public ::testing::TestWithParam<PathUnderTest> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << "this processor lacks " << GetParam().name;
  }
};

TEST_P(Base64Path, EncodesLikeTheReference) {
  std::mt19937 engine(1);
  for (size_t length : InterestingLengths()) {
    const Bytes bytes = RandomBytes(engine, length);
    ASSERT_EQ(EncodeWith(GetParam(), bytes), ReferenceEncode(bytes)) << "length " << length;
  }
}

TEST_P(Base64Path, DecodesPaddedAndUnpaddedLikeTheReference) {
  std::mt19937 engine(2);
  for (size_t length : InterestingLengths()) {
    const std::string text = ReferenceEncode(RandomBytes(engine, length));
    const std::string unpadded = text.substr(0, text.find('='));
    const Bytes expected = ReferenceDecode(text);
    ASSERT_EQ(DecodeWith(GetParam(), text), expected) << "length " << length;
    ASSERT_EQ(DecodeWith(GetParam(), unpadded), expected) << "length " << length;
    // Text that is not a whole encoding: any count of characters, any values.
    std::string raw(length, 'A');
    for (auto& c : raw) c = kAlphabet[engine() % 64];
    ASSERT_EQ(DecodeWith(GetParam(), raw), ReferenceDecode(raw)) << "raw length " << length;
  }
}

// Each byte value at a position inside a block and at the last position of
// one: exactly the 64 alphabet characters let decoding go on. This checks the
// vector classification against the alphabet for all 256 bytes.
TEST_P(Base64Path, EveryByteValueStopsOrNot) {
  const std::string text(300, 'B');
  for (int value = 0; value < 256; ++value) {
    const bool in_alphabet = kAlphabet.find(static_cast<char>(value)) != std::string::npos;
    for (size_t position : {5u, 63u, 127u, 200u}) {
      std::string probe = text;
      probe[position] = static_cast<char>(value);
      const size_t expected =
          in_alphabet ? detail::decoded_length(probe.size()) : detail::decoded_length(position);
      EXPECT_EQ(DecodeWith(GetParam(), probe).size(), expected)
          << "byte " << value << " at " << position;
    }
  }
}

// A stop at every position of the first blocks, on block boundaries further
// on, and at random places; texts of several lengths around each.
TEST_P(Base64Path, StopsAtTheFirstNonAlphabetByte) {
  std::mt19937 engine(3);
  const char kStops[] = {'=', '\n', ' ', '-', '_', '\x80', '\xFF', '\0'};
  const std::string text = ReferenceEncode(RandomBytes(engine, 1500));  // 2000 characters
  std::vector<size_t> positions;
  for (size_t p = 0; p <= 300; ++p) positions.push_back(p);
  for (size_t block = 32; block <= 1900; block += 32)
    for (size_t p : {block - 1, block, block + 1}) positions.push_back(p);
  for (int i = 0; i < 100; ++i) positions.push_back(engine() % text.size());
  for (size_t position : positions) {
    for (char stop : kStops) {
      std::string probe = text.substr(0, position + 1 + engine() % 200);
      probe[position] = stop;
      ASSERT_EQ(DecodeWith(GetParam(), probe), ReferenceDecode(probe))
          << "stop " << int(static_cast<unsigned char>(stop)) << " at " << position << " of "
          << probe.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Base64Path, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<PathUnderTest>& info) {
                           return std::string(info.param.name);
                         });

// The public pair works through large inputs piece by piece (a few KiB at a
// time); results must not show the seams, and a stop on either side of one
// must end the text there.
TEST(Base64Public, MatchesTheReferenceAcrossPieces) {
  std::mt19937 engine(4);
  for (size_t length : {6143u, 6144u, 6145u, 12288u, 20000u}) {
    const Bytes bytes = RandomBytes(engine, length);
    const std::string text =
        ObjectStore::base64_encode(bytes.data(), static_cast<unsigned>(length));
    ASSERT_EQ(text, ReferenceEncode(bytes)) << "length " << length;
    ASSERT_EQ(ObjectStore::base64_decode(text), bytes) << "length " << length;
  }
  const std::string text = ReferenceEncode(RandomBytes(engine, 18000));  // 24000 characters
  for (size_t position : {0u, 8190u, 8191u, 8192u, 8193u, 16383u, 16384u, 23999u}) {
    std::string probe = text;
    probe[position] = '\n';
    const Bytes decoded = ObjectStore::base64_decode(probe);
    ASSERT_EQ(decoded, ReferenceDecode(probe)) << "stop at " << position;
    EXPECT_EQ(decoded.capacity(), detail::decoded_length(probe.size()))
        << "reserved once, for the whole text";
  }
}

// Not a test: the line CI prints to show which paths this processor let the
// suite run, and which one the public pair dispatches to.
class PathReport : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tested;
    for (const auto& path : kPaths)
      if (path.supported()) tested += std::string(tested.empty() ? "" : " ") + path.name;
    std::printf("base64 paths tested: %s; dispatched: %s\n", tested.c_str(),
                detail::dispatched_path_name());
  }
};
::testing::Environment* const kPathReport = ::testing::AddGlobalTestEnvironment(new PathReport);

}  // namespace
