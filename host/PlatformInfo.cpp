#include "host/PlatformInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "host/LogWriter.h"

namespace {

using boost::property_tree::ptree;

const char kDefaultRegistryDir[] = "/etc/objstore/registry";
const char kDefaultFocus[] = "Instance001";

std::string registryDir() {
  const char* dir = std::getenv("OBJSTORE_REGISTRY_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(kDefaultRegistryDir);
}

// Closes a descriptor on every path out of a scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

enum class Load { kLoaded, kMissing, kFailed };

// Parsing costs some twenty times the file's size in memory, and every lookup
// parses the whole store. A store is a few kilobytes of settings; anything
// this large is a mistake, and reading it would stall or exhaust the process.
constexpr size_t kMaxStoreBytes = 4 * 1024 * 1024;

// Reads the whole store at `path` into `tree`. A missing file is an empty
// store and not worth a message; an unreadable or malformed one is logged
// once, naming the file (and the line), and also reads as empty. Only a
// regular file of at most kMaxStoreBytes is read: a FIFO would block the
// lookup (in open or in read) until some writer appeared, and a device such
// as /dev/zero never ends.
Load loadStore(const std::string& path, ptree& tree, const char* signature) {
  tree.clear();
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer, O_NOCTTY a
  // terminal from becoming ours; neither changes how a regular file reads.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Load::kMissing;
    const int error = errno;
    OBJSTORE_LOG(-1, signature, "Error: Can't open [%s]: %s", path.c_str(), strerror(error));
    return Load::kFailed;
  }
  FdCloser closer(fd);
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, signature, "Error: Can't read [%s]: %s", path.c_str(), strerror(error));
    return Load::kFailed;
  }
  if (!S_ISREG(status.st_mode)) {
    OBJSTORE_LOG(-1, signature, "Error: Can't read [%s]: not a regular file", path.c_str());
    return Load::kFailed;
  }
  if (static_cast<unsigned long long>(status.st_size) > kMaxStoreBytes) {
    OBJSTORE_LOG(-1, signature, "Error: Can't read [%s]: larger than %zu bytes", path.c_str(),
                 kMaxStoreBytes);
    return Load::kFailed;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  std::string contents;
  contents.reserve(static_cast<size_t>(status.st_size));
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      OBJSTORE_LOG(-1, signature, "Error: Can't read [%s]: %s", path.c_str(), strerror(error));
      return Load::kFailed;
    }
    contents.append(chunk, static_cast<size_t>(got));
    // Someone appending while we read must not keep us reading.
    if (contents.size() > kMaxStoreBytes) {
      OBJSTORE_LOG(-1, signature, "Error: Can't read [%s]: larger than %zu bytes", path.c_str(),
                   kMaxStoreBytes);
      return Load::kFailed;
    }
  }

  std::istringstream stream(contents);
  // The parser trims with the stream's locale; keep it independent of the
  // process-wide one.
  stream.imbue(std::locale::classic());
  try {
    boost::property_tree::ini_parser::read_ini(stream, tree);
  } catch (const boost::property_tree::ini_parser_error& error) {
    tree.clear();
    OBJSTORE_LOG(-1, signature, "Error: Can't parse [%s] at line %lu: %s", path.c_str(),
                 error.line(), error.message().c_str());
    return Load::kFailed;
  }
  return Load::kLoaded;
}

// The text of section/name in `tree`, or null. Names are matched exactly;
// '.' in a name has no special meaning.
const std::string* findValue(const ptree& tree, const char* section, const char* name) {
  const auto sectionIt = tree.find(section);
  if (sectionIt == tree.not_found()) return nullptr;
  const auto valueIt = sectionIt->second.find(name);
  if (valueIt == sectionIt->second.not_found()) return nullptr;
  return &valueIt->second.data();
}

// The blanks the parser trims from names and values (classic locale).
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether `text` reads back as itself from an INI line: no line breaks or
// NULs anywhere, no blanks at either end, none of `forbidden`.
bool survivesIni(const std::string& text, const char* forbidden) {
  if (!text.empty() && (isBlank(text.front()) || isBlank(text.back()))) return false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0' || std::strchr(forbidden, c) != nullptr) return false;
  }
  return true;
}

bool validSection(const char* section) {
  if (section == nullptr || *section == '\0') return false;
  return survivesIni(section, "[]");
}

bool validName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  // A leading ';' or '#' makes a comment, a leading '[' a section.
  if (*name == ';' || *name == '#' || *name == '[') return false;
  return survivesIni(name, "=");
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// ZQPI_Focus
// ---------------------------------------------------------------------------

std::string ZQPI_Focus::getFocus() {
  const char* focus = std::getenv("OBJSTORE_FOCUS");
  return focus != nullptr && *focus != '\0' ? std::string(focus) : std::string(kDefaultFocus);
}

// ---------------------------------------------------------------------------
// ZQPlatformInfo
// ---------------------------------------------------------------------------

ZQPlatformInfo::ZQPlatformInfo() : focus_valid_(false) { setFocus(ZQPI_Focus::getFocus()); }

ZQPlatformInfo::~ZQPlatformInfo() = default;

bool ZQPlatformInfo::setFocus(const std::string& focus) {
  focus_ = focus;
  focus_valid_ = !focus.empty() && focus.find('/') == std::string::npos &&
                 focus.find('\0') == std::string::npos;
  return focus_valid_;
}

std::string ZQPlatformInfo::storePath() const {
  if (!focus_valid_) return std::string();
  return registryDir() + "/" + focus_ + ".ini";
}

bool ZQPlatformInfo::getString(const char* section, const char* name, std::string* out) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::getString(const char*, const char*, std::string*)";
  if (out == nullptr) return false;
  out->clear();
  if (section == nullptr || name == nullptr || !focus_valid_) return false;
  ptree tree;
  if (loadStore(storePath(), tree, kSignature) != Load::kLoaded) return false;
  const std::string* value = findValue(tree, section, name);
  if (value == nullptr) return false;
  *out = *value;
  return true;
}

bool ZQPlatformInfo::getRegValue(const char* section, const char* name, uint32_t* type,
                                 char* buffer, int& length) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::getRegValue(const char*, const char*, uint32_t*, char*, int&)";
  if (buffer == nullptr || length <= 0) return false;
  buffer[0] = '\0';
  if (section == nullptr || name == nullptr || !focus_valid_) return false;
  ptree tree;
  if (loadStore(storePath(), tree, kSignature) != Load::kLoaded) return false;
  const std::string* value = findValue(tree, section, name);
  if (value == nullptr) return false;
  // Refuse rather than truncate: a truncated number would read as another.
  if (value->size() >= static_cast<size_t>(length)) {
    const size_t needed = value->size() + 1;
    length = needed > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(needed);
    return false;
  }
  std::memcpy(buffer, value->data(), value->size());
  buffer[value->size()] = '\0';
  length = static_cast<int>(value->size() + 1);
  if (type != nullptr) *type = kValueTypeText;
  return true;
}

bool ZQPlatformInfo::setString(const char* section, const char* name, const std::string& value) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::setString(const char*, const char*, const std::string&)";
  if (!validSection(section) || !validName(name) || !survivesIni(value, "")) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: not representable in the store",
                 section != nullptr ? section : "(null)", name != nullptr ? name : "(null)");
    return false;
  }
  if (!focus_valid_) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: invalid focus [%s]", section,
                 name, focus_.c_str());
    return false;
  }
  const std::string dir = registryDir();
  const std::string path = dir + "/" + focus_ + ".ini";

  // Writers of one directory take turns, so that no update is lost between
  // reading the store and replacing it.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, kSignature, "Error: Can't open [%s]: %s", dir.c_str(), strerror(error));
    return false;
  }
  FdCloser dirCloser(dirFd);  // closing it also releases the lock
  while (::flock(dirFd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    OBJSTORE_LOG(-1, kSignature, "Error: Can't lock [%s]: %s", dir.c_str(), strerror(error));
    return false;
  }

  ptree tree;
  if (loadStore(path, tree, kSignature) == Load::kFailed) {
    // Rewriting a store that cannot be read would lose its contents.
    OBJSTORE_LOG(-1, kSignature, "Error: Can't update [%s]: the present store is unreadable",
                 path.c_str());
    return false;
  }
  ptree* sectionTree;
  const auto sectionIt = tree.find(section);
  if (sectionIt == tree.not_found()) {
    sectionTree = &tree.push_back(ptree::value_type(section, ptree()))->second;
  } else {
    sectionTree = &sectionIt->second;
  }
  const auto valueIt = sectionTree->find(name);
  if (valueIt == sectionTree->not_found()) {
    sectionTree->push_back(ptree::value_type(name, ptree(value)));
  } else {
    valueIt->second.data() = value;
  }

  std::ostringstream text;
  text.imbue(std::locale::classic());
  try {
    boost::property_tree::ini_parser::write_ini(text, tree);
  } catch (const boost::property_tree::ini_parser_error& error) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't write [%s]: %s", path.c_str(),
                 error.message().c_str());
    return false;
  }

  // Readers refuse a store above the limit; writing one would make every
  // setting unreadable at once.
  const std::string serialized = text.str();
  if (serialized.size() > kMaxStoreBytes) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: the store would exceed %zu bytes",
                 section, name, kMaxStoreBytes);
    return false;
  }

  // A temporary in the same directory, so that the rename replaces the store
  // in one step and a reader sees the old or the new file, never a part.
  std::string temporary = dir + "/." + focus_ + ".ini.XXXXXX";
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, kSignature, "Error: Can't create a temporary file in [%s]: %s",
                 dir.c_str(), strerror(error));
    return false;
  }
  struct stat previous;
  const mode_t mode = ::stat(path.c_str(), &previous) == 0 ? (previous.st_mode & 07777) : 0644;
  bool written = writeAll(fd, serialized) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    OBJSTORE_LOG(-1, kSignature, "Error: Can't write [%s]: %s", path.c_str(), strerror(error));
    return false;
  }
  ::fsync(dirFd);  // make the rename itself durable; the store is already whole
  return true;
}

bool ZQPlatformInfo::setValue(const char* section, const char* name, long long value) {
  return setString(section, name, std::to_string(value));
}
