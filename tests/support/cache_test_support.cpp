#include "tests/support/cache_test_support.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

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

// Rename functions that change nothing: one stops the walk at once, the other
// collects the key1 of every element offered.
int32_t StopAtOnce(generic_cache_element_t*, void*, bool) { return 1; }

int32_t CollectKey1(generic_cache_element_t* element, void* keys, bool) {
  static_cast<std::vector<std::string>*>(keys)->push_back(element->key1 != nullptr ? element->key1
                                                                                   : "(null)");
  return -1;  // unchanged: offer the next
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

void ApplyQueuedPromotions(generic_cache_t* cache) {
  generic_cache_rename_all_key1_if(cache, StopAtOnce, nullptr);
}

std::vector<std::string> RecencyOrder(generic_cache_t* cache) {
  std::vector<std::string> keys;
  generic_cache_rename_all_key1_if(cache, CollectKey1, &keys);
  return keys;
}

}  // namespace testing_support
