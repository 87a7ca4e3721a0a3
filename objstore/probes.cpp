#include "objstore/probes.h"

#include <cerrno>

#include "host/Error.h"
#include "host/LogWriter.h"
#include "host/MediaManager.h"
#include "host/Network.h"
#include "objstore/probes_internal.h"

namespace ObjectStore {

int64_t getDiskLibrarySize(int subclientId, long long& capacityOut, long long& freeSpaceOut) {
  ZQMMlibInfo libraryInfo(2);
  return libraryInfo.getCapacityAndFreeSpaceForSubclient(subclientId, capacityOut, freeSpaceOut) ==
                 0
             ? 0
             : -1;
}

bool isRpcbindRunning() {
  constexpr int kPortMapperPort = 111;
  CWySocket socket;
  CWyIPAddr address;  // no host address: the any-address of the family
  address.SetPortNumber(kPortMapperPort);
  address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET);
  socket.Socket(address);
  const CWyError bound = socket.Bind(address);
  // Released before the outcome is judged: the probe never keeps the port.
  socket.Close();

  if (!bound.IsError()) {
    OBJSTORE_LOG(1, kIsRpcbindRunningSignature,
                 "Able to bind to port mapper port [111]. RPCBIND service cannot be running.");
    return false;
  }
  const int error = FXErrorUtil::GetErrNo(bound);
  if (error == EADDRINUSE) {
    OBJSTORE_LOG(1, kIsRpcbindRunningSignature,
                 "Port mapper port [111] is already in LISTENING MODE. RPCBIND service must be "
                 "running.");
    return true;
  }
  // Any other failure (EACCES without the right to bind port 111) says
  // nothing about the port mapper; "Able to bind" would be false.
  OBJSTORE_LOG(1, kIsRpcbindRunningSignature,
               "Can't bind to port mapper port [111] (%d). RPCBIND service state is unknown.",
               error);
  return false;
}

}  // namespace ObjectStore
