// File-system helpers of the object-store service.
//
// Each one wraps system calls, writes its failures to the log writer at
// level -1 (doesFileExist writes nothing) and reports by its return value.
// The conventions differ per function, and callers depend on them. All are
// stateless: any number of threads may call them at once.
#ifndef OBJSTORE_OBJSTORE_FS_H_
#define OBJSTORE_OBJSTORE_FS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/Export.h"

namespace ObjectStore {

// Creates `path` and any missing parents; an existing directory is success.
// Paths of PATH_MAX bytes and more are created a component at a time.
// Returns 0, or the negative code of the platform's error (-errno) after
// "Error: can't create directory <path> (<code>)".
OBJSTORE_API int createDir(const std::string& path);

// True when `path` names anything at all (file, directory, device, fifo,
// socket), following symbolic links: a dangling link is false.
OBJSTORE_API bool doesFileExist(const std::string& path);

// The size in bytes of the open file `fd` and the space allocated to it
// (512-byte blocks times 512; less than the size for a sparse file). Either
// output may be null. Returns 0, or -1 after "Error: can't stat fd=<fd>
// (<errno>)". Timed under counter 41 ("DiskCacheFstat").
OBJSTORE_API int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, int fd);

// The same for the descriptor of the stream `file`. A null stream is treated
// as the descriptor -1: the result is -1 with EBADF in the message.
OBJSTORE_API int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, FILE* file);

// Empties the directory `path` depth first; `path` itself stays. Symbolic
// links inside the tree are removed, never followed, so nothing outside the
// tree is touched (`path` itself may be a link to the directory to empty).
// Nor is a mount point inside the tree entered: it stays, with the
// directories that hold it, after "Error: can't enter mount point %s (%d)",
// and the walk goes on with the rest; the result is then EXDEV. An entry
// that is gone when the walk reaches it (another remover took it) counts as
// removed. Trees of any depth are handled with at most 32 descriptors and
// about 10 bytes of memory per level besides the names. Returns 0, or the
// positive errno of the first failure after one message naming the entry:
//   "Error: can't open directory %s (%d)"   "Error: can't read directory %s (%d)"
//   "Error: can't stat %s (%d)"             "Error: can't rmdir %s (%d)"
//   "Error: can't unlink %s (%d)"
//   "Error: can't return to directory %s (%d)"  (ESTALE: a directory of the
//       tree was moved while the walk was below it; the walk stops there)
// What was removed before a failure stays removed.
OBJSTORE_API int rmTree(const std::string& path);

// The free bytes (blocks free to root included) and total bytes of the file
// system holding `path`; either output may be null. Returns 0, or the errno
// after "Can't statvfs <path> (<errno>)" with the outputs untouched.
OBJSTORE_API int getFreeBytes(uint64_t* freeOut, uint64_t* totalOut, const std::string& path);

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_FS_H_
