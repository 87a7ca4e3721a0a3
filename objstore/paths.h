// Path and string helpers of the object-store service.
//
// Stateless: any number of threads may call them at once. Strings are byte
// strings; no encoding is assumed. Paths use '/' unless the caller passes
// another separator.
#ifndef OBJSTORE_OBJSTORE_PATHS_H_
#define OBJSTORE_OBJSTORE_PATHS_H_

#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Export.h"

namespace ObjectStore {

// Glues `first` and `second` with exactly one `separator` at the seam when
// both sides bring one; a longer run at the seam loses one byte only.
//   join("a", "b") == "a/b"     join("a/", "/b") == "a/b"
//   join("", "b")  == "b"       join("a", "")    == "a/"
OBJSTORE_API std::string join(const std::string& first, const std::string& second,
                              char separator = '/');

// Cuts `fullPath` into its parent and its last component. A single trailing
// separator is ignored; the root ("/") splits into "/" and "". On failure the
// outputs keep their previous contents and the error carries EINVAL (empty
// path) or ENOENT (no separator at all), readable with FXErrorUtil::GetErrNo.
OBJSTORE_API CWyError splitParentPath(const std::string& fullPath, std::string& parentOut,
                                      std::string& childOut, char separator = '/');

// Replaces `tokens` with the non-empty pieces of `input` between bytes that
// occur in `separators` (the text up to its first NUL). Separators never
// appear in the tokens; empty separators yield the whole input as one token.
OBJSTORE_API void tokenize(std::vector<std::string>& tokens, const std::string& input,
                           const std::string& separators);

// The pointer as a stream writes it in hexadecimal: "0x1000"; null gives "0".
OBJSTORE_API std::string to_hexstring(const void* pointer);

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_PATHS_H_
