// Helpers shared by the cache tests: elements whose keys the test owns, a
// release callback that records what it receives, reference charges and
// hashes. The signature texts and the invariant check come from the cache's
// internal header.
#ifndef OBJSTORE_TESTS_SUPPORT_CACHE_TEST_SUPPORT_H_
#define OBJSTORE_TESTS_SUPPORT_CACHE_TEST_SUPPORT_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cache/mem_cache.h"
#include "cache/mem_cache_internal.h"

namespace testing_support {

// An element with writable key storage owned by the test. Its address never
// changes, so the cache may hold it for as long as the object lives. `data`
// points at the object itself, which gives every element a distinct payload
// pointer for the dump and lets callbacks find their way back.
class OwnedElement {
 public:
  // A null key leaves the pointer null; lengths are stored as given.
  OwnedElement(const char* key1, const char* key2, int32_t data_len, int32_t key1_len = -1,
               int32_t key2_len = -1);
  OwnedElement(const OwnedElement&) = delete;
  OwnedElement& operator=(const OwnedElement&) = delete;

  generic_cache_element_t* get() { return &element_; }
  const generic_cache_element_t* get() const { return &element_; }

  // Points the key at fresh storage holding `key` (null clears the pointer).
  // The old storage is freed, as a rename function may do with a key it
  // replaced. Lengths are not touched.
  void ReplaceKey1(const char* key);
  void ReplaceKey2(const char* key);
  // Resets every field, for reuse after the cache has released the element.
  void Reset(const char* key1, const char* key2, int32_t data_len, int32_t key1_len = -1,
             int32_t key2_len = -1);

  static OwnedElement* FromElement(const generic_cache_element_t* element) {
    return static_cast<OwnedElement*>(element->data);
  }

 private:
  generic_cache_element_t element_;
  std::vector<char> key1_storage_;
  std::vector<char> key2_storage_;
};

// Owns every element a test creates.
class ElementPool {
 public:
  generic_cache_element_t* Make(const char* key1, const char* key2 = nullptr, int32_t data_len = 0,
                                int32_t key1_len = -1, int32_t key2_len = -1);
  OwnedElement& owner(const generic_cache_element_t* element) {
    return *OwnedElement::FromElement(element);
  }

 private:
  std::deque<std::unique_ptr<OwnedElement>> elements_;
};

// What the release callback received, in order. The keys are copied at the
// moment of release, since the caller may reuse the element afterwards.
struct ReleasedElement {
  generic_cache_element_t* element;
  std::string key1;
  std::string key2;  // "(null)" for an element without key2
};

// The release callback records into one process-wide log, since a
// CallBackFunc carries no user pointer. Thread-safe.
class ReleaseRecorder {
 public:
  static void Callback(generic_cache_element_t* element);
  static std::vector<ReleasedElement> Take();                   // returns and clears
  static std::vector<std::string> TakeKey1s();                  // key1 of each, in order
  static std::vector<generic_cache_element_t*> TakeElements();  // the elements, in order
  static std::size_t Count();
  static void Clear();
};

// Charges as the cache computes them, in 64 bits.
inline int64_t FixedCharge(int32_t num_buckets) {
  return 8 * (2 * static_cast<int64_t>(num_buckets) + 26);
}
inline int64_t ElementCharge(int32_t key1_len, int32_t key2_len, int32_t data_len) {
  return static_cast<int64_t>(key1_len) + key2_len + data_len + 98;
}
int64_t ElementCharge(const generic_cache_element_t* element);

// The default hashes, written out independently of the cache so that the
// tests can predict buckets.
int32_t ReferenceHash1(const char* key, int32_t len, bool case_sensitive);
int32_t ReferenceHash2(const char* key, int32_t len, bool case_sensitive);

// printf's "%p" rendering of `pointer`, as it appears in a message.
std::string PointerText(const void* pointer);

generic_cache_stats GetStats(generic_cache_t* cache);

// Applies the queued promotions (by a rename walk that stops at once and
// changes nothing), so that the handle's recency list is up to date.
void ApplyQueuedPromotions(generic_cache_t* cache);

// key1 of every cached element, most recently used first, as the rename walk
// offers them.
std::vector<std::string> RecencyOrder(generic_cache_t* cache);

// The cache's own invariant check, under the name the model driver uses.
inline std::string CheckInvariants(generic_cache_t* cache) {
  return mem_cache_check_invariants(cache);
}

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_CACHE_TEST_SUPPORT_H_
