#include "host/Network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

static_assert(CWyIPAddr::IP_FAMILY_INET == AF_INET, "family values are the system's");
static_assert(CWyIPAddr::IP_FAMILY_INET6 == AF_INET6, "family values are the system's");
static_assert(CWyIPAddr::IP_FAMILY_UNSPEC == AF_UNSPEC, "family values are the system's");

namespace {

FXCodeLocation here(const char* signature, int line) {
  return FXCodeLocation("Network", signature, line);
}

}  // namespace

CWyIPAddr::CWyIPAddr() : family_(IP_FAMILY_UNSPEC), port_(0), has_host_(false), host_() {}

CWyError CWyIPAddr::SetPortNumber(int port) {
  if (port < 0 || port > 65535)
    return FXErrorUtil::ErrorErrNo(here("CWyError CWyIPAddr::SetPortNumber(int)", __LINE__), EINVAL,
                                   "Port number %d out of range", port);
  port_ = port;
  return CWyError::Success();
}

CWyError CWyIPAddr::SetAddressFamily(int family) {
  if (family != IP_FAMILY_INET && family != IP_FAMILY_INET6)
    return FXErrorUtil::ErrorErrNo(here("CWyError CWyIPAddr::SetAddressFamily(int)", __LINE__),
                                   EAFNOSUPPORT, "Unsupported address family %d", family);
  // A host address of the old family would be misread under the new one.
  if (family != family_) has_host_ = false;
  family_ = family;
  return CWyError::Success();
}

CWyError CWyIPAddr::SetHostAddress(const std::string& numericHost) {
  unsigned char parsed[sizeof host_];
  if ((family_ != IP_FAMILY_INET && family_ != IP_FAMILY_INET6) ||
      inet_pton(family_, numericHost.c_str(), parsed) != 1)
    return FXErrorUtil::ErrorErrNo(
        here("CWyError CWyIPAddr::SetHostAddress(const std::string&)", __LINE__), EINVAL,
        "Can't use [%s] as a host address of family %d", numericHost.c_str(), family_);
  memcpy(host_, parsed, sizeof host_);
  has_host_ = true;
  return CWyError::Success();
}

socklen_t CWyIPAddr::ToSockAddr(sockaddr_storage* out) const {
  memset(out, 0, sizeof *out);
  if (family_ == IP_FAMILY_INET) {
    sockaddr_in* in4 = reinterpret_cast<sockaddr_in*>(out);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port_));
    if (has_host_)
      memcpy(&in4->sin_addr, host_, sizeof in4->sin_addr);
    else
      in4->sin_addr.s_addr = htonl(INADDR_ANY);
    return sizeof(sockaddr_in);
  }
  if (family_ == IP_FAMILY_INET6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port_));
    if (has_host_)
      memcpy(&in6->sin6_addr, host_, sizeof in6->sin6_addr);
    else
      in6->sin6_addr = in6addr_any;
    return sizeof(sockaddr_in6);
  }
  return 0;
}

CWySocket::CWySocket() : fd_(-1) {}

CWySocket::~CWySocket() {
  if (fd_ >= 0) close(fd_);
}

CWyError CWySocket::Socket(const CWyIPAddr& address) {
  constexpr char kSignature[] = "CWyError CWySocket::Socket(const CWyIPAddr&)";
  if (fd_ >= 0)
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), EISCONN, "Socket %d already created",
                                   fd_);
  const int family = address.GetAddressFamily();
  if (family != CWyIPAddr::IP_FAMILY_INET && family != CWyIPAddr::IP_FAMILY_INET6)
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), EAFNOSUPPORT,
                                   "Can't create a socket of family %d", family);
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    const int error = errno;
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), error,
                                   "Can't create a socket of family %d", family);
  }
  fd_ = fd;
  return CWyError::Success();
}

CWyError CWySocket::Bind(const CWyIPAddr& address) {
  constexpr char kSignature[] = "CWyError CWySocket::Bind(const CWyIPAddr&)";
  if (fd_ < 0)
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), EBADF,
                                   "Can't bind: no socket created");
  sockaddr_storage storage;
  const socklen_t length = address.ToSockAddr(&storage);
  if (length == 0)
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), EAFNOSUPPORT,
                                   "Can't bind to an address without a family");
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    const int error = errno;
    return FXErrorUtil::ErrorErrNo(here(kSignature, __LINE__), error,
                                   "Can't bind socket %d to port %d", fd_, address.GetPortNumber());
  }
  return CWyError::Success();
}

CWyError CWySocket::Close() {
  if (fd_ < 0) return CWyError::Success();
  const int fd = fd_;
  // Linux releases the descriptor even when close fails; never retry it.
  fd_ = -1;
  if (close(fd) != 0) {
    const int error = errno;
    return FXErrorUtil::ErrorErrNo(here("CWyError CWySocket::Close()", __LINE__), error,
                                   "Can't close socket %d", fd);
  }
  return CWyError::Success();
}
