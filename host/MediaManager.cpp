#include "host/MediaManager.h"

#include <errno.h>
#include <sys/statvfs.h>

#include <climits>
#include <string>

#include "host/PlatformInfo.h"

namespace {

// blocks * fragment size, saturated: a product past LLONG_MAX must not wrap
// to a negative size.
long long saturatedBytes(unsigned long long blocks, unsigned long long fragmentSize) {
  if (fragmentSize != 0 && blocks > static_cast<unsigned long long>(LLONG_MAX) / fragmentSize)
    return LLONG_MAX;
  return static_cast<long long>(blocks * fragmentSize);
}

}  // namespace

ZQMMlibInfo::ZQMMlibInfo(int clientType) : client_type_(clientType) {}
ZQMMlibInfo::~ZQMMlibInfo() = default;

int ZQMMlibInfo::getCapacityAndFreeSpaceForSubclient(int subclientId, long long& capacity,
                                                     long long& freeSpace) {
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());
  std::string mountPath;
  const std::string name = "subclient" + std::to_string(subclientId);
  if (!store.getString("MediaManager", name.c_str(), &mountPath) || mountPath.empty())
    return ENOENT;

  struct statvfs volume;
  if (statvfs(mountPath.c_str(), &volume) != 0) return errno;
  capacity = saturatedBytes(volume.f_blocks, volume.f_frsize);
  freeSpace = saturatedBytes(volume.f_bavail, volume.f_frsize);
  return 0;
}
