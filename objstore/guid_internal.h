// The GUID batcher's entry point, between guid.cpp and guid_batch.cpp. Not
// installed.
#ifndef OBJSTORE_OBJSTORE_GUID_INTERNAL_H_
#define OBJSTORE_OBJSTORE_GUID_INTERNAL_H_

#include <boost/uuid/uuid.hpp>

namespace ObjectStore {

// The next unused UUID of the calling thread's batch, drawing a new batch
// from RandomGenerator (under its lock) when none is left. Every UUID is
// handed out once, to one thread. Throws nothing; without memory for a
// larger batch it keeps drawing batches of the size it has.
boost::uuids::uuid takeBatchedUuid();

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_GUID_INTERNAL_H_
