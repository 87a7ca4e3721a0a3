// Invariants: the temporary lives in the target's directory (a rename across
// file systems would not be one step), its name begins with '.' and ends in
// ".XXXXXX" (hidden, and never taken for the target by a reader that picks
// files by their ending, as the text-file collector does with "*.prom"), and
// it stays within NAME_MAX whatever the target's name. Every failure removes
// the temporary before returning.
#include "internal/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/FileIo_internal.h"

namespace objstore_internal {
namespace {

// At most this many bytes of the target's name go into the temporary's,
// which adds a '.' before them and ".XXXXXX" after: 136 bytes at the most,
// within NAME_MAX (255). The random suffix keeps apart two targets whose
// names begin with the same 128 bytes.
constexpr size_t kTemporaryStem = 128;

// The temporary's path, as mkostemp wants it: "DIR/.NAME.XXXXXX".
std::string temporaryFor(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameBegin = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, nameBegin) + "." + path.substr(nameBegin, kTemporaryStem) + ".XXXXXX";
}

// The directory holding `path`, as open(2) takes it.
std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Gives the file open at `fd` the owner and group in `previous`; 0 or errno.
int keepOwner(int fd, const struct stat& previous) {
  struct stat created;
  if (::fstat(fd, &created) == 0 && created.st_uid == previous.st_uid &&
      created.st_gid == previous.st_gid) {
    return 0;  // no change asked: nothing that could be refused
  }
  return ::fchown(fd, previous.st_uid, previous.st_gid) == 0 ? 0 : errno;
}

}  // namespace

int replaceFile(const std::string& path, std::string_view data, mode_t mode,
                const struct stat* previous, int dirFd, ReplaceStep* failed) {
  std::string temporary = temporaryFor(path);
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    *failed = ReplaceStep::kCreateTemporary;
    return errno;
  }
  if (previous != nullptr) {
    if (const int error = keepOwner(fd, *previous)) {
      ::close(fd);
      ::unlink(temporary.c_str());
      *failed = ReplaceStep::kKeepOwner;
      return error;
    }
  }
  // mkostemp creates the file 0600: the mode is set whatever the umask.
  int error = 0;
  if (::fchmod(fd, mode) != 0 || writeAll(fd, data.data(), data.size()) != 0 || ::fsync(fd) != 0) {
    error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    *failed = ReplaceStep::kWrite;
    return error;
  }
  // Makes the rename itself durable; the file is already whole and in place.
  if (dirFd >= 0) {
    ::fsync(dirFd);
  } else {
    const int ownFd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (ownFd >= 0) {
      ::fsync(ownFd);
      ::close(ownFd);
    }
  }
  *failed = ReplaceStep::kDone;
  return 0;
}

}  // namespace objstore_internal
