// Reading a store file. Invariants: only a regular file of at most
// kMaxStoreBytes is read, so a lookup never blocks (a FIFO would wait for a
// writer, in open or in read) and never reads without end (a device such as
// /dev/zero, a file someone keeps appending to); the descriptor is closed on
// every path out.
#include "host/PlatformInfo_internal.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "host/LogWriter.h"

namespace platformInfo {
namespace {

// Closes a descriptor on every path out of a scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

// Reports a store that cannot be read: logged as "Error: Can't VERB [path]:
// REASON" under `signature` unless that is null, and kept in *error for a
// caller that reports it itself.
Load loadFailed(const char* signature, std::string* error, const char* verb,
                const std::string& path, const std::string& reason) {
  if (signature != nullptr) {
    OBJSTORE_LOG(-1, signature, "Error: Can't %s [%s]: %s", verb, path.c_str(), reason.c_str());
  }
  if (error != nullptr) *error = std::string("Can't ") + verb + " [" + path + "]: " + reason;
  return Load::kFailed;
}

}  // namespace

Load loadStore(const std::string& path, const char* signature, StoreFile* file,
               std::string* error) {
  file->text.clear();
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer, O_NOCTTY a
  // terminal from becoming ours; neither changes how a regular file reads.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Load::kMissing;
    return loadFailed(signature, error, "open", path, strerror(errno));
  }
  FdCloser closer(fd);
  if (::fstat(fd, &file->status) != 0) {
    return loadFailed(signature, error, "read", path, strerror(errno));
  }
  if (!S_ISREG(file->status.st_mode)) {
    return loadFailed(signature, error, "read", path, "not a regular file");
  }
  const auto tooLarge = [] { return "larger than " + std::to_string(kMaxStoreBytes) + " bytes"; };
  if (static_cast<unsigned long long>(file->status.st_size) > kMaxStoreBytes) {
    return loadFailed(signature, error, "read", path, tooLarge());
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  file->text.reserve(static_cast<size_t>(file->status.st_size));
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return loadFailed(signature, error, "read", path, strerror(errno));
    }
    file->text.append(chunk, static_cast<size_t>(got));
    // Someone appending while we read must not keep us reading.
    if (file->text.size() > kMaxStoreBytes) {
      return loadFailed(signature, error, "read", path, tooLarge());
    }
  }
  return Load::kLoaded;
}

}  // namespace platformInfo
