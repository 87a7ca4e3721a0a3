// The cache against its reference model, through the driver the model test
// shares (tests/support/cache_model_driver.h). The input chooses a
// configuration (bucket count, budget, case flags, default, strong or
// constant hashes, with or without a release callback) and then a sequence of
// operations. Keys are a few bytes in both cases and one with the high bit
// set, and budgets are small, so evictions, duplicates, shared buckets and
// case folding happen all the time.
//
// CACHE_FUZZ_TRACE=1 lists the decoded operations, to read a reproducer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/make_shared.hpp>

#include "cache/mem_cache.h"
#include "fuzz/fuzz_input.h"
#include "host/LogWriter.h"
#include "tests/support/cache_model_driver.h"
#include "tests/support/capture_log_writer.h"

namespace {

using fuzzing::FuzzInput;
using testing_support::CaptureLogWriter;

class InputChoices : public testing_support::ChoiceSource {
 public:
  explicit InputChoices(FuzzInput& in) : in_(in) {}
  uint8_t Byte() override { return in_.Byte(); }
  bool Exhausted() const override { return in_.empty(); }

 private:
  FuzzInput& in_;
};

// Puts every key of a run into one bucket, whatever the bucket count.
int32_t g_constant_hash = 0;
int32_t ConstantHash(const char* /*key*/, int32_t /*len*/) { return g_constant_hash; }

HashFunc ChooseHash(FuzzInput& in, bool case_sensitive) {
  switch (in.Below(4)) {
    case 2:
      return case_sensitive ? generic_cache_hash_strong : generic_cache_hash_strong_cis;
    case 3:
      return ConstantHash;
    default:
      return nullptr;  // the default of the table's case flag
  }
}

CaptureLogWriter& Log() {
  static const boost::shared_ptr<CaptureLogWriter> writer = [] {
    auto created = boost::make_shared<CaptureLogWriter>(10);
    g_ptrLogWriter = created;
    return created;
  }();
  return *writer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  testing_support::CacheModelConfig config;
  const int buckets = 1 << in.Below(5);  // 1 to 16
  config.key1_case_sensitive = in.Bool();
  config.key2_case_sensitive = in.Bool();
  config.key1_hash = ChooseHash(in, config.key1_case_sensitive);
  config.key2_hash = ChooseHash(in, config.key2_case_sensitive);
  g_constant_hash = static_cast<int8_t>(in.Byte());
  config.release_callback = in.Below(8) != 0;
  // Room for a few elements beside the fixed charge, sometimes none at all
  // (a negative budget leaves less than the fixed charge).
  const int budget = static_cast<int>(in.U16() % 2400) - 100;
  config.max_bytes = 8 * (2 * buckets + 26) + budget;
  config.expected_entry_size = std::max(config.max_bytes / buckets - 96, 1);
  // Letters in both cases and a byte with the high bit set (a negative char,
  // so hashes go negative too).
  config.key1_pieces = {"a", "A", "b", "B", "\xff"};
  config.key2_pieces = {"s", "S", "t", "T", "\x80"};
  config.max_key_pieces = 3;
  config.max_steps = 1500;
  static const bool trace = std::getenv("CACHE_FUZZ_TRACE") != nullptr;
  config.trace = trace ? stderr : nullptr;

  InputChoices choices(in);
  const std::string mismatch = testing_support::RunCacheModel(config, choices, Log());
  if (!mismatch.empty()) fuzzing::Fail(mismatch);
  return 0;
}
