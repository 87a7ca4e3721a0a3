#include "tests/support/cache_model_driver.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"  // Quote: descriptions show keys with arbitrary bytes
#include "tests/support/cache_reference_model.h"
#include "tests/support/cache_test_support.h"

namespace testing_support {
namespace {

// More elements than the budgets of either caller can hold (about 25 at most),
// so that an update finds a free one.
constexpr int kPoolSize = 48;

// What the rename function did to one offered element.
struct RenameAction {
  generic_cache_element_t* element;
  bool case_flag;
  int32_t code;
  CacheReferenceModel::RenameOutcome outcome;
};

std::string NewKey(ChoiceSource& choices, const CacheModelConfig& config, bool key2) {
  const std::vector<std::string>& pieces = key2 ? config.key2_pieces : config.key1_pieces;
  // 1 to max_key_pieces, mostly short.
  const int count = 1 + static_cast<int>(choices.Below(4)) % config.max_key_pieces;
  std::string key;
  for (int i = 0; i < count; ++i) {
    key += pieces[choices.Below(static_cast<unsigned>(pieces.size()))];
  }
  return key;
}

struct RenameScript {
  ChoiceSource* choices;
  const CacheModelConfig* config;
  bool key2_walk;
  std::vector<RenameAction> actions;
};

int32_t ScriptedRename(generic_cache_element* element, void* user_data, bool case_sensitive) {
  RenameScript* script = static_cast<RenameScript*>(user_data);
  ChoiceSource& choices = *script->choices;
  RenameAction action{element, case_sensitive, 0, {}};
  const unsigned roll = choices.Below(20);
  if (roll < 7) {
    action.code = -1 - static_cast<int32_t>(choices.Below(3));
  } else if (roll < 8) {
    action.code = 1 + static_cast<int32_t>(choices.Below(3));
  } else if (roll < 10) {
    action.code = 0;  // relinked without a change
  } else {
    action.outcome.changed = true;
    OwnedElement* owner = OwnedElement::FromElement(element);
    char*& key = script->key2_walk ? element->key2 : element->key1;
    if (script->key2_walk && choices.Below(4) == 0) {
      action.outcome.new_key_null = true;
      owner->ReplaceKey2(nullptr);
    } else {
      action.outcome.new_key = NewKey(choices, *script->config, script->key2_walk);
      const char* text = action.outcome.new_key.c_str();
      if (key != nullptr && action.outcome.new_key.size() <= std::strlen(key) && choices.Bool()) {
        std::strcpy(key, text);  // rewritten in place, under the same pointer
      } else if (script->key2_walk) {
        owner->ReplaceKey2(text);
      } else {
        owner->ReplaceKey1(text);
      }
    }
  }
  script->actions.push_back(action);
  return action.code;
}

// The bucket count creation must choose.
int32_t ExpectedBuckets(int max_bytes, int expected_entry_size) {
  int32_t n = max_bytes / (expected_entry_size + 96);
  int32_t buckets = 1;
  while (n > 1) {
    n >>= 1;
    buckets <<= 1;
  }
  return buckets;
}

class ModelRun {
 public:
  ModelRun(const CacheModelConfig& config, ChoiceSource& choices, CaptureLogWriter& log)
      : config_(config),
        choices_(choices),
        log_(log),
        model_({ExpectedBuckets(config.max_bytes, config.expected_entry_size),
                config.key1_case_sensitive, config.key2_case_sensitive, config.max_bytes,
                config.key1_hash, config.key2_hash}) {
    for (int i = 0; i < kPoolSize; ++i) {
      owners_.push_back(std::make_unique<OwnedElement>("x", nullptr, 0));
      free_.push_back(owners_.back().get());
    }
  }
  // A run that stopped early still hands the cache back before the elements.
  ~ModelRun() {
    generic_cache_del_cache(cache_);
    ReleaseRecorder::Clear();
  }

  std::string Run() {
    ReleaseRecorder::Clear();
    log_.set_level(10);
    log_.clear();
    cache_ = generic_cache_init_cache(
        config_.max_bytes, config_.expected_entry_size,
        config_.release_callback ? &ReleaseRecorder::Callback : nullptr, config_.key1_hash,
        config_.key2_hash, config_.key1_case_sensitive, config_.key2_case_sensitive);
    if (cache_ == nullptr) return "creation refused valid arguments";
    if (!log_.messages().empty()) return "creation logged";
    for (int step = 0; step < config_.max_steps && !choices_.Exhausted(); ++step) {
      const std::string what = Step();
      if (config_.trace != nullptr) {
        std::fprintf(config_.trace, "step %d: %s\n", step, what.c_str());
      }
      const std::string mismatch = rename_mismatch_.empty() ? Check() : rename_mismatch_;
      if (!mismatch.empty()) return "step " + std::to_string(step) + ", " + what + ": " + mismatch;
    }
    // Destruction hands back what is left, each element once.
    const std::vector<generic_cache_element_t*> expected =
        config_.release_callback ? model_.PrimaryTableOrder()
                                 : std::vector<generic_cache_element_t*>();
    generic_cache_del_cache(cache_);
    cache_ = nullptr;
    if (ReleaseRecorder::TakeElements() != expected) {
      return "destruction: release sequence differs from the model";
    }
    if (!log_.messages().empty()) return "destruction logged";
    return "";
  }

 private:
  using Entry = CacheReferenceModel::Entry;

  struct LookupKey {
    std::string text;
    bool null = false;
    int len = -1;
  };

  // Often a cached key (perhaps in another case), with the length given in
  // every way a caller may give it, and now and then an invalid one.
  LookupKey RandomLookupKey(bool by_key2) {
    LookupKey key;
    const std::vector<Entry>& lru = model_.entries();
    const unsigned pick = choices_.Byte();
    const Entry* cached = lru.empty() ? nullptr : &lru[pick % lru.size()];
    if (cached != nullptr && pick < 160 && (!by_key2 || cached->has_key2)) {
      key.text = by_key2 ? cached->key2 : cached->key1;
      if (choices_.Below(4) == 0) {
        for (char& c : key.text) {
          if (choices_.Bool()) c = static_cast<char>(c ^ 0x20);  // flips the case of letters
        }
      }
    } else {
      key.text = NewKey(choices_, config_, by_key2);
    }
    const int len = static_cast<int>(key.text.size());
    const unsigned roll = choices_.Below(32);
    if (roll < 14) {
      key.len = -1;
    } else if (roll < 23) {
      key.len = len;
    } else if (roll < 26) {  // past the terminator: clamped
      key.len = choices_.Below(4) == 0 ? INT_MAX : len + 1 + static_cast<int>(choices_.Below(5));
    } else if (roll < 29) {  // a prefix
      key.len = len > 1 ? 1 + static_cast<int>(choices_.Below(static_cast<unsigned>(len - 1))) : -1;
    } else {
      switch (choices_.Below(4)) {
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
          key.len = -2 - static_cast<int>(choices_.Below(100));
          break;
      }
    }
    return key;
  }
  static const char* KeyPointer(const LookupKey& key) {
    return key.null ? nullptr : key.text.c_str();
  }

  // Moves what the model released in its last operation to the expected
  // release sequence; the elements become free for reuse.
  void CollectReleases() {
    for (generic_cache_element_t* element : model_.TakeExpectedReleases()) {
      if (config_.release_callback) expected_releases_.push_back(element);
      free_.push_back(OwnedElement::FromElement(element));
    }
  }

  // A fresh, well-formed element from the free list.
  OwnedElement* NewElement() {
    OwnedElement* owner = free_.back();
    free_.pop_back();
    const std::string key1 = NewKey(choices_, config_, false);
    const bool has_key2 = choices_.Below(5) >= 2;
    const std::string key2 = has_key2 ? NewKey(choices_, config_, true) : std::string();
    int32_t data_len = static_cast<int32_t>(choices_.Below(64));
    // Now and then one that may never fit.
    if (choices_.Below(32) == 0) data_len = static_cast<int32_t>(choices_.U16() % 3000);
    const bool give_len1 = choices_.Bool();
    const bool give_len2 = choices_.Bool();
    int32_t key2_len = has_key2 && give_len2 ? static_cast<int32_t>(key2.size()) : -1;
    // Beside a null key2 the length is the caller's and is charged as it is.
    if (!has_key2 && choices_.Below(8) == 0) key2_len = static_cast<int32_t>(choices_.Below(8));
    owner->Reset(key1.c_str(), has_key2 ? key2.c_str() : nullptr, data_len,
                 give_len1 ? static_cast<int32_t>(key1.size()) : -1, key2_len);
    return owner;
  }

  // One operation, applied to both; returns its description.
  std::string Step() {
    const unsigned op = choices_.Below(16);
    const bool by_key2 = op % 2 == 1;
    switch (op) {
      case 4:
      case 5:
        return StepFind(by_key2);
      case 6:
      case 7:
      case 8:
      case 9:
        return StepDeleteOrPromote(op < 8, by_key2);
      case 10:
      case 11:
        return StepRename(by_key2);
      case 12:
        return StepDump();
      case 13:
        return StepClear();
      default:
        return StepUpdate(by_key2);
    }
  }

  std::string StepUpdate(bool by_key2) {
    expected_result_ = result_ = 0;
    if (free_.empty()) return "update skipped: every element is cached";
    OwnedElement* owner = NewElement();
    LookupKey key;
    if (choices_.Below(5) < 2) {  // the usual call: replace whatever holds the new key
      const char* own = by_key2 ? owner->get()->key2 : owner->get()->key1;
      key.null = own == nullptr;
      if (own != nullptr) key.text = own;
    } else {
      key = RandomLookupKey(by_key2);
    }
    const int found = model_.Lookup(by_key2, KeyPointer(key), key.len);
    if (found >= 0) model_.Remove(static_cast<std::size_t>(found));
    expected_result_ = model_.Insert(owner->get());
    CollectReleases();
    if (expected_result_ != 0) free_.push_back(owner);
    result_ = by_key2
                  ? generic_cache_update_with_key2(cache_, KeyPointer(key), key.len, owner->get())
                  : generic_cache_update_with_key1(cache_, KeyPointer(key), key.len, owner->get());
    return Describe(by_key2 ? "update_with_key2" : "update_with_key1", key) + " inserting " +
           fuzzing::Quote(owner->get()->key1) + "/" +
           (owner->get()->key2 != nullptr ? fuzzing::Quote(owner->get()->key2) : "(null)") +
           " data_len " + std::to_string(owner->get()->data_len);
  }

  std::string StepFind(bool by_key2) {
    const LookupKey key = RandomLookupKey(by_key2);
    const int found = model_.Lookup(by_key2, KeyPointer(key), key.len);
    generic_cache_element_t* expected = found >= 0 ? model_.entries()[found].element : nullptr;
    generic_cache_element_t* actual =
        by_key2 ? generic_cache_find_element_with_key2(cache_, KeyPointer(key), key.len)
                : generic_cache_find_element_with_key1(cache_, KeyPointer(key), key.len);
    expected_result_ = 0;
    result_ = actual == expected ? 0 : 1;
    return Describe(by_key2 ? "find_with_key2" : "find_with_key1", key);
  }

  // A deletion or a promotion: 0 iff the key is cached.
  std::string StepDeleteOrPromote(bool remove, bool by_key2) {
    using KeyedCall = int (*)(generic_cache_t*, const char*, int);
    static const KeyedCall kCalls[2][2] = {
        {generic_cache_update_pos_with_key1, generic_cache_update_pos_with_key2},
        {generic_cache_delete_with_key1, generic_cache_delete_with_key2}};
    static const char* const kNames[2][2] = {{"update_pos_with_key1", "update_pos_with_key2"},
                                             {"delete_with_key1", "delete_with_key2"}};
    const LookupKey key = RandomLookupKey(by_key2);
    const int found = model_.Lookup(by_key2, KeyPointer(key), key.len);
    if (found >= 0 && remove) model_.Remove(static_cast<std::size_t>(found));
    if (found > 0 && !remove) model_.Promote(static_cast<std::size_t>(found));
    CollectReleases();
    expected_result_ = found >= 0 ? 0 : 1;
    result_ = kCalls[remove][by_key2](cache_, KeyPointer(key), key.len);
    return Describe(kNames[remove][by_key2], key);
  }

  // The walk must offer every element in recency order with the table's case
  // flag, and stop right after a positive answer.
  std::string StepRename(bool key2_walk) {
    RenameScript script{&choices_, &config_, key2_walk, {}};
    result_ = key2_walk ? generic_cache_rename_all_key2_if(cache_, &ScriptedRename, &script)
                        : generic_cache_rename_all_key1_if(cache_, &ScriptedRename, &script);
    const bool flag = key2_walk ? config_.key2_case_sensitive : config_.key1_case_sensitive;
    const std::size_t cached = model_.entries().size();
    expected_result_ = 0;
    bool stopped = false;
    std::size_t offered = 0;
    for (const RenameAction& action : script.actions) {
      if (stopped || offered >= cached) {
        rename_mismatch_ = "called after the walk should have ended";
        break;
      }
      const std::size_t index = offered++;
      if (action.element != model_.entries()[index].element) {
        rename_mismatch_ = "element offered out of recency order";
        break;
      }
      if (action.case_flag != flag) {
        rename_mismatch_ = "wrong case flag passed";
        break;
      }
      expected_result_ = action.code;
      if (action.code > 0) stopped = true;
      if (action.code == 0) model_.Rename(index, key2_walk, action.outcome);
    }
    if (rename_mismatch_.empty() && !stopped && offered != cached) {
      rename_mismatch_ = "the walk skipped elements";
    }
    return std::string(key2_walk ? "rename_all_key2_if" : "rename_all_key1_if") + " over " +
           std::to_string(cached) + " elements";
  }

  // Below level 4 the dump writes nothing.
  std::string StepDump() {
    const int level = choices_.Bool() ? 4 : 3;
    if (level >= 4) model_.ExpectMessages(model_.DumpMessages());
    log_.set_level(level);
    generic_cache_dump_cache(cache_);
    log_.set_level(10);
    expected_result_ = result_ = 0;
    return "dump at level " + std::to_string(level);
  }

  std::string StepClear() {
    for (const Entry& e : model_.entries()) free_.push_back(OwnedElement::FromElement(e.element));
    model_.Clear();
    const std::vector<generic_cache_element_t*> released = model_.TakeExpectedReleases();
    if (config_.release_callback) expected_releases_ = released;
    generic_cache_remove_all(cache_);
    expected_result_ = result_ = 0;
    return "remove_all";
  }

  static std::string Describe(const char* op, const LookupKey& key) {
    return std::string(op) + "(" + (key.null ? "null" : fuzzing::Quote(key.text)) + ", " +
           std::to_string(key.len) + ")";
  }

  // The first disagreement after a step, or an empty string.
  std::string Check() {
    if (result_ != expected_result_) {
      return "result " + std::to_string(result_) + ", expected " + std::to_string(expected_result_);
    }
    if (ReleaseRecorder::TakeElements() != expected_releases_) return "release sequence differs";
    expected_releases_.clear();

    const std::vector<LoggedMessage> messages = log_.messages();
    log_.clear();
    const std::vector<ExpectedMessage> expected_log = model_.TakeExpectedLog();
    if (messages.size() != expected_log.size()) {
      return std::to_string(messages.size()) + " log messages, expected " +
             std::to_string(expected_log.size()) +
             (messages.empty() ? "" : "; first: " + messages[0].text);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (messages[i].level != expected_log[i].level ||
          messages[i].function != expected_log[i].signature ||
          messages[i].text != expected_log[i].text) {
        return "logged \"" + messages[i].text + "\" at level " + std::to_string(messages[i].level) +
               ", expected \"" + expected_log[i].text + "\" at level " +
               std::to_string(expected_log[i].level);
      }
    }

    generic_cache_stats actual;
    std::memset(&actual, 0xA5, sizeof actual);  // every field must be written
    generic_cache_get_stats(cache_, &actual);
    const generic_cache_stats expected = model_.Stats();
    const struct {
      const char* name;
      uint64_t actual, expected;
    } fields[] = {
        {"num_entries", static_cast<uint64_t>(actual.num_entries),
         static_cast<uint64_t>(expected.num_entries)},
        {"cur_bytes", actual.cur_bytes, expected.cur_bytes},
        {"num_buckets", static_cast<uint64_t>(actual.num_buckets),
         static_cast<uint64_t>(expected.num_buckets)},
        {"num_inserts", actual.num_inserts, expected.num_inserts},
        {"num_removes", actual.num_removes, expected.num_removes},
        {"num_renames", actual.num_renames, expected.num_renames},
        {"num_hits", actual.num_hits, expected.num_hits},
        {"num_misses", actual.num_misses, expected.num_misses},
        {"num_collisions", actual.num_collisions, expected.num_collisions},
    };
    for (const auto& field : fields) {
      if (field.actual != field.expected) {
        return std::string(field.name) + " is " + std::to_string(field.actual) + ", expected " +
               std::to_string(field.expected);
      }
    }

    std::size_t position = 0;
    ApplyQueuedPromotions(cache_);
    for (const generic_cache_item* node = cache_->lru_head; node != nullptr;
         node = node->lru_next, ++position) {
      if (position >= model_.entries().size() ||
          node->element != model_.entries()[position].element) {
        return "recency order differs at position " + std::to_string(position);
      }
    }
    if (position != model_.entries().size()) return "recency list too short";
    return CheckInvariants(cache_);
  }

  const CacheModelConfig& config_;
  ChoiceSource& choices_;
  CaptureLogWriter& log_;
  CacheReferenceModel model_;
  generic_cache_t* cache_ = nullptr;
  std::vector<std::unique_ptr<OwnedElement>> owners_;
  std::vector<OwnedElement*> free_;  // elements the cache does not hold
  std::vector<generic_cache_element_t*> expected_releases_;
  std::string rename_mismatch_;  // what the last walk did wrong, if anything
  int result_ = 0;
  int expected_result_ = 0;
};

}  // namespace

std::string RunCacheModel(const CacheModelConfig& config, ChoiceSource& choices,
                          CaptureLogWriter& log) {
  return ModelRun(config, choices, log).Run();
}

}  // namespace testing_support
