// Randomized model-based test of the cache: long seeded runs of operations on
// both keys against the reference model (tests/support/cache_model_driver.h,
// which the cache fuzz target drives too), over whole keys that differ in
// case and length.
//
// Runs are reproducible: a failure names its seed, and CACHE_MODEL_SEED=<seed>
// replays just that run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/support/cache_model_driver.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

using testing_support::CacheModelConfig;

class SeededChoices : public testing_support::ChoiceSource {
 public:
  explicit SeededChoices(uint64_t seed) : rng_(seed) {}
  uint8_t Byte() override { return static_cast<uint8_t>(rng_()); }
  bool Exhausted() const override { return false; }

 private:
  std::mt19937_64 rng_;
};

struct ModelTestCase {
  const char* name;
  int32_t buckets;
  bool key1_case_sensitive;
  bool key2_case_sensitive;
  int element_budget;  // bytes beside the fixed charge
};

std::vector<uint64_t> Seeds() {
  if (const char* chosen = std::getenv("CACHE_MODEL_SEED")) {
    return {std::strtoull(chosen, nullptr, 10)};
  }
  return {1, 20261208, 977, 4242};
}

class CacheModelTest : public ::testing::TestWithParam<ModelTestCase> {};

TEST_P(CacheModelTest, AgreesWithTheReferenceModel) {
  const ModelTestCase& test_case = GetParam();
  CacheModelConfig config;
  config.max_bytes =
      static_cast<int>(testing_support::FixedCharge(test_case.buckets)) + test_case.element_budget;
  config.expected_entry_size = config.max_bytes / test_case.buckets - 96;
  config.key1_case_sensitive = test_case.key1_case_sensitive;
  config.key2_case_sensitive = test_case.key2_case_sensitive;
  // Few keys, differing in case and length, so that hits, duplicates, shared
  // buckets and case folding are all frequent.
  config.key1_pieces = {"a",  "A",  "ab",  "abc", "Abc",       "ABC",
                        "k1", "K1", "key", "KEY", "longerkey", "xyz"};
  config.key2_pieces = {"s", "S", "t", "two", "TWO", "x2", "second", "SECOND"};
  config.max_steps = 4000;
  testing_support::ScopedCaptureLog log(10);
  for (uint64_t seed : Seeds()) {
    SeededChoices choices(seed);
    EXPECT_EQ(testing_support::RunCacheModel(config, choices, *log), "")
        << "config " << test_case.name << ", seed " << seed
        << ": replay with CACHE_MODEL_SEED=" << seed;
  }
}

const ModelTestCase kCases[] = {
    {"OneBucketCaseSensitive", 1, true, true, 900},
    {"FourBucketsCaseInsensitive", 4, false, false, 900},
    {"EightBucketsMixedCase", 8, true, false, 900},
    {"SixteenBucketsMixedCase", 16, false, true, 1200},
};

INSTANTIATE_TEST_SUITE_P(Configs, CacheModelTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ModelTestCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
