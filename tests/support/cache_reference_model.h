// A reference model of the cache, which cache_model_driver.h runs for the
// randomized model test and the cache fuzz target: it keeps the cached
// elements' keys, bucket indexes, chain order, recency order and charges in
// plain containers and predicts, for each operation, the result, every
// statistics field, the elements handed to the release callback (in order)
// and the log messages.
//
// The model only predicts; the caller drives the real cache with the same
// operation and compares. It reads an element's fields only in Insert and
// afterwards keeps copies, so the caller may reuse an element as soon as the
// model has listed it as released.
#ifndef OBJSTORE_TESTS_SUPPORT_CACHE_REFERENCE_MODEL_H_
#define OBJSTORE_TESTS_SUPPORT_CACHE_REFERENCE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cache/mem_cache.h"

namespace testing_support {

struct ExpectedMessage {
  int level;
  std::string signature;
  std::string text;
};

class CacheReferenceModel {
 public:
  struct Config {
    int32_t buckets;  // a power of two
    bool key1_case_sensitive;
    bool key2_case_sensitive;
    int64_t max_bytes;
    // The tables' hash functions; null stands for the default hash of the
    // table's case flag (computed by an independent reference, not the
    // cache's own function).
    HashFunc key1_hash = nullptr;
    HashFunc key2_hash = nullptr;
  };

  struct Entry {
    generic_cache_element_t* element;
    std::string key1;
    std::string key2;
    bool has_key2;
    // key2's length; without key2, whatever the caller left there (-1 as a
    // rule), which is charged as it is.
    int32_t key2_len;
    int32_t data_len;
    const void* data;  // printed by the dump
    int32_t bucket1;
    int32_t bucket2;  // -1 without key2
    uint64_t seq1;    // larger: nearer the head of its chain
    uint64_t seq2;
  };

  // What a rename function did to an element it answered 0 for.
  struct RenameOutcome {
    bool changed = false;       // false: relinked under the same key
    bool new_key_null = false;  // key2 walks only: the secondary key was removed
    std::string new_key;
  };

  explicit CacheReferenceModel(const Config& config);

  int32_t Bucket1(const std::string& key, int32_t len) const;
  int32_t Bucket2(const std::string& key, int32_t len) const;

  // A lookup with the cache's validation of the key: the index into
  // entries() of the element that must be found, or -1. Counts the hit or
  // miss, or expects the invalid-key message (and counts nothing).
  int Lookup(bool by_key2, const char* key, int len);

  // Removes entries()[index] as a deletion, replacement or eviction does.
  void Remove(std::size_t index);

  // Insertion of `element` (well-formed: key1 non-empty, key2 null or
  // non-empty, key lengths -1 or exact; a null key2 may come with any
  // key2_len from -1 up). Evicts from the least recently used end
  // as needed. Returns the expected result, 0 or 1; on 1 the caller still
  // owns the element.
  int Insert(generic_cache_element_t* element);

  // Makes entries()[index] the most recently used.
  void Promote(std::size_t index);

  // A rename function answered 0 for entries()[index] during a walk over
  // key1 (or key2): relink it under its new (or unchanged) key.
  void Rename(std::size_t index, bool key2_walk, const RenameOutcome& outcome);

  // Clearing: every element released in primary-table order, the counters
  // kept.
  void Clear();

  // The lines a dump writes at level 4, in order.
  std::vector<ExpectedMessage> DumpMessages() const;

  // The cached elements in the order of the primary table: bucket by bucket,
  // each chain from its head. Clearing and destruction release them so.
  std::vector<generic_cache_element_t*> PrimaryTableOrder() const;

  // The statistics the cache must report now.
  generic_cache_stats Stats() const;
  int64_t Bytes() const;

  // Most recently used first.
  const std::vector<Entry>& entries() const { return lru_; }
  const Config& config() const { return config_; }

  // The releases and log messages expected since the last Take, in order.
  std::vector<generic_cache_element_t*> TakeExpectedReleases();
  std::vector<ExpectedMessage> TakeExpectedLog();
  void ExpectMessages(const std::vector<ExpectedMessage>& messages);

 private:
  static int64_t Charge(const Entry& e);
  bool KeysEqual(bool by_key2, const std::string& a, const char* b) const;
  int OthersInBucket(bool secondary, int32_t bucket, const Entry* self) const;
  // Bucket by bucket, each chain from its head.
  std::vector<const Entry*> PrimaryEntries() const;

  Config config_;
  std::vector<Entry> lru_;
  uint64_t link_sequence_ = 0;
  generic_cache_stats stats_{};
  std::vector<generic_cache_element_t*> expected_releases_;
  std::vector<ExpectedMessage> expected_log_;
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_CACHE_REFERENCE_MODEL_H_
