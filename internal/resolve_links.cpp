// Invariants: the walk follows at most kMaxLinkHops links and reads each
// link with a buffer one byte larger than lstat reported, so that a link
// that grew in between is seen as grown and read again, never cut short.
#include "internal/resolve_links.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace objstore_internal {
namespace {

// As many links as path resolution follows before it gives up with ELOOP.
constexpr int kMaxLinkHops = 40;

}  // namespace

int resolveLinks(const std::string& path, std::string* target, int* lstatError) {
  std::string current = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    const int statError = ::lstat(current.c_str(), &status) == 0 ? 0 : errno;
    if (statError != 0 || !S_ISLNK(status.st_mode)) {
      *target = current;
      if (lstatError != nullptr) *lstatError = statError;
      return 0;
    }
    std::string link(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(current.c_str(), &link[0], link.size());
    if (length < 0) return errno;
    // A link that grew since lstat: read it again on the next hop.
    if (static_cast<size_t>(length) == link.size()) continue;
    link.resize(static_cast<size_t>(length));
    if (link.empty()) return ENOENT;
    if (link[0] != '/') {
      const size_t slash = current.rfind('/');
      if (slash != std::string::npos) link = current.substr(0, slash + 1) + link;
    }
    current = link;
  }
  return ELOOP;
}

}  // namespace objstore_internal
