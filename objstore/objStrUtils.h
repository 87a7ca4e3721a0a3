// Everyday helpers of the object-store service, in the namespace ObjectStore.
//
// All of them are stateless: they may run on any number of threads at once.
// Strings are byte strings; no encoding is assumed. Paths use '/' unless the
// caller passes another separator.
//
// The header is organised in sections, one per family of helpers; new
// families are appended as new sections below the existing ones.
#ifndef OBJSTORE_OBJSTORE_OBJSTRUTILS_H_
#define OBJSTORE_OBJSTORE_OBJSTRUTILS_H_

#include <cstdint>
#include <cstdio>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/uuid/random_generator.hpp>

#include "host/Error.h"
#include "host/Export.h"
#include "host/Locks.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"

namespace ObjectStore {

// ---------------------------------------------------------------------------
// Path and string helpers
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Configuration lookups
// ---------------------------------------------------------------------------
//
// Both read the configuration store of the running process afresh on every
// call: a setting changed in the store takes effect at the next call.

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
    OBJSTORE_LOG_ALWAYS(-1, "T ObjectStore::getRegistryValue(const char*, T, T, T)",
                        "Error: Can't parse [%s]: [%s]", name, text);
    return defaultValue;
  }
  return value;
}

// Compiled into the library and exported; callers use that copy.
extern template OBJSTORE_API int getRegistryValue<int>(const char*, int, int, int);

// ---------------------------------------------------------------------------
// File-system helpers
// ---------------------------------------------------------------------------
//
// Each one wraps system calls, writes its failures to the log writer at
// level -1 (doesFileExist writes nothing) and reports by its return value.
// The conventions differ per function, and callers depend on them.

// Creates `path` and any missing parents; an existing directory is success.
// Paths of PATH_MAX bytes and more are created a component at a time.
// Returns 0, or the negative code of the platform's error (-errno) after
// "Error: can't create directory <path> (<code>)".
OBJSTORE_API int createDir(const std::string& path);

// True when `path` names anything at all (file, directory, device, fifo,
// socket), following symbolic links: a dangling link is false.
OBJSTORE_API bool doesFileExist(const std::string& path);

// The size in bytes of the open file `fd` and the space allocated to it
// (512-byte blocks times 512; less than the size for a sparse file). Either
// output may be null. Returns 0, or -1 after "Error: can't stat fd=<fd>
// (<errno>)". Timed under counter 41 ("DiskCacheFstat").
OBJSTORE_API int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, int fd);

// The same for the descriptor of the stream `file`. A null stream is treated
// as the descriptor -1: the result is -1 with EBADF in the message.
OBJSTORE_API int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, FILE* file);

// Empties the directory `path` depth first; `path` itself stays. Symbolic
// links inside the tree are removed, never followed, so nothing outside the
// tree is touched (`path` itself may be a link to the directory to empty).
// Nor is a mount point inside the tree entered: it stays, with the
// directories that hold it, after "Error: can't enter mount point %s (%d)",
// and the walk goes on with the rest; the result is then EXDEV. An entry
// that is gone when the walk reaches it (another remover took it) counts as
// removed. Trees of any depth are handled with at most 32 descriptors and
// about 10 bytes of memory per level besides the names. Returns 0, or the
// positive errno of the first failure after one message naming the entry:
//   "Error: can't open directory %s (%d)"   "Error: can't read directory %s (%d)"
//   "Error: can't stat %s (%d)"             "Error: can't rmdir %s (%d)"
//   "Error: can't unlink %s (%d)"
//   "Error: can't return to directory %s (%d)"  (ESTALE: a directory of the
//       tree was moved while the walk was below it; the walk stops there)
// What was removed before a failure stays removed.
OBJSTORE_API int rmTree(const std::string& path);

// The free bytes (blocks free to root included) and total bytes of the file
// system holding `path`; either output may be null. Returns 0, or the errno
// after "Can't statvfs <path> (<errno>)" with the outputs untouched.
OBJSTORE_API int getFreeBytes(uint64_t* freeOut, uint64_t* totalOut, const std::string& path);

// ---------------------------------------------------------------------------
// GUID generation
// ---------------------------------------------------------------------------

// Buffer sizes other modules use for GUID texts. generateGuid's text is
// exactly GUID_CHAR_SIZE_MIN characters.
constexpr int GUID_CHAR_SIZE = 44;
constexpr int GUID_CHAR_SIZE_EXTENT = 40;
constexpr int GUID_CHAR_SIZE_MIN = 32;

// A mutual-exclusion section owning a platform ZqCriticalSectionH on the
// heap. Neither copied nor moved.
class ZqCriticalSection {
 public:
  // Throws the text "Not enough memory to initialize ZqCriticalSection" (a
  // const char*) when the platform section cannot be allocated.
  ZqCriticalSection() : section_(nullptr) {
    // The ordinary operator new, not the nothrow form: a host that replaces
    // operator new and delete then sees every allocation and release pair up.
    try {
      section_ = new ZqCriticalSectionH();
    } catch (const std::bad_alloc&) {
      throw "Not enough memory to initialize ZqCriticalSection";
    }
  }
  ~ZqCriticalSection() {
    delete section_;
    section_ = nullptr;
  }
  ZqCriticalSection(const ZqCriticalSection&) = delete;
  ZqCriticalSection& operator=(const ZqCriticalSection&) = delete;

  void enter(bool wait) { section_->enter(wait); }
  void leave() { section_->leave(); }

 private:
  ZqCriticalSectionH* section_;
};

// The process-wide generator behind generateGuid, seeded once at load. The
// library draws from it only under its own private lock; a module that draws
// from it directly must not do so while another thread calls generateGuid.
extern OBJSTORE_API boost::uuids::basic_random_generator<boost::mt19937> RandomGenerator;

// A fresh random (version 4) UUID as 32 lower-case hexadecimal digits, no
// dashes: the 13th digit is always 4 and the 17th one of 8, 9, a, b. Safe on
// any number of threads; concurrent calls never share a draw.
OBJSTORE_API std::string generateGuid();

// ---------------------------------------------------------------------------
// Host probes
// ---------------------------------------------------------------------------

// The capacity and free space, in bytes, of the disk library that serves
// `subclientId`, as the media manager reports them. Returns 0, or -1 for any
// failure (unknown subclient, failed query); nothing is logged.
OBJSTORE_API int64_t getDiskLibrarySize(int subclientId, long long& capacityOut,
                                        long long& freeSpaceOut);

// True when another socket holds TCP port 111 on IPv4, which is taken for a
// running port mapper (rpcbind). Binds the port and releases it at once, so
// two overlapping probes can see each other. Writes its outcome at level 1.
// Without the right to bind port 111 the answer is false, with a message
// saying that the state is unknown.
OBJSTORE_API bool isRpcbindRunning();

}  // namespace ObjectStore

#endif  // OBJSTORE_OBJSTORE_OBJSTRUTILS_H_
