// A small host program: installs a log writer, fills a cache past its budget
// and prints what the cache reports.
#include <cstdio>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cache/mem_cache.h"
#include "host/LogWriter.h"

namespace {

struct Entry {
  generic_cache_element_t element;
  std::string key;
  std::string payload;
};

int g_released = 0;

void release_entry(generic_cache_element* element) {
  ++g_released;
  delete static_cast<Entry*>(element->data);
}

}  // namespace

int main() {
  // Level 4 shows the dump lines as well as every error.
  g_ptrLogWriter = boost::make_shared<CStreamLogWriter>(4);

  // 4 KiB for entries of about 100 bytes: room for about 15 of them once the
  // tables are charged.
  generic_cache_t* cache =
      generic_cache_init_cache(4096, 100, release_entry, nullptr, nullptr, true, true);
  if (cache == nullptr) return 1;

  for (int i = 0; i < 40; ++i) {
    Entry* entry = new Entry;
    entry->key = "/vol1/dir" + std::to_string(i % 4) + "/file" + std::to_string(i);
    entry->payload.assign(32, static_cast<char>('a' + i % 26));
    entry->element = {
        &entry->key[0], nullptr, -1, -1, entry, static_cast<int32_t>(entry->payload.size())};
    if (generic_cache_update_with_key1(cache, entry->key.c_str(), -1, &entry->element) != 0)
      delete entry;
  }
  generic_cache_update_pos_with_key1(cache, "/vol1/dir2/file30", -1);
  bool found = generic_cache_find_element_with_key1(cache, "/vol1/dir2/file30", -1) != nullptr;
  bool evicted = generic_cache_find_element_with_key1(cache, "/vol1/dir0/file0", -1) == nullptr;

  generic_cache_stats stats;
  generic_cache_get_stats(cache, &stats);
  std::printf("entries      %d\n", stats.num_entries);
  std::printf("cur_bytes    %llu (budget 4096)\n",
              static_cast<unsigned long long>(stats.cur_bytes));
  std::printf("buckets      %d\n", stats.num_buckets);
  std::printf("inserts      %llu\n", static_cast<unsigned long long>(stats.num_inserts));
  std::printf("removes      %llu\n", static_cast<unsigned long long>(stats.num_removes));
  std::printf("hits         %llu\n", static_cast<unsigned long long>(stats.num_hits));
  std::printf("misses       %llu\n", static_cast<unsigned long long>(stats.num_misses));
  std::printf("collisions   %llu\n", static_cast<unsigned long long>(stats.num_collisions));
  std::printf("released     %d\n", g_released);
  std::printf("file30 found %s, file0 evicted %s\n", found ? "yes" : "no", evicted ? "yes" : "no");
  std::fflush(stdout);

  generic_cache_dump_cache(cache);
  generic_cache_del_cache(cache);
  std::printf("released after destruction %d\n", g_released);
  g_ptrLogWriter.reset();
  return 0;
}
