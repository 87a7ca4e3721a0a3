// The platform's network classes: an address (family, port, optional host)
// and a TCP socket bound to one.
//
//   CWyIPAddr address;                      // no host address: any address
//   address.SetPortNumber(8080);
//   address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET);
//   CWySocket socket;
//   CWyError error = socket.Socket(address);
//   if (!error.IsError()) error = socket.Bind(address);
//   socket.Close();
#ifndef OBJSTORE_HOST_NETWORK_H_
#define OBJSTORE_HOST_NETWORK_H_

#include <sys/socket.h>

#include <string>

#include "host/Error.h"
#include "host/Export.h"

class OBJSTORE_API CWyIPAddr {
 public:
  // Address families, numbered as the system numbers them (AF_INET is 2).
  enum IP_FAMILY { IP_FAMILY_UNSPEC = 0, IP_FAMILY_INET = 2, IP_FAMILY_INET6 = 10 };

  // No family, port 0, no host address.
  CWyIPAddr();

  // Port 0 to 65535; anything else is EINVAL and leaves the port unchanged.
  CWyError SetPortNumber(int port);
  int GetPortNumber() const { return port_; }

  // IP_FAMILY_INET or IP_FAMILY_INET6; anything else is EAFNOSUPPORT and
  // leaves the family unchanged. Changing the family drops the host address.
  CWyError SetAddressFamily(int family);
  int GetAddressFamily() const { return family_; }

  // A numeric host address of the current family ("127.0.0.1", "::1");
  // EINVAL when it does not parse as one. Without it the address is the
  // family's any-address.
  CWyError SetHostAddress(const std::string& numericHost);

  // Fills `out` for bind/connect and returns its length; 0 when no family is
  // set.
  socklen_t ToSockAddr(sockaddr_storage* out) const;

 private:
  int family_;
  int port_;
  bool has_host_;
  unsigned char host_[16];  // network order; 4 bytes used for IPv4
};

// A TCP socket. The class never sets SO_REUSEADDR: a bind succeeds only when
// no other socket holds the port, which is what probes of a port rely on.
// The destructor closes a socket that is still open.
class OBJSTORE_API CWySocket {
 public:
  CWySocket();
  ~CWySocket();
  CWySocket(const CWySocket&) = delete;
  CWySocket& operator=(const CWySocket&) = delete;

  // Creates a stream socket of `address`'s family (close-on-exec). EISCONN
  // when this object already holds one; EAFNOSUPPORT without a family.
  CWyError Socket(const CWyIPAddr& address);
  // Binds to `address`; EBADF when no socket was created.
  CWyError Bind(const CWyIPAddr& address);
  // Releases the socket; the descriptor is gone afterwards even when close
  // reports an error. Closing a closed socket is success.
  CWyError Close();

  // The descriptor, or -1.
  int GetHandle() const { return fd_; }

 private:
  int fd_;
};

#endif  // OBJSTORE_HOST_NETWORK_H_
