// Everyday helpers of the object-store service, in the namespace ObjectStore.
//
// The umbrella that callers include: each family of helpers has a header of
// its own, which a unit that needs one family may include instead.
//   objstore/paths.h   join, splitParentPath, tokenize, to_hexstring
//   objstore/fs.h      createDir, doesFileExist, getFileSize, rmTree, getFreeBytes
//   objstore/guid.h    generateGuid, RandomGenerator, ZqCriticalSection
//   objstore/config.h  getRegistryString, getRegistryValue
//   objstore/probes.h  getDiskLibrarySize, isRpcbindRunning
#ifndef OBJSTORE_OBJSTORE_OBJSTRUTILS_H_
#define OBJSTORE_OBJSTORE_OBJSTRUTILS_H_

#include "objstore/config.h"
#include "objstore/fs.h"
#include "objstore/guid.h"
#include "objstore/paths.h"
#include "objstore/probes.h"

#endif  // OBJSTORE_OBJSTORE_OBJSTRUTILS_H_
