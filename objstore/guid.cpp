#include "objstore/guid.h"

#include <cstdint>
#include <cstring>

#include <boost/uuid/uuid.hpp>

#include "objstore/guid_internal.h"

// RandomGenerator and the lock that guards it are defined in guid_batch.cpp,
// the only code that draws from them.

namespace ObjectStore {

namespace {

// Every byte value as its two lower-case hexadecimal digits, high nibble
// first: one lookup per byte instead of two.
struct HexPairs {
  constexpr HexPairs() : digits() {
    constexpr char kHexDigits[] = "0123456789abcdef";
    for (int byte = 0; byte < 256; ++byte) {
      digits[2 * byte] = kHexDigits[byte >> 4];
      digits[2 * byte + 1] = kHexDigits[byte & 0x0F];
    }
  }
  char digits[512];
};
constexpr HexPairs kHexPairs;

}  // namespace

std::string generateGuid() {
  const boost::uuids::uuid id = takeBatchedUuid();

  std::string text(2 * sizeof id.data, '\0');
  char* out = &text[0];
  for (const uint8_t byte : id.data) {
    std::memcpy(out, &kHexPairs.digits[2 * byte], 2);
    out += 2;
  }
  return text;
}

}  // namespace ObjectStore
