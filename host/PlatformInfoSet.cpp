// The setter. Invariants: writers of one directory take turns under an
// exclusive advisory lock on it, held from reading the store to replacing
// it, so that no update is lost; the store is replaced whole, never written
// in place, with the owner, group and mode of the file it replaces; a store
// that cannot be read is never replaced, since that would lose its contents;
// a store that is a symbolic link stays one. Every failure is logged once at
// level -1 and leaves the store as it was.
#include "host/PlatformInfo_internal.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/LogWriter.h"
#include "internal/replace_file.h"
#include "internal/resolve_links.h"

using platformInfo::kMaxStoreBytes;
using platformInfo::Load;
using platformInfo::loadStore;
using platformInfo::logProblemsOnce;
using platformInfo::StoreFile;
using platformInfo::survivesIni;
using platformInfo::validName;
using platformInfo::validSection;
using platformInfo::withValue;

namespace {

const char kSignature[] =
    "bool ZQPlatformInfo::setString(const char*, const char*, const std::string&)";

// The file a setter replaces, and the directory that holds it.
struct Target {
  std::string path;
  std::string dir;
};

// Finds the file behind the store's path `link`: the change goes to the file
// a link points at, which is what every reader through the link sees. A
// dangling link, or no file at all, names the file to create.
bool resolveTarget(const std::string& link, Target* target) {
  int lstatError = 0;
  int error = objstore_internal::resolveLinks(link, &target->path, &lstatError);
  if (error == 0 && lstatError != ENOENT) error = lstatError;
  if (error != 0) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't resolve [%s]: %s", link.c_str(), strerror(error));
    return false;
  }
  const size_t slash = target->path.rfind('/');
  target->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target->path.substr(0, slash);
  return true;
}

// An exclusive advisory lock on a directory, held from take() until the
// object goes: closing the descriptor releases it.
class DirectoryLock {
 public:
  DirectoryLock() = default;
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Waits for the lock on `dir`; false after a message when it cannot be had.
  bool take(const std::string& dir) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      OBJSTORE_LOG(-1, kSignature, "Error: Can't open [%s]: %s", dir.c_str(), strerror(error));
      return false;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      OBJSTORE_LOG(-1, kSignature, "Error: Can't lock [%s]: %s", dir.c_str(), strerror(error));
      return false;
    }
    return true;
  }

  // The directory's descriptor, for syncing it after the rename.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Reads the store about to be replaced into *current (*exists: there is a
// file), logging its problems unless this version was seen before.
bool readForUpdate(const std::string& path, StoreFile* current, bool* exists) {
  const Load loaded = loadStore(path, kSignature, current);
  if (loaded == Load::kFailed) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't update [%s]: the present store is unreadable",
                 path.c_str());
    return false;
  }
  if (loaded == Load::kLoaded) logProblemsOnce(path, *current, kSignature);
  *exists = loaded == Load::kLoaded;
  return true;
}

// The store's text with section/name set to `value`, in *updated. Readers
// refuse a store above kMaxStoreBytes; writing one would make every setting
// unreadable at once.
bool edited(const std::string& text, const char* section, const char* name,
            const std::string& value, std::string* updated) {
  *updated = withValue(text, section, name, value);
  if (updated->size() > kMaxStoreBytes) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: the store would exceed %zu bytes",
                 section, name, kMaxStoreBytes);
    return false;
  }
  return true;
}

// Replaces the store at `target` with `text`. The replacement belongs to
// whoever owned the store it replaces (`previous`, null for a new store), so
// that a service running as another user can still read it, and keeps its
// mode; a new store is 0644.
bool replaceStore(const Target& target, const std::string& text, const struct stat* previous,
                  int dirFd) {
  const mode_t mode = previous != nullptr ? (previous->st_mode & 07777) : 0644;
  objstore_internal::ReplaceStep failed;
  const int error =
      objstore_internal::replaceFile(target.path, text, mode, previous, dirFd, &failed);
  switch (failed) {
    case objstore_internal::ReplaceStep::kDone:
      return true;
    case objstore_internal::ReplaceStep::kCreateTemporary:
      OBJSTORE_LOG(-1, kSignature, "Error: Can't create a temporary file in [%s]: %s",
                   target.dir.c_str(), strerror(error));
      return false;
    case objstore_internal::ReplaceStep::kKeepOwner:
      OBJSTORE_LOG(-1, kSignature, "Error: Can't keep the owner and group of [%s]: %s",
                   target.path.c_str(), strerror(error));
      return false;
    case objstore_internal::ReplaceStep::kWrite:
      break;
  }
  OBJSTORE_LOG(-1, kSignature, "Error: Can't write [%s]: %s", target.path.c_str(), strerror(error));
  return false;
}

}  // namespace

bool ZQPlatformInfo::setString(const char* section, const char* name, const std::string& value) {
  if (!validSection(section) || !validName(name) || !survivesIni(value, "")) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: not representable in the store",
                 section != nullptr ? section : "(null)", name != nullptr ? name : "(null)");
    return false;
  }
  if (!focus_valid_) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: invalid focus [%s]", section, name,
                 focus_.c_str());
    return false;
  }
  Target target;
  if (!resolveTarget(storePath(), &target)) return false;
  DirectoryLock lock;
  if (!lock.take(target.dir)) return false;
  StoreFile current;
  bool exists = false;
  std::string updated;
  return readForUpdate(target.path, &current, &exists) &&
         edited(current.text, section, name, value, &updated) &&
         replaceStore(target, updated, exists ? &current.status : nullptr, lock.fd());
}

bool ZQPlatformInfo::setValue(const char* section, const char* name, long long value) {
  return setString(section, name, std::to_string(value));
}
