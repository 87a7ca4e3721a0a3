// Emptying a tree of 20,000 files: rmTree beside std::filesystem::remove_all
// of the top directory's children (both keep the top directory).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "objstore/objStrUtils.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDirectories = 20;
constexpr int kFilesPerDirectory = 1000;  // 20,000 files in all

std::string MakeTop() {
  std::string pattern = (fs::temp_directory_path() / "objstore-bench-fs-XXXXXX").string();
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

// Fills `top` with kDirectories directories of kFilesPerDirectory empty files.
bool BuildTree(const std::string& top) {
  for (int d = 0; d < kDirectories; ++d) {
    const std::string dir = top + "/dir" + std::to_string(d);
    if (mkdir(dir.c_str(), 0700) != 0) return false;
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    for (int f = 0; f < kFilesPerDirectory; ++f) {
      const int fd = openat(dir_fd, ("file" + std::to_string(f)).c_str(),
                            O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) {
        close(dir_fd);
        return false;
      }
      close(fd);
    }
    close(dir_fd);
  }
  return true;
}

template <typename Remove>
void EmptyTreeBenchmark(benchmark::State& state, Remove remove) {
  const std::string top = MakeTop();
  if (top.empty()) {
    state.SkipWithError("cannot create a temporary directory");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    const bool built = BuildTree(top);
    state.ResumeTiming();
    if (!built) {
      state.SkipWithError("cannot build the tree");
      break;
    }
    if (!remove(top)) {
      state.SkipWithError("removal failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kDirectories *
                          kFilesPerDirectory);
  std::error_code ignored;
  fs::remove_all(top, ignored);
}

void BM_RmTree20000Files(benchmark::State& state) {
  EmptyTreeBenchmark(state, [](const std::string& top) { return ObjectStore::rmTree(top) == 0; });
}
BENCHMARK(BM_RmTree20000Files)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_RemoveAllChildren20000Files(benchmark::State& state) {
  EmptyTreeBenchmark(state, [](const std::string& top) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(top, error)) {
      fs::remove_all(entry.path(), error);
      if (error) return false;
    }
    return !error;
  });
}
BENCHMARK(BM_RemoveAllChildren20000Files)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
