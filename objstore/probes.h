// Probes of the host the object-store service runs on: the disk library's
// size and the port mapper.
#ifndef OBJSTORE_OBJSTORE_PROBES_H_
#define OBJSTORE_OBJSTORE_PROBES_H_

#include <cstdint>

#include "host/Export.h"

namespace ObjectStore {

// The capacity and free space, in bytes, of the disk library that serves
// `subclientId`, as the media manager reports them. Returns 0, or -1 for any
// failure (unknown subclient, failed query); nothing is logged.
OBJSTORE_API int64_t getDiskLibrarySize(int subclientId, long long& capacityOut,
                                        long long& freeSpaceOut);

// True when another socket holds TCP port 111 on IPv4, which is taken for a
// running port mapper (rpcbind). Binds the port and releases it at once, so
// two overlapping probes can see each other. Writes its outcome at level 1.
// Without the right to bind port 111 the answer is false, with a message
// saying that the state is unknown.
OBJSTORE_API bool isRpcbindRunning();

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_PROBES_H_
