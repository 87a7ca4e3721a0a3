// The platform's directory creation.
#ifndef OBJSTORE_HOST_DIRECTORY_H_
#define OBJSTORE_HOST_DIRECTORY_H_

#include "host/Error.h"
#include "host/Export.h"

class OBJSTORE_API CWyDirectory {
 public:
  // Creates the directory `path` (mode 0777 less the umask). With
  // `createParents` set, missing parent directories are created first, as
  // "mkdir -p" does. A directory that already exists at `path` (or a link to
  // one) is success. Anything else fails with the error of the call that
  // failed: code -errno, FXErrorUtil::GetErrNo gives errno (EEXIST when
  // `path` is an existing non-directory, EINVAL for a null or empty path).
  static CWyError Create(const char* path, bool createParents);
};

#endif  // OBJSTORE_HOST_DIRECTORY_H_
