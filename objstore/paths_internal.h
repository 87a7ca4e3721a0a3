// Texts the path helpers put into their errors and log lines, shared with
// the tests. Not installed.
#ifndef OBJSTORE_OBJSTORE_PATHS_INTERNAL_H_
#define OBJSTORE_OBJSTORE_PATHS_INTERNAL_H_

namespace ObjectStore {

// The source name the helpers' errors carry (GetSourceFile): the unit they
// were first written in, which callers may still match on.
constexpr char kErrorSourceName[] = "objStrUtils";

constexpr char kSplitParentPathSignature[] =
    "CWyError ObjectStore::splitParentPath(const std::string&, std::string&, std::string&, char)";

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_PATHS_INTERNAL_H_
