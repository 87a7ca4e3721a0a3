// Base64 in the standard alphabet of RFC 4648, with "=" as the pad.
//
// The encoder is strict: complete, padded four-character groups, no line
// breaks. The decoder is lenient: it decodes the leading run of alphabet
// characters and ignores everything from the first other byte on ("=",
// whitespace, a line break, a URL-safe "-" or "_", any byte >= 0x80). It never
// reports an error. Both are re-entrant and keep no state between calls.
//
//   std::string text = ObjectStore::base64_encode(bytes, 3);   // "TWFu"
//   std::vector<unsigned char> back = ObjectStore::base64_decode(text);
#ifndef OBJSTORE_CODEC_BASE64_H_
#define OBJSTORE_CODEC_BASE64_H_

#include <string>
#include <vector>

#include "host/Export.h"

namespace ObjectStore {

// Returns the Base64 text of the `length` bytes at `bytes`: 4 * ceil(length / 3)
// characters. With a length of 0, `bytes` is not read and may be null.
OBJSTORE_API std::string base64_encode(const unsigned char* bytes, unsigned int length);

// Returns the bytes that the leading alphabet characters of `text` encode.
// Decoding stops at the end of `text` or at its first byte outside the
// alphabet, whatever the locale. A trailing partial group of 2 or 3 characters
// yields 1 or 2 bytes (unused low bits ignored); a lone character yields none.
OBJSTORE_API std::vector<unsigned char> base64_decode(const std::string& text);

}  // namespace ObjectStore

#endif  // OBJSTORE_CODEC_BASE64_H_
