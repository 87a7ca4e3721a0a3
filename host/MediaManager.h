// The media manager's disk-library information.
//
// A subclient is served by one disk library, mounted on the host. The map
// from subclients to mount paths lives in the configuration store of the
// running process (see host/PlatformInfo.h), section "MediaManager":
//
//   [MediaManager]
//   subclient7 = /srv/lib1
#ifndef OBJSTORE_HOST_MEDIAMANAGER_H_
#define OBJSTORE_HOST_MEDIAMANAGER_H_

#include "host/Export.h"

class OBJSTORE_API ZQMMlibInfo {
 public:
  // `clientType` names the kind of caller for the media manager; the object
  // store passes 2. It does not change what the queries answer.
  explicit ZQMMlibInfo(int clientType);
  ~ZQMMlibInfo();
  ZQMMlibInfo(const ZQMMlibInfo&) = delete;
  ZQMMlibInfo& operator=(const ZQMMlibInfo&) = delete;

  int clientType() const { return client_type_; }

  // Fills `capacity` with the size of the file system mounted at the
  // subclient's disk library (blocks times fragment size) and `freeSpace`
  // with the space available to the service there (available blocks times
  // fragment size, so the blocks reserved for root do not count). Returns 0,
  // or a positive errno with both outputs untouched: ENOENT when the store
  // maps no path to the subclient, otherwise the error of the file-system
  // query. Reads the store afresh on every call.
  int getCapacityAndFreeSpaceForSubclient(int subclientId, long long& capacity,
                                          long long& freeSpace);

 private:
  int client_type_;
};

#endif  // OBJSTORE_HOST_MEDIAMANAGER_H_
