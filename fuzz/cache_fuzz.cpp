// The cache against the reference model shared with the model test. The input
// chooses a configuration (bucket count, budget, case flags, default, strong
// or constant hashes, with or without a release callback) and then a sequence
// of operations on both keys: updates, lookups, deletions, promotions, bulk
// renames, dumps and clearing. Keys come from a few bytes in both cases, and
// budgets are small, so evictions, duplicates, shared buckets and case
// folding happen all the time.
//
// After every operation the result, all nine statistics, the elements handed
// to the release callback (in order), the log messages, the recency order and
// the structure of both tables must agree with the model; at the end,
// destruction must release every remaining element exactly once, in the
// order of the primary table.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/mem_cache.h"
#include "fuzz/fuzz_input.h"
#include "host/LogWriter.h"
#include "tests/support/cache_reference_model.h"
#include "tests/support/cache_test_support.h"
#include "tests/support/capture_log_writer.h"

namespace {

using fuzzing::Fail;
using fuzzing::FuzzInput;
using testing_support::CacheReferenceModel;
using testing_support::OwnedElement;
using testing_support::ReleaseRecorder;

// Letters in both cases and a byte with the high bit set (a negative char,
// so hashes go negative too).
const std::string kKey1Bytes = "aAbB\xff";
const std::string kKey2Bytes = "sStT\x80";
constexpr int kPoolSize = 48;
constexpr int kMaxSteps = 1500;

// Puts every key of a run into one bucket, whatever the bucket count.
int32_t g_constant_hash = 0;
int32_t ConstantHash(const char* /*key*/, int32_t /*len*/) { return g_constant_hash; }

testing_support::CaptureLogWriter& Log() {
  static const boost::shared_ptr<testing_support::CaptureLogWriter> writer = [] {
    auto created = boost::make_shared<testing_support::CaptureLogWriter>(10);
    g_ptrLogWriter = created;
    return created;
  }();
  return *writer;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::string NewKey(FuzzInput& in, const std::string& bytes) {
  const std::size_t len = 1 + in.Below(4) % 3;  // 1 to 3, mostly short
  std::string key;
  for (std::size_t i = 0; i < len; ++i) key += bytes[in.Below(static_cast<unsigned>(bytes.size()))];
  return key;
}

// What the rename function did to one offered element.
struct RenameAction {
  generic_cache_element_t* element;
  bool case_flag;
  int32_t code;
  CacheReferenceModel::RenameOutcome outcome;
};

struct RenameScript {
  FuzzInput* in;
  bool key2_walk;
  std::vector<RenameAction> actions;
};

int32_t ScriptedRename(generic_cache_element* element, void* user_data, bool case_sensitive) {
  RenameScript* script = static_cast<RenameScript*>(user_data);
  FuzzInput& in = *script->in;
  RenameAction action{element, case_sensitive, 0, {}};
  const unsigned roll = in.Below(20);
  if (roll < 7) {
    action.code = -1 - static_cast<int32_t>(in.Below(3));
  } else if (roll < 8) {
    action.code = 1 + static_cast<int32_t>(in.Below(3));
  } else if (roll < 10) {
    action.code = 0;  // relinked without a change
  } else {
    action.outcome.changed = true;
    OwnedElement* owner = OwnedElement::FromElement(element);
    char*& key = script->key2_walk ? element->key2 : element->key1;
    if (script->key2_walk && in.Below(4) == 0) {
      action.outcome.new_key_null = true;
      owner->ReplaceKey2(nullptr);
    } else {
      action.outcome.new_key = NewKey(in, script->key2_walk ? kKey2Bytes : kKey1Bytes);
      const char* text = action.outcome.new_key.c_str();
      if (key != nullptr && action.outcome.new_key.size() <= std::strlen(key) && in.Bool()) {
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

// The bucket count creation must choose: the largest power of two not above
// max_bytes / (expected_entry_size + 96).
int32_t ExpectedBuckets(int max_bytes, int expected_entry_size) {
  int32_t n = max_bytes / (expected_entry_size + 96);
  int32_t buckets = 1;
  while (n > 1) {
    n >>= 1;
    buckets <<= 1;
  }
  return buckets;
}

class Run {
 public:
  Run(FuzzInput& in, generic_cache_t* cache, const CacheReferenceModel::Config& config,
      bool callback)
      : in_(in), cache_(cache), model_(config), callback_(callback) {
    for (int i = 0; i < kPoolSize; ++i) {
      owners_.push_back(std::make_unique<OwnedElement>("x", nullptr, 0));
      free_.push_back(owners_.back().get());
    }
  }

  void Steps() {
    // CACHE_FUZZ_TRACE=1 lists the decoded operations, to read a reproducer.
    static const bool trace = std::getenv("CACHE_FUZZ_TRACE") != nullptr;
    for (int step = 0; step < kMaxSteps && !in_.empty(); ++step) {
      const std::string what = Step();
      if (trace) std::fprintf(stderr, "step %d: %s\n", step, what.c_str());
      Check(what);
    }
    // Destruction hands back what is left, each element once.
    const std::vector<generic_cache_element_t*> expected =
        callback_ ? model_.PrimaryTableOrder() : std::vector<generic_cache_element_t*>();
    generic_cache_del_cache(cache_);
    cache_ = nullptr;
    if (ReleaseRecorder::TakeElements() != expected)
      Fail("destruction: release sequence differs from the model");
    if (!Log().messages().empty()) Fail("destruction logged");
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
    const unsigned pick = in_.Byte();
    const Entry* cached = lru.empty() ? nullptr : &lru[pick % lru.size()];
    if (cached != nullptr && pick < 160 && (!by_key2 || cached->has_key2)) {
      key.text = by_key2 ? cached->key2 : cached->key1;
      if (in_.Below(4) == 0) {
        for (char& c : key.text) {
          if (in_.Bool()) c = static_cast<char>(c ^ 0x20);  // flips the case of letters
        }
      }
    } else {
      key.text = NewKey(in_, by_key2 ? kKey2Bytes : kKey1Bytes);
    }
    const int len = static_cast<int>(key.text.size());
    const unsigned roll = in_.Below(32);
    if (roll < 14) {
      key.len = -1;
    } else if (roll < 23) {
      key.len = len;
    } else if (roll < 26) {
      key.len = in_.Below(4) == 0 ? INT_MAX : len + 1 + static_cast<int>(in_.Below(5));
    } else if (roll < 29) {
      key.len = len > 1 ? 1 + static_cast<int>(in_.Below(static_cast<unsigned>(len - 1))) : -1;
    } else {
      switch (in_.Below(4)) {
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
          key.len = -2 - static_cast<int>(in_.Below(100));
          break;
      }
    }
    return key;
  }
  static const char* KeyPointer(const LookupKey& key) {
    return key.null ? nullptr : key.text.c_str();
  }

  void CollectReleases() {
    for (generic_cache_element_t* element : model_.TakeExpectedReleases()) {
      if (callback_) expected_releases_.push_back(element);
      free_.push_back(OwnedElement::FromElement(element));
    }
  }

  OwnedElement* NewElement() {
    OwnedElement* owner = free_.back();
    free_.pop_back();
    const std::string key1 = NewKey(in_, kKey1Bytes);
    const bool has_key2 = in_.Below(5) >= 2;
    const std::string key2 = has_key2 ? NewKey(in_, kKey2Bytes) : std::string();
    int32_t data_len = static_cast<int32_t>(in_.Below(64));
    if (in_.Below(32) == 0) data_len = static_cast<int32_t>(in_.U16() % 3000);  // may never fit
    const bool give_len1 = in_.Bool();
    const bool give_len2 = in_.Bool();
    int32_t key2_len = has_key2 && give_len2 ? static_cast<int32_t>(key2.size()) : -1;
    // Beside a null key2 the length is the caller's and is charged as it is.
    if (!has_key2 && in_.Below(8) == 0) key2_len = static_cast<int32_t>(in_.Below(8));
    owner->Reset(key1.c_str(), has_key2 ? key2.c_str() : nullptr, data_len,
                 give_len1 ? static_cast<int32_t>(key1.size()) : -1, key2_len);
    return owner;
  }

  std::string Step() {
    const unsigned op = in_.Below(16);
    const bool by_key2 = op % 2 == 1;
    switch (op) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 14:
      case 15:
        return StepUpdate(by_key2);
      case 4:
      case 5:
        return StepFind(by_key2);
      case 6:
      case 7:
        return StepDelete(by_key2);
      case 8:
      case 9:
        return StepPromote(by_key2);
      case 10:
      case 11:
        return StepRename(by_key2);
      case 12:
        return StepDump();
      default:
        return StepClear();
    }
  }

  std::string StepUpdate(bool by_key2) {
    if (free_.empty()) return "update skipped: every element is cached";
    OwnedElement* owner = NewElement();
    LookupKey key;
    if (in_.Below(5) < 2) {  // the usual call: replace whatever holds the new key
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
           Printable(owner->get()->key1) + "/" +
           (owner->get()->key2 != nullptr ? Printable(owner->get()->key2) : "(null)") +
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

  std::string StepDelete(bool by_key2) {
    const LookupKey key = RandomLookupKey(by_key2);
    const int found = model_.Lookup(by_key2, KeyPointer(key), key.len);
    if (found >= 0) model_.Remove(static_cast<std::size_t>(found));
    CollectReleases();
    expected_result_ = found >= 0 ? 0 : 1;
    result_ = by_key2 ? generic_cache_delete_with_key2(cache_, KeyPointer(key), key.len)
                      : generic_cache_delete_with_key1(cache_, KeyPointer(key), key.len);
    return Describe(by_key2 ? "delete_with_key2" : "delete_with_key1", key);
  }

  std::string StepPromote(bool by_key2) {
    const LookupKey key = RandomLookupKey(by_key2);
    const int found = model_.Lookup(by_key2, KeyPointer(key), key.len);
    if (found > 0) model_.Promote(static_cast<std::size_t>(found));
    expected_result_ = found >= 0 ? 0 : 1;
    result_ = by_key2 ? generic_cache_update_pos_with_key2(cache_, KeyPointer(key), key.len)
                      : generic_cache_update_pos_with_key1(cache_, KeyPointer(key), key.len);
    return Describe(by_key2 ? "update_pos_with_key2" : "update_pos_with_key1", key);
  }

  std::string StepRename(bool key2_walk) {
    RenameScript script{&in_, key2_walk, {}};
    result_ = key2_walk ? generic_cache_rename_all_key2_if(cache_, &ScriptedRename, &script)
                        : generic_cache_rename_all_key1_if(cache_, &ScriptedRename, &script);
    const std::string what = std::string(key2_walk ? "rename_all_key2_if" : "rename_all_key1_if") +
                             " over " + std::to_string(model_.entries().size()) + " elements";
    const bool flag = key2_walk ? model_.config().key2_case_sensitive
                                : model_.config().key1_case_sensitive;
    const std::size_t cached = model_.entries().size();
    expected_result_ = 0;
    bool stopped = false;
    std::size_t offered = 0;
    for (const RenameAction& action : script.actions) {
      if (stopped || offered >= cached) Fail(what + ": called after the walk should have ended");
      const std::size_t index = offered++;
      if (action.element != model_.entries()[index].element) {
        Fail(what + ": element offered out of recency order");
      }
      if (action.case_flag != flag) Fail(what + ": wrong case flag passed");
      expected_result_ = action.code;
      if (action.code > 0) stopped = true;
      if (action.code == 0) model_.Rename(index, key2_walk, action.outcome);
    }
    if (!stopped && offered != cached) Fail(what + ": the walk skipped elements");
    return what;
  }

  std::string StepDump() {
    const int level = in_.Bool() ? 4 : 3;
    if (level >= 4) model_.ExpectMessages(model_.DumpMessages());
    Log().set_level(level);
    generic_cache_dump_cache(cache_);
    Log().set_level(10);
    expected_result_ = result_ = 0;
    return "dump at level " + std::to_string(level);
  }

  std::string StepClear() {
    for (const Entry& e : model_.entries()) free_.push_back(OwnedElement::FromElement(e.element));
    model_.Clear();
    const std::vector<generic_cache_element_t*> released = model_.TakeExpectedReleases();
    if (callback_) expected_releases_ = released;
    generic_cache_remove_all(cache_);
    expected_result_ = result_ = 0;
    return "remove_all";
  }

  static std::string Describe(const char* op, const LookupKey& key) {
    return std::string(op) + "(" + (key.null ? "null" : "\"" + Printable(key.text) + "\"") + ", " +
           std::to_string(key.len) + ")";
  }

  void Check(const std::string& what) {
    if (result_ != expected_result_) {
      Fail(what + ": result " + std::to_string(result_) + ", expected " +
           std::to_string(expected_result_));
    }
    if (ReleaseRecorder::TakeElements() != expected_releases_)
      Fail(what + ": release sequence differs");
    expected_releases_.clear();

    const std::vector<testing_support::LoggedMessage> messages = Log().messages();
    Log().clear();
    const std::vector<testing_support::ExpectedMessage> expected_log = model_.TakeExpectedLog();
    if (messages.size() != expected_log.size()) {
      Fail(what + ": " + std::to_string(messages.size()) + " log messages, expected " +
           std::to_string(expected_log.size()) +
           (messages.empty() ? "" : "; first: " + messages[0].text));
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (messages[i].level != expected_log[i].level ||
          messages[i].function != expected_log[i].signature ||
          messages[i].text != expected_log[i].text) {
        Fail(what + ": logged \"" + messages[i].text + "\", expected \"" + expected_log[i].text +
             "\"");
      }
    }

    generic_cache_stats actual;
    std::memset(&actual, 0xA5, sizeof actual);
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
        Fail(what + ": " + field.name + " is " + std::to_string(field.actual) + ", expected " +
             std::to_string(field.expected));
      }
    }

    std::size_t position = 0;
    testing_support::ApplyQueuedPromotions(cache_);
    for (const generic_cache_item* node = cache_->lru_head; node != nullptr;
         node = node->lru_next, ++position) {
      if (position >= model_.entries().size() ||
          node->element != model_.entries()[position].element) {
        Fail(what + ": recency order differs at position " + std::to_string(position));
      }
    }
    if (position != model_.entries().size()) Fail(what + ": recency list too short");
    const std::string broken = testing_support::CheckInvariants(cache_);
    if (!broken.empty()) Fail(what + ": " + broken);
  }

  FuzzInput& in_;
  generic_cache_t* cache_;
  CacheReferenceModel model_;
  const bool callback_;
  std::vector<std::unique_ptr<OwnedElement>> owners_;
  std::vector<OwnedElement*> free_;  // elements the cache does not hold
  std::vector<generic_cache_element_t*> expected_releases_;
  int result_ = 0;
  int expected_result_ = 0;
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  Log().set_level(10);
  Log().clear();
  ReleaseRecorder::Clear();

  CacheReferenceModel::Config config{};
  config.buckets = 1 << in.Below(5);  // 1 to 16
  config.key1_case_sensitive = in.Bool();
  config.key2_case_sensitive = in.Bool();
  config.key1_hash = ChooseHash(in, config.key1_case_sensitive);
  config.key2_hash = ChooseHash(in, config.key2_case_sensitive);
  g_constant_hash = static_cast<int8_t>(in.Byte());
  const bool callback = in.Below(8) != 0;
  // Room for a few elements beside the fixed charge, sometimes none at all
  // (a negative budget leaves less than the fixed charge).
  const int budget = static_cast<int>(in.U16() % 2400) - 100;
  const int max_bytes = 8 * (2 * config.buckets + 26) + budget;
  const int entry_size = max_bytes / config.buckets - 96 > 0 ? max_bytes / config.buckets - 96 : 1;
  config.buckets = ExpectedBuckets(max_bytes, entry_size);
  config.max_bytes = max_bytes;

  generic_cache_t* cache = generic_cache_init_cache(
      max_bytes, entry_size, callback ? &ReleaseRecorder::Callback : nullptr, config.key1_hash,
      config.key2_hash, config.key1_case_sensitive, config.key2_case_sensitive);
  if (cache == nullptr) Fail("creation refused valid arguments");
  if (!Log().messages().empty()) Fail("creation logged");

  Run run(in, cache, config, callback);
  run.Steps();
  return 0;
}
