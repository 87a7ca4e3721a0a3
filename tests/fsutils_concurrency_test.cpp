// Two rmTree calls emptying one tree at once, as two "osutil fs empty" on
// one directory do: each keeps finding entries that the other has just
// removed, and both must report success.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"

namespace fs = std::filesystem;

namespace {

// Files and directories three levels down, and a chain deeper than the
// walk's descriptor bound, which each remover climbs back out of through
// ".." while the other may have removed the directory it is in.
void MakeTree(const fs::path& top) {
  for (int a = 0; a < 6; ++a) {
    for (int b = 0; b < 4; ++b) {
      const fs::path dir = top / ("a" + std::to_string(a)) / ("b" + std::to_string(b));
      fs::create_directories(dir);
      for (int f = 0; f < 8; ++f) std::ofstream(dir / ("f" + std::to_string(f))) << "x";
    }
  }
  fs::path chain = top / "chain";
  for (int level = 0; level < 40; ++level) chain /= "c";
  fs::create_directories(chain);
}

TEST(RmTreeConcurrencyTest, TwoRemoversOfOneTreeBothSucceed) {
  std::string pattern = (fs::temp_directory_path() / "objstore-rmtree-XXXXXX").string();
  ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
  const fs::path top = pattern;
  testing_support::ScopedCaptureLog log;
  for (int trial = 0; trial < 20; ++trial) {
    MakeTree(top);
    int other_result = -1;
    std::thread other([&] { other_result = ObjectStore::rmTree(top.string()); });
    const int result = ObjectStore::rmTree(top.string());
    other.join();
    EXPECT_EQ(result, 0) << "trial " << trial << ": " << ::testing::PrintToString(log->texts());
    EXPECT_EQ(other_result, 0) << "trial " << trial << ": "
                               << ::testing::PrintToString(log->texts());
    EXPECT_TRUE(fs::is_empty(top)) << "trial " << trial;
    if (HasFailure()) break;
  }
  fs::remove_all(top);
}

}  // namespace
