// Base64 throughput: each code path on 1 MiB, the public pair on 1 MiB and on
// one small record, and naive baselines in the same run for comparison.
// Bytes processed are always the decoded (payload) bytes, so encode and
// decode figures compare directly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/alloc_counter.h"
#include "codec/base64.h"
#include "codec/base64_paths_internal.h"

namespace {

namespace detail = ObjectStore::base64_detail;
using Bytes = std::vector<unsigned char>;

constexpr std::size_t kLargePayload = 1 << 20;
constexpr std::size_t kSmallPayload = 48;  // encodes to 64 characters
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Bytes RandomBytes(std::size_t length) {
  std::mt19937 engine(42);
  Bytes bytes(length);
  for (auto& b : bytes) b = static_cast<unsigned char>(engine());
  return bytes;
}

struct Payload {
  Bytes bytes;
  std::string text;
};

Payload MakePayload(std::size_t length) {
  Payload payload{RandomBytes(length), ""};
  payload.text = ObjectStore::base64_encode(payload.bytes.data(), static_cast<unsigned>(length));
  return payload;
}

const Payload& PayloadOf(std::size_t length) {
  static const Payload large = MakePayload(kLargePayload);
  static const Payload small = MakePayload(kSmallPayload);
  return length == kLargePayload ? large : small;
}

// ---- Baselines ----------------------------------------------------------------

// Byte at a time through a bit accumulator, appending each character.
std::string BytewiseEncode(const Bytes& bytes) {
  std::string text;
  unsigned bits = 0, count = 0;
  for (unsigned char b : bytes) {
    bits = (bits << 8 | b) & 0xFFFF;
    for (count += 8; count >= 6; count -= 6) text += kAlphabet[(bits >> (count - 6)) & 0x3F];
  }
  if (count > 0) text += kAlphabet[(bits << (6 - count)) & 0x3F];
  while (text.size() % 4 != 0) text += '=';
  return text;
}

// Each character's value found by searching the alphabet, each byte appended.
Bytes BytewiseDecode(const std::string& text) {
  Bytes bytes;
  unsigned bits = 0, count = 0;
  for (char c : text) {
    const char* found = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
    if (found == nullptr) break;
    bits = (bits << 6 | static_cast<unsigned>(found - kAlphabet)) & 0xFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<unsigned char>(bits >> count));
    }
  }
  return bytes;
}

// The textbook codec: the alphabet as the only encode table, one 256-entry
// value table for decoding, one group of four characters per step.
void OneTableEncode(const unsigned char* in, std::size_t length, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3, out += 4) {
    const unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    out[0] = kAlphabet[b0 >> 2];
    out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    out[2] = kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
    out[3] = kAlphabet[b2 & 0x3F];
  }
  if (i == length) return;
  const unsigned b0 = in[i], b1 = i + 1 < length ? in[i + 1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = i + 1 < length ? kAlphabet[(b1 & 0x0F) << 2] : '=';
  out[3] = '=';
}

struct OneTable {
  std::uint8_t value[256];
  OneTable() {
    std::memset(value, 0xFF, sizeof value);
    for (std::uint8_t v = 0; v < 64; ++v) value[static_cast<unsigned char>(kAlphabet[v])] = v;
  }
};
const OneTable kOneTable;

std::size_t OneTableDecode(const char* text, std::size_t length, unsigned char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  unsigned char* const start = out;
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    const unsigned p0 = kOneTable.value[in[i]], p1 = kOneTable.value[in[i + 1]];
    const unsigned p2 = kOneTable.value[in[i + 2]], p3 = kOneTable.value[in[i + 3]];
    if ((p0 | p1 | p2 | p3) & 0x80) break;
    *out++ = static_cast<unsigned char>(p0 << 2 | p1 >> 4);
    *out++ = static_cast<unsigned char>(p1 << 4 | p2 >> 2);
    *out++ = static_cast<unsigned char>(p2 << 6 | p3);
  }
  unsigned p[3] = {0, 0, 0};
  std::size_t pending = 0;
  while (i < length && pending < 3 && kOneTable.value[in[i]] != 0xFF)
    p[pending++] = kOneTable.value[in[i++]];
  if (pending >= 2) *out++ = static_cast<unsigned char>(p[0] << 2 | p[1] >> 4);
  if (pending == 3) *out++ = static_cast<unsigned char>(p[1] << 4 | p[2] >> 2);
  return static_cast<std::size_t>(out - start);
}

std::string OneTableEncodeToString(const Bytes& bytes) {
  std::string text(detail::encoded_length(bytes.size()), '\0');
  OneTableEncode(bytes.data(), bytes.size(), &text[0]);
  return text;
}

Bytes OneTableDecodeToVector(const std::string& text) {
  Bytes bytes(detail::decoded_length(text.size()));
  bytes.resize(OneTableDecode(text.data(), text.size(), bytes.data()));
  return bytes;
}

// ---- Benchmark bodies ---------------------------------------------------------

void CountPayload(benchmark::State& state, std::size_t payload) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload));
}

// A codec that returns its result by value: the allocation counts in the
// cost. `codec` is a template argument so that the call inlines as it would
// in a caller. Where allocations are counted, "allocs" shows them per call.
template <typename Codec>
void RunReturning(benchmark::State& state, std::size_t payload, Codec codec) {
  const Payload& data = PayloadOf(payload);
  const std::uint64_t allocations_before = bench_alloc::ThreadAllocations();
  for (auto _ : state) {
    auto result = codec(data);
    benchmark::DoNotOptimize(result.data());
    benchmark::ClobberMemory();
  }
  CountPayload(state, payload);
  if (bench_alloc::Counting() && state.iterations() > 0)
    state.counters["allocs"] =
        static_cast<double>(bench_alloc::ThreadAllocations() - allocations_before) /
        static_cast<double>(state.iterations());
}

void RunEncodeInto(benchmark::State& state, detail::encode_fn encode) {
  const Payload& data = PayloadOf(kLargePayload);
  std::string out(detail::encoded_length(kLargePayload), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode(data.bytes.data(), data.bytes.size(), &out[0]));
    benchmark::ClobberMemory();
  }
  CountPayload(state, kLargePayload);
}

void RunDecodeInto(benchmark::State& state, detail::decode_fn decode) {
  const Payload& data = PayloadOf(kLargePayload);
  Bytes out(detail::decoded_length(data.text.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode(data.text.data(), data.text.size(), out.data()));
    benchmark::ClobberMemory();
  }
  CountPayload(state, kLargePayload);
}

constexpr auto PublicEncode = [](const Payload& data) {
  return ObjectStore::base64_encode(data.bytes.data(), static_cast<unsigned>(data.bytes.size()));
};
constexpr auto PublicDecode = [](const Payload& data) {
  return ObjectStore::base64_decode(data.text);
};

template <typename Body>
void Register(const std::string& name, Body body) {
  benchmark::RegisterBenchmark(name.c_str(), body);
}

void RegisterLargePaths(const char* path, bool supported, detail::encode_fn encode,
                        detail::decode_fn decode) {
  if (!supported) return;
  Register(std::string("base64/encode_1MiB/") + path,
           [encode](benchmark::State& s) { RunEncodeInto(s, encode); });
  Register(std::string("base64/decode_1MiB/") + path,
           [decode](benchmark::State& s) { RunDecodeInto(s, decode); });
}

bool RegisterAll() {
  const auto encode_bytewise = [](const Payload& d) { return BytewiseEncode(d.bytes); };
  const auto decode_bytewise = [](const Payload& d) { return BytewiseDecode(d.text); };
  const auto encode_onetable = [](const Payload& d) { return OneTableEncodeToString(d.bytes); };
  const auto decode_onetable = [](const Payload& d) { return OneTableDecodeToVector(d.text); };

  Register("base64/encode_1MiB/bytewise",
           [=](benchmark::State& s) { RunReturning(s, kLargePayload, encode_bytewise); });
  Register("base64/decode_1MiB/bytewise",
           [=](benchmark::State& s) { RunReturning(s, kLargePayload, decode_bytewise); });
  Register("base64/encode_1MiB/onetable", [](benchmark::State& s) {
    RunEncodeInto(s, [](const unsigned char* in, std::size_t n, char* out) {
      OneTableEncode(in, n, out);
      return detail::encoded_length(n);
    });
  });
  Register("base64/decode_1MiB/onetable",
           [](benchmark::State& s) { RunDecodeInto(s, OneTableDecode); });

  RegisterLargePaths("scalar", true, detail::encode_scalar, detail::decode_scalar);
  RegisterLargePaths("avx2", detail::avx2_supported(), detail::encode_avx2, detail::decode_avx2);
  RegisterLargePaths("avx512vbmi", detail::avx512vbmi_supported(), detail::encode_avx512vbmi,
                     detail::decode_avx512vbmi);

  Register("base64/encode_1MiB/public",
           [](benchmark::State& s) { RunReturning(s, kLargePayload, PublicEncode); });
  Register("base64/decode_1MiB/public",
           [](benchmark::State& s) { RunReturning(s, kLargePayload, PublicDecode); });
  Register("base64/encode_48B/public",
           [](benchmark::State& s) { RunReturning(s, kSmallPayload, PublicEncode); });
  Register("base64/decode_64B/public",
           [](benchmark::State& s) { RunReturning(s, kSmallPayload, PublicDecode); });
  Register("base64/encode_48B/onetable",
           [=](benchmark::State& s) { RunReturning(s, kSmallPayload, encode_onetable); });
  Register("base64/decode_64B/onetable",
           [=](benchmark::State& s) { RunReturning(s, kSmallPayload, decode_onetable); });
  return true;
}

const bool kRegistered = RegisterAll();

}  // namespace
