#include "host/Directory.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace {

constexpr char kCreateSignature[] = "static CWyError CWyDirectory::Create(const char*, bool)";

bool isDirectory(const char* path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// mkdir that counts an existing directory as done. Returns 0 or the errno of
// the mkdir; a racing creator of the same directory is harmless. For a
// parent, any existing entry is passed over: when it is not a directory the
// next step fails with ENOTDIR, which names the real problem.
int makeOne(const char* path, bool isParent) {
  if (mkdir(path, 0777) == 0) return 0;
  const int error = errno;
  if (isParent && error == EEXIST) return 0;
  // An existing directory is fine whatever mkdir said (EEXIST, or EACCES /
  // EROFS on some file systems for an entry that is already there).
  return isDirectory(path) ? 0 : error;
}

CWyError failure(int error, const char* path) {
  return FXErrorUtil::ErrorErrNo(FXCodeLocation("Directory", kCreateSignature, __LINE__), error,
                                 "Can't create directory %s", path);
}

}  // namespace

CWyError CWyDirectory::Create(const char* path, bool createParents) {
  if (path == nullptr || *path == '\0') return failure(EINVAL, path != nullptr ? path : "(null)");

  if (createParents) {
    // Each proper prefix that ends before a separator names a parent. Runs of
    // separators and a leading "/" produce prefixes that already exist.
    const std::string full(path);
    for (std::string::size_type slash = full.find('/', 1); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
      if (full[slash - 1] == '/') continue;  // empty component
      const std::string parent = full.substr(0, slash);
      if (const int error = makeOne(parent.c_str(), true)) return failure(error, parent.c_str());
    }
  }
  if (const int error = makeOne(path, false)) return failure(error, path);
  return CWyError::Success();
}
