#include "tests/support/cache_test_support.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

namespace testing_support {
namespace {

std::vector<char> StorageFor(const char* key) {
  if (key == nullptr) return {};
  return std::vector<char>(key, key + std::strlen(key) + 1);
}

char* PointerInto(std::vector<char>& storage, const char* key) {
  return key == nullptr ? nullptr : storage.data();
}

std::mutex& RecorderMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<ReleasedElement>& RecorderLog() {
  static std::vector<ReleasedElement> log;
  return log;
}

// Bytes count as signed chars, optionally lowered, and the sum wraps: the
// wrap is done in unsigned arithmetic so that the reference itself is free
// of undefined behaviour.
int32_t ByteValue(const char* key, int32_t pos, bool case_sensitive) {
  int value = static_cast<signed char>(key[pos]);
  if (!case_sensitive) value = std::tolower(value);
  return value;
}

int32_t SteppedSum(const char* key, int32_t len, int32_t step, bool case_sensitive) {
  uint32_t sum = static_cast<uint32_t>(ByteValue(key, len - 1, case_sensitive));
  for (int32_t pos = 0; pos < len; pos += step) {
    sum += static_cast<uint32_t>(ByteValue(key, pos, case_sensitive));
  }
  return static_cast<int32_t>(sum);
}

}  // namespace

OwnedElement::OwnedElement(const char* key1, const char* key2, int32_t data_len, int32_t key1_len,
                           int32_t key2_len) {
  Reset(key1, key2, data_len, key1_len, key2_len);
}

void OwnedElement::Reset(const char* key1, const char* key2, int32_t data_len, int32_t key1_len,
                         int32_t key2_len) {
  element_ = generic_cache_element_t{};
  ReplaceKey1(key1);
  ReplaceKey2(key2);
  element_.key1_len = key1_len;
  element_.key2_len = key2_len;
  element_.data = this;
  element_.data_len = data_len;
}

void OwnedElement::ReplaceKey1(const char* key) {
  std::vector<char> storage = StorageFor(key);
  key1_storage_.swap(storage);
  element_.key1 = PointerInto(key1_storage_, key);
}

void OwnedElement::ReplaceKey2(const char* key) {
  std::vector<char> storage = StorageFor(key);
  key2_storage_.swap(storage);
  element_.key2 = PointerInto(key2_storage_, key);
}

generic_cache_element_t* ElementPool::Make(const char* key1, const char* key2, int32_t data_len,
                                           int32_t key1_len, int32_t key2_len) {
  elements_.push_back(std::make_unique<OwnedElement>(key1, key2, data_len, key1_len, key2_len));
  return elements_.back()->get();
}

void ReleaseRecorder::Callback(generic_cache_element_t* element) {
  ReleasedElement record{element, element->key1 != nullptr ? element->key1 : "(null)",
                         element->key2 != nullptr ? element->key2 : "(null)"};
  std::lock_guard<std::mutex> guard(RecorderMutex());
  RecorderLog().push_back(std::move(record));
}

std::vector<ReleasedElement> ReleaseRecorder::Take() {
  std::lock_guard<std::mutex> guard(RecorderMutex());
  std::vector<ReleasedElement> out;
  out.swap(RecorderLog());
  return out;
}

std::vector<std::string> ReleaseRecorder::TakeKey1s() {
  std::vector<std::string> keys;
  for (const ReleasedElement& released : Take()) keys.push_back(released.key1);
  return keys;
}

std::vector<generic_cache_element_t*> ReleaseRecorder::TakeElements() {
  std::vector<generic_cache_element_t*> elements;
  for (const ReleasedElement& released : Take()) elements.push_back(released.element);
  return elements;
}

std::size_t ReleaseRecorder::Count() {
  std::lock_guard<std::mutex> guard(RecorderMutex());
  return RecorderLog().size();
}

void ReleaseRecorder::Clear() {
  std::lock_guard<std::mutex> guard(RecorderMutex());
  RecorderLog().clear();
}

int64_t ElementCharge(const generic_cache_element_t* element) {
  return ElementCharge(element->key1_len, element->key2_len, element->data_len);
}

int32_t ReferenceHash1(const char* key, int32_t len, bool case_sensitive) {
  return SteppedSum(key, len, 3, case_sensitive);
}

int32_t ReferenceHash2(const char* key, int32_t len, bool case_sensitive) {
  return SteppedSum(key, len, 2, case_sensitive);
}

std::string PointerText(const void* pointer) {
  char text[64];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

generic_cache_stats GetStats(generic_cache_t* cache) {
  generic_cache_stats stats;
  std::memset(&stats, 0xA5, sizeof stats);  // a field left uncopied shows up
  generic_cache_get_stats(cache, &stats);
  return stats;
}

namespace {
int32_t StopAtOnce(generic_cache_element_t*, void*, bool) { return 1; }
}  // namespace

void ApplyQueuedPromotions(generic_cache_t* cache) {
  generic_cache_rename_all_key1_if(cache, StopAtOnce, nullptr);
}

std::vector<std::string> RecencyOrder(generic_cache_t* cache) {
  ApplyQueuedPromotions(cache);
  std::vector<std::string> keys;
  for (const generic_cache_item* node = cache->lru_head; node != nullptr; node = node->lru_next) {
    keys.push_back(node->element->key1 != nullptr ? node->element->key1 : "(null)");
  }
  return keys;
}

std::string CheckInvariants(generic_cache_t* cache) {
  ApplyQueuedPromotions(cache);
  std::ostringstream problem;
  const int32_t buckets = cache->stats.num_buckets;
  if (buckets <= 0 || (buckets & (buckets - 1)) != 0) {
    problem << "num_buckets " << buckets << " is not a power of two";
    return problem.str();
  }

  // Recency list.
  std::set<const generic_cache_item*> listed;
  int64_t charges = 0;
  const generic_cache_item* previous = nullptr;
  for (const generic_cache_item* node = cache->lru_head; node != nullptr; node = node->lru_next) {
    if (node->lru_prev != previous) return "recency list: lru_prev does not point back";
    if (!listed.insert(node).second) return "recency list: a node appears twice (cycle)";
    if (listed.size() > static_cast<std::size_t>(cache->stats.num_entries) + 1) {
      return "recency list: longer than num_entries";
    }
    charges += ElementCharge(node->element);
    previous = node;
  }
  if (cache->lru_tail != previous) return "recency list: lru_tail is not the last node";
  if (listed.size() != static_cast<std::size_t>(cache->stats.num_entries)) {
    problem << "recency list holds " << listed.size() << " nodes, num_entries is "
            << cache->stats.num_entries;
    return problem.str();
  }
  const int64_t expected_bytes = FixedCharge(buckets) + charges;
  if (cache->stats.cur_bytes != static_cast<uint64_t>(expected_bytes)) {
    problem << "cur_bytes " << cache->stats.cur_bytes << ", expected " << expected_bytes;
    return problem.str();
  }

  // Primary chains: every listed node exactly once, in its own bucket.
  std::set<const generic_cache_item*> in_primary;
  for (int32_t index = 0; index < buckets; ++index) {
    const generic_cache_item* back = nullptr;
    for (const generic_cache_item* node = cache->key1_buckets[index]; node != nullptr;
         node = node->key1_next) {
      if (node->key1_prev != back) return "primary chain: key1_prev does not point back";
      if (listed.count(node) == 0) return "primary chain: holds a node not in the recency list";
      if (!in_primary.insert(node).second) return "primary chain: a node appears twice";
      const generic_cache_element* element = node->element;
      if (element->key1 == nullptr || element->key1[0] == 0) return "cached element with no key1";
      if (element->key1_len != static_cast<int32_t>(std::strlen(element->key1))) {
        return "cached element whose key1_len is not strlen(key1)";
      }
      if ((cache->key1_hash(element->key1, element->key1_len) & (buckets - 1)) != index) {
        problem << "element \"" << element->key1 << "\" is in primary bucket " << index
                << ", not the one its key hashes to";
        return problem.str();
      }
      back = node;
    }
  }
  if (in_primary.size() != listed.size()) return "a listed node is in no primary chain";

  // Secondary chains: exactly the nodes with a key2.
  std::set<const generic_cache_item*> in_secondary;
  for (int32_t index = 0; index < buckets; ++index) {
    const generic_cache_item* back = nullptr;
    for (const generic_cache_item* node = cache->key2_buckets[index]; node != nullptr;
         node = node->key2_next) {
      if (node->key2_prev != back) return "secondary chain: key2_prev does not point back";
      if (listed.count(node) == 0) return "secondary chain: holds a node not in the recency list";
      if (!in_secondary.insert(node).second) return "secondary chain: a node appears twice";
      const generic_cache_element* element = node->element;
      if (element->key2 == nullptr) return "secondary chain: holds an element without key2";
      if (element->key2_len != static_cast<int32_t>(std::strlen(element->key2))) {
        return "cached element whose key2_len is not strlen(key2)";
      }
      if ((cache->key2_hash(element->key2, element->key2_len) & (buckets - 1)) != index) {
        problem << "element \"" << element->key2 << "\" is in secondary bucket " << index
                << ", not the one its key hashes to";
        return problem.str();
      }
      back = node;
    }
  }
  for (const generic_cache_item* node : listed) {
    const bool has_key2 = node->element->key2 != nullptr;
    if (has_key2 && in_secondary.count(node) == 0) return "an element with key2 is unchained";
    if (!has_key2 && (node->key2_prev != nullptr || node->key2_next != nullptr)) {
      return "an element without key2 has secondary links";
    }
  }
  return "";
}

}  // namespace testing_support
