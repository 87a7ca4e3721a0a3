#include "tools/osutil/collector_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/resolve_links.h"
#include "perf/perfMetrics.h"

namespace osutil {
namespace {

const char* kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// A device keeps no file to replace: the text goes to it as to a stream.
// O_NONBLOCK keeps the open from waiting should a FIFO have taken the
// device's place meanwhile; the descriptor's own type decides.
int writeInPlace(const std::string& path, const std::string& text, std::string* refusal) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat status;
  int error = ::fstat(fd, &status) != 0 ? errno : 0;
  if (error == 0 && !S_ISCHR(status.st_mode)) {
    *refusal = kindOf(status.st_mode);
  } else if (error == 0) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    for (size_t done = 0; error == 0 && done < text.size();) {
      const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
      if (wrote >= 0) {
        done += static_cast<size_t>(wrote);
      } else if (errno != EINTR) {
        error = errno;
      }
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

std::string writeCollectorFile(const std::string& path) {
  std::string target;
  // A name that lstat cannot read is looked at again below, which reports
  // what it finds there.
  int error = objstore_internal::resolveLinks(path, &target, nullptr);
  // The file is named as given; a link's target is named too, since that is
  // the file that changes.
  const std::string shown = error == 0 && target != path
                                ? "'" + target + "' (the target of '" + path + "')"
                                : "'" + path + "'";
  std::string refusal;
  struct stat status;
  if (error != 0) {
    // resolveLinks failed: error says why.
  } else if (!target.empty() && target.back() == '/') {
    // Only a directory can be named with a final '/', and a directory is no
    // collector file: say which of the two is wrong.
    error = ::stat(target.c_str(), &status) == 0 ? EISDIR : errno;
  } else if (::lstat(target.c_str(), &status) != 0) {
    // Nothing there yet: the atomic writer creates it. Any other failure
    // (ENOTDIR, EACCES) is the answer.
    error = errno == ENOENT ? ObjectStore::writePerfMetricsFile(target) : errno;
  } else if (S_ISREG(status.st_mode)) {
    error = ObjectStore::writePerfMetricsFile(target);
  } else if (S_ISCHR(status.st_mode)) {
    error = writeInPlace(target, ObjectStore::formatPerfMetrics(), &refusal);
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else {
    refusal = kindOf(status.st_mode);
  }
  if (!refusal.empty()) {
    return "refusing to write " + shown + ": it is " + refusal +
           " (only a regular file is replaced, a character device written)";
  }
  return error == 0 ? std::string() : "cannot write " + shown + ": " + std::strerror(error);
}

}  // namespace osutil
