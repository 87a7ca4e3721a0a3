#include "objstore/paths.h"

#include <cerrno>
#include <locale>
#include <sstream>

#include <boost/tokenizer.hpp>

#include "host/LogWriter.h"
#include "objstore/paths_internal.h"

namespace ObjectStore {

std::string join(const std::string& first, const std::string& second, char separator) {
  std::string joined(first);
  if (!joined.empty() && joined.back() != separator) joined.push_back(separator);
  // Both sides bring a separator to the seam: keep one of them.
  if (!joined.empty() && !second.empty() && joined.back() == separator &&
      second.front() == separator) {
    joined.pop_back();
  }
  joined += second;
  return joined;
}

CWyError splitParentPath(const std::string& fullPath, std::string& parentOut, std::string& childOut,
                         char separator) {
  if (fullPath.empty()) {
    return FXErrorUtil::ErrorErrNo(
        FXCodeLocation(kErrorSourceName, kSplitParentPathSignature, __LINE__), EINVAL,
        "Can't split an empty path");
  }
  if (fullPath.size() == 1 && fullPath[0] == separator) {
    parentOut = fullPath;
    childOut.clear();
    return CWyError::Success();
  }

  std::string path(fullPath);
  if (path.back() == separator) path.pop_back();  // one trailing separator only

  const std::string::size_type last = path.rfind(separator);
  if (last == std::string::npos) {
    return FXErrorUtil::ErrorErrNo(
        FXCodeLocation(kErrorSourceName, kSplitParentPathSignature, __LINE__), ENOENT,
        "%s is not a full path", fullPath.c_str());
  }
  // Build both outputs before touching either, so that a failed allocation
  // leaves them as they were.
  std::string parent = last == 0 ? std::string(1, separator) : path.substr(0, last);
  std::string child = path.substr(last + 1);
  parentOut.swap(parent);
  childOut.swap(child);

  OBJSTORE_LOG(5, kSplitParentPathSignature,
               "splitParentPath: fullPath=[%s] parentOut=[%s] childOut=[%s]", fullPath.c_str(),
               parentOut.c_str(), childOut.c_str());
  return CWyError::Success();
}

void tokenize(std::vector<std::string>& tokens, const std::string& input,
              const std::string& separators) {
  tokens.clear();
  // c_str() stops the separator set at its first NUL. The kept set is empty
  // (not null), so no byte is kept as a token of its own.
  const boost::char_separator<char> split(separators.c_str(), "", boost::drop_empty_tokens);
  const boost::tokenizer<boost::char_separator<char>> pieces(input, split);
  for (const std::string& piece : pieces) tokens.push_back(piece);
}

std::string to_hexstring(const void* pointer) {
  std::ostringstream text;
  // A locale with digit grouping would put separators between the digits.
  text.imbue(std::locale::classic());
  text << std::hex << pointer;
  return text.str();
}

}  // namespace ObjectStore
