// rmTree against an attacker: while it empties a tree, another thread keeps
// swapping a subdirectory of that tree with a symbolic link to a directory
// outside it. Whatever rmTree returns, no file outside the tree may go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "objstore/fs.h"

namespace fs = std::filesystem;

namespace {

// ThreadSanitizer slows every system call and swap tenfold; fewer trials
// there still interleave the two threads, which is what it checks.
#ifdef __SANITIZE_THREAD__
constexpr int kTrials = 100;
#else
constexpr int kTrials = 1000;
#endif
constexpr int kOutsideFiles = 16;

// renameat2 with RENAME_EXCHANGE swaps two names atomically: the sharpest
// form of the attack, since the directory never goes missing in between.
int ExchangeNames(const fs::path& a, const fs::path& b) {
  return static_cast<int>(
      syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// A directory outside the tree, with files at two levels.
void MakeOutside(const fs::path& outside) {
  fs::create_directories(outside / "deeper");
  for (int i = 0; i < kOutsideFiles; ++i) {
    WriteFile(outside / ("keep" + std::to_string(i)), "outside");
    WriteFile(outside / "deeper" / ("keep" + std::to_string(i)), "outside");
  }
}

int CountOutsideFiles(const fs::path& outside) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(outside))
    if (entry.is_regular_file()) ++count;
  return count;
}

// The tree: a subdirectory worth attacking (files and a nested directory)
// beside a few plain files, and a prepared link to the outside directory.
void MakeTree(const fs::path& tree, const fs::path& outside) {
  fs::create_directories(tree / "sub" / "nested");
  for (int i = 0; i < 24; ++i) {
    WriteFile(tree / "sub" / ("f" + std::to_string(i)), "inside");
    WriteFile(tree / "sub" / "nested" / ("f" + std::to_string(i)), "inside");
  }
  for (int i = 0; i < 8; ++i) WriteFile(tree / ("top" + std::to_string(i)), "inside");
  fs::create_directory_symlink(outside, tree / "link");
}

class RmTreeRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rmtree_race_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);  // never follows links
  }
  fs::path base_;
};

TEST_F(RmTreeRaceTest, SwappingASubdirectoryForALinkNeverReachesOutside) {
  const fs::path outside = base_ / "outside";
  const fs::path tree = base_ / "tree";
  MakeOutside(outside);
  const int outside_files = CountOutsideFiles(outside);

  int interrupted = 0;  // trials in which rmTree met the attack and failed
  long swaps = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    MakeTree(tree, outside);
    std::atomic<bool> stop{false};
    std::atomic<long> trial_swaps{0};
    // Swaps "sub" and "link" back and forth, and sometimes replaces "sub" by
    // renaming it away and putting a fresh link in its place.
    std::thread attacker([&] {
      for (long n = 0; !stop.load(std::memory_order_relaxed); ++n) {
        if (n % 4 == 3) {
          std::error_code ignored;
          fs::rename(tree / "sub", tree / ("moved" + std::to_string(n)), ignored);
          fs::create_directory_symlink(outside, tree / "sub", ignored);
        } else if (ExchangeNames(tree / "sub", tree / "link") == 0) {
          trial_swaps.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
    const int rc = ObjectStore::rmTree(tree.string());
    stop = true;
    attacker.join();
    swaps += trial_swaps.load();
    if (rc != 0) ++interrupted;

    ASSERT_EQ(CountOutsideFiles(outside), outside_files)
        << "trial " << trial << ": rmTree removed files outside the tree (rc " << rc << ")";
    std::error_code ignored;
    fs::remove_all(tree, ignored);
  }
  std::printf("rmTree race: %d trials, %ld swaps, %d interrupted by the attack, nothing lost\n",
              kTrials, swaps, interrupted);
  RecordProperty("trials", kTrials);
  RecordProperty("interrupted", interrupted);
  EXPECT_GT(swaps, 0);
}

// Paths longer than PATH_MAX: a chain of directories whose full path is
// several times the limit, below the subdirectory that the attacker swaps.
// The walk closes the upper levels to bound its descriptors and climbs back
// into them through "..", so the attack meets that way back up as well.
TEST_F(RmTreeRaceTest, TreeDeeperThanPathMaxUnderAttack) {
  const fs::path outside = base_ / "outside";
  const fs::path tree = base_ / "tree";
  MakeOutside(outside);
  const int outside_files = CountOutsideFiles(outside);
  for (int trial = 0; trial < 20; ++trial) {
    MakeTree(tree, outside);
    // 120 levels of 60-character names: about 7,300 bytes of path.
    const int fd = open((tree / "sub").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int dir = fd;
    const std::string name(60, 'd');
    for (int level = 0; level < 120; ++level) {
      ASSERT_EQ(mkdirat(dir, name.c_str(), 0755), 0);
      const int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
      ASSERT_GE(next, 0);
      const int file = openat(next, "leaf", O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(file, 0);
      close(file);
      if (dir != fd) close(dir);
      dir = next;
    }
    if (dir != fd) close(dir);
    close(fd);

    std::atomic<bool> stop{false};
    std::thread attacker([&] {
      while (!stop.load(std::memory_order_relaxed)) ExchangeNames(tree / "sub", tree / "link");
    });
    const int rc = ObjectStore::rmTree(tree.string());
    stop = true;
    attacker.join();
    ASSERT_EQ(CountOutsideFiles(outside), outside_files) << "trial " << trial << " rc " << rc;
    // Without interference from the attack, all is gone: links, the chain.
    if (rc == 0) {
      EXPECT_TRUE(fs::is_empty(tree)) << "trial " << trial;
    }
    std::error_code ignored;
    fs::remove_all(tree, ignored);
  }
}

}  // namespace
