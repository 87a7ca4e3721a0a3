// Emptying a tree of 20,000 files in 200 directories: rmTree beside GNU
// `rm -rf` given the top directory's children (both keep the top directory,
// so both do the same removals). The tree is built outside the measurement
// in a temporary directory; only the removal is timed, in wall-clock time,
// since rm's work happens in a child process. Building a tree takes far
// longer than removing it on some file systems, so each repetition removes
// one tree; run with --benchmark_enable_random_interleaving to spread drift
// in the machine's load over both.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "objstore/objStrUtils.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kDirectories = 200;
constexpr int kFilesPerDirectory = 100;  // 20,000 files in all

std::string MakeTop() {
  std::string pattern = (fs::temp_directory_path() / "objstore-bench-fs-XXXXXX").string();
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

std::string DirectoryName(const std::string& top, int index) {
  return top + "/dir" + std::to_string(index);
}

// Fills `top` with kDirectories directories of kFilesPerDirectory empty files.
bool BuildTree(const std::string& top) {
  for (int d = 0; d < kDirectories; ++d) {
    const std::string dir = DirectoryName(top, d);
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

bool RunRmRf(const std::vector<std::string>& children) {
  std::vector<char*> argv;
  static char kRm[] = "rm", kFlags[] = "-rf", kEnd[] = "--";
  argv.push_back(kRm);
  argv.push_back(kFlags);
  argv.push_back(kEnd);
  for (const std::string& child : children) argv.push_back(const_cast<char*>(child.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/rm", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Writes back what is pending on the file system that holds `dir`, so that
// neither the removal timed next nor the benchmarks after this one share
// the machine with the kernel's writeback of thousands of inodes.
void SettleFileSystem(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

template <typename Remove>
void EmptyTree(benchmark::State& state, Remove remove) {
  const std::string top = MakeTop();
  if (top.empty()) {
    state.SkipWithError("cannot create a temporary directory");
    return;
  }
  std::vector<std::string> children;
  for (int d = 0; d < kDirectories; ++d) children.push_back(DirectoryName(top, d));

  for (auto _ : state) {
    if (!BuildTree(top)) {
      state.SkipWithError("cannot build the tree");
      break;
    }
    SettleFileSystem(top);
    const auto start = std::chrono::steady_clock::now();
    const bool removed = remove(top, children);
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    if (!removed || !fs::is_empty(top)) {
      state.SkipWithError("the removal failed or left entries behind");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kDirectories *
                          kFilesPerDirectory);
  std::error_code ignored;
  fs::remove_all(top, ignored);
  SettleFileSystem(fs::temp_directory_path(ignored).string());
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark(
      "fs/rmtree_20000_files/ours",
      [](benchmark::State& state) {
        EmptyTree(state, [](const std::string& top, const std::vector<std::string>&) {
          return ObjectStore::rmTree(top) == 0;
        });
      })
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
  benchmark::RegisterBenchmark(
      "fs/rmtree_20000_files/rm_rf",
      [](benchmark::State& state) {
        EmptyTree(state, [](const std::string&, const std::vector<std::string>& children) {
          return RunRmRf(children);
        });
      })
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
  return true;
}();

}  // namespace
