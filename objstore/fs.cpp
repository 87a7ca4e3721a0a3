#include "objstore/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "host/Directory.h"
#include "host/Error.h"
#include "host/LogWriter.h"
#include "internal/path_walk.h"
#include "objstore/fs_internal.h"
#include "objstore/paths_internal.h"
#include "perf/objectStorePerf.h"

namespace ObjectStore {

namespace {

// ---- createDir and rmTree: walks through directory descriptors ----------
//
// Both work one path component at a time, relative to a descriptor of the
// directory above, so the length of a path never reaches the system and
// trees of any depth are handled.

// True when `name` in the directory `dirFd` is a directory, following a link
// as path resolution does.
bool isDirectoryAt(int dirFd, const char* name) {
  struct stat status;
  return fstatat(dirFd, name, &status, 0) == 0 && S_ISDIR(status.st_mode);
}

// Creates `path` and its missing parents a component at a time, for paths
// the system refuses whole (PATH_MAX and longer). The outcome is that of
// CWyDirectory::Create(path, true): an existing directory is success, a
// parent that exists as something else fails on entering it (ENOTDIR), and
// links are followed as path resolution follows them. Holds at most two
// descriptors at once.
CWyError createLongPath(const char* path) {
  objstore_internal::PathWalk walk(path);
  while (walk.next()) {
    if (mkdirat(walk.dirFd(), walk.name(), 0777) != 0) {
      // An existing directory is fine whatever mkdir said (EEXIST, or EACCES
      // and EROFS on some file systems); any existing parent is passed over,
      // so that entering it names the real problem.
      const int mkdirError = errno;
      if (!(!walk.last() && mkdirError == EEXIST) && !isDirectoryAt(walk.dirFd(), walk.name())) {
        walk.fail(mkdirError);
        break;
      }
    }
    if (walk.last()) break;
    walk.enter();
  }
  if (walk.error() == 0) return CWyError::Success();
  return FXErrorUtil::ErrorErrNo(FXCodeLocation(kErrorSourceName, kCreateDirSignature, __LINE__),
                                 walk.error(), "Can't create directory %s", path);
}

// Where a directory lies: device, inode and the mount it was reached
// through. `mount` is known where the kernel reports mount ids (Linux 5.8);
// it tells a bind mount from the file system it shows, whose device it
// shares.
struct Place {
  dev_t device;
  ino_t inode;
  bool mount_known;
  uint64_t mount;
};

// The place of the directory open at `fd`; 0 or the error number. (The C
// library answers from fstat where the kernel has no statx.)
int locate(int fd, Place& place) {
  struct statx status;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &status) != 0) return errno;
  place.device = makedev(status.stx_dev_major, status.stx_dev_minor);
  place.inode = status.stx_ino;
  place.mount_known = (status.stx_mask & STATX_MNT_ID) != 0;
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
//  - Levels first_open_ to the current one have an open stream, in
//    streams_[level % kOpenStreams]; the levels above were closed to keep
//    within kOpenStreams. A closed level is entered again only through its
//    child's "..", and only when that is the device and inode recorded on
//    the way down (inos_); otherwise the walk stops and touches nothing more.
//    A closed level is read again from its start: what was removed is gone.
//  - Every level is on the top's mount: the walk never enters another file
//    system, nor a bind mount of a directory elsewhere (a mount point in the
//    tree is left with an error, and the walk goes on with the others).
//  - The top kept_levels_ levels hold an entry that was left (a mount point),
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
    for (size_t level = first_open_; level <= depth(); ++level)
      if (DIR* dir = stream(level)) closedir(dir);
  }
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  // Empties the top directory, open at `fd` (the walk takes it over).
  // Returns 0, or the error number of the first failure.
  int run(int fd);

 private:
  size_t depth() const { return inos_.size() - 1; }
  DIR*& stream(size_t level) { return streams_[level % kOpenStreams]; }
  int currentFd() { return dirfd(stream(depth())); }

  int handleEntry(const char* name, unsigned char type);
  int unlinkEntry(const char* name);
  int enterDirectory(const char* name, bool queried);
  int push(int fd, const char* name, ino_t inode);
  int ascend();
  int reenterParent();
  void pop();
  bool wasLeft(const char* name) const;

  size_t lastNameStart() const;
  std::string pathOf(size_t level, const char* name) const;
  int failAt(size_t level, const char* format, const char* name, int error) const;
  // A failure at the current level.
  int fail(const char* format, const char* name, int error) const {
    return failAt(depth(), format, name, error);
  }

  const std::string& top_;
  Place top_place_{};
  std::vector<ino_t> inos_;  // per level, recorded on the way down
  std::string names_;        // names of levels 1 and below, each ended by '\0'
  DIR* streams_[kOpenStreams] = {};
  size_t first_open_ = 0;
  size_t kept_levels_ = 0;
  std::vector<std::pair<size_t, std::string>> left_;  // level, entry name
  int first_error_ = 0;                               // of a failure that let the walk go on
};

// The path of the entry `name` of the directory at `level`, or of that
// directory itself when `name` is null: the names joined to the top as
// `join` with '/' joins them (a name never begins with '/'), in one buffer,
// since a deep tree's path is long.
std::string TreeWalk::pathOf(size_t level, const char* name) const {
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
int TreeWalk::failAt(size_t level, const char* format, const char* name, int error) const {
  // The path is built inside the log call: only when the message is written.
  OBJSTORE_LOG(-1, kRmTreeSignature, format, pathOf(level, name).c_str(), error);
  return error;
}

size_t TreeWalk::lastNameStart() const {
  if (names_.size() < 2) return 0;
  const size_t separator = names_.rfind('\0', names_.size() - 2);
  return separator == std::string::npos ? 0 : separator + 1;
}

int TreeWalk::run(int fd) {
  if (const int error = locate(fd, top_place_)) {
    close(fd);
    return failAt(0, "Error: can't stat %s (%d)", nullptr, error);
  }
  int result = push(fd, nullptr, top_place_.inode);
  while (result == 0) {
    // readdir signals both the end and an error with null; only an error
    // sets errno.
    errno = 0;
    const dirent* entry = readdir(stream(depth()));
    if (entry == nullptr) {
      if (errno != 0) {
        result = fail("Error: can't read directory %s (%d)", nullptr, errno);
      } else if (depth() == 0) {
        break;
      } else {
        result = ascend();
      }
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (wasLeft(name)) continue;
    result = handleEntry(name, entry->d_type);
  }
  return first_error_ != 0 ? first_error_ : result;
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
int TreeWalk::handleEntry(const char* name, unsigned char type) {
  bool queried = false;
  if (type == DT_UNKNOWN) {
    struct stat status;
    if (fstatat(currentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? 0 : fail("Error: can't stat %s (%d)", name, errno);
    queried = true;
    type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;  // DT_REG: "anything else"
  }
  if (type != DT_DIR) {
    if (unlinkat(currentFd(), name, 0) == 0 || errno == ENOENT) return 0;
    const int error = errno;
    struct stat status;
    if (fstatat(currentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? 0 : fail("Error: can't stat %s (%d)", name, errno);
    if (!S_ISDIR(status.st_mode)) return fail("Error: can't unlink %s (%d)", name, error);
    queried = true;  // a directory after all: entered below
  }
  return enterDirectory(name, queried);
}

// Unlinks `name`, found not to be a directory after all.
int TreeWalk::unlinkEntry(const char* name) {
  if (unlinkat(currentFd(), name, 0) == 0 || errno == ENOENT) return 0;
  return fail("Error: can't unlink %s (%d)", name, errno);
}

// Makes the directory `name` of the current level the current level, unless
// it is a mount point. `queried`: its status was read since readdir, so a
// failure to open it is not looked into again.
int TreeWalk::enterDirectory(const char* name, bool queried) {
  // O_NOFOLLOW: an entry that is a link (or became one) fails (ELOOP)
  // instead of leading outside the tree.
  const int child = openat(currentFd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (child < 0) {
    const int error = errno;
    if (error == ENOENT) return 0;
    if (!queried) {
      struct stat status;
      if (fstatat(currentFd(), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : fail("Error: can't stat %s (%d)", name, errno);
      if (!S_ISDIR(status.st_mode)) return unlinkEntry(name);  // not a directory (any more)
    }
    return fail("Error: can't open directory %s (%d)", name, error);
  }
  // The place of what was opened, not of the name: the name may point
  // elsewhere by now.
  Place place{};
  if (const int error = locate(child, place)) {
    close(child);
    return fail("Error: can't stat %s (%d)", name, error);
  }
  if (place.device != top_place_.device ||
      (place.mount_known && top_place_.mount_known && place.mount != top_place_.mount)) {
    // A mount point: emptying it would empty what is mounted there (for a
    // bind mount, a directory elsewhere). Left with its parents, reported
    // once; the walk goes on with the other entries. EXDEV: the walk does
    // not cross into another mount, and trying again does not help.
    close(child);
    left_.emplace_back(depth(), name);
    kept_levels_ = depth() + 1;
    if (first_error_ == 0) first_error_ = EXDEV;
    fail("Error: can't enter mount point %s (%d)", name, EXDEV);
    return 0;
  }
  return push(child, name, place.inode);
}

// Makes the directory open at `fd` (taken over) the current level, closing
// the highest open level when kOpenStreams are open.
int TreeWalk::push(int fd, const char* name, ino_t inode) {
  try {
    if (name != nullptr) names_.append(name, std::strlen(name) + 1);  // with its '\0'
    inos_.push_back(inode);
  } catch (...) {
    close(fd);  // not the walk's yet
    throw;
  }
  const size_t level = depth();
  if (level - first_open_ + 1 > kOpenStreams) {
    closedir(stream(first_open_));
    stream(first_open_) = nullptr;
    ++first_open_;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    return fail("Error: can't open directory %s (%d)", nullptr, error);
  }
  stream(level) = dir;
  return 0;
}

// Leaves the current level, read to its end, for its parent, and removes it
// there unless it holds an entry that was left.
int TreeWalk::ascend() {
  const size_t level = depth();
  if (first_open_ == level) {
    if (const int error = reenterParent()) return error;
  }
  closedir(stream(level));
  stream(level) = nullptr;
  const char* const name = names_.c_str() + lastNameStart();
  if (kept_levels_ > level) {
    // It holds what was left, and stays in its parent: left there too, so
    // that its parent, read again, does not enter it again.
    kept_levels_ = level;
    std::string kept(name);
    pop();
    left_.emplace_back(level - 1, std::move(kept));
    return 0;
  }
  int result = 0;
  if (unlinkat(dirfd(stream(level - 1)), name, AT_REMOVEDIR) != 0 && errno != ENOENT)
    result = fail("Error: can't rmdir %s (%d)", nullptr, errno);
  pop();
  return result;
}

// Opens the parent of the current level again, closed to keep within
// kOpenStreams, through "..". That leads to wherever the current directory
// is now, so it must still be the directory recorded on the way down. (A
// directory removed meanwhile still leads to its former parent.)
int TreeWalk::reenterParent() {
  const size_t parentLevel = depth() - 1;
  const int parent = openat(currentFd(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int error = parent < 0 ? errno : 0;
  Place place{};
  if (error == 0) error = locate(parent, place);
  // Moved while the walk was below it: ESTALE, the way back up is stale.
  // (Not ENOENT, which callers may take for "nothing to empty".)
  if (error == 0 && (place.device != top_place_.device || place.inode != inos_[parentLevel]))
    error = ESTALE;
  if (error != 0) {
    if (parent >= 0) close(parent);
    return failAt(parentLevel, "Error: can't return to directory %s (%d)", nullptr, error);
  }
  DIR* const dir = fdopendir(parent);
  if (dir == nullptr) {
    error = errno;
    close(parent);
    return failAt(parentLevel, "Error: can't open directory %s (%d)", nullptr, error);
  }
  stream(parentLevel) = dir;
  first_open_ = parentLevel;
  return 0;
}

// Forgets the current level; its stream is closed already.
void TreeWalk::pop() {
  names_.resize(lastNameStart());
  inos_.pop_back();
  while (!left_.empty() && left_.back().first > depth()) left_.pop_back();
}

bool TreeWalk::wasLeft(const char* name) const {
  for (auto it = left_.rbegin(); it != left_.rend() && it->first == depth(); ++it)
    if (it->second == name) return true;
  return false;
}

}  // namespace

int createDir(const std::string& path) {
  // The platform takes the path whole, which the system refuses from
  // PATH_MAX bytes on: longer ones are created a component at a time.
  const CWyError error = std::strlen(path.c_str()) < PATH_MAX
                             ? CWyDirectory::Create(path.c_str(), true)
                             : createLongPath(path.c_str());
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
    OBJSTORE_LOG(-1, kGetFileSizeSignature, "Error: can't stat fd=%d (%d)", fd, error);
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
  return walk.run(fd);
}

int getFreeBytes(uint64_t* freeOut, uint64_t* totalOut, const std::string& path) {
  struct statvfs volume;
  if (statvfs(path.c_str(), &volume) != 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, kGetFreeBytesSignature, "Can't statvfs %s (%d)", path.c_str(), error);
    return error;
  }
  if (totalOut != nullptr) *totalOut = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
  // f_bfree, not f_bavail: the blocks reserved for root count as free.
  if (freeOut != nullptr) *freeOut = static_cast<uint64_t>(volume.f_bfree) * volume.f_frsize;
  return 0;
}

}  // namespace ObjectStore
