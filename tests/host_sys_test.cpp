// The platform stand-ins the file-system helpers and probes call: the error
// object, directory creation, addresses and sockets. The media manager is
// exercised through getDiskLibrarySize in probe_test.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "host/Directory.h"
#include "host/Error.h"
#include "host/Network.h"

namespace fs = std::filesystem;

namespace {

std::string MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "objstore-host-XXXXXX").string();
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

TEST(CWyDirectory, ParentsOnlyWhenAsked) {
  const std::string root = MakeTempDir();
  ASSERT_FALSE(root.empty());
  const std::string nested = root + "/a/b";

  const CWyError without = CWyDirectory::Create(nested.c_str(), false);
  EXPECT_TRUE(without.IsError());
  EXPECT_EQ(without.GetErrorCode(), -ENOENT);
  EXPECT_EQ(FXErrorUtil::GetErrNo(without), ENOENT);
  EXPECT_FALSE(fs::exists(root + "/a"));

  EXPECT_FALSE(CWyDirectory::Create(nested.c_str(), true).IsError());
  EXPECT_TRUE(fs::is_directory(nested));
  // An existing directory, also reached through a link, is success.
  fs::create_directory_symlink(nested, root + "/link");
  EXPECT_FALSE(CWyDirectory::Create((root + "/link").c_str(), false).IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(CWyDirectory::Create(nullptr, true)), EINVAL);
  fs::remove_all(root);
}

TEST(CWyIPAddr, BadValuesKeepOldOnesAndNoHostMeansAny) {
  CWyIPAddr address;
  EXPECT_FALSE(address.SetPortNumber(65535).IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(address.SetPortNumber(65536)), EINVAL);
  EXPECT_EQ(FXErrorUtil::GetErrNo(address.SetAddressFamily(7)), EAFNOSUPPORT);
  EXPECT_EQ(FXErrorUtil::GetErrNo(address.SetHostAddress("127.0.0.1")), EINVAL);  // no family
  ASSERT_FALSE(address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET).IsError());

  sockaddr_storage storage;
  ASSERT_EQ(address.ToSockAddr(&storage), sizeof(sockaddr_in));
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
  EXPECT_EQ(in4->sin_family, AF_INET);
  EXPECT_EQ(in4->sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(ntohs(in4->sin_port), 65535);

  EXPECT_EQ(FXErrorUtil::GetErrNo(address.SetHostAddress("::1")), EINVAL);  // other family
  EXPECT_FALSE(address.SetHostAddress("127.0.0.1").IsError());
  address.ToSockAddr(&storage);
  EXPECT_EQ(in4->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

// Without SO_REUSEADDR a second bind to a held port fails with EADDRINUSE,
// which is what the port-mapper probe relies on.
TEST(CWySocket, SecondBindToHeldPortIsAddressInUse) {
  CWyIPAddr address;
  address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET);
  address.SetHostAddress("127.0.0.1");

  CWySocket first;
  EXPECT_EQ(FXErrorUtil::GetErrNo(first.Bind(address)), EBADF);  // no socket yet
  ASSERT_FALSE(first.Socket(address).IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(first.Socket(address)), EISCONN);
  int reuse = 1;
  socklen_t length = sizeof reuse;
  ASSERT_EQ(getsockopt(first.GetHandle(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
  EXPECT_EQ(reuse, 0);
  ASSERT_FALSE(first.Bind(address).IsError());  // port 0: the system picks one
  ASSERT_EQ(listen(first.GetHandle(), 1), 0);

  sockaddr_in bound{};
  socklen_t bound_length = sizeof bound;
  ASSERT_EQ(getsockname(first.GetHandle(), reinterpret_cast<sockaddr*>(&bound), &bound_length), 0);
  address.SetPortNumber(ntohs(bound.sin_port));

  CWySocket second;
  ASSERT_FALSE(second.Socket(address).IsError());
  const CWyError error = second.Bind(address);
  EXPECT_TRUE(error.IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(error), EADDRINUSE);
  EXPECT_FALSE(second.Close().IsError());
  EXPECT_FALSE(second.Close().IsError());  // closing twice is harmless
  EXPECT_EQ(second.GetHandle(), -1);
}

TEST(ErrorTest, SuccessAndErrorsCarryWhatCallersRelyOn) {
  const CWyError success = CWyError::Success();
  EXPECT_FALSE(success.IsError());
  EXPECT_EQ(success.GetErrorCode(), 0);
  EXPECT_EQ(success.GetErrorMessage(), "");
  EXPECT_EQ(FXErrorUtil::GetErrNo(success), 0);
  EXPECT_EQ(success.GetDetails(), nullptr);

  const CWyError error =
      FXErrorUtil::ErrorErrNo(FXCodeLocation("unit", "void f()", 12), EACCES, "%s=%d", "x", 7);
  EXPECT_TRUE(error.IsError());
  EXPECT_EQ(error.GetErrorCode(), -EACCES);
  EXPECT_EQ(FXErrorUtil::GetErrNo(error), EACCES);
  EXPECT_EQ(error.GetErrorMessage(), "x=7");
  EXPECT_EQ(error.GetSourceFile(), "unit");
  EXPECT_EQ(error.GetFunction(), "void f()");
  EXPECT_EQ(error.GetLine(), 12);

  CWyError copy;
  copy = error;
  EXPECT_EQ(copy.GetDetails(), error.GetDetails()) << "copies share the details";
  EXPECT_EQ(copy.GetErrorCode(), -EACCES);
}

TEST(ErrorTest, ANonPositiveErrorNumberStillMakesAnError) {
  for (int errnum : {0, -5}) {
    const CWyError error = FXErrorUtil::ErrorErrNo(FXCodeLocation("unit", "f", 1), errnum, "x");
    EXPECT_TRUE(error.IsError()) << errnum;
    EXPECT_EQ(FXErrorUtil::GetErrNo(error), errnum);
  }
  EXPECT_EQ(FXErrorUtil::GetErrNo(CWyError(-EIO, nullptr)), EIO);
}

}  // namespace
