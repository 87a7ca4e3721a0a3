// Port 111 for the tests of the port-mapper probe, which take it in turns
// across test processes.
#ifndef OBJSTORE_TESTS_SUPPORT_PORT111_H_
#define OBJSTORE_TESTS_SUPPORT_PORT111_H_

namespace testing_support {

// Holds an exclusive lock on a file beside the temporary directory for as
// long as it lives, so that one user of port 111 runs at a time.
class Port111Lock {
 public:
  Port111Lock();
  ~Port111Lock();
  Port111Lock(const Port111Lock&) = delete;
  Port111Lock& operator=(const Port111Lock&) = delete;

 private:
  int fd_;
};

// An IPv4 TCP socket bound to any-address:111, or -1 with errno set.
int bindPort111();

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_PORT111_H_
