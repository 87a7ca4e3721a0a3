#include "tests/support/port111.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace testing_support {

Port111Lock::Port111Lock() {
  const std::string path =
      (std::filesystem::temp_directory_path() / "objstore-port111.lock").string();
  fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

Port111Lock::~Port111Lock() {
  if (fd_ >= 0) close(fd_);  // releases the lock
}

int bindPort111() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(111);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace testing_support
