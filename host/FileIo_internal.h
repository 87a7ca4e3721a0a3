// Descriptor helpers shared by the host and the library's units that write
// files. Internal: not installed, and nothing here is exported.
#ifndef OBJSTORE_HOST_FILEIO_INTERNAL_H_
#define OBJSTORE_HOST_FILEIO_INTERNAL_H_

#include <errno.h>
#include <unistd.h>

#include <cstddef>

// Writes all `size` bytes at `data` to `fd`, going on after short writes and
// interruptions. Returns 0, or the errno value of the write that failed
// (errno itself still holds it).
inline int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return 0;
}

#endif  // OBJSTORE_HOST_FILEIO_INTERNAL_H_
