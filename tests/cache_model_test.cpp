// Randomized model-based test of the cache: long runs of random operations
// (both updates, lookups, deletions, promotions and renames, clearing, dumps)
// are applied to the cache and to the reference model of its keys, buckets,
// chain order, recency order and charges (tests/support/cache_reference_model.h,
// which the cache fuzz target drives too). After every step the
// result, every statistics field, the release sequence, the log messages and
// the structural invariants must agree with the model.
//
// Runs are seeded and reproducible: a failure names its seed, and
// CACHE_MODEL_SEED=<seed> replays just that run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cache/mem_cache.h"
#include "tests/support/cache_reference_model.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

using testing_support::CacheReferenceModel;
using testing_support::ExpectedMessage;
using testing_support::FixedCharge;
using testing_support::OwnedElement;
using testing_support::ReleaseRecorder;

// Few keys, differing in case and length, so that hits, duplicates, shared
// buckets and case folding are all frequent.
const char* const kKey1Space[] = {"a",  "A",  "ab",  "abc", "Abc",       "ABC",
                                  "k1", "K1", "key", "KEY", "longerkey", "xyz"};
const char* const kKey2Space[] = {"s", "S", "t", "two", "TWO", "x2", "second", "SECOND"};

struct ModelConfig {
  const char* name;
  int32_t buckets;
  bool key1_case_sensitive;
  bool key2_case_sensitive;
  int element_budget;  // bytes beside the fixed charge
};

// What the rename function did to one offered element.
struct RenameAction {
  generic_cache_element_t* element;
  bool case_flag;
  int32_t code;
  bool changed;
  bool new_key_null;
  std::string new_key;
};

struct RenameScript {
  std::mt19937_64* rng;
  bool key2_walk;
  std::vector<RenameAction> actions;
};

int32_t ScriptedRename(generic_cache_element* element, void* user_data, bool case_sensitive) {
  RenameScript* script = static_cast<RenameScript*>(user_data);
  std::mt19937_64& rng = *script->rng;
  RenameAction action{element, case_sensitive, 0, false, false, ""};
  const int roll = static_cast<int>(rng() % 100);
  if (roll < 35) {
    action.code = -1 - static_cast<int32_t>(rng() % 3);
  } else if (roll < 40) {
    action.code = 1 + static_cast<int32_t>(rng() % 3);
  } else if (roll < 50) {
    action.code = 0;  // relinked without a change
  } else {
    action.code = 0;
    action.changed = true;
    OwnedElement* owner = OwnedElement::FromElement(element);
    if (script->key2_walk) {
      if (rng() % 4 == 0) {
        action.new_key_null = true;
        owner->ReplaceKey2(nullptr);
      } else {
        action.new_key = kKey2Space[rng() % std::size(kKey2Space)];
        owner->ReplaceKey2(action.new_key.c_str());
      }
    } else {
      action.new_key = kKey1Space[rng() % std::size(kKey1Space)];
      if (rng() % 2 == 0 && action.new_key.size() <= std::strlen(element->key1)) {
        std::strcpy(element->key1, action.new_key.c_str());  // rewritten in place
      } else {
        owner->ReplaceKey1(action.new_key.c_str());
      }
    }
  }
  script->actions.push_back(action);
  return action.code;
}

class ModelRun {
 public:
  ModelRun(const ModelConfig& config, uint64_t seed, testing_support::CaptureLogWriter* log)
      : config_(config),
        rng_(seed),
        log_(log),
        max_bytes_(static_cast<int>(FixedCharge(config.buckets)) + config.element_budget),
        model_({config.buckets, config.key1_case_sensitive, config.key2_case_sensitive,
                max_bytes_}) {
    cache_ = generic_cache_init_cache(max_bytes_, max_bytes_ / config.buckets - 96,
                                      &ReleaseRecorder::Callback, nullptr, nullptr,
                                      config.key1_case_sensitive, config.key2_case_sensitive);
    for (int i = 0; i < 64; ++i) {
      owners_.push_back(std::make_unique<OwnedElement>("x", nullptr, 0));
      free_.push_back(owners_.back().get());
    }
  }
  ~ModelRun() {
    generic_cache_del_cache(cache_);
    ReleaseRecorder::Clear();
  }

  // Runs `steps` random operations; stops at the first disagreement.
  void Run(int steps) {
    ASSERT_NE(cache_, nullptr);
    ASSERT_EQ(cache_->stats.num_buckets, config_.buckets);
    for (int step = 0; step < steps; ++step) {
      std::string what = Step();
      Check(what);
      if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "first disagreement at step " << step << " (" << what << ")";
        return;
      }
    }
    // Destruction releases the rest in primary-table order.
    std::vector<generic_cache_element_t*> expected = model_.PrimaryTableOrder();
    generic_cache_del_cache(cache_);
    cache_ = nullptr;
    EXPECT_EQ(ReleaseRecorder::TakeElements(), expected) << "release order at destruction";
  }

 private:
  using Entry = CacheReferenceModel::Entry;

  std::size_t Pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  bool Chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }

  // A lookup key: often one that is cached (perhaps in another case), with
  // a random way of giving its length, sometimes an invalid one.
  struct LookupKey {
    std::string text;
    bool null = false;
    int len = -1;
  };
  LookupKey RandomLookupKey(bool by_key2) {
    LookupKey key;
    const std::vector<Entry>& lru = model_.entries();
    const Entry* cached = lru.empty() ? nullptr : &lru[Pick(lru.size())];
    if (cached != nullptr && Chance(60) && (!by_key2 || cached->has_key2)) {
      key.text = by_key2 ? cached->key2 : cached->key1;
      if (Chance(20)) {
        for (char& c : key.text) c = static_cast<char>(Chance(50) ? std::toupper(c) : c);
      }
    } else if (by_key2) {
      key.text = kKey2Space[Pick(std::size(kKey2Space))];
    } else {
      key.text = kKey1Space[Pick(std::size(kKey1Space))];
    }
    const int len = static_cast<int>(key.text.size());
    const int roll = static_cast<int>(Pick(100));
    if (roll < 45) {
      key.len = -1;
    } else if (roll < 75) {
      key.len = len;
    } else if (roll < 83) {
      key.len = Chance(80) ? len + 1 + static_cast<int>(Pick(5)) : INT_MAX;  // clamped
    } else if (roll < 91) {
      key.len = len > 1 ? 1 + static_cast<int>(Pick(len - 1)) : -1;  // a prefix
    } else {
      switch (Pick(4)) {
        case 0:
          key.null = true;
          break;
        case 1:
          key.text.clear();
          break;
        case 2:
          key.len = 0;
          break;
        default:
          key.len = -2 - static_cast<int>(Pick(100));
          break;
      }
    }
    return key;
  }
  const char* KeyPointer(const LookupKey& key) const {
    return key.null ? nullptr : key.text.c_str();
  }

  int ModelLookup(bool by_key2, const LookupKey& key) {
    return model_.Lookup(by_key2, KeyPointer(key), key.len);
  }

  // Moves what the model released in its last operation to the expected
  // release sequence; the elements become free for reuse.
  void CollectReleases() {
    for (generic_cache_element_t* element : model_.TakeExpectedReleases()) {
      expected_releases_.push_back(element);
      free_.push_back(OwnedElement::FromElement(element));
    }
  }

  void ModelRemove(std::size_t index) {
    model_.Remove(index);
    CollectReleases();
  }

  // A fresh, well-formed element from the free list.
  OwnedElement* NewElement() {
    OwnedElement* owner = free_.back();
    free_.pop_back();
    const char* key1 = kKey1Space[Pick(std::size(kKey1Space))];
    const char* key2 = Chance(60) ? kKey2Space[Pick(std::size(kKey2Space))] : nullptr;
    int32_t data_len = static_cast<int32_t>(Pick(41));
    if (Chance(3)) data_len = config_.element_budget;  // cannot fit even alone
    owner->Reset(key1, key2, data_len, Chance(50) ? -1 : static_cast<int32_t>(std::strlen(key1)),
                 key2 != nullptr && Chance(50) ? static_cast<int32_t>(std::strlen(key2)) : -1);
    return owner;
  }

  // Returns the expected result of insertion.
  int ModelInsert(OwnedElement* owner) {
    const int result = model_.Insert(owner->get());
    CollectReleases();
    if (result != 0) free_.push_back(owner);
    return result;
  }

  // One random operation, applied to both; returns its description.
  std::string Step() {
    const int roll = static_cast<int>(Pick(1000));
    if (roll < 250) return StepUpdate(roll % 5 < 2);
    if (roll < 450) return StepFind(roll % 3 == 0);
    if (roll < 580) return StepDelete(roll % 3 == 0);
    if (roll < 760) return StepPromote(roll % 3 == 0);
    if (roll < 985) return StepRename(roll % 2 == 0);
    if (roll < 993) return StepDump();
    return StepClear();
  }

  std::string StepUpdate(bool by_key2) {
    OwnedElement* owner = NewElement();
    LookupKey key = RandomLookupKey(by_key2);
    if (Chance(40)) {  // the usual call: replace whatever holds the new key
      key = LookupKey();
      const char* own = by_key2 ? owner->get()->key2 : owner->get()->key1;
      if (own != nullptr) key.text = own;
      key.null = own == nullptr;
    }
    const int found = ModelLookup(by_key2, key);
    if (found >= 0) ModelRemove(static_cast<std::size_t>(found));
    expected_result_ = ModelInsert(owner);
    result_ = by_key2
                  ? generic_cache_update_with_key2(cache_, KeyPointer(key), key.len, owner->get())
                  : generic_cache_update_with_key1(cache_, KeyPointer(key), key.len, owner->get());
    return Describe(by_key2 ? "update_with_key2" : "update_with_key1", key) + " inserting " +
           owner->get()->key1 + "/" + (owner->get()->key2 ? owner->get()->key2 : "(null)") +
           " data_len " + std::to_string(owner->get()->data_len);
  }

  std::string StepFind(bool by_key2) {
    LookupKey key = RandomLookupKey(by_key2);
    const int found = ModelLookup(by_key2, key);
    generic_cache_element_t* expected = found >= 0 ? model_.entries()[found].element : nullptr;
    generic_cache_element_t* actual =
        by_key2 ? generic_cache_find_element_with_key2(cache_, KeyPointer(key), key.len)
                : generic_cache_find_element_with_key1(cache_, KeyPointer(key), key.len);
    expected_result_ = 0;
    result_ = actual == expected ? 0 : 1;
    return Describe(by_key2 ? "find_with_key2" : "find_with_key1", key);
  }

  std::string StepDelete(bool by_key2) {
    LookupKey key = RandomLookupKey(by_key2);
    const int found = ModelLookup(by_key2, key);
    if (found >= 0) ModelRemove(static_cast<std::size_t>(found));
    expected_result_ = found >= 0 ? 0 : 1;
    result_ = by_key2 ? generic_cache_delete_with_key2(cache_, KeyPointer(key), key.len)
                      : generic_cache_delete_with_key1(cache_, KeyPointer(key), key.len);
    return Describe(by_key2 ? "delete_with_key2" : "delete_with_key1", key);
  }

  std::string StepPromote(bool by_key2) {
    LookupKey key = RandomLookupKey(by_key2);
    const int found = ModelLookup(by_key2, key);
    if (found > 0) model_.Promote(static_cast<std::size_t>(found));
    expected_result_ = found >= 0 ? 0 : 1;
    result_ = by_key2 ? generic_cache_update_pos_with_key2(cache_, KeyPointer(key), key.len)
                      : generic_cache_update_pos_with_key1(cache_, KeyPointer(key), key.len);
    return Describe(by_key2 ? "update_pos_with_key2" : "update_pos_with_key1", key);
  }

  std::string StepRename(bool key2_walk) {
    RenameScript script{&rng_, key2_walk, {}};
    result_ = key2_walk ? generic_cache_rename_all_key2_if(cache_, &ScriptedRename, &script)
                        : generic_cache_rename_all_key1_if(cache_, &ScriptedRename, &script);
    expected_result_ = 0;
    const bool flag = key2_walk ? config_.key2_case_sensitive : config_.key1_case_sensitive;
    std::size_t offered = 0;
    bool stopped = false;
    const std::size_t cached = model_.entries().size();
    for (const RenameAction& action : script.actions) {
      if (stopped || offered >= cached) {
        ADD_FAILURE() << "rename function called after the walk should have ended";
        break;
      }
      const std::size_t index = offered++;
      EXPECT_EQ(action.element, model_.entries()[index].element)
          << "element offered out of recency order";
      EXPECT_EQ(action.case_flag, flag);
      expected_result_ = action.code;
      if (action.code > 0) stopped = true;
      if (action.code != 0) continue;
      CacheReferenceModel::RenameOutcome outcome;
      outcome.changed = action.changed;
      outcome.new_key_null = action.new_key_null;
      outcome.new_key = action.new_key;
      model_.Rename(index, key2_walk, outcome);
    }
    if (!stopped) {
      EXPECT_EQ(offered, cached) << "the walk skipped elements";
    }
    return std::string(key2_walk ? "rename_all_key2_if" : "rename_all_key1_if") + " over " +
           std::to_string(cached) + " elements";
  }

  std::string StepDump() {
    model_.ExpectMessages(model_.DumpMessages());
    generic_cache_dump_cache(cache_);
    expected_result_ = result_ = 0;
    return "dump";
  }

  std::string StepClear() {
    for (const Entry& e : model_.entries()) free_.push_back(OwnedElement::FromElement(e.element));
    model_.Clear();
    expected_releases_ = model_.TakeExpectedReleases();
    generic_cache_remove_all(cache_);
    expected_result_ = result_ = 0;
    return "remove_all";
  }

  static std::string Describe(const char* op, const LookupKey& key) {
    return std::string(op) + "(" + (key.null ? "null" : "\"" + key.text + "\"") + ", " +
           std::to_string(key.len) + ")";
  }

  void Check(const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(result_, expected_result_) << "result";
    EXPECT_EQ(ReleaseRecorder::TakeElements(), expected_releases_) << "release sequence";
    expected_releases_.clear();

    std::vector<testing_support::LoggedMessage> messages = log_->messages();
    log_->clear();
    const std::vector<ExpectedMessage> expected_log = model_.TakeExpectedLog();
    EXPECT_EQ(messages.size(), expected_log.size()) << "number of log messages";
    for (std::size_t i = 0; i < std::min(messages.size(), expected_log.size()); ++i) {
      EXPECT_EQ(messages[i].level, expected_log[i].level);
      EXPECT_EQ(messages[i].function, expected_log[i].signature);
      EXPECT_EQ(messages[i].text, expected_log[i].text);
    }

    generic_cache_stats actual;
    generic_cache_get_stats(cache_, &actual);
    const generic_cache_stats expected = model_.Stats();
    EXPECT_EQ(actual.num_entries, expected.num_entries);
    EXPECT_EQ(actual.cur_bytes, expected.cur_bytes);
    EXPECT_EQ(actual.num_buckets, expected.num_buckets);
    EXPECT_EQ(actual.num_inserts, expected.num_inserts);
    EXPECT_EQ(actual.num_removes, expected.num_removes);
    EXPECT_EQ(actual.num_renames, expected.num_renames);
    EXPECT_EQ(actual.num_hits, expected.num_hits);
    EXPECT_EQ(actual.num_misses, expected.num_misses);
    EXPECT_EQ(actual.num_collisions, expected.num_collisions);

    std::vector<generic_cache_element_t*> recency;
    testing_support::ApplyQueuedPromotions(cache_);
    for (const generic_cache_item* node = cache_->lru_head;
         node != nullptr && recency.size() < 1000; node = node->lru_next) {
      recency.push_back(node->element);
    }
    std::vector<generic_cache_element_t*> expected_recency;
    for (const Entry& e : model_.entries()) expected_recency.push_back(e.element);
    EXPECT_EQ(recency, expected_recency) << "recency order";
    EXPECT_EQ(testing_support::CheckInvariants(cache_), "");
  }

  const ModelConfig config_;
  std::mt19937_64 rng_;
  testing_support::CaptureLogWriter* log_;
  const int max_bytes_;
  CacheReferenceModel model_;
  generic_cache_t* cache_ = nullptr;

  std::vector<std::unique_ptr<OwnedElement>> owners_;
  std::vector<OwnedElement*> free_;  // elements the cache does not hold
  std::vector<generic_cache_element_t*> expected_releases_;
  int result_ = 0;
  int expected_result_ = 0;
};

class CacheModelTest : public ::testing::TestWithParam<ModelConfig> {};

std::vector<uint64_t> Seeds() {
  if (const char* chosen = std::getenv("CACHE_MODEL_SEED")) {
    return {std::strtoull(chosen, nullptr, 10)};
  }
  return {1, 20261208, 977, 4242};
}

TEST_P(CacheModelTest, AgreesWithTheReferenceModel) {
  const ModelConfig& config = GetParam();
  for (uint64_t seed : Seeds()) {
    ReleaseRecorder::Clear();
    testing_support::ScopedCaptureLog log(10);
    {
      ModelRun run(config, seed, &*log);
      run.Run(4000);
    }
    if (HasFailure()) {
      FAIL() << "config " << config.name << ", seed " << seed
             << ": replay with CACHE_MODEL_SEED=" << seed;
    }
  }
}

const ModelConfig kConfigs[] = {
    {"OneBucketCaseSensitive", 1, true, true, 900},
    {"FourBucketsCaseInsensitive", 4, false, false, 900},
    {"EightBucketsMixedCase", 8, true, false, 900},
    {"SixteenBucketsMixedCase", 16, false, true, 1200},
};

INSTANTIATE_TEST_SUITE_P(Configs, CacheModelTest, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<ModelConfig>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
