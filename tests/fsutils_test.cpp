// The file-system helpers on temporary directories.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <malloc.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "objstore/fs.h"
#include "objstore/fs_internal.h"
#include "perf/objectStorePerf.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/temp_registry.h"

namespace fs = std::filesystem;

// readdir misbehaves for the directory whose inode is set in
// g_readdir_inode, as g_readdir_mode says, so that rmTree's paths for read
// errors, missing or wrong entry types and entries that vanish can be
// driven; every other call goes to the C library. The executable's
// definition takes precedence over libc's for the library's calls as well
// (visible by default: tests build with hidden visibility, which would keep
// it out of the dynamic symbol table).
enum class ReaddirMode {
  kFail,               // fails with EIO
  kTypeUnknown,        // reports every entry as DT_UNKNOWN
  kTypeFile,           // reports every entry as a regular file
  kTypeDir,            // reports every entry as a directory
  kVanish,             // removes each entry (file or empty directory) before handing it out
  kVanishTypeUnknown,  // both of the last two
  kAction,             // runs g_readdir_action at the first read, then reads as usual
};
static std::atomic<ino_t> g_readdir_inode{0};
static std::atomic<ReaddirMode> g_readdir_mode{ReaddirMode::kFail};
static std::function<void()> g_readdir_action;

extern "C" __attribute__((visibility("default"))) struct dirent* readdir(DIR* dir) {
  using ReaddirFn = struct dirent* (*)(DIR*);
  static const ReaddirFn real = reinterpret_cast<ReaddirFn>(dlsym(RTLD_NEXT, "readdir"));
  const ino_t target = g_readdir_inode.load();
  struct stat status;
  if (target == 0 || fstat(dirfd(dir), &status) != 0 || status.st_ino != target) return real(dir);
  const ReaddirMode mode = g_readdir_mode.load();
  if (mode == ReaddirMode::kAction) {
    if (g_readdir_action) std::exchange(g_readdir_action, nullptr)();
    return real(dir);
  }
  if (mode == ReaddirMode::kFail) {
    errno = EIO;
    return nullptr;
  }
  struct dirent* entry = real(dir);
  if (entry == nullptr || std::strcmp(entry->d_name, ".") == 0 ||
      std::strcmp(entry->d_name, "..") == 0)
    return entry;
  switch (mode) {
    case ReaddirMode::kTypeUnknown:
      entry->d_type = DT_UNKNOWN;
      break;
    case ReaddirMode::kTypeFile:
      entry->d_type = DT_REG;
      break;
    case ReaddirMode::kTypeDir:
      entry->d_type = DT_DIR;
      break;
    case ReaddirMode::kVanish:
    case ReaddirMode::kVanishTypeUnknown:
      if (mode == ReaddirMode::kVanishTypeUnknown) entry->d_type = DT_UNKNOWN;
      if (unlinkat(dirfd(dir), entry->d_name, 0) != 0)
        unlinkat(dirfd(dir), entry->d_name, AT_REMOVEDIR);
      break;
    case ReaddirMode::kFail:
    case ReaddirMode::kAction:
      break;
  }
  return entry;
}

// Applies a readdir mode to one directory for the lifetime of the object.
class ScopedReaddir {
 public:
  ScopedReaddir(const std::string& dir, ReaddirMode mode) {
    struct stat status;
    EXPECT_EQ(stat(dir.c_str(), &status), 0) << dir;
    g_readdir_mode = mode;
    g_readdir_inode = status.st_ino;
  }
  ~ScopedReaddir() { g_readdir_inode = 0; }
  ScopedReaddir(const ScopedReaddir&) = delete;
  ScopedReaddir& operator=(const ScopedReaddir&) = delete;
};

namespace {

using testing_support::ScopedCaptureLog;

// Makes a chain of `levels` directories named `name` below the directory
// `top`, with a file at its foot; through descriptors, as its path may be
// far longer than PATH_MAX. False when that fails.
bool MakeChain(const std::string& top, int levels, const char* name = "d") {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0 && level < levels; ++level) {
    const int child =
        mkdirat(fd, name, 0700) == 0 ? openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(fd);
    fd = child;
  }
  const int file = fd >= 0 ? openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) close(fd);
  if (file >= 0) close(file);
  return file >= 0;
}

// The process's data segment (VmData), what RLIMIT_DATA limits; 0 if unknown.
// Unused under AddressSanitizer, whose quarantine leaves no memory bound to see.
[[maybe_unused]] rlim_t DataSegmentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmData:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
  return 0;
}

// Moves the calling (child) process into a mount namespace of its own,
// private from the system's: as root, or else through a user namespace.
// Returns an empty text, or why that is not allowed here.
std::string EnterOwnMountNamespace() {
  if (unshare(CLONE_NEWNS) != 0) {
    const std::string uid_map = "0 " + std::to_string(getuid()) + " 1";
    const std::string gid_map = "0 " + std::to_string(getgid()) + " 1";
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
      return std::string("unshare: ") + std::strerror(errno);
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid_map;
    std::ofstream("/proc/self/gid_map") << gid_map;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("mount --make-rprivate: ") + std::strerror(errno);
  return "";
}

struct ChildOutcome {
  int status;          // exit status, or 128 + the signal that ended it
  std::string output;  // what the child put in its `out`
};

// Runs body(out) in a child process, for limits and namespaces that must
// not touch the test process. The child ends with body's result.
template <typename Body>
ChildOutcome RunInChild(Body body) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {-1, "pipe failed"};
  const pid_t pid = fork();
  if (pid == 0) {
    std::string out;
    const int status = body(out);
    const ssize_t written = write(pipe_fds[1], out.data(), out.size());  // short: fits the pipe
    static_cast<void>(written);
    _exit(status);
  }
  close(pipe_fds[1]);
  ChildOutcome outcome{-1, ""};
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
    outcome.output.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

class FsUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "objstore-fsutils-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    for (const std::string& path : immutable_) SetImmutable(path, false);
    std::error_code ignored;
    for (const std::string& path : read_only_)
      fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
    // A tree far deeper than PATH_MAX is left behind by remove_all.
    if (fs::exists(root_, ignored)) std::system(("rm -rf -- '" + root_ + "'").c_str());
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  void WriteFile(const std::string& path, size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'x');
    ASSERT_TRUE(out.good()) << path;
  }

  static bool SetImmutable(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
  }

  // Makes `file` impossible to unlink: its directory read-only for other
  // users, or the file immutable for root (whom permissions do not stop).
  // Returns the errno unlink will give, or 0 when neither works here.
  int MakeUnremovable(const std::string& file) {
    if (geteuid() != 0) {
      read_only_.push_back(fs::path(file).parent_path().string());
      fs::permissions(read_only_.back(), fs::perms::owner_read | fs::perms::owner_exec);
      return EACCES;
    }
    if (!SetImmutable(file, true)) return 0;
    immutable_.push_back(file);
    return EPERM;
  }

  static std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
    return names;
  }

  std::string root_;
  std::vector<std::string> immutable_;
  std::vector<std::string> read_only_;
};

// ---------------------------------------------------------------------------
// createDir

TEST_F(FsUtilsTest, CreateDirMakesNestedAndAcceptsExisting) {
  ScopedCaptureLog log;
  EXPECT_EQ(ObjectStore::createDir(Path("a/b/c")), 0);
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  EXPECT_EQ(ObjectStore::createDir(Path("a/b/c")), 0);    // existing
  EXPECT_EQ(ObjectStore::createDir(Path("a//b/d/")), 0);  // repeated and trailing '/'
  EXPECT_TRUE(fs::is_directory(Path("a/b/d")));
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(FsUtilsTest, CreateDirFailuresReturnNegativeErrno) {
  WriteFile(Path("file"), 1);
  const struct {
    std::string path;
    int code;
  } cases[] = {
      {Path("file"), -EEXIST},       // a file where the directory should be
      {Path("file/sub"), -ENOTDIR},  // a file where a parent should be
      {Path("file/sub/deeper"), -ENOTDIR},
      {"", -EINVAL},
  };
  for (const auto& c : cases) {
    ScopedCaptureLog log;
    EXPECT_EQ(ObjectStore::createDir(c.path), c.code) << c.path;
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 1u) << c.path;
    EXPECT_EQ(messages[0].level, -1);
    EXPECT_EQ(messages[0].format, "Error: can't create directory %s (%d)");
    EXPECT_EQ(messages[0].text,
              "Error: can't create directory " + c.path + " (" + std::to_string(c.code) + ")");
    EXPECT_EQ(messages[0].function, ObjectStore::kCreateDirSignature);
  }
}

// A path the system refuses whole (over PATH_MAX) is created a component
// at a time, with the same results as a short one.
TEST_F(FsUtilsTest, CreateDirOfPathLongerThanPathMax) {
  const std::string name(60, 'd');
  std::string path = Path("long");
  int levels = 0;
  for (; path.size() <= PATH_MAX; ++levels) path += "/" + name;

  ScopedCaptureLog log;
  EXPECT_EQ(ObjectStore::createDir(path + "//"), 0);
  EXPECT_EQ(ObjectStore::createDir(path), 0);  // existing
  EXPECT_TRUE(log->messages().empty());
  int made = 0;  // levels found below "long"
  for (int fd = open(Path("long").c_str(), O_PATH | O_CLOEXEC), child; fd >= 0; fd = child) {
    child = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    made += child >= 0;
    close(fd);
  }
  EXPECT_EQ(made, levels);

  // A file where a parent should be, at the top of the long path.
  WriteFile(Path("long/file"), 1);
  const std::string below_file = Path("long/file") + path.substr(Path("long").size());
  EXPECT_EQ(ObjectStore::createDir(below_file), -ENOTDIR);
  ASSERT_EQ(log->texts().size(), 1u);
  EXPECT_EQ(log->texts()[0], "Error: can't create directory " + below_file + " (-20)");
  EXPECT_EQ(ObjectStore::rmTree(Path("long")), 0);
}

// ---------------------------------------------------------------------------
// doesFileExist

TEST_F(FsUtilsTest, DoesFileExistFollowsLinks) {
  WriteFile(Path("file"), 0);
  fs::create_directory(Path("dir"));
  fs::create_symlink(Path("file"), Path("link-to-file"));
  fs::create_symlink(Path("missing"), Path("dangling"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);

  ScopedCaptureLog log;
  EXPECT_TRUE(ObjectStore::doesFileExist(Path("file")));
  EXPECT_TRUE(ObjectStore::doesFileExist(Path("dir")));
  EXPECT_TRUE(ObjectStore::doesFileExist(Path("fifo")));
  EXPECT_TRUE(ObjectStore::doesFileExist(Path("link-to-file")));
  EXPECT_FALSE(ObjectStore::doesFileExist(Path("dangling")));
  EXPECT_FALSE(ObjectStore::doesFileExist(Path("missing")));
  EXPECT_FALSE(ObjectStore::doesFileExist(Path("file/below")));
  EXPECT_FALSE(ObjectStore::doesFileExist(""));
  EXPECT_TRUE(log->messages().empty());
}

// ---------------------------------------------------------------------------
// getFileSize

TEST_F(FsUtilsTest, GetFileSizeOfDenseAndSparseFiles) {
  WriteFile(Path("dense"), 10000);
  const int dense = open(Path("dense").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(dense, 0);
  uint64_t size = 1, allocated = 1;
  EXPECT_EQ(ObjectStore::getFileSize(&size, &allocated, dense), 0);
  EXPECT_EQ(size, 10000u);
  EXPECT_EQ(allocated % 512, 0u);
  EXPECT_EQ(ObjectStore::getFileSize(nullptr, nullptr, dense), 0);
  close(dense);

  // A hole of 1 MiB with one written block at its end.
  const int sparse = open(Path("sparse").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(sparse, 0);
  ASSERT_EQ(pwrite(sparse, "z", 1, 1 << 20), 1);
  EXPECT_EQ(ObjectStore::getFileSize(&size, &allocated, sparse), 0);
  EXPECT_EQ(size, (1u << 20) + 1);
  EXPECT_EQ(allocated % 512, 0u);
  EXPECT_LT(allocated, size);
  uint64_t only_size = 0;
  EXPECT_EQ(ObjectStore::getFileSize(&only_size, nullptr, sparse), 0);
  EXPECT_EQ(only_size, size);
  close(sparse);
}

TEST_F(FsUtilsTest, GetFileSizeOfClosedDescriptor) {
  const int fd = open(Path(".").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  close(fd);
  ScopedCaptureLog log;
  uint64_t size = 0, allocated = 0;
  EXPECT_EQ(ObjectStore::getFileSize(&size, &allocated, fd), -1);
  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, -1);
  EXPECT_EQ(messages[0].text, "Error: can't stat fd=" + std::to_string(fd) + " (9)");
  EXPECT_EQ(messages[0].function, ObjectStore::kGetFileSizeSignature);
}

TEST_F(FsUtilsTest, GetFileSizeOfStream) {
  WriteFile(Path("stream"), 777);
  FILE* file = std::fopen(Path("stream").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  uint64_t size = 0, allocated = 1;
  EXPECT_EQ(ObjectStore::getFileSize(&size, &allocated, file), 0);
  EXPECT_EQ(size, 777u);
  EXPECT_EQ(allocated % 512, 0u);
  std::fclose(file);

  // A null stream fails like a bad descriptor instead of crashing.
  ScopedCaptureLog log;
  EXPECT_EQ(ObjectStore::getFileSize(&size, &allocated, static_cast<FILE*>(nullptr)), -1);
  ASSERT_EQ(log->texts().size(), 1u);
  EXPECT_EQ(log->texts()[0], "Error: can't stat fd=-1 (9)");
}

TEST_F(FsUtilsTest, GetFileSizeIsCountedUnderCounter41) {
  // An empty registry: the counters are on by default.
  testing_support::TempRegistry registry(nullptr);
  ObjectStore::InitPerfCounters();
  ASSERT_TRUE(ObjectStore::g_object_store_enable_perf);
  PerfCounterStats before{};
  ASSERT_TRUE(ObjectStore::g_object_store_counter->getStats(41, before));
  EXPECT_EQ(before.name, "DiskCacheFstat");

  WriteFile(Path("timed"), 3);
  FILE* file = std::fopen(Path("timed").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ObjectStore::getFileSize(nullptr, nullptr, fileno(file)), 0);
  EXPECT_EQ(ObjectStore::getFileSize(nullptr, nullptr, file), 0);
  std::fclose(file);
  EXPECT_EQ(ObjectStore::getFileSize(nullptr, nullptr, -1), -1);  // failures count too

  PerfCounterStats after{};
  ASSERT_TRUE(ObjectStore::g_object_store_counter->getStats(41, after));
  EXPECT_EQ(after.count, before.count + 3);
}

// ---------------------------------------------------------------------------
// rmTree

// Links are removed, never followed: what they point at survives.
TEST_F(FsUtilsTest, RmTreeEmptiesNestedTreeAndKeepsTop) {
  fs::create_directories(Path("outside/deep"));
  WriteFile(Path("outside/keep"), 5);
  WriteFile(Path("outside/deep/keep"), 5);
  fs::create_directories(Path("top/a/b/c"));
  fs::create_directories(Path("top/empty"));
  WriteFile(Path("top/f1"), 10);
  WriteFile(Path("top/a/f2"), 10);
  WriteFile(Path("top/a/b/c/f3"), 10);
  ASSERT_EQ(mkfifo(Path("top/a/fifo").c_str(), 0600), 0);
  fs::create_symlink("nowhere", Path("top/a/b/dangling"));
  fs::create_symlink("f2", Path("top/a/link-to-file"));
  fs::create_directory_symlink(Path("outside"), Path("top/link-to-dir"));
  fs::create_directory_symlink(Path("outside"), Path("top/a/b/link-to-dir"));

  ScopedCaptureLog log;
  EXPECT_EQ(ObjectStore::rmTree(Path("top")), 0);
  EXPECT_TRUE(fs::is_directory(Path("top")));
  EXPECT_TRUE(fs::is_empty(Path("top")));
  EXPECT_TRUE(fs::exists(Path("outside/keep")));
  EXPECT_TRUE(fs::exists(Path("outside/deep/keep")));
  EXPECT_EQ(ObjectStore::rmTree(Path("top")), 0);  // empty already
  EXPECT_TRUE(log->messages().empty());
}

TEST_F(FsUtilsTest, RmTreeOnMissingPathOrFile) {
  WriteFile(Path("file"), 1);
  const struct {
    std::string path;
    int error;
  } cases[] = {{Path("missing"), ENOENT}, {Path("file"), ENOTDIR}, {"", ENOENT}};
  for (const auto& c : cases) {
    ScopedCaptureLog log;
    EXPECT_EQ(ObjectStore::rmTree(c.path), c.error) << c.path;
    ASSERT_EQ(log->messages().size(), 1u);
    EXPECT_EQ(log->messages()[0].level, -1);
    EXPECT_EQ(log->messages()[0].text,
              "Error: can't open directory " + c.path + " (" + std::to_string(c.error) + ")");
  }
  EXPECT_TRUE(fs::exists(Path("file")));
}

// The first entry that cannot be removed stops the walk: its error is
// returned, what was handled before it is gone, what comes after is intact.
TEST_F(FsUtilsTest, RmTreeStopsAtUnremovableEntry) {
  fs::create_directories(Path("top/locked"));
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) WriteFile(Path("top/") + name, 1);
  WriteFile(Path("top/locked/file"), 1);
  const std::vector<std::string> order = Entries(Path("top"));  // the walk's order
  const int expected = MakeUnremovable(Path("top/locked/file"));
  if (expected == 0) GTEST_SKIP() << "this file system cannot make a file unremovable for root";

  ScopedCaptureLog log;
  EXPECT_EQ(ObjectStore::rmTree(Path("top")), expected);
  const auto messages = log->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].level, -1);
  EXPECT_EQ(messages[0].text, "Error: can't unlink " + Path("top/locked/file") + " (" +
                                  std::to_string(expected) + ")");
  bool before_locked = true;
  for (const std::string& name : order) {
    if (name == "locked") {
      before_locked = false;
      continue;
    }
    EXPECT_EQ(fs::exists(Path("top/") + name), !before_locked) << name;
  }
  EXPECT_TRUE(fs::exists(Path("top/locked/file")));
}

TEST_F(FsUtilsTest, RmTreeReportsReadErrors) {
  fs::create_directories(Path("top/sub"));
  WriteFile(Path("top/sub/file"), 1);

  ScopedCaptureLog log;
  int result = 0;
  {
    ScopedReaddir failing(Path("top/sub"), ReaddirMode::kFail);
    result = ObjectStore::rmTree(Path("top"));
  }
  EXPECT_EQ(result, EIO);
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].text, "Error: can't read directory " + Path("top/sub") + " (5)");
  EXPECT_TRUE(fs::exists(Path("top/sub/file")));
}

// Entry types come from readdir where the file system gives them. Whether
// it gives none, or wrong ones (an entry replaced since it was read looks
// like that), every entry is still removed as what it is, and no link is
// followed.
TEST_F(FsUtilsTest, RmTreeRemovesEntriesWhateverTypeReaddirReports) {
  const ReaddirMode modes[] = {ReaddirMode::kTypeUnknown, ReaddirMode::kTypeFile,
                               ReaddirMode::kTypeDir};
  for (const ReaddirMode mode : modes) {
    SCOPED_TRACE(static_cast<int>(mode));
    fs::create_directories(Path("outside/deep"));
    WriteFile(Path("outside/keep"), 5);
    fs::create_directories(Path("top/dir/sub"));
    fs::create_directories(Path("top/empty"));
    WriteFile(Path("top/file"), 3);
    WriteFile(Path("top/dir/sub/file"), 3);
    ASSERT_EQ(mkfifo(Path("top/fifo").c_str(), 0600), 0);
    fs::create_directory_symlink(Path("outside"), Path("top/link-to-dir"));
    fs::create_symlink(Path("outside/keep"), Path("top/link-to-file"));
    fs::create_symlink("nowhere", Path("top/dangling"));

    ScopedCaptureLog log;
    int result = -1;
    {
      ScopedReaddir misreporting(Path("top"), mode);
      result = ObjectStore::rmTree(Path("top"));
    }
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(fs::is_directory(Path("top")));
    EXPECT_TRUE(fs::is_empty(Path("top")));
    EXPECT_TRUE(fs::exists(Path("outside/keep")));
    EXPECT_TRUE(fs::is_directory(Path("outside/deep")));
    EXPECT_TRUE(log->messages().empty());
  }
}

// An entry that is gone before the walk reaches it (another remover took
// it) counts as removed, whatever its type and whether readdir reported the
// type, as with rm -rf.
TEST_F(FsUtilsTest, RmTreeCountsEntriesThatVanishAsRemoved) {
  const struct {
    const char* entry;
    bool directory;
    ReaddirMode mode;
  } cases[] = {
      {"file", false, ReaddirMode::kVanish},
      {"dir", true, ReaddirMode::kVanish},
      {"file", false, ReaddirMode::kVanishTypeUnknown},
      {"dir", true, ReaddirMode::kVanishTypeUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " mode " + std::to_string(static_cast<int>(c.mode)));
    fs::create_directories(Path("top/sub"));
    if (c.directory) {
      fs::create_directory(Path("top/sub/") + c.entry);
    } else {
      WriteFile(Path("top/sub/") + c.entry, 1);
    }

    ScopedCaptureLog log;
    int result = -1;
    {
      ScopedReaddir vanishing(Path("top/sub"), c.mode);
      result = ObjectStore::rmTree(Path("top"));
    }
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(log->messages().empty());
    EXPECT_TRUE(fs::is_empty(Path("top")));
  }
}

// A tree of 100,000 levels (a path of 200,000 bytes) is emptied with at
// most 32 descriptors and under 4 MiB of memory: the child process that
// runs rmTree may open 32 descriptors more than it holds, and grow its data
// by 4 MiB. A descriptor per level, or a path per level, fails at once.
// On a disk, each level is a journalled block: the tree is built on a tmpfs
// of the child's own where that is allowed, else 10,000 levels deep here.
TEST_F(FsUtilsTest, RmTreeOfVeryDeepTreeHasBoundedDescriptorsAndMemory) {
  constexpr rlim_t kDescriptors = 32;
  [[maybe_unused]] constexpr rlim_t kMemory = 4 << 20;
  fs::create_directory(Path("top"));

  const ChildOutcome child = RunInChild([&](std::string& out) {
    const bool own_tmpfs = EnterOwnMountNamespace().empty() &&
                           mount("tmpfs", Path("top").c_str(), "tmpfs", 0, "mode=0700") == 0;
    const int levels = own_tmpfs ? 100000 : 10000;
    out = std::to_string(levels) + " levels: ";
    if (!MakeChain(Path("top"), levels)) return out += "chain not made", 100;

    // Fill the gaps below the highest descriptor, so that exactly
    // kDescriptors more can be opened.
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
      highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    int filler = dup(0);
    while (filler >= 0 && filler < highest) filler = dup(0);
    const rlimit descriptors{filler + 1 + kDescriptors, filler + 1 + kDescriptors};
    if (setrlimit(RLIMIT_NOFILE, &descriptors) != 0) return out += "RLIMIT_NOFILE", 100;
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps freed memory in quarantine: no bound to see.
    malloc_trim(0);
    const rlim_t data = DataSegmentBytes() + kMemory;
    const rlimit memory{data, data};
    if (data == kMemory || setrlimit(RLIMIT_DATA, &memory) != 0) return out += "RLIMIT_DATA", 100;
#endif
    const int result = ObjectStore::rmTree(Path("top"));
    if (result == 0 && !fs::is_empty(Path("top"))) return out += "not emptied", 100;
    return out += "rmTree " + std::to_string(result), result;
  });
  EXPECT_EQ(child.status, 0) << child.output;
}

// A directory closed to stay within the descriptor bound is entered again
// through its child's "..", only while it is still the one recorded on the
// way down. Here a directory high in a deep chain is moved out of the tree
// while the walk is at the chain's foot: the walk empties what it moved (the
// tree's own entries), then finds itself outside and stops.
TEST_F(FsUtilsTest, RmTreeStopsWhenAClosedDirectoryWasMoved) {
  fs::create_directories(Path("top/a"));
  fs::create_directories(Path("outside"));
  WriteFile(Path("outside/keep"), 1);
  ASSERT_TRUE(MakeChain(Path("top/a"), 40));
  std::string foot = Path("top/a");
  for (int level = 0; level < 40; ++level) foot += "/d";

  ScopedCaptureLog log;
  int result = 0;
  {
    ScopedReaddir moving(foot, ReaddirMode::kAction);
    g_readdir_action = [this] { fs::rename(Path("top/a/d"), Path("outside/d")); };
    result = ObjectStore::rmTree(Path("top"));
  }
  EXPECT_EQ(result, ESTALE);
  ASSERT_EQ(log->texts().size(), 1u);
  EXPECT_EQ(log->texts()[0], "Error: can't return to directory " + Path("top/a") + " (" +
                                 std::to_string(ESTALE) + ")");
  EXPECT_TRUE(fs::is_directory(Path("top/a")));
  EXPECT_TRUE(fs::exists(Path("outside/keep")));
  EXPECT_TRUE(fs::is_empty(Path("outside/d")));
}

// A file system mounted inside the tree (here a bind mount of a directory
// elsewhere, on the same device) is never entered: one message names it,
// the other entries go, the directories that hold it stay, and the result
// is EXDEV. The mount lives in a mount namespace of a child process.
TEST_F(FsUtilsTest, RmTreeNeverEntersAMountPoint) {
  fs::create_directories(Path("source/inner"));
  WriteFile(Path("source/keep"), 1);
  WriteFile(Path("source/inner/keep"), 1);
  fs::create_directories(Path("top/holder/x"));
  fs::create_directories(Path("top/holder/y"));
  WriteFile(Path("top/a"), 1);
  WriteFile(Path("top/holder/b"), 1);
  // The mount point is read first, and a chain deeper than the descriptor
  // bound after it, so that the holder is read again after the chain.
  const std::vector<std::string> order = Entries(Path("top/holder"));
  const std::string mount_point = Path("top/holder/") + (order[0] == "b" ? order[1] : order[0]);
  const std::string chain = Path("top/holder/") + (mount_point.back() == 'x' ? "y" : "x");
  ASSERT_TRUE(MakeChain(chain, 40));

  const ChildOutcome child = RunInChild([&](std::string& out) {
    out = EnterOwnMountNamespace();
    if (!out.empty()) return 0;
    if (mount(Path("source").c_str(), mount_point.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return out = std::string("mount --bind: ") + std::strerror(errno), 0;
    ScopedCaptureLog log;
    const int result = ObjectStore::rmTree(Path("top"));
    out = std::to_string(result);
    for (const std::string& text : log->texts()) out += "\n" + text;
    return 0;
  });
  ASSERT_EQ(child.status, 0);
  if (child.output.rfind("unshare", 0) == 0 || child.output.rfind("mount", 0) == 0)
    GTEST_SKIP() << "no bind mount in a mount namespace here: " << child.output;
  EXPECT_EQ(child.output, std::to_string(EXDEV) + "\nError: can't enter mount point " +
                              mount_point + " (" + std::to_string(EXDEV) + ")");
  EXPECT_TRUE(fs::exists(Path("source/keep")));
  EXPECT_TRUE(fs::exists(Path("source/inner/keep")));
  EXPECT_EQ(Entries(Path("top")), std::vector<std::string>{"holder"});
  EXPECT_EQ(Entries(Path("top/holder")),
            std::vector<std::string>{fs::path(mount_point).filename().string()});
}

// ---------------------------------------------------------------------------
// getFreeBytes

TEST_F(FsUtilsTest, GetFreeBytesMatchesStatvfs) {
  uint64_t free_bytes = 0, total_bytes = 0;
  ASSERT_EQ(ObjectStore::getFreeBytes(&free_bytes, &total_bytes, root_), 0);
  struct statvfs volume;
  ASSERT_EQ(statvfs(root_.c_str(), &volume), 0);
  EXPECT_EQ(total_bytes, static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize);
  EXPECT_LE(free_bytes, total_bytes);
  // Others write to the same volume meanwhile: compare within 256 MiB.
  const uint64_t expected_free = static_cast<uint64_t>(volume.f_bfree) * volume.f_frsize;
  const uint64_t difference =
      free_bytes > expected_free ? free_bytes - expected_free : expected_free - free_bytes;
  EXPECT_LT(difference, uint64_t{256} << 20);
  EXPECT_EQ(ObjectStore::getFreeBytes(nullptr, nullptr, root_), 0);
}

TEST_F(FsUtilsTest, GetFreeBytesOfMissingPath) {
  ScopedCaptureLog log;
  uint64_t free_bytes = 11, total_bytes = 22;
  EXPECT_EQ(ObjectStore::getFreeBytes(&free_bytes, &total_bytes, Path("missing")), ENOENT);
  EXPECT_EQ(free_bytes, 11u);
  EXPECT_EQ(total_bytes, 22u);
  ASSERT_EQ(log->messages().size(), 1u);
  EXPECT_EQ(log->messages()[0].level, -1);
  EXPECT_EQ(log->messages()[0].text, "Can't statvfs " + Path("missing") + " (2)");
}

}  // namespace
