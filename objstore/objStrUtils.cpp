#include "objstore/objStrUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <boost/tokenizer.hpp>
#include <boost/uuid/uuid.hpp>

#include "host/Directory.h"
#include "host/MediaManager.h"
#include "host/Network.h"
#include "perf/objectStorePerf.h"

namespace ObjectStore {

// ---------------------------------------------------------------------------
// Path and string helpers
// ---------------------------------------------------------------------------

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

CWyError splitParentPath(const std::string& fullPath, std::string& parentOut,
                         std::string& childOut, char separator) {
  static const char kSignature[] =
      "CWyError ObjectStore::splitParentPath(const std::string&, std::string&, std::string&, "
      "char)";
  if (fullPath.empty()) {
    return FXErrorUtil::ErrorErrNo(FXCodeLocation("objStrUtils", kSignature, __LINE__), EINVAL,
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
    return FXErrorUtil::ErrorErrNo(FXCodeLocation("objStrUtils", kSignature, __LINE__), ENOENT,
                                   "%s is not a full path", fullPath.c_str());
  }
  // Build both outputs before touching either, so that a failed allocation
  // leaves them as they were.
  std::string parent = last == 0 ? std::string(1, separator) : path.substr(0, last);
  std::string child = path.substr(last + 1);
  parentOut.swap(parent);
  childOut.swap(child);

  OBJSTORE_LOG(5, kSignature, "splitParentPath: fullPath=[%s] parentOut=[%s] childOut=[%s]",
               fullPath.c_str(), parentOut.c_str(), childOut.c_str());
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

// ---------------------------------------------------------------------------
// Configuration lookups
// ---------------------------------------------------------------------------

std::string getRegistryString(const char* name) {
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());
  std::string value;
  store.getString("Zelt", name, &value);
  return value;
}

template OBJSTORE_API int getRegistryValue<int>(const char*, int, int, int);

// ---------------------------------------------------------------------------
// File-system helpers
// ---------------------------------------------------------------------------

int createDir(const std::string& path) {
  const CWyError error = CWyDirectory::Create(path.c_str(), true);
  if (!error.IsError()) return 0;
  const int code = error.GetErrorCode();
  OBJSTORE_LOG(-1, "int ObjectStore::createDir(const std::string&)",
               "Error: can't create directory %s (%d)", path.c_str(), code);
  return code;
}

bool doesFileExist(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, int fd) {
  TimeFunction timer("getFileSize", 41);  // counter 41: "DiskCacheFstat"
  struct stat status;
  const int result = fstat(fd, &status);
  if (result == 0) {
    if (sizeOut != nullptr) *sizeOut = static_cast<uint64_t>(status.st_size);
    if (allocatedOut != nullptr) *allocatedOut = static_cast<uint64_t>(status.st_blocks) * 512;
  } else {
    const int error = errno;
    OBJSTORE_LOG(-1, "int ObjectStore::getFileSize(uint64_t*, uint64_t*, int)",
                 "Error: can't stat fd=%d (%d)", fd, error);
  }
  return result;
}

int getFileSize(uint64_t* sizeOut, uint64_t* allocatedOut, FILE* file) {
  // fileno(NULL) would crash; -1 gets the descriptor form's EBADF path.
  return getFileSize(sizeOut, allocatedOut, file != nullptr ? fileno(file) : -1);
}

namespace {

constexpr char kRmTreeSignature[] = "int ObjectStore::rmTree(const std::string&)";

// Logs one failure of rmTree and hands its error number back.
int RmTreeFailure(const char* format, const std::string& path, int error) {
  OBJSTORE_LOG(-1, kRmTreeSignature, format, path.c_str(), error);
  return error;
}

int EmptyDirectory(int fd, const std::string& dirPath);

// A status query of `name` in the directory `dirFd`, never following a link.
int QueryEntry(int dirFd, const char* name, struct stat& status) {
  return fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// Removes the entry `name` of the directory open at `dirFd` (path for
// messages `dirPath`), emptying it first if it is a directory. `type` is the
// entry's d_type from readdir.
//
// Where the file system reports the type, no status query is made: that
// query cost as much again as the unlink of a small file. It is made only
// when the type is unknown, or after a removal failed, so that every failure
// reads as it would with the query made first: the query's own error when it
// fails too (an entry that vanished since readdir is "can't stat ... (2)"),
// the removal's otherwise. An entry that turns out to be of another kind
// than reported (replaced since readdir) is handled as what it is now.
int RemoveEntry(int dirFd, const std::string& dirPath, const char* name, unsigned char type) {
  struct stat status;
  bool queried = false;
  if (type == DT_UNKNOWN) {
    if (const int error = QueryEntry(dirFd, name, status))
      return RmTreeFailure("Error: can't stat %s (%d)", join(dirPath, name, '/'), error);
    queried = true;
    type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;  // DT_REG: "anything else"
  }

  if (type != DT_DIR) {
    if (unlinkat(dirFd, name, 0) == 0) return 0;
    const int error = errno;
    if (!queried) {
      if (const int queryError = QueryEntry(dirFd, name, status))
        return RmTreeFailure("Error: can't stat %s (%d)", join(dirPath, name, '/'), queryError);
      queried = true;
    }
    if (!S_ISDIR(status.st_mode))
      return RmTreeFailure("Error: can't unlink %s (%d)", join(dirPath, name, '/'), error);
    // A directory after all: empty and remove it below.
  }

  const std::string entryPath = join(dirPath, name, '/');
  // O_NOFOLLOW: an entry that is a link (or became one) fails (ELOOP)
  // instead of leading outside the tree.
  const int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (child < 0) {
    const int error = errno;
    if (!queried) {
      if (const int queryError = QueryEntry(dirFd, name, status))
        return RmTreeFailure("Error: can't stat %s (%d)", entryPath, queryError);
      if (!S_ISDIR(status.st_mode)) {
        // Not a directory (any more): removed like the other kinds.
        if (unlinkat(dirFd, name, 0) == 0) return 0;
        return RmTreeFailure("Error: can't unlink %s (%d)", entryPath, errno);
      }
    }
    return RmTreeFailure("Error: can't open directory %s (%d)", entryPath, error);
  }
  // The level that failed has written the message.
  if (const int result = EmptyDirectory(child, entryPath)) return result;
  if (unlinkat(dirFd, name, AT_REMOVEDIR) != 0)
    return RmTreeFailure("Error: can't rmdir %s (%d)", entryPath, errno);
  return 0;
}

// Empties the directory open at `fd`, whose path for messages is `dirPath`;
// takes ownership of `fd`. Every step goes through the directory's
// descriptor and never follows a link, so neither a link in the tree nor a
// directory swapped for one while the walk runs leads outside the tree, and
// the length of the paths never matters to the system.
int EmptyDirectory(int fd, const std::string& dirPath) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    return RmTreeFailure("Error: can't open directory %s (%d)", dirPath, error);
  }
  int result = 0;
  for (;;) {
    // readdir signals both the end and an error with null; only an error
    // sets errno.
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = RmTreeFailure("Error: can't read directory %s (%d)", dirPath, errno);
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if ((result = RemoveEntry(fd, dirPath, name, entry->d_type)) != 0) break;
  }
  closedir(dir);  // closes fd as well
  return result;
}

}  // namespace

int rmTree(const std::string& path) {
  // The top directory is opened like opendir does, following a link: the
  // caller named it. Only what lies inside is never followed.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return RmTreeFailure("Error: can't open directory %s (%d)", path, errno);
  return EmptyDirectory(fd, path);
}

int getFreeBytes(uint64_t* freeOut, uint64_t* totalOut, const std::string& path) {
  struct statvfs volume;
  if (statvfs(path.c_str(), &volume) != 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, "int ObjectStore::getFreeBytes(uint64_t*, uint64_t*, const std::string&)",
                 "Can't statvfs %s (%d)", path.c_str(), error);
    return error;
  }
  if (totalOut != nullptr) *totalOut = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
  // f_bfree, not f_bavail: the blocks reserved for root count as free.
  if (freeOut != nullptr) *freeOut = static_cast<uint64_t>(volume.f_bfree) * volume.f_frsize;
  return 0;
}

// ---------------------------------------------------------------------------
// GUID generation
// ---------------------------------------------------------------------------

// Built at load in this order, the generator (and its seeding) first; torn
// down in reverse, so the lock never outlives nor predates its generator.
boost::uuids::basic_random_generator<boost::mt19937> RandomGenerator;
// Guards every draw from RandomGenerator. Private to the library.
ZqCriticalSection RandomLock;

namespace {

// The UUIDs a thread has drawn from RandomGenerator and not yet handed out.
//
// A draw per call made every GUID a round trip of RandomLock, and of the
// generator's state, between the cores of the calling threads. The draw is
// about half of a call's work, so that traffic made two threads calling at
// once slower together than one thread alone. Each entry into RandomLock
// therefore draws a batch into a buffer of the calling thread, and the
// threads format their GUIDs from their own buffers in parallel.
//
// The batch starts small and doubles with each refill: a thread that makes
// a few GUIDs draws a few and holds the lock about as briefly as before,
// while a thread that makes them in bulk soon draws kLargestBatch at a time
// (about 20 us under the lock, 16 KiB of buffer). Smaller batches were not
// enough: up to a few hundred per entry, two threads in a tight loop still
// fell into step, each waiting for the other's draw, and together made no
// more GUIDs than one.
//
// Each UUID still comes whole from one locked call of the generator (which
// sets version and variant), lives in exactly one thread's buffer and is
// handed out once, so two calls never receive the same draw. A thread that
// ends throws its unused ones away.
constexpr int kFirstBatch = 8;
constexpr int kLargestBatch = 1024;

// GCC would otherwise clone take() for its one call site; clang never does
// and has no such attribute.
#if defined(__clang__)
#define OBJSTORE_NO_CLONE
#else
#define OBJSTORE_NO_CLONE __attribute__((noclone))
#endif

// Trivial and zero-initialised, so that reaching it costs no guard: the
// empty state is size 0, and the first batch fills `inlineIds` as it is.
struct GuidBuffer {
  // Hands out the next unused UUID, drawing a batch first when none is
  // left. Out of line (and not specialised for its one caller's argument),
  // so that the buffer's address is computed once, by the caller; inlined,
  // the compiler would compute it again (a call into the dynamic linker) at
  // each use.
  __attribute__((noinline)) OBJSTORE_NO_CLONE boost::uuids::uuid take();
  __attribute__((noinline)) void refill();  // kept off take's fast path

  boost::uuids::uuid inlineIds[kFirstBatch];
  boost::uuids::uuid* heap;  // the grown batch; null until then
  int size;                  // the batch held; 0 before the first draw
  int next;                  // the first unused one; size when empty
};

thread_local GuidBuffer t_guids;

// Frees a thread's grown batch when the thread ends. Reached only when a
// batch first grows, which is what registers its destructor.
struct GuidBufferRelease {
  bool armed = false;
  ~GuidBufferRelease() {
    GuidBuffer& buffer = t_guids;
    delete[] buffer.heap;
    buffer = GuidBuffer();  // empty again, for anything still asking during the exit
  }
};

thread_local GuidBufferRelease t_guidRelease;

boost::uuids::uuid GuidBuffer::take() {
  if (next == size) refill();
  return (heap != nullptr ? heap : inlineIds)[next++];
}

void GuidBuffer::refill() {
  // Grown before the lock is entered: no allocation inside it. Without
  // memory the batch keeps its size.
  if (size == 0) {
    size = kFirstBatch;
  } else if (size < kLargestBatch) {
    if (auto* larger = new (std::nothrow) boost::uuids::uuid[2 * size]) {
      t_guidRelease.armed = true;
      delete[] heap;
      heap = larger;
      size *= 2;
    }
  }
  boost::uuids::uuid* const ids = heap != nullptr ? heap : inlineIds;
  RandomLock.enter(true);
  for (int i = 0; i < size; ++i) ids[i] = RandomGenerator();  // the draw alone is locked
  RandomLock.leave();
  next = 0;
}

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
  const boost::uuids::uuid id = t_guids.take();

  std::string text(2 * sizeof id.data, '\0');
  char* out = &text[0];
  for (const uint8_t byte : id.data) {
    std::memcpy(out, &kHexPairs.digits[2 * byte], 2);
    out += 2;
  }
  return text;
}

// ---------------------------------------------------------------------------
// Host probes
// ---------------------------------------------------------------------------

int64_t getDiskLibrarySize(int subclientId, long long& capacityOut, long long& freeSpaceOut) {
  ZQMMlibInfo libraryInfo(2);
  return libraryInfo.getCapacityAndFreeSpaceForSubclient(subclientId, capacityOut,
                                                         freeSpaceOut) == 0
             ? 0
             : -1;
}

bool isRpcbindRunning() {
  constexpr char kSignature[] = "bool ObjectStore::isRpcbindRunning()";
  constexpr int kPortMapperPort = 111;
  CWySocket socket;
  CWyIPAddr address;  // no host address: the any-address of the family
  address.SetPortNumber(kPortMapperPort);
  address.SetAddressFamily(CWyIPAddr::IP_FAMILY_INET);
  socket.Socket(address);
  address.SetPortNumber(kPortMapperPort);
  const CWyError bound = socket.Bind(address);
  // Released before the outcome is judged: the probe never keeps the port.
  socket.Close();

  if (!bound.IsError()) {
    OBJSTORE_LOG(1, kSignature,
                 "Able to bind to port mapper port [111]. RPCBIND service cannot be running.");
    return false;
  }
  const int error = FXErrorUtil::GetErrNo(bound);
  if (error == EADDRINUSE) {
    OBJSTORE_LOG(1, kSignature,
                 "Port mapper port [111] is already in LISTENING MODE. RPCBIND service must be "
                 "running.");
    return true;
  }
  // Any other failure (EACCES without the right to bind port 111) says
  // nothing about the port mapper; "Able to bind" would be false.
  OBJSTORE_LOG(1, kSignature,
               "Can't bind to port mapper port [111] (%d). RPCBIND service state is unknown.",
               error);
  return false;
}

}  // namespace ObjectStore
