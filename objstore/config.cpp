#include "objstore/config.h"

namespace ObjectStore {

std::string getRegistryString(const char* name) {
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());
  std::string value;
  store.getString("Zelt", name, &value);
  return value;
}

template OBJSTORE_API int getRegistryValue<int>(const char*, int, int, int);

}  // namespace ObjectStore
