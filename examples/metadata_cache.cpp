// The metadata cache of an object-store file system, on the typed cache: each
// file's metadata is found by its path (key1) or by its object's GUID (key2).
// A directory rename moves every cached path under it in one walk, while
// reader threads look files up by either key and another thread creates
// files. Prints a summary; exits with status 1 if any result is wrong.
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache/two_key_cache.h"
#include "objstore/guid.h"

namespace {

struct FileMeta {
  std::string guid;  // the object's identity: never changes with the path
  uint64_t size;
};

constexpr int kMovedFiles = 200;    // in /vol1/projects/alpha, which is renamed
constexpr int kSiblingFiles = 50;   // in /vol1/projects/alphabet, which is not
constexpr int kCreatedFiles = 400;  // created in /vol1/home while the renames run
constexpr int kRenames = 7;         // odd: the directory ends in /vol1/archive/alpha
constexpr int kReaders = 3;

struct File {
  std::string name;  // within its directory
  std::string guid;
  uint64_t size;
};

std::vector<File> MakeFiles(const char* prefix, int count) {
  std::vector<File> files;
  for (int i = 0; i < count; ++i)
    files.push_back({prefix + std::to_string(i) + ".dat", ObjectStore::generateGuid(),
                     static_cast<uint64_t>(i) * 4096 + 17});
  return files;
}

std::atomic<int> g_failures{0};  // the creator thread checks too

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::printf("WRONG: %s\n", what.c_str());
}

}  // namespace

int main() {
  // GUIDs are hexadecimal: looked up whatever the case of their digits.
  objstore::TwoKeyCache<FileMeta> cache(4 << 20, 256, objstore::KeyCase::kSensitive,
                                        objstore::KeyCase::kInsensitive);
  const std::vector<File> moved = MakeFiles("", kMovedFiles);
  const std::vector<File> siblings = MakeFiles("", kSiblingFiles);
  const std::vector<File> created = MakeFiles("u", kCreatedFiles);
  auto insert = [&](const std::string& dir, const File& f) {
    return cache.insert(dir + "/" + f.name, f.guid,
                        std::make_shared<FileMeta>(FileMeta{f.guid, f.size}),
                        static_cast<int32_t>(sizeof(FileMeta) + f.guid.size()));
  };
  cache.insert("/vol1/projects/alpha", ObjectStore::generateGuid(),
               std::make_shared<FileMeta>(FileMeta{"", 0}), sizeof(FileMeta));
  for (const File& f : moved) Check(insert("/vol1/projects/alpha", f), "insert " + f.name);
  for (const File& f : siblings) Check(insert("/vol1/projects/alphabet", f), "insert " + f.name);

  // Readers: by GUID a file is always found (its GUID never moves, and the
  // budget holds every file), and the metadata is the file's own; by path it
  // is found at the old place or the new one, depending on the rename walk.
  std::atomic<bool> running{true};
  std::atomic<long> guid_lookups{0}, path_hits{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (size_t n = static_cast<size_t>(r); running.load(std::memory_order_relaxed); n += 13) {
        const File& f = moved[n % moved.size()];
        std::shared_ptr<FileMeta> meta = cache.get_by_key2(f.guid);
        if (meta == nullptr || meta->guid != f.guid || meta->size != f.size) ++wrong;
        ++guid_lookups;
        uint64_t size = 0;  // visit: read one field, no reference taken
        auto read_size = [&](const FileMeta& m) { size = m.size; };
        if (!cache.visit("/vol1/projects/alpha/" + f.name, read_size) &&
            !cache.visit("/vol1/archive/alpha/" + f.name, read_size))
          continue;  // the walk moved it between the two lookups
        ++path_hits;
        if (size != f.size) ++wrong;
      }
    });
  }
  std::thread creator([&] {
    for (const File& f : created) Check(insert("/vol1/home", f), "insert " + f.name);
  });
  size_t renamed_total = 0;
  for (int i = 0; i < kRenames; ++i) {
    const bool forth = i % 2 == 0;
    const size_t renamed =
        cache.rename_prefix(forth ? "/vol1/projects/alpha" : "/vol1/archive/alpha",
                            forth ? "/vol1/archive/alpha" : "/vol1/projects/alpha");
    Check(renamed == kMovedFiles + 1,
          "rename " + std::to_string(i) + " moved " + std::to_string(renamed) + " entries");
    renamed_total += renamed;
    std::this_thread::yield();
  }
  creator.join();
  running = false;
  for (auto& reader : readers) reader.join();

  // Where every file must be now.
  Check(cache.get("/vol1/archive/alpha") != nullptr, "the directory's own entry moved");
  for (const File& f : moved) {
    Check(cache.get("/vol1/archive/alpha/" + f.name) != nullptr, "moved " + f.name);
    Check(cache.get("/vol1/projects/alpha/" + f.name) == nullptr, "left " + f.name);
  }
  for (const File& f : siblings) {
    std::shared_ptr<FileMeta> meta = cache.get("/vol1/projects/alphabet/" + f.name);
    Check(meta != nullptr && meta->guid == f.guid, "sibling stayed " + f.name);
  }
  for (const File& f : created) Check(cache.get("/vol1/home/" + f.name) != nullptr, f.name);
  std::string upper = created[0].guid;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::shared_ptr<FileMeta> by_upper = cache.get_by_key2(upper);
  Check(by_upper != nullptr && by_upper->guid == created[0].guid, "GUID in upper case");
  Check(wrong.load() == 0, std::to_string(wrong.load()) + " wrong results seen by the readers");

  const generic_cache_stats stats = cache.stats();
  const int expected_entries = 1 + kMovedFiles + kSiblingFiles + kCreatedFiles;
  Check(stats.num_entries == expected_entries, "entries " + std::to_string(stats.num_entries));
  Check(stats.num_removes == 0, "nothing evicted");
  std::printf("entries          %d (%llu of %d bytes)\n", stats.num_entries,
              static_cast<unsigned long long>(stats.cur_bytes), 4 << 20);
  std::printf("renames          %d of /vol1/projects/alpha, %zu paths moved in all\n", kRenames,
              renamed_total);
  std::printf("created          %d files meanwhile\n", kCreatedFiles);
  std::printf("reader lookups   %ld by GUID, %ld by path found (%d threads), %ld wrong\n",
              guid_lookups.load(), path_hits.load(), kReaders, wrong.load());
  std::printf("siblings         /vol1/projects/alphabet kept its %d files\n", kSiblingFiles);
  std::printf("%s\n", g_failures.load() == 0 ? "all results correct" : "SOME RESULTS WRONG");
  return g_failures.load() == 0 ? 0 : 1;
}
