// The host probes: the disk library's size through the media manager, and the
// port-mapper probe on TCP port 111.
//
// The port-111 tests bind a privileged port and need root (precisely
// CAP_NET_BIND_SERVICE); they skip otherwise. They take a file lock for their
// whole run, so that ctest -j never runs two of them at once. The test
// against a real port mapper runs only with OBJSTORE_TEST_REAL_RPCBIND=1:
//   OBJSTORE_TEST_REAL_RPCBIND=1 ctest -R '^probe_test\.RealPortMapper\.'
#include <errno.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "host/PlatformInfo.h"
#include "objstore/probes.h"
#include "objstore/probes_internal.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/port111.h"
#include "tests/support/temp_registry.h"

namespace fs = std::filesystem;

namespace {

using testing_support::bindPort111;
using testing_support::Port111Lock;
using testing_support::ScopedCaptureLog;

constexpr char kInUseText[] =
    "Port mapper port [111] is already in LISTENING MODE. RPCBIND service must be running.";
constexpr char kFreeText[] =
    "Able to bind to port mapper port [111]. RPCBIND service cannot be running.";

// ---------------------------------------------------------------------------
// getDiskLibrarySize

class DiskLibraryTest : public ::testing::Test {
 protected:
  // The store's own directory doubles as the disk library.
  void SetUp() override {
    ZQPlatformInfo store;
    ASSERT_TRUE(store.setString("MediaManager", "subclient7", root()));
    ASSERT_TRUE(store.setString("MediaManager", "subclient9", root() + "/missing"));
  }
  const std::string& root() const { return registry_.dir(); }
  testing_support::TempRegistry registry_{nullptr};
};

TEST_F(DiskLibraryTest, MappedSubclientReportsItsFileSystem) {
  ScopedCaptureLog log;
  long long capacity = -1, free_space = -1;
  ASSERT_EQ(ObjectStore::getDiskLibrarySize(7, capacity, free_space), 0);
  struct statvfs volume;
  ASSERT_EQ(statvfs(root().c_str(), &volume), 0);
  EXPECT_EQ(capacity, static_cast<long long>(volume.f_blocks * volume.f_frsize));
  // Available to the service: without the blocks reserved for root.
  const long long available = static_cast<long long>(volume.f_bavail * volume.f_frsize);
  EXPECT_LT(std::llabs(free_space - available), 256LL << 20);  // others write meanwhile
  EXPECT_LE(free_space, capacity);
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(DiskLibraryTest, UnknownSubclientOrFailedQueryIsMinusOne) {
  ScopedCaptureLog log;
  for (int subclient : {8, 9, -7}) {  // unmapped, mapped to a missing path, unmapped
    long long capacity = 123, free_space = 456;
    EXPECT_EQ(ObjectStore::getDiskLibrarySize(subclient, capacity, free_space), -1) << subclient;
    EXPECT_EQ(capacity, 123);
    EXPECT_EQ(free_space, 456);
  }
  EXPECT_TRUE(log->messages().empty());
}

// ---------------------------------------------------------------------------
// isRpcbindRunning

bool CanBindPrivilegedPorts() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
      if (caps & (1ULL << CAP_NET_BIND_SERVICE)) return true;
    }
  std::ifstream start("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int first_unprivileged = 1024;
  start >> first_unprivileged;
  return first_unprivileged <= 111;
}

class RpcbindProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CanBindPrivilegedPorts())
      GTEST_SKIP() << "needs root (CAP_NET_BIND_SERVICE) to bind TCP port 111";
  }
  // False (with errno) when another socket holds port 111; a running port
  // mapper is covered by the RealPortMapper test instead.
  static bool PortIsFree() {
    const int fd = bindPort111();
    if (fd < 0) return false;
    close(fd);
    return true;
  }
  Port111Lock lock_;
};

TEST_F(RpcbindProbeTest, TrueWhileAnotherSocketListens) {
  if (!PortIsFree()) GTEST_SKIP() << "TCP port 111 is held already (errno " << errno << ")";
  const int listener = bindPort111();
  ASSERT_GE(listener, 0) << errno;
  ASSERT_EQ(listen(listener, 4), 0);

  {
    ScopedCaptureLog log(1);
    EXPECT_TRUE(ObjectStore::isRpcbindRunning());
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].level, 1);
    EXPECT_EQ(messages[0].text, kInUseText);
    EXPECT_EQ(messages[0].function, ObjectStore::kIsRpcbindRunningSignature);
  }
  {
    ScopedCaptureLog quiet(0);  // below the messages' level: same answer, no text
    EXPECT_TRUE(ObjectStore::isRpcbindRunning());
    EXPECT_TRUE(quiet->messages().empty());
  }
  close(listener);
}

TEST_F(RpcbindProbeTest, FalseAndPortLeftFreeWhenNothingListens) {
  if (!PortIsFree()) GTEST_SKIP() << "TCP port 111 is held already (errno " << errno << ")";
  {
    ScopedCaptureLog log(1);
    EXPECT_FALSE(ObjectStore::isRpcbindRunning());
    ASSERT_EQ(log->texts().size(), 1u);
    EXPECT_EQ(log->texts()[0], kFreeText);
    EXPECT_EQ(log->messages()[0].level, 1);
  }
  {
    ScopedCaptureLog quiet(0);
    EXPECT_FALSE(ObjectStore::isRpcbindRunning());
    EXPECT_TRUE(quiet->messages().empty());
  }
  // The probe released the port.
  const int fd = bindPort111();
  EXPECT_GE(fd, 0) << errno;
  if (fd >= 0) close(fd);
}

// Without the right to bind port 111 the probe cannot tell: false, and a
// message that says so rather than "Able to bind". Runs in a child process
// that drops CAP_NET_BIND_SERVICE, so it works for root as well.
TEST(RpcbindProbe, FalseWithUnknownStateWithoutBindRight) {
  std::ifstream start("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int first_unprivileged = 1024;
  start >> first_unprivileged;
  if (first_unprivileged <= 111)
    GTEST_SKIP() << "every process may bind port 111 here (ip_unprivileged_port_start)";

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) _exit(77);
    data[CAP_NET_BIND_SERVICE / 32].effective &= ~(1u << (CAP_NET_BIND_SERVICE % 32));
    if (syscall(SYS_capset, &header, data) != 0) _exit(77);

    ScopedCaptureLog log(1);
    const bool running = ObjectStore::isRpcbindRunning();
    const auto texts = log->texts();
    const std::string expected = "Can't bind to port mapper port [111] (" + std::to_string(EACCES) +
                                 "). RPCBIND service state is unknown.";
    _exit(!running && texts.size() == 1 && texts[0] == expected && log->messages()[0].level == 1
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop CAP_NET_BIND_SERVICE here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "wrong answer or message without the bind right";
}

// Against Debian's rpcbind, started by CI around this one test.
TEST(RealPortMapper, IsDetected) {
  const char* enabled = getenv("OBJSTORE_TEST_REAL_RPCBIND");
  if (enabled == nullptr || std::string(enabled) != "1")
    GTEST_SKIP() << "set OBJSTORE_TEST_REAL_RPCBIND=1 with rpcbind running to run this test";
  if (!CanBindPrivilegedPorts())
    GTEST_SKIP() << "needs root (CAP_NET_BIND_SERVICE): without it every bind of port 111 "
                    "fails with EACCES whether rpcbind runs or not";
  Port111Lock lock;
  ScopedCaptureLog log(1);
  EXPECT_TRUE(ObjectStore::isRpcbindRunning());
  ASSERT_EQ(log->texts().size(), 1u);
  EXPECT_EQ(log->texts()[0], kInUseText);
}

}  // namespace
