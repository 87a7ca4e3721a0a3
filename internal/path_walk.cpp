#include "internal/path_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace objstore_internal {

PathWalk::PathWalk(const char* path) : rest_(path), dir_fd_(AT_FDCWD) {
  if (*path == '/') {
    dir_fd_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) error_ = errno;
  }
}

PathWalk::~PathWalk() {
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

bool PathWalk::next() {
  if (error_ != 0) return false;
  rest_ += std::strspn(rest_, "/");
  const size_t length = std::strcspn(rest_, "/");
  if (length == 0) return false;
  if (length > NAME_MAX) {
    error_ = ENAMETOOLONG;
    return false;
  }
  std::memcpy(name_, rest_, length);
  name_[length] = '\0';
  rest_ += length;
  return true;
}

bool PathWalk::last() const { return rest_[std::strspn(rest_, "/")] == '\0'; }

bool PathWalk::enter() {
  // O_PATH: entering a directory needs search permission only, as in a path
  // given whole.
  const int child = ::openat(dir_fd_, name_, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (child < 0) error_ = errno;
  if (dir_fd_ >= 0) ::close(dir_fd_);
  dir_fd_ = child;
  return child >= 0;
}

}  // namespace objstore_internal
