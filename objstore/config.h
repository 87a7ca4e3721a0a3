// Configuration lookups of the object-store service.
//
// Both read the configuration store of the running process afresh on every
// call: a setting changed in the store takes effect at the next call. Any
// number of threads may call them at once.
#ifndef OBJSTORE_OBJSTORE_CONFIG_H_
#define OBJSTORE_OBJSTORE_CONFIG_H_

#include <cstdint>
#include <locale>
#include <sstream>
#include <string>

#include "host/Export.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"

namespace ObjectStore {

namespace detail {

// The signature text of getRegistryValue's log line: one text for every T.
constexpr char kGetRegistryValueSignature[] =
    "T ObjectStore::getRegistryValue(const char*, T, T, T)";

}  // namespace detail

// The text of `name` in the section "Zelt"; empty when the store has none.
OBJSTORE_API std::string getRegistryString(const char* name);

// The value of `name` in the section "~Zelt", read as a T with the stream's
// formatted extraction in the classic locale (so "12abc" reads 12 and "0x10"
// reads 0). Returns `defaultValue` when the value is absent (silently) or not
// a T ("Error: Can't parse [name]: [text]" goes to the log writer whatever its
// level). The last two arguments are accepted for the callers' sake and do
// not limit the result.
template <typename T>
T getRegistryValue(const char* name, T defaultValue, T /*minValue*/, T /*maxValue*/) {
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());

  uint32_t valueType = 0;
  char text[32] = {};
  int length = static_cast<int>(sizeof text);
  if (!store.getRegValue("~Zelt", name, &valueType, text, length)) return defaultValue;

  // The store guarantees a NUL within the buffer on success.
  std::stringstream stream(std::string(text), std::ios::in | std::ios::out);
  // A process-wide locale with digit grouping must not change what a setting
  // reads as.
  stream.imbue(std::locale::classic());
  T value{};
  if (!(stream >> value)) {
    OBJSTORE_LOG_ALWAYS(-1, detail::kGetRegistryValueSignature, "Error: Can't parse [%s]: [%s]",
                        name, text);
    return defaultValue;
  }
  return value;
}

// Compiled into the library and exported; callers use that copy.
extern template OBJSTORE_API int getRegistryValue<int>(const char*, int, int, int);

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_CONFIG_H_
