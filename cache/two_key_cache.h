// A typed face over the two-key LRU cache of cache/mem_cache.h: values held
// as std::shared_ptr<V>, keys given as std::string_view, every release done
// by RAII. It adds no second cache: each entry is one heap object that owns
// copies of its keys and a std::shared_ptr<V> and embeds the element the
// procedural cache links; that cache's release callback deletes the entry.
// The budget, the charges, the recency order, the locking and the statistics
// are the procedural cache's, as mem_cache.h describes them.
//
//   objstore::TwoKeyCache<Inode> cache(64 << 20, 256);
//   cache.insert("/vol1/a", guid, std::make_shared<Inode>(...), sizeof(Inode));
//   std::shared_ptr<Inode> inode = cache.get("/vol1/a");   // null when absent
//   uint64_t size = 0;
//   cache.visit("/vol1/a", [&](const Inode& i) { size = i.size; });   // no reference count
//   cache.rename_prefix("/vol1", "/vol2");                 // "/vol1/a" -> "/vol2/a"
//
// Names. The members follow std::unordered_map where the meaning is the same
// (erase, clear) and LevelDB's Cache where a cache differs from a map:
// `insert` replaces the entry cached under the same key, as Cache::Insert
// does (a cache that kept the older value would go on serving a stale one),
// and `get` hands out a shared reference, as Cache::Lookup hands out a
// handle; it is not called `find`, which in the standard library returns an
// iterator. `visit` calls a function under the lock, as std::visit applies
// one; `touch` is the procedural update_pos. The secondary key's variants
// end in `_by_key2`.
//
// Keys. A key is non-empty and holds no NUL byte (the procedural cache keeps
// NUL-terminated keys): `insert` refuses any other, and lookups by one find
// nothing. Lookups, `touch` and `erase` take a key_ref: a std::string or a C
// string is read in place (hot paths should pass one), any other
// std::string_view is copied to a terminated buffer first, on the stack for
// keys below 128 bytes and on the heap (which may throw std::bad_alloc) above.
// Every entry should have a key2 of its own: a lookup by a key2 that two
// entries share finds one of them.
//
// Threads. Every member except the move operations and the destructor may be
// called from any number of threads at once. Lookups (`get`, `visit`,
// `stats`) take the cache's lock shared; they are const because the recency
// order and the counters they update are the cache's bookkeeping, not its
// contents. Everything else takes the lock exclusively.
//
// Values. A value lives as long as its last std::shared_ptr: one that a
// caller got from `get` survives the entry's eviction, and the entry's
// reference is dropped when the entry leaves the cache (eviction, `erase`,
// replacement, `clear`, destruction), under the cache's exclusive lock. So V's
// destructor must not throw (as std::shared_ptr requires of every deleter),
// and, when it may run under that lock, must not call into the same cache.
// Threads that share a value through `get` read it concurrently: V's const
// members must be safe for that.
#ifndef OBJSTORE_CACHE_TWO_KEY_CACHE_H_
#define OBJSTORE_CACHE_TWO_KEY_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "cache/mem_cache.h"

namespace objstore {

// How a table compares its keys: byte for byte, or with ASCII letters folded
// (strcasecmp in the "C" locale).
enum class KeyCase { kSensitive, kInsensitive };

// Which hashes the tables use. kStrong is generic_cache_hash_strong, or its
// case-folding _cis twin for a case-insensitive table: every byte counts, so
// paths and hexadecimal identifiers spread over all buckets. kAdditive is the
// procedural cache's default, which crowds such keys into a few buckets and is
// kept only for callers that must match an existing cache's layout.
enum class KeyHash { kStrong, kAdditive };

// Whether a lookup also marks the entry as most recently used. kPromote costs
// a queued move under the shared lock (see mem_cache.h); kKeep changes
// nothing, as the procedural lookups do.
enum class Recency { kKeep, kPromote };

namespace two_key_cache_detail {

class lookup_key;

// Whether the procedural cache can hold `key`: non-empty, no NUL byte, and a
// length that fits its int32_t fields.
inline bool is_valid_key(std::string_view key) {
  return !key.empty() && key.size() <= static_cast<std::size_t>(INT32_MAX) &&
         std::memchr(key.data(), '\0', key.size()) == nullptr;
}

}  // namespace two_key_cache_detail

// The key of a lookup, erasure or touch: any string_view, or a C string or
// std::string, whose terminator the procedural cache can use as it is,
// which spares the copy (a C string also the scan for an embedded NUL).
class key_ref {
 public:
  key_ref(std::string_view key) : view_(key) {}  // NOLINT: converts implicitly
  key_ref(const char* key) : c_str_(key) {}      // NOLINT
  key_ref(const std::string& key)                // NOLINT
      : view_(key), terminated_(true) {}

 private:
  friend class two_key_cache_detail::lookup_key;
  std::string_view view_;
  const char* c_str_ = nullptr;  // set for a C string only
  bool terminated_ = false;      // view_.data()[view_.size()] is NUL
};

namespace two_key_cache_detail {

// A lookup key as the procedural cache reads it: NUL-terminated. A key that
// no entry can have (see is_valid_key) gets a null text(), and the lookup
// ends there, so that the procedural cache neither logs it nor counts it.
class lookup_key {
 public:
  explicit lookup_key(const key_ref& ref) {
    if (ref.c_str_ != nullptr) {
      if (ref.c_str_[0] != '\0') text_ = ref.c_str_;  // len_ -1: the cache measures it
      return;
    }
    const std::string_view key = ref.view_;
    if (!is_valid_key(key)) return;
    len_ = static_cast<int>(key.size());
    if (ref.terminated_) {
      text_ = key.data();
      return;
    }
    if (key.size() < sizeof local_) {
      std::memcpy(local_, key.data(), key.size());
      local_[key.size()] = '\0';
      text_ = local_;
    } else {
      heap_.assign(key.data(), key.size());
      text_ = heap_.c_str();
    }
  }
  lookup_key(const lookup_key&) = delete;
  lookup_key& operator=(const lookup_key&) = delete;

  const char* text() const { return text_; }
  int len() const { return len_; }

 private:
  char local_[128];
  std::string heap_;
  const char* text_ = nullptr;
  int len_ = -1;
};

// ASCII-only folding, as strcasecmp compares in the "C" locale and as
// generic_cache_hash_strong_cis hashes.
inline bool same_text(std::string_view a, std::string_view b, bool case_sensitive) {
  if (a.size() != b.size()) return false;
  if (case_sensitive) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A directory prefix without its trailing separators: "/a/b/" names "/a/b",
// and "/" names the root, whose prefix is empty.
inline std::string_view directory_prefix(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace two_key_cache_detail

// A byte-budgeted LRU cache of std::shared_ptr<V>, found by a primary key
// (key1) or an optional secondary one (key2). Move-only; the destructor
// releases every entry.
template <typename V>
class TwoKeyCache {
 public:
  using value_type = V;

  // A cache of `max_bytes` for entries of about `expected_entry_size` bytes
  // (keys plus charge), which sizes the tables as generic_cache_init_cache
  // describes; the tables' fixed charge comes out of the budget. Throws
  // std::invalid_argument for a size that is not positive (or an entry size
  // within 96 of INT_MAX) and std::bad_alloc when the tables cannot be had.
  TwoKeyCache(int max_bytes, int expected_entry_size, KeyCase key1_case = KeyCase::kSensitive,
              KeyCase key2_case = KeyCase::kSensitive, KeyHash hash = KeyHash::kStrong) {
    if (max_bytes <= 0 || expected_entry_size <= 0 ||
        expected_entry_size > std::numeric_limits<int>::max() - kEntryOverhead)
      throw std::invalid_argument("TwoKeyCache: max_bytes and expected_entry_size must be > 0");
    const bool key1_sensitive = key1_case == KeyCase::kSensitive;
    const bool key2_sensitive = key2_case == KeyCase::kSensitive;
    cache_ = generic_cache_init_cache(
        max_bytes, expected_entry_size, &release_entry, pick_hash(hash, key1_sensitive),
        pick_hash(hash, key2_sensitive), key1_sensitive, key2_sensitive);
    if (cache_ == nullptr) throw std::bad_alloc();
    // The empty cache's charge is the tables' fixed charge: what is left is
    // the room for entries, which no single entry may exceed.
    room_ = static_cast<int64_t>(max_bytes) - static_cast<int64_t>(stats().cur_bytes);
  }

  // Releases every entry; no other thread may be using the cache.
  ~TwoKeyCache() { generic_cache_del_cache(cache_); }

  // Moving takes the handle over; the moved-from cache may only be assigned
  // to or destroyed.
  TwoKeyCache(TwoKeyCache&& other) noexcept
      : cache_(std::exchange(other.cache_, nullptr)), room_(other.room_) {}
  TwoKeyCache& operator=(TwoKeyCache&& other) noexcept {
    if (this != &other) {
      generic_cache_del_cache(cache_);
      cache_ = std::exchange(other.cache_, nullptr);
      room_ = other.room_;
    }
    return *this;
  }
  TwoKeyCache(const TwoKeyCache&) = delete;
  TwoKeyCache& operator=(const TwoKeyCache&) = delete;

  // Caches `value` under `key1` (and `key2`), charged `charge` bytes plus
  // both keys and 98 bytes of overhead, evicting least recently used entries
  // until it fits. An entry already cached under key1 is replaced (released);
  // one that has the same key2 only is not. Costs one heap allocation (the
  // entry with both keys), made before the lock is taken, and the procedural
  // insertion.
  //
  // Returns false, having changed nothing, for an invalid key, a null value,
  // a negative charge or an entry larger than the whole budget; a throw from
  // an allocation (std::bad_alloc) changes nothing either. The caller's
  // `value` is only copied, so it is never moved from or released here. Also
  // false if the procedural cache cannot allocate its node, in which case the
  // entry formerly under key1 has left already (see update_with_key1).
  bool insert(std::string_view key1, const std::shared_ptr<V>& value, int32_t charge) {
    return insert_entry(key1, nullptr, value, charge);
  }
  bool insert(std::string_view key1, std::string_view key2, const std::shared_ptr<V>& value,
              int32_t charge) {
    return insert_entry(key1, &key2, value, charge);
  }

  // The value cached under the key, or null. The reference is taken while
  // the entry is pinned (under the shared lock), so the value stays valid
  // for as long as the caller holds it, whatever the cache does meanwhile.
  // Costs a lookup plus an atomic increment of the value's reference count
  // (and a decrement when dropped): on one value shared by threads that count
  // is a contended cache line, which `visit` avoids.
  std::shared_ptr<V> get(key_ref key1, Recency recency = Recency::kKeep) const {
    return get_with(recency == Recency::kPromote ? &generic_cache_visit_and_update_pos_with_key1
                                                 : &generic_cache_visit_element_with_key1,
                    key1);
  }
  std::shared_ptr<V> get_by_key2(key_ref key2, Recency recency = Recency::kKeep) const {
    return get_with(recency == Recency::kPromote ? &generic_cache_visit_and_update_pos_with_key2
                                                 : &generic_cache_visit_element_with_key2,
                    key2);
  }

  // Calls `f(const V&)` with the value cached under the key while the entry
  // is pinned; true when found (and `f` called), false otherwise. No
  // reference count is touched: the cost of a procedural lookup plus the key
  // copy. `f` runs under the shared lock, with every insertion, erasure and
  // rename waiting: keep it short, keep no pointer into the value past its
  // return, and never call into the same cache from it (that waits for ever;
  // Debug builds abort). If `f` throws, the exception leaves `visit` with the
  // lock released and the cache unchanged (the lookup counted, a promotion
  // queued).
  template <typename F>
  bool visit(key_ref key1, F&& f, Recency recency = Recency::kKeep) const {
    return visit_with(recency == Recency::kPromote ? &generic_cache_visit_and_update_pos_with_key1
                                                   : &generic_cache_visit_element_with_key1,
                      key1, f);
  }
  template <typename F>
  bool visit_by_key2(key_ref key2, F&& f, Recency recency = Recency::kKeep) const {
    return visit_with(recency == Recency::kPromote ? &generic_cache_visit_and_update_pos_with_key2
                                                   : &generic_cache_visit_element_with_key2,
                      key2, f);
  }

  // Marks the entry as most recently used; true when found. Shared lock.
  bool touch(key_ref key1) { return call_with_key(&generic_cache_update_pos_with_key1, key1); }
  bool touch_by_key2(key_ref key2) {
    return call_with_key(&generic_cache_update_pos_with_key2, key2);
  }

  // Removes the entry, dropping its reference to the value; true when found.
  bool erase(key_ref key1) { return call_with_key(&generic_cache_delete_with_key1, key1); }
  bool erase_by_key2(key_ref key2) { return call_with_key(&generic_cache_delete_with_key2, key2); }

  // Moves every cached path under the directory `old_prefix` to `new_prefix`,
  // as a directory rename does: a key1 equal to old_prefix, or beginning with
  // old_prefix and a '/', gets new_prefix in its place ("/a/b" moves
  // "/a/b/c" but not "/a/bc"). Trailing '/' of either prefix are ignored, so
  // "/" (or "") as old_prefix moves every absolute path. Compares by key1's
  // case flag. Returns the number of entries renamed; 0, renaming nothing,
  // when new_prefix names the root (it would leave old_prefix itself
  // without a key) or either prefix holds a NUL.
  //
  // One exclusive section walking every entry; values, key2 and recency stay
  // as they are. Charges follow the new key lengths without evicting, so a
  // rename to a longer prefix may leave the cache over its budget until the
  // next insertion. If a new key cannot be allocated, the walk stops and
  // std::bad_alloc is rethrown: the entries offered before keep their new
  // keys, the rest their old ones, nothing leaks.
  std::size_t rename_prefix(std::string_view old_prefix, std::string_view new_prefix) {
    rename_request request{two_key_cache_detail::directory_prefix(old_prefix),
                           two_key_cache_detail::directory_prefix(new_prefix), 0, nullptr};
    if (request.to.empty() || std::memchr(request.to.data(), '\0', request.to.size()) ||
        (!request.from.empty() && std::memchr(request.from.data(), '\0', request.from.size())))
      return 0;
    generic_cache_rename_all_key1_if(cache_, &rename_entry, &request);
    if (request.failure) std::rethrow_exception(request.failure);
    return request.renamed;
  }

  // The procedural cache's statistics (entries, bytes, hits, misses, ...).
  generic_cache_stats stats() const {
    generic_cache_stats out{};
    generic_cache_get_stats(cache_, &out);
    return out;
  }

  // Releases every entry; the counters keep running.
  void clear() { generic_cache_remove_all(cache_); }

 private:
  // mem_cache.h: every element costs its keys, one terminator per key, its
  // data_len and 96 bytes.
  static constexpr int kEntryOverhead = 96;

  // One cached entry, in one allocation with its keys: "key1\0key2\0"
  // follow the struct, so that the key a lookup compares lies beside the
  // element instead of behind one more pointer. Never moved or copied.
  struct entry {
    generic_cache_element_t element;
    std::shared_ptr<V> value;              // never null
    std::unique_ptr<char[]> renamed_key1;  // key1 once renamed; null while key1 is inline

    char* inline_keys() { return reinterpret_cast<char*>(this + 1); }

    // Allocates an entry for the keys (the only step that may throw) and
    // fills it; copying the std::shared_ptr cannot throw.
    static entry* make(std::string_view k1, const std::string_view* k2, const std::shared_ptr<V>& v,
                       int32_t charge) {
      const std::size_t bytes = sizeof(entry) + k1.size() + 1 + (k2 ? k2->size() + 1 : 0);
      entry* e = ::new (::operator new(bytes)) entry{{}, v, nullptr};
      char* key1 = e->inline_keys();
      std::memcpy(key1, k1.data(), k1.size());
      key1[k1.size()] = '\0';
      char* key2 = nullptr;
      if (k2 != nullptr) {
        key2 = key1 + k1.size() + 1;
        std::memcpy(key2, k2->data(), k2->size());
        key2[k2->size()] = '\0';
      }
      e->element = {
          key1, key2,  static_cast<int32_t>(k1.size()), k2 ? static_cast<int32_t>(k2->size()) : -1,
          e,    charge};
      return e;
    }
    static void destroy(entry* e) noexcept {
      e->~entry();
      ::operator delete(e);
    }
  };

  static entry& entry_of(generic_cache_element* element) {
    return *static_cast<entry*>(element->data);
  }

  // The release callback: runs under the exclusive lock, exactly once per
  // entry that was admitted.
  static void release_entry(generic_cache_element* element) noexcept {
    entry::destroy(&entry_of(element));
  }

  static HashFunc pick_hash(KeyHash hash, bool case_sensitive) {
    if (hash == KeyHash::kAdditive) return nullptr;
    return case_sensitive ? &generic_cache_hash_strong : &generic_cache_hash_strong_cis;
  }

  bool insert_entry(std::string_view key1, const std::string_view* key2,
                    const std::shared_ptr<V>& value, int32_t charge) {
    using two_key_cache_detail::is_valid_key;
    if (value == nullptr || charge < 0 || !is_valid_key(key1) ||
        (key2 != nullptr && !is_valid_key(*key2)))
      return false;
    const int64_t cost = static_cast<int64_t>(key1.size()) + 1 +
                         (key2 != nullptr ? static_cast<int64_t>(key2->size()) + 1 : 0) + charge +
                         kEntryOverhead;
    // The procedural cache would release the entry under key1 before
    // refusing one that can never fit; refusing here keeps it.
    if (cost > room_) return false;
    entry* fresh = entry::make(key1, key2, value, charge);
    if (generic_cache_update_with_key1(cache_, fresh->element.key1, fresh->element.key1_len,
                                       &fresh->element) != 0) {
      entry::destroy(fresh);  // refused: still ours
      return false;
    }
    return true;  // the cache's now, until release_entry
  }

  using visit_call = int (*)(generic_cache_t*, const char*, int, VisitFunc, void*);
  using key_call = int (*)(generic_cache_t*, const char*, int);

  template <typename F>
  static void call_visitor(generic_cache_element* element, void* f) {
    (*static_cast<F*>(f))(static_cast<const V&>(*entry_of(element).value));
  }

  template <typename F>
  bool visit_with(visit_call call, const key_ref& key, F& f) const {
    const two_key_cache_detail::lookup_key k(key);
    if (k.text() == nullptr) return false;
    void* target = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
    return call(cache_, k.text(), k.len(), &call_visitor<F>, target) == 0;
  }

  std::shared_ptr<V> get_with(visit_call call, const key_ref& key) const {
    std::shared_ptr<V> out;
    const two_key_cache_detail::lookup_key k(key);
    if (k.text() != nullptr) call(cache_, k.text(), k.len(), &copy_value, &out);
    return out;
  }
  // Copy-assigning a std::shared_ptr cannot throw.
  static void copy_value(generic_cache_element* element, void* out) {
    *static_cast<std::shared_ptr<V>*>(out) = entry_of(element).value;
  }

  bool call_with_key(key_call call, const key_ref& key) const {
    const two_key_cache_detail::lookup_key k(key);
    return k.text() != nullptr && call(cache_, k.text(), k.len()) == 0;
  }

  struct rename_request {
    std::string_view from;
    std::string_view to;
    std::size_t renamed = 0;
    std::exception_ptr failure;
  };

  // A RenameFunc: cannot throw through the procedural cache, so a failure is
  // kept and the walk stopped with a positive code. The new key is built
  // aside and swapped in, so a failed allocation leaves the entry as it was.
  static int32_t rename_entry(generic_cache_element* element, void* user_data,
                              bool case_sensitive) noexcept {
    rename_request& request = *static_cast<rename_request*>(user_data);
    entry& e = entry_of(element);
    const std::string_view key(element->key1, static_cast<std::size_t>(element->key1_len));
    const std::size_t cut = request.from.size();
    if (key.size() < cut ||
        !two_key_cache_detail::same_text(key.substr(0, cut), request.from, case_sensitive) ||
        (key.size() > cut && key[cut] != '/'))
      return -1;
    const std::size_t size = request.to.size() + key.size() - cut;
    std::unique_ptr<char[]> renamed;
    try {
      renamed.reset(new char[size + 1]);
    } catch (...) {
      request.failure = std::current_exception();
      return 1;
    }
    std::memcpy(renamed.get(), request.to.data(), request.to.size());
    std::memcpy(renamed.get() + request.to.size(), key.data() + cut, key.size() - cut);
    renamed[size] = '\0';
    element->key1 = renamed.get();        // the cache recomputes key1_len and the charge
    e.renamed_key1 = std::move(renamed);  // frees the key of an earlier rename
    ++request.renamed;
    return 0;
  }

  generic_cache_t* cache_ = nullptr;
  int64_t room_ = 0;  // max_bytes less the tables' fixed charge
};

}  // namespace objstore

#endif  // OBJSTORE_CACHE_TWO_KEY_CACHE_H_
