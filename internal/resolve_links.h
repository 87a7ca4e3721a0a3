// Following symbolic links to the file a writer must replace, so that a link
// stays a link and the file behind it changes. Shared by the configuration
// store's setter and osutil. Not installed; nothing here is exported.
#ifndef OBJSTORE_INTERNAL_RESOLVE_LINKS_H_
#define OBJSTORE_INTERNAL_RESOLVE_LINKS_H_

#include <string>

namespace objstore_internal {

// Follows symbolic links from `path` to the name they end at: the first one
// that is not a link, or that lstat cannot read. That name goes to *target,
// and lstat's errno value for it to *lstatError unless that is null (0 when
// it exists; ENOENT for a dangling link, which names the file to create). A
// relative link is relative to the directory that holds it.
//
// Returns 0, or the errno value that stopped the walk: readlink's, ENOENT
// for an empty link, ELOOP after as many links as path resolution follows.
int resolveLinks(const std::string& path, std::string* target, int* lstatError);

}  // namespace objstore_internal

#endif  // OBJSTORE_INTERNAL_RESOLVE_LINKS_H_
