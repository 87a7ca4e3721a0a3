#include "objstore/objStrUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <boost/tokenizer.hpp>
#include <boost/uuid/uuid.hpp>

#include "host/Directory.h"
#include "host/MediaManager.h"
#include "host/Network.h"
#include "perf/objectStorePerf.h"

namespace ObjectStore {

// ---------------------------------------------------------------------------
// Path and string helpers
// ---------------------------------------------------------------------------

std::string join(const std::string& first, const std::string& second, char separator) {
  std::string joined(first);
  if (!joined.empty() && joined.back() != separator) joined.push_back(separator);
  // Both sides bring a separator to the seam: keep one of them.
  if (!joined.empty() && !second.empty() && joined.back() == separator &&
      second.front() == separator) {
    joined.pop_back();
  }
  joined += second;
  return joined;
}

CWyError splitParentPath(const std::string& fullPath, std::string& parentOut,
                         std::string& childOut, char separator) {
  static const char kSignature[] =
      "CWyError ObjectStore::splitParentPath(const std::string&, std::string&, std::string&, "
      "char)";
  if (fullPath.empty()) {
    return FXErrorUtil::ErrorErrNo(FXCodeLocation("objStrUtils", kSignature, __LINE__), EINVAL,
                                   "Can't split an empty path");
  }
  if (fullPath.size() == 1 && fullPath[0] == separator) {
    parentOut = fullPath;
    childOut.clear();
    return CWyError::Success();
  }

  std::string path(fullPath);
  if (path.back() == separator) path.pop_back();  // one trailing separator only

  const std::string::size_type last = path.rfind(separator);
  if (last == std::string::npos) {
    return FXErrorUtil::ErrorErrNo(FXCodeLocation("objStrUtils", kSignature, __LINE__), ENOENT,
                                   "%s is not a full path", fullPath.c_str());
  }
  // Build both outputs before touching either, so that a failed allocation
  // leaves them as they were.
  std::string parent = last == 0 ? std::string(1, separator) : path.substr(0, last);
  std::string child = path.substr(last + 1);
  parentOut.swap(parent);
  childOut.swap(child);

  OBJSTORE_LOG(5, kSignature, "splitParentPath: fullPath=[%s] parentOut=[%s] childOut=[%s]",
               fullPath.c_str(), parentOut.c_str(), childOut.c_str());
  return CWyError::Success();
}

void tokenize(std::vector<std::string>& tokens, const std::string& input,
              const std::string& separators) {
  tokens.clear();
  // c_str() stops the separator set at its first NUL. The kept set is empty
  // (not null), so no byte is kept as a token of its own.
  const boost::char_separator<char> split(separators.c_str(), "", boost::drop_empty_tokens);
  const boost::tokenizer<boost::char_separator<char>> pieces(input, split);
  for (const std::string& piece : pieces) tokens.push_back(piece);
}

std::string to_hexstring(const void* pointer) {
  std::ostringstream text;
  // A locale with digit grouping would put separators between the digits.
  text.imbue(std::locale::classic());
  text << std::hex << pointer;
  return text.str();
}

// ---------------------------------------------------------------------------
// Configuration lookups
// ---------------------------------------------------------------------------

std::string getRegistryString(const char* name) {
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());
  std::string value;
  store.getString("Zelt", name, &value);
  return value;
}

template OBJSTORE_API int getRegistryValue<int>(const char*, int, int, int);

// ---------------------------------------------------------------------------
// File-system helpers
// ---------------------------------------------------------------------------

namespace {

// ---- createDir and rmTree: walks through directory descriptors ----------
//
// Both work one path component at a time, relative to a descriptor of the
// directory above, so the length of a path never reaches the system and
// trees of any depth are handled.

constexpr char kCreateDirSignature[] = "int ObjectStore::createDir(const std::string&)";
constexpr char kRmTreeSignature[] = "int ObjectStore::rmTree(const std::string&)";

// True when `name` in the directory `dirFd` is a directory, following a link
// as path resolution does.
bool IsDirectoryAt(int dirFd, const char* name) {
  struct stat status;
  return fstatat(dirFd, name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// Creates `path` and its missing parents a component at a time, for paths
// the system refuses whole (PATH_MAX and longer). The outcome is that of
// CWyDirectory::Create(path, true): an existing directory is success, a
// parent that exists as something else fails on entering it (ENOTDIR), and
// links are followed as path resolution follows them. Holds at most two
// descriptors at once.
CWyError CreateLongPath(const char* path) {
  int dirFd = AT_FDCWD;
  int error = 0;
  if (*path == '/') {
    dirFd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) error = errno;
  }
  const char* next = path;
  char name[NAME_MAX + 1];  // no allocation while a descriptor is open
  while (error == 0) {
    next += std::strspn(next, "/");
    if (*next == '\0') break;  // only separators after the last component
    const size_t length = std::strcspn(next, "/");
    if (length > NAME_MAX) {
      error = ENAMETOOLONG;
      break;
    }
    std::memcpy(name, next, length);
    name[length] = '\0';
    next += length;
    const bool last = next[std::strspn(next, "/")] == '\0';
    if (mkdirat(dirFd, name, 0777) != 0) {
      // An existing directory is fine whatever mkdir said (EEXIST, or EACCES
      // and EROFS on some file systems); any existing parent is passed over,
      // so that entering it names the real problem.
      const int mkdirError = errno;
      if (!(!last && mkdirError == EEXIST) && !IsDirectoryAt(dirFd, name)) {
        error = mkdirError;
        break;
      }
    }
    if (last) break;
    // O_PATH: entering a directory needs search permission only, as in a
    // path given whole.
    const int child = openat(dirFd, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (child < 0) error = errno;
    if (dirFd != AT_FDCWD) close(dirFd);
    dirFd = child;
  }
  if (dirFd >= 0) close(dirFd);
  if (error == 0) return CWyError::Success();
  return FXErrorUtil::ErrorErrNo(FXCodeLocation("objStrUtils", kCreateDirSignature, __LINE__),
                                 error, "Can't create directory %s", path);
}

// Where a directory lies: device, inode and the mount it was reached
// through. `mount` is known where the kernel reports mount ids (Linux 5.8);
// it tells a bind mount from the file system it shows, whose device it
// shares.
struct Place {
  dev_t device;
  ino_t inode;
  bool mountKnown;
  uint64_t mount;
};

// The place of the directory open at `fd`; 0 or the error number. (The C
// library answers from fstat where the kernel has no statx.)
int Locate(int fd, Place& place) {
  struct statx status;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &status) != 0) return errno;
  place.device = makedev(status.stx_dev_major, status.stx_dev_minor);
  place.inode = status.stx_ino;
  place.mountKnown = (status.stx_mask & STATX_MNT_ID) != 0;
  place.mount = status.stx_mnt_id;
  return 0;
}

// Directory streams rmTree keeps open at once. One more descriptor is open
// only for a moment (a subdirectory being checked before it is entered, or a
// closed parent being entered again), so the walk never holds more than 32
// descriptors, however deep the tree.
constexpr size_t kOpenStreams = 31;

// rmTree's depth-first walk, without recursion. Level 0 is the top
// directory; the levels below it are the directories being emptied, down to
// the current one, the deepest.
//
// Invariants:
//  - Levels firstOpen_ to the current one have an open stream, in
//    streams_[level % kOpenStreams]; the levels above were closed to keep
//    within kOpenStreams. A closed level is entered again only through its
//    child's "..", and only when that is the device and inode recorded on
//    the way down (inos_); otherwise the walk stops and touches nothing more.
//    A closed level is read again from its start: what was removed is gone.
//  - Every level is on the top's mount: the walk never enters another file
//    system, nor a bind mount of a directory elsewhere (a mount point in the
//    tree is left with an error, and the walk goes on with the others).
//  - The top keptLevels_ levels hold an entry that was left (a mount point),
//    so they are not removed; left_ names those entries and the directories
//    kept for them, so that a level read again passes them over.
//  - The walk's memory is its inode and name stacks (about 10 bytes per
//    level plus the names) and kOpenStreams streams. Paths are built only
//    when a message is written.
class TreeWalk {
 public:
  explicit TreeWalk(const std::string& top) : top_(top) {}
  ~TreeWalk() {
    if (inos_.empty()) return;
    for (size_t level = firstOpen_; level <= Depth(); ++level)
      if (DIR* dir = Stream(level)) closedir(dir);
  }
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  // Empties the top directory, open at `fd` (the walk takes it over).
  // Returns 0, or the error number of the first failure.
  int Run(int fd);

 private:
  size_t Depth() const { return inos_.size() - 1; }
  DIR*& Stream(size_t level) { return streams_[level % kOpenStreams]; }
  int CurrentFd() { return dirfd(Stream(Depth())); }

  int HandleEntry(const char* name, unsigned char type);
  int Unlink(const char* name);
  int EnterDirectory(const char* name, bool queried);
  int Push(int fd, const char* name, ino_t inode);
  int Ascend();
  int ReenterParent();
  void Pop();
  bool WasLeft(const char* name) const;

  size_t LastNameStart() const;
  std::string PathOf(size_t level, const char* name) const;
  int FailAt(size_t level, const char* format, const char* name, int error) const;
  // A failure at the current level.
  int Fail(const char* format, const char* name, int error) const {
    return FailAt(Depth(), format, name, error);
  }

  const std::string& top_;
  Place top_place_{};
  std::vector<ino_t> inos_;  // per level, recorded on the way down
  std::string names_;        // names of levels 1 and below, each ended by '\0'
  DIR* streams_[kOpenStreams] = {};
  size_t firstOpen_ = 0;
  size_t keptLevels_ = 0;
  std::vector<std::pair<size_t, std::string>> left_;  // level, entry name
  int firstError_ = 0;  // of a failure that let the walk go on
};

// The path of the entry `name` of the directory at `level`, or of that
// directory itself when `name` is null: the names joined to the top as
// `join` with '/' joins them (a name never begins with '/'), in one buffer,
// since a deep tree's path is long.
std::string TreeWalk::PathOf(size_t level, const char* name) const {
  std::string path = top_;
  auto append = [&path](const char* part, size_t length) {
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(part, length);
  };
  const char* part = names_.c_str();
  for (size_t i = 0; i < level; ++i) {
    const size_t length = std::strlen(part);
    append(part, length);
    part += length + 1;
  }
  if (name != nullptr) append(name, std::strlen(name));
  return path;
}

// Logs one failure, naming the entry `name` of the directory at `level` (or
// that directory), and hands its error number back.
int TreeWalk::FailAt(size_t level, const char* format, const char* name, int error) const {
  // The path is built inside the log call: only when the message is written.
  OBJSTORE_LOG(-1, kRmTreeSignature, format, PathOf(level, name).c_str(), error);
  return error;
}

size_t TreeWalk::LastNameStart() const {
  if (names_.size() < 2) return 0;
  const size_t separator = names_.rfind('\0', names_.size() - 2);
  return separator == std::string::npos ? 0 : separator + 1;
}

int TreeWalk::Run(int fd) {
  if (const int error = Locate(fd, top_place_)) {
    close(fd);
    return FailAt(0, "Error: can't stat %s (%d)", nullptr, error);
  }
  int result = Push(fd, nullptr, top_place_.inode);
  while (result == 0) {
    // readdir signals both the end and an error with null; only an error
    // sets errno.
    errno = 0;
    const dirent* entry = readdir(Stream(Depth()));
    if (entry == nullptr) {
      if (errno != 0) {
        result = Fail("Error: can't read directory %s (%d)", nullptr, errno);
      } else if (Depth() == 0) {
        break;
      } else {
        result = Ascend();
      }
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (WasLeft(name)) continue;
    result = HandleEntry(name, entry->d_type);
  }
  return firstError_ != 0 ? firstError_ : result;
}

// Removes the entry `name` of the current level, or enters it when it is a
// directory. `type` is its d_type from readdir.
//
// Where the file system reports the type, no status query is made: that
// query cost as much again as the unlink of a small file. It is made only
// when the type is unknown, or after a removal failed, so that every failure
// reads as it would with the query made first. An entry that turns out to
// be of another kind than reported (replaced since readdir) is handled as
// what it is now; one that is gone already (ENOENT) counts as removed, as
// another remover working on the same tree may have taken it.
int TreeWalk::HandleEntry(const char* name, unsigned char type) {
  bool queried = false;
  if (type == DT_UNKNOWN) {
    struct stat status;
    if (fstatat(CurrentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? 0 : Fail("Error: can't stat %s (%d)", name, errno);
    queried = true;
    type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;  // DT_REG: "anything else"
  }
  if (type != DT_DIR) {
    if (unlinkat(CurrentFd(), name, 0) == 0 || errno == ENOENT) return 0;
    const int error = errno;
    struct stat status;
    if (fstatat(CurrentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? 0 : Fail("Error: can't stat %s (%d)", name, errno);
    if (!S_ISDIR(status.st_mode)) return Fail("Error: can't unlink %s (%d)", name, error);
    queried = true;  // a directory after all: entered below
  }
  return EnterDirectory(name, queried);
}

// Unlinks `name`, found not to be a directory after all.
int TreeWalk::Unlink(const char* name) {
  if (unlinkat(CurrentFd(), name, 0) == 0 || errno == ENOENT) return 0;
  return Fail("Error: can't unlink %s (%d)", name, errno);
}

// Makes the directory `name` of the current level the current level, unless
// it is a mount point. `queried`: its status was read since readdir, so a
// failure to open it is not looked into again.
int TreeWalk::EnterDirectory(const char* name, bool queried) {
  // O_NOFOLLOW: an entry that is a link (or became one) fails (ELOOP)
  // instead of leading outside the tree.
  const int child = openat(CurrentFd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (child < 0) {
    const int error = errno;
    if (error == ENOENT) return 0;
    if (!queried) {
      struct stat status;
      if (fstatat(CurrentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : Fail("Error: can't stat %s (%d)", name, errno);
      if (!S_ISDIR(status.st_mode)) return Unlink(name);  // not a directory (any more)
    }
    return Fail("Error: can't open directory %s (%d)", name, error);
  }
  // The place of what was opened, not of the name: the name may point
  // elsewhere by now.
  Place place{};
  if (const int error = Locate(child, place)) {
    close(child);
    return Fail("Error: can't stat %s (%d)", name, error);
  }
  if (place.device != top_place_.device ||
      (place.mountKnown && top_place_.mountKnown && place.mount != top_place_.mount)) {
    // A mount point: emptying it would empty what is mounted there (for a
    // bind mount, a directory elsewhere). Left with its parents, reported
    // once; the walk goes on with the other entries. EXDEV: the walk does
    // not cross into another mount, and trying again does not help.
    close(child);
    left_.emplace_back(Depth(), name);
    keptLevels_ = Depth() + 1;
    if (firstError_ == 0) firstError_ = EXDEV;
    Fail("Error: can't enter mount point %s (%d)", name, EXDEV);
    return 0;
  }
  return Push(child, name, place.inode);
}

// Makes the directory open at `fd` (taken over) the current level, closing
// the highest open level when kOpenStreams are open.
int TreeWalk::Push(int fd, const char* name, ino_t inode) {
  try {
    if (name != nullptr) names_.append(name, std::strlen(name) + 1);  // with its '\0'
    inos_.push_back(inode);
  } catch (...) {
    close(fd);  // not the walk's yet
    throw;
  }
  const size_t level = Depth();
  if (level - firstOpen_ + 1 > kOpenStreams) {
    closedir(Stream(firstOpen_));
    Stream(firstOpen_) = nullptr;
    ++firstOpen_;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    return Fail("Error: can't open directory %s (%d)", nullptr, error);
  }
  Stream(level) = dir;
  return 0;
}

// Leaves the current level, read to its end, for its parent, and removes it
// there unless it holds an entry that was left.
int TreeWalk::Ascend() {
  const size_t level = Depth();
  if (firstOpen_ == level) {
    if (const int error = ReenterParent()) return error;
  }
  closedir(Stream(level));
  Stream(level) = nullptr;
  const char* const name = names_.c_str() + LastNameStart();
  if (keptLevels_ > level) {
    // It holds what was left, and stays in its parent: left there too, so
    // that its parent, read again, does not enter it again.
    keptLevels_ = level;
    std::string kept(name);
    Pop();
    left_.emplace_back(level - 1, std::move(kept));
    return 0;
  }
  int result = 0;
  if (unlinkat(dirfd(Stream(level - 1)), name, AT_REMOVEDIR) != 0 && errno != ENOENT)
    result = Fail("Error: can't rmdir %s (%d)", nullptr, errno);
  Pop();
  return result;
}

// Opens the parent of the current level again, closed to keep within
// kOpenStreams, through "..". That leads to wherever the current directory
// is now, so it must still be the directory recorded on the way down. (A
// directory removed meanwhile still leads to its former parent.)
int TreeWalk::ReenterParent() {
  const size_t parentLevel = Depth() - 1;
  const int parent = openat(CurrentFd(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int error = parent < 0 ? errno : 0;
  Place place{};
  if (error == 0) error = Locate(parent, place);
  // Moved while the walk was below it: ESTALE, the way back up is stale.
  // (Not ENOENT, which callers may take for "nothing to empty".)
  if (error == 0 && (place.device != top_place_.device || place.inode != inos_[parentLevel]))
    error = ESTALE;
  if (error != 0) {
    if (parent >= 0) close(parent);
    return FailAt(parentLevel, "Error: can't return to directory %s (%d)", nullptr, error);
  }
  DIR* const dir = fdopendir(parent);
  if (dir == nullptr) {
    error = errno;
    close(parent);
    return FailAt(parentLevel, "Error: can't open directory %s (%d)", nullptr, error);
  }
  Stream(parentLevel) = dir;
  firstOpen_ = parentLevel;
  return 0;
}

// Forgets the current level; its stream is closed already.
void TreeWalk::Pop() {
  names_.resize(LastNameStart());
  inos_.pop_back();
  while (!left_.empty() && left_.back().first > Depth()) left_.pop_back();
}

bool TreeWalk::WasLeft(const char* name) const {
  for (auto it = left_.rbegin(); it != left_.rend() && it->first == Depth(); ++it)
    if (it->second == name) return true;
  return false;
}

}  // namespace

int createDir(const std::string& path) {
  // The platform takes the path whole, which the system refuses from
  // PATH_MAX bytes on: longer ones are created a component at a time.
  const CWyError error = std::strlen(path.c_str()) < PATH_MAX
                             ? CWyDirectory::Create(path.c_str(), true)
                             : CreateLongPath(path.c_str());
  if (!error.IsError()) return 0;
  const int code = error.GetErrorCode();
  OBJSTORE_LOG(-1, kCreateDirSignature, "Error: can't create directory %s (%d)", path.c_str(),
               code);
  return code;
}

bool doesFileExist(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, int fd) {
  TimeFunction timer("getFileSize", 41);  // counter 41: "DiskCacheFstat"
  struct stat status;
  const int result = fstat(fd, &status);
  if (result == 0) {
    if (sizeOut != nullptr) *sizeOut = static_cast<uint64_t>(status.st_size);
    if (allocatedOut != nullptr) *allocatedOut = static_cast<uint64_t>(status.st_blocks) * 512;
  } else {
    const int error = errno;
    OBJSTORE_LOG(-1, "int ObjectStore::getFileSize(uint64_t*, uint64_t*, int)",
                 "Error: can't stat fd=%d (%d)", fd, error);
  }
  return result;
}

int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, FILE* file) {
  // fileno(NULL) would crash; -1 gets the descriptor form's EBADF path.
  return getFileSize(sizeOut, allocatedOut, file != nullptr ? fileno(file) : -1);
}

int rmTree(const std::string& path) {
  // The top directory is opened like opendir does, following a link: the
  // caller named it. Only what lies inside is never followed.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, kRmTreeSignature, "Error: can't open directory %s (%d)", path.c_str(), error);
    return error;
  }
  TreeWalk walk(path);
  return walk.Run(fd);
}

int getFreeBytes(uint64_t* freeOut, uint64_t* totalOut, const std::string& path) {
  struct statvfs volume;
  if (statvfs(path.c_str(), &volume) != 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, "int ObjectStore::getFreeBytes(uint64_t*, uint64_t*, const std::string&)",
                 "Can't statvfs %s (%d)", path.c_str(), error);
    return error;
  }
  if (totalOut != nullptr) *totalOut = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
  // f_bfree, not f_bavail: the blocks reserved for root count as free.
  if (freeOut != nullptr) *freeOut = static_cast<uint64_t>(volume.f_bfree) * volume.f_frsize;
  return 0;
}

// ---------------------------------------------------------------------------
// GUID generation
// ---------------------------------------------------------------------------

// Built at load in this order, the generator (and its seeding) first; torn
// down in reverse, so the lock never outlives nor predates its generator.
boost::uuids::basic_random_generator<boost::mt19937> RandomGenerator;
// Guards every draw from RandomGenerator. Private to the library.
ZqCriticalSection RandomLock;

namespace {

// The UUIDs a thread has drawn from RandomGenerator and not yet handed out.
//
// A draw per call made every GUID a round trip of RandomLock, and of the
// generator's state, between the cores of the calling threads. The draw is
// about half of a call's work, so that traffic made two threads calling at
// once slower together than one thread alone. Each entry into RandomLock
// therefore draws a batch into a buffer of the calling thread, and the
// threads format their GUIDs from their own buffers in parallel.
//
// The batch starts small and doubles with each refill: a thread that makes
// a few GUIDs draws a few and holds the lock about as briefly as before,
// while a thread that makes them in bulk soon draws kLargestBatch at a time
// (about 20 us under the lock, 16 KiB of buffer). Smaller batches were not
// enough: up to a few hundred per entry, two threads in a tight loop still
// fell into step, each waiting for the other's draw, and together made no
// more GUIDs than one.
//
// Each UUID still comes whole from one locked call of the generator (which
// sets version and variant), lives in exactly one thread's buffer and is
// handed out once, so two calls never receive the same draw. A thread that
// ends throws its unused ones away.
constexpr int kFirstBatch = 8;
constexpr int kLargestBatch = 1024;

// GCC would otherwise clone take() for its one call site; clang never does
// and has no such attribute.
#if defined(__clang__)
#define OBJSTORE_NO_CLONE
#else
#define OBJSTORE_NO_CLONE __attribute__((noclone))
#endif

// Trivial and zero-initialised, so that reaching it costs no guard: the
// empty state is size 0, and the first batch fills `inlineIds` as it is.
struct GuidBuffer {
  // Hands out the next unused UUID, drawing a batch first when none is
  // left. Out of line (and not specialised for its one caller's argument),
  // so that the buffer's address is computed once, by the caller; inlined,
  // the compiler would compute it again (a call into the dynamic linker) at
  // each use.
  __attribute__((noinline)) OBJSTORE_NO_CLONE boost::uuids::uuid take();
  __attribute__((noinline)) void refill();  // kept off take's fast path

  boost::uuids::uuid inlineIds[kFirstBatch];
  boost::uuids::uuid* heap;  // the grown batch; null until then
  int size;                  // the batch held; 0 before the first draw
  int next;                  // the first unused one; size when empty
};

thread_local GuidBuffer t_guids;

// Frees a thread's grown batch when the thread ends. Reached only when a
// batch first grows, which is what registers its destructor.
struct GuidBufferRelease {
  bool armed = false;
  ~GuidBufferRelease() {
    GuidBuffer& buffer = t_guids;
    delete[] buffer.heap;
    buffer = GuidBuffer();  // empty again, for anything still asking during the exit
  }
};

thread_local GuidBufferRelease t_guidRelease;

boost::uuids::uuid GuidBuffer::take() {
  if (next == size) refill();
  return (heap != nullptr ? heap : inlineIds)[next++];
}

void GuidBuffer::refill() {
  // Grown before the lock is entered: no allocation inside it. Without
  // memory the batch keeps its size.
  if (size == 0) {
    size = kFirstBatch;
  } else if (size < kLargestBatch) {
    if (auto* larger = new (std::nothrow) boost::uuids::uuid[2 * size]) {
      t_guidRelease.armed = true;
      delete[] heap;
      heap = larger;
      size *= 2;
    }
  }
  boost::uuids::uuid* const ids = heap != nullptr ? heap : inlineIds;
  RandomLock.enter(true);
  for (int i = 0; i < size; ++i) ids[i] = RandomGenerator();  // the draw alone is locked
  RandomLock.leave();
  next = 0;
}

// Every byte value as its two lower-case hexadecimal digits, high nibble
// first: one lookup per byte instead of two.
struct HexPairs {
  constexpr HexPairs() : digits() {
    constexpr char kHexDigits[] = "0123456789abcdef";
    for (int byte = 0; byte < 256; ++byte) {
      digits[2 * byte] = kHexDigits[byte >> 4];
      digits[2 * byte + 1] = kHexDigits[byte & 0x0F];
    }
  }
  char digits[512];
};
constexpr HexPairs kHexPairs;

}  // namespace

std::string generateGuid() {
  const boost::uuids::uuid id = t_guids.take();

  std::string text(2 * sizeof id.data, '\0');
  char* out = &text[0];
  for (const uint8_t byte : id.data) {
    std::memcpy(out, &kHexPairs.digits[2 * byte], 2);
    out += 2;
  }
  return text;
}

// ---------------------------------------------------------------------------
// Host probes
// ---------------------------------------------------------------------------

int64_t getDiskLibrarySize(int subclientId, long long& capacityOut, long long& freeSpaceOut) {
  ZQMMlibInfo libraryInfo(2);
  return libraryInfo.getCapacityAndFreeSpaceForSubclient(subclientId, capacityOut,
                                                         freeSpaceOut) == 0
             ? 0
             : -1;
}

bool isRpcbindRunning() {
  constexpr char kSignature[] = "bool ObjectStore::isRpcbindRunning()";
  constexpr int kPortMapperPort = 111;
  CWySocket socket;
  CWyIPAddr address;  // no host address: the any-address of the family
  address.SetPortNumber(kPortMapperPort);
  address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET);
  socket.Socket(address);
  address.SetPortNumber(kPortMapperPort);
  const CWyError bound = socket.Bind(address);
  // Released before the outcome is judged: the probe never keeps the port.
  socket.Close();

  if (!bound.IsError()) {
    OBJSTORE_LOG(1, kSignature,
                 "Able to bind to port mapper port [111]. RPCBIND service cannot be running.");
    return false;
  }
  const int error = FXErrorUtil::GetErrNo(bound);
  if (error == EADDRINUSE) {
    OBJSTORE_LOG(1, kSignature,
                 "Port mapper port [111] is already in LISTENING MODE. RPCBIND service must be "
                 "running.");
    return true;
  }
  // Any other failure (EACCES without the right to bind port 111) says
  // nothing about the port mapper; "Able to bind" would be false.
  OBJSTORE_LOG(1, kSignature,
               "Can't bind to port mapper port [111] (%d). RPCBIND service state is unknown.",
               error);
  return false;
}

}  // namespace ObjectStore
