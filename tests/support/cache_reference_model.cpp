#include "tests/support/cache_reference_model.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tests/support/cache_test_support.h"

namespace testing_support {

CacheReferenceModel::CacheReferenceModel(const Config& config) : config_(config) {
  stats_.num_buckets = config.buckets;
}

int32_t CacheReferenceModel::Bucket1(const std::string& key, int32_t len) const {
  const int32_t hash = config_.key1_hash != nullptr
                           ? config_.key1_hash(key.c_str(), len)
                           : ReferenceHash1(key.c_str(), len, config_.key1_case_sensitive);
  return hash & (config_.buckets - 1);
}

int32_t CacheReferenceModel::Bucket2(const std::string& key, int32_t len) const {
  const int32_t hash = config_.key2_hash != nullptr
                           ? config_.key2_hash(key.c_str(), len)
                           : ReferenceHash2(key.c_str(), len, config_.key2_case_sensitive);
  return hash & (config_.buckets - 1);
}

bool CacheReferenceModel::KeysEqual(bool by_key2, const std::string& a, const char* b) const {
  const bool sensitive = by_key2 ? config_.key2_case_sensitive : config_.key1_case_sensitive;
  return (sensitive ? std::strcmp(a.c_str(), b) : strcasecmp(a.c_str(), b)) == 0;
}

int64_t CacheReferenceModel::Charge(const Entry& e) {
  return ElementCharge(static_cast<int32_t>(e.key1.size()), e.key2_len, e.data_len);
}

int64_t CacheReferenceModel::Bytes() const {
  int64_t bytes = FixedCharge(config_.buckets);
  for (const Entry& e : lru_) bytes += Charge(e);
  return bytes;
}

int CacheReferenceModel::OthersInBucket(bool secondary, int32_t bucket, const Entry* self) const {
  int count = 0;
  for (const Entry& e : lru_) {
    if (&e != self && (secondary ? e.bucket2 : e.bucket1) == bucket) ++count;
  }
  return count;
}

int CacheReferenceModel::Lookup(bool by_key2, const char* key, int len) {
  // A length of 0 or below -1 cannot describe a non-empty key: the cache
  // refuses it like an empty key rather than hash outside the string.
  if (key == nullptr || key[0] == 0 || len == 0 || len < -1) {
    expected_log_.push_back({-1, by_key2 ? kFind2Signature : kFind1Signature,
                             "Error: key [" + PointerText(key) + "] is invalid or key[0] is 0."});
    return -1;
  }
  const std::string text = key;
  const int32_t full = static_cast<int32_t>(text.size());
  // A length past the terminator hashes the whole key, never beyond it.
  const int32_t hashed = (len == -1 || len > full) ? full : len;
  const int32_t bucket = by_key2 ? Bucket2(text, hashed) : Bucket1(text, hashed);
  int best = -1;
  for (std::size_t i = 0; i < lru_.size(); ++i) {
    const Entry& e = lru_[i];
    if (by_key2 && !e.has_key2) continue;
    if ((by_key2 ? e.bucket2 : e.bucket1) != bucket) continue;
    if (!KeysEqual(by_key2, by_key2 ? e.key2 : e.key1, key)) continue;
    if (best < 0 || (by_key2 ? e.seq2 > lru_[best].seq2 : e.seq1 > lru_[best].seq1)) {
      best = static_cast<int>(i);
    }
  }
  ++(best >= 0 ? stats_.num_hits : stats_.num_misses);
  return best;
}

void CacheReferenceModel::Remove(std::size_t index) {
  expected_releases_.push_back(lru_[index].element);
  lru_.erase(lru_.begin() + static_cast<std::ptrdiff_t>(index));
  ++stats_.num_removes;
}

int CacheReferenceModel::Insert(generic_cache_element_t* element) {
  Entry entry;
  entry.element = element;
  entry.key1 = element->key1;
  entry.has_key2 = element->key2 != nullptr;
  entry.key2 = entry.has_key2 ? element->key2 : "";
  entry.key2_len = entry.has_key2 ? static_cast<int32_t>(entry.key2.size()) : element->key2_len;
  entry.data_len = element->data_len;
  entry.data = element->data;
  entry.bucket1 = Bucket1(entry.key1, static_cast<int32_t>(entry.key1.size()));
  entry.bucket2 =
      entry.has_key2 ? Bucket2(entry.key2, static_cast<int32_t>(entry.key2.size())) : -1;
  const int64_t charge = Charge(entry);
  while (Bytes() + charge > config_.max_bytes) {
    if (lru_.empty()) {
      expected_log_.push_back({-1, kInsertSignature,
                               "Error: no room in cache for " + std::to_string(charge) + " bytes"});
      return 1;
    }
    Remove(lru_.size() - 1);
  }
  if (OthersInBucket(false, entry.bucket1, nullptr) > 0) ++stats_.num_collisions;
  if (entry.has_key2 && OthersInBucket(true, entry.bucket2, nullptr) > 0) {
    ++stats_.num_collisions;
  }
  entry.seq1 = entry.seq2 = ++link_sequence_;
  lru_.insert(lru_.begin(), entry);
  ++stats_.num_inserts;
  return 0;
}

void CacheReferenceModel::Promote(std::size_t index) {
  std::rotate(lru_.begin(), lru_.begin() + static_cast<std::ptrdiff_t>(index),
              lru_.begin() + static_cast<std::ptrdiff_t>(index) + 1);
}

void CacheReferenceModel::Rename(std::size_t index, bool key2_walk, const RenameOutcome& outcome) {
  Entry& e = lru_[index];
  if (outcome.changed && !key2_walk) {
    e.key1 = outcome.new_key;
    e.bucket1 = Bucket1(e.key1, static_cast<int32_t>(e.key1.size()));
  } else if (outcome.changed) {
    e.has_key2 = !outcome.new_key_null;
    e.key2 = outcome.new_key_null ? std::string() : outcome.new_key;
    e.bucket2 = e.has_key2 ? Bucket2(e.key2, static_cast<int32_t>(e.key2.size())) : -1;
  }
  // The walk measures the offered key afresh, changed or not; a missing key2
  // gets -1, so a length the caller left beside a null key2 stops counting.
  if (key2_walk) e.key2_len = e.has_key2 ? static_cast<int32_t>(e.key2.size()) : -1;
  // Relinked at the head of both chains, even the one whose key stayed.
  if (OthersInBucket(false, e.bucket1, &e) > 0) ++stats_.num_collisions;
  if (e.has_key2 && OthersInBucket(true, e.bucket2, &e) > 0) ++stats_.num_collisions;
  e.seq1 = e.seq2 = ++link_sequence_;
  ++stats_.num_renames;
}

std::vector<const CacheReferenceModel::Entry*> CacheReferenceModel::PrimaryEntries() const {
  std::vector<const Entry*> order;
  for (const Entry& e : lru_) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
    return a->bucket1 != b->bucket1 ? a->bucket1 < b->bucket1 : a->seq1 > b->seq1;
  });
  return order;
}

std::vector<generic_cache_element_t*> CacheReferenceModel::PrimaryTableOrder() const {
  std::vector<generic_cache_element_t*> elements;
  for (const Entry* e : PrimaryEntries()) elements.push_back(e->element);
  return elements;
}

void CacheReferenceModel::Clear() {
  std::vector<generic_cache_element_t*> order = PrimaryTableOrder();
  expected_releases_.insert(expected_releases_.end(), order.begin(), order.end());
  lru_.clear();
}

std::vector<ExpectedMessage> CacheReferenceModel::DumpMessages() const {
  std::vector<ExpectedMessage> lines;
  for (const Entry* e : PrimaryEntries()) {
    lines.push_back({4, kDumpSignature,
                     "Bucket[" + std::to_string(e->bucket1) + "]: key1 [" + e->key1 +
                         "], key1_len [" + std::to_string(e->key1.size()) + "], key2 [" +
                         (e->has_key2 ? e->key2 : std::string("(null)")) + "], key2_len [" +
                         std::to_string(e->key2_len) + "], data [" + PointerText(e->data) + "]"});
  }
  return lines;
}

generic_cache_stats CacheReferenceModel::Stats() const {
  generic_cache_stats stats = stats_;
  stats.num_entries = static_cast<int32_t>(lru_.size());
  stats.cur_bytes = static_cast<uint64_t>(Bytes());
  return stats;
}

std::vector<generic_cache_element_t*> CacheReferenceModel::TakeExpectedReleases() {
  std::vector<generic_cache_element_t*> out;
  out.swap(expected_releases_);
  return out;
}

std::vector<ExpectedMessage> CacheReferenceModel::TakeExpectedLog() {
  std::vector<ExpectedMessage> out;
  out.swap(expected_log_);
  return out;
}

void CacheReferenceModel::ExpectMessages(const std::vector<ExpectedMessage>& messages) {
  expected_log_.insert(expected_log_.end(), messages.begin(), messages.end());
}

}  // namespace testing_support
