// Signature texts of the file-system helpers' log lines, shared with the
// tests. Not installed.
#ifndef OBJSTORE_OBJSTORE_FS_INTERNAL_H_
#define OBJSTORE_OBJSTORE_FS_INTERNAL_H_

namespace ObjectStore {

constexpr char kCreateDirSignature[] = "int ObjectStore::createDir(const std::string&)";
constexpr char kGetFileSizeSignature[] = "int ObjectStore::getFileSize(uint64_t*, uint64_t*, int)";
constexpr char kRmTreeSignature[] = "int ObjectStore::rmTree(const std::string&)";
constexpr char kGetFreeBytesSignature[] =
    "int ObjectStore::getFreeBytes(uint64_t*, uint64_t*, const std::string&)";

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_FS_INTERNAL_H_
