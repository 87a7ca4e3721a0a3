#include "host/PlatformInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/FileIo_internal.h"
#include "host/LogWriter.h"

namespace {

const char kDefaultRegistryDir[] = "/etc/objstore/registry";
const char kDefaultFocus[] = "Instance001";

// Every lookup reads the whole store. A store is a few kilobytes of settings;
// anything this large is a mistake, and reading it would stall the process.
constexpr size_t kMaxStoreBytes = 4 * 1024 * 1024;

// Problems of one version of a store that are logged one by one; the rest
// are only counted, so that a garbage file cannot flood the log.
constexpr size_t kLoggedProblems = 10;

// Versions of stores whose problems have been logged. A forgotten version is
// logged again when it is read again; the bound keeps the memory small when a
// store keeps changing.
constexpr size_t kRememberedVersions = 4096;

// Symbolic links followed from the store's path before giving up (ELOOP).
constexpr int kMaxLinkHops = 40;

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

// ---------------------------------------------------------------------------
// Reading the file
// ---------------------------------------------------------------------------

enum class Load { kLoaded, kMissing, kFailed };

// A store as read from its file; `status` describes the file that was read.
struct StoreFile {
  std::string text;
  struct stat status = {};
};

// Reports a store that cannot be read: logged as "Error: Can't VERB [path]:
// REASON" under `signature` unless that is null, and kept in *error for a
// caller that reports it itself.
Load loadFailed(const char* signature, std::string* error, const char* verb,
                const std::string& path, const std::string& reason) {
  if (signature != nullptr) {
    OBJSTORE_LOG(-1, signature, "Error: Can't %s [%s]: %s", verb, path.c_str(), reason.c_str());
  }
  if (error != nullptr) *error = std::string("Can't ") + verb + " [" + path + "]: " + reason;
  return Load::kFailed;
}

// Reads the whole store at `path`. A missing file is an empty store and not
// worth a message. Only a regular file of at most kMaxStoreBytes is read: a
// FIFO would block the lookup (in open or in read) until some writer
// appeared, and a device such as /dev/zero never ends.
Load loadStore(const std::string& path, const char* signature, StoreFile* file,
               std::string* error = nullptr) {
  file->text.clear();
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer, O_NOCTTY a
  // terminal from becoming ours; neither changes how a regular file reads.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Load::kMissing;
    return loadFailed(signature, error, "open", path, strerror(errno));
  }
  FdCloser closer(fd);
  if (::fstat(fd, &file->status) != 0) {
    return loadFailed(signature, error, "read", path, strerror(errno));
  }
  if (!S_ISREG(file->status.st_mode)) {
    return loadFailed(signature, error, "read", path, "not a regular file");
  }
  const auto tooLarge = [] { return "larger than " + std::to_string(kMaxStoreBytes) + " bytes"; };
  if (static_cast<unsigned long long>(file->status.st_size) > kMaxStoreBytes) {
    return loadFailed(signature, error, "read", path, tooLarge());
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  file->text.reserve(static_cast<size_t>(file->status.st_size));
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return loadFailed(signature, error, "read", path, strerror(errno));
    }
    file->text.append(chunk, static_cast<size_t>(got));
    // Someone appending while we read must not keep us reading.
    if (file->text.size() > kMaxStoreBytes) {
      return loadFailed(signature, error, "read", path, tooLarge());
    }
  }
  return Load::kLoaded;
}

// ---------------------------------------------------------------------------
// The INI dialect
// ---------------------------------------------------------------------------

// The blanks trimmed from lines, names and values (the classic locale's
// white space, so "\r\n" line ends work).
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// One line of a store. The views point into the store's text.
struct StoreLine {
  enum Kind { kEmpty, kSection, kValue, kSkipped };
  Kind kind = kEmpty;            // kEmpty: blank or a comment
  unsigned long number = 0;      // from 1
  size_t next = 0;               // where the next line begins
  bool terminated = false;       // ends with '\n'
  bool crlf = false;             // ends with "\r\n"
  std::string_view section;      // kSection: its name; kValue: the section it is in
  std::string_view name;         // kValue
  std::string_view value;        // kValue, trimmed
  const char* reason = nullptr;  // kSkipped: why
};

// Walks a store line by line. Lines end at '\n' and are trimmed; one that
// begins with ';' or '#' is a comment; "[name]" opens a section (the name
// trimmed, anything after ']' ignored); "name = value" splits at the first
// '=', both sides trimmed, so a value may hold '=' and ';'. Names compare as
// bytes, case and all. A UTF-8 byte-order mark at the very start is not part
// of the first line. Every other line is skipped with a reason, and the lines
// after it read as if it were not there.
class StoreScanner {
 public:
  explicit StoreScanner(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  // Fills *line with the next line; false at the end of the text.
  bool next(StoreLine* line) {
    if (pos_ >= text_.size()) return false;
    const size_t lineBreak = text_.find('\n', pos_);
    const size_t end = lineBreak == std::string_view::npos ? text_.size() : lineBreak;
    *line = StoreLine();
    line->number = ++number_;
    line->terminated = lineBreak != std::string_view::npos;
    line->crlf = line->terminated && end > pos_ && text_[end - 1] == '\r';
    line->next = line->terminated ? end + 1 : end;
    const std::string_view content = trimmed(text_.substr(pos_, end - pos_));
    pos_ = line->next;

    if (content.empty() || content[0] == ';' || content[0] == '#') return true;
    if (content[0] == '[') {
      const size_t close = content.find(']');
      if (close == std::string_view::npos) return skip(line, "unmatched '['");
      section_ = trimmed(content.substr(1, close - 1));
      in_section_ = true;
      line->kind = StoreLine::kSection;
      line->section = section_;
      return true;
    }
    const size_t equals = content.find('=');
    if (equals == std::string_view::npos) return skip(line, "'=' character not found in line");
    if (equals == 0) return skip(line, "key expected");
    // No lookup names a value outside a section.
    if (!in_section_) return skip(line, "value outside any section");
    line->kind = StoreLine::kValue;
    line->section = section_;
    line->name = trimmed(content.substr(0, equals));
    line->value = trimmed(content.substr(equals + 1));
    return true;
  }

 private:
  static bool skip(StoreLine* line, const char* reason) {
    line->kind = StoreLine::kSkipped;
    line->reason = reason;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  unsigned long number_ = 0;
  std::string_view section_;
  bool in_section_ = false;
};

// Whether section/name has a value in `text`; *value gets it from the last
// line that sets it.
bool findValue(std::string_view text, std::string_view section, std::string_view name,
               std::string_view* value) {
  StoreScanner scanner(text);
  StoreLine line;
  bool found = false;
  while (scanner.next(&line)) {
    if (line.kind == StoreLine::kValue && line.section == section && line.name == name) {
      *value = line.value;
      found = true;
    }
  }
  return found;
}

struct ValueKey {
  std::string_view section;
  std::string_view name;
  bool operator==(const ValueKey& other) const {
    return section == other.section && name == other.name;
  }
};

struct ValueKeyHash {
  size_t operator()(const ValueKey& key) const {
    const std::hash<std::string_view> hash;
    return hash(key.section) * 31 + hash(key.name);
  }
};

// Hands every problem of `text` to `report`, in line order: skipped lines,
// and values set again in their section (the earlier line no longer counts).
void walkProblems(std::string_view text, const ZQPlatformInfo::ProblemSink& report) {
  std::unordered_map<ValueKey, unsigned long, ValueKeyHash> lastLines;
  StoreScanner scanner(text);
  StoreLine line;
  while (scanner.next(&line)) {
    if (line.kind == StoreLine::kSkipped) {
      report(line.number, line.reason);
    } else if (line.kind == StoreLine::kValue) {
      const auto inserted = lastLines.emplace(ValueKey{line.section, line.name}, line.number);
      if (inserted.second) continue;
      report(line.number, "duplicate key [" + std::string(line.name) + "] in section [" +
                              std::string(line.section) + "], overrides line " +
                              std::to_string(inserted.first->second));
      inserted.first->second = line.number;
    }
  }
}

// ---------------------------------------------------------------------------
// Logging problems once per version
// ---------------------------------------------------------------------------

// A version of a store: its path, the file's identity and times, and its
// bytes. The bytes tell apart two contents that a writer rewriting in place
// leaves within one timestamp tick, and a half-written file from the whole.
uint64_t versionOf(const std::string& path, const StoreFile& file) {
  const std::hash<std::string_view> hash;
  uint64_t version = hash(file.text);
  const auto mix = [&version](uint64_t value) {
    version ^= value + 0x9e3779b97f4a7c15ull + (version << 6) + (version >> 2);
  };
  mix(hash(path));
  mix(file.status.st_dev);
  mix(file.status.st_ino);
  mix(static_cast<uint64_t>(file.status.st_size));
  mix(static_cast<uint64_t>(file.status.st_mtim.tv_sec));
  mix(static_cast<uint64_t>(file.status.st_mtim.tv_nsec));
  mix(static_cast<uint64_t>(file.status.st_ctim.tv_sec));
  mix(static_cast<uint64_t>(file.status.st_ctim.tv_nsec));
  return version;
}

// The versions whose problems were logged, oldest forgotten first.
class ReportedVersions {
 public:
  // True for the first caller that offers `version` while it is remembered.
  bool firstReport(uint64_t version) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!seen_.insert(version).second) return false;
    order_.push_back(version);
    if (order_.size() > kRememberedVersions) {
      seen_.erase(order_.front());
      order_.pop_front();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<uint64_t> seen_;
  std::deque<uint64_t> order_;
};

ReportedVersions& reportedVersions() {
  static ReportedVersions versions;
  return versions;
}

// Logs the problems of the store read from `path`, unless this version of it
// was seen before: one message per problem, up to kLoggedProblems, then one
// that counts the rest.
void logProblemsOnce(const std::string& path, const StoreFile& file, const char* signature) {
  if (!reportedVersions().firstReport(versionOf(path, file))) return;
  size_t logged = 0;
  size_t more = 0;
  walkProblems(file.text, [&](unsigned long line, const std::string& reason) {
    if (logged == kLoggedProblems) {
      ++more;
      return;
    }
    ++logged;
    OBJSTORE_LOG(-1, signature, "Error: Can't parse [%s] at line %lu: %s", path.c_str(), line,
                 reason.c_str());
  });
  if (more > 0) {
    OBJSTORE_LOG(-1, signature, "Error: Can't parse [%s]: %zu more problems not shown",
                 path.c_str(), more);
  }
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

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

// `text` with section/name set to `value` and every other byte kept: the
// line that gives the name its value gets the new one; a new name goes after
// the last line of its section; a new section goes at the end. Added lines
// end as the store's first line does ("\n" or "\r\n").
std::string withValue(std::string_view text, std::string_view section, std::string_view name,
                      std::string_view value) {
  StoreScanner scanner(text);
  StoreLine line;
  std::string_view lineBreak;
  bool sectionFound = false;
  size_t sectionEnd = 0;  // where the section's last line ends
  bool sectionEndUnterminated = false;
  bool valueFound = false;
  size_t valueBegin = 0;
  size_t valueEnd = 0;
  while (scanner.next(&line)) {
    if (lineBreak.empty() && line.terminated) lineBreak = line.crlf ? "\r\n" : "\n";
    if (line.kind != StoreLine::kSection && line.kind != StoreLine::kValue) continue;
    if (line.section != section) continue;
    sectionFound = true;
    sectionEnd = line.next;
    sectionEndUnterminated = !line.terminated;
    if (line.kind == StoreLine::kValue && line.name == name) {
      valueFound = true;
      valueBegin = static_cast<size_t>(line.value.data() - text.data());
      valueEnd = valueBegin + line.value.size();
    }
  }
  if (lineBreak.empty()) lineBreak = "\n";

  std::string result;
  result.reserve(text.size() + section.size() + name.size() + value.size() + 8);
  if (valueFound) {
    result.append(text.substr(0, valueBegin)).append(value).append(text.substr(valueEnd));
    return result;
  }
  if (sectionFound) {
    result.append(text.substr(0, sectionEnd));
    if (sectionEndUnterminated) result.append(lineBreak);
    result.append(name).append("=").append(value).append(lineBreak);
    result.append(text.substr(sectionEnd));
    return result;
  }
  result.append(text);
  if (!result.empty()) {
    if (result.back() != '\n') result.append(lineBreak);
    result.append(lineBreak);  // a blank line before the new section
  }
  result.append("[").append(section).append("]").append(lineBreak);
  result.append(name).append("=").append(value).append(lineBreak);
  return result;
}

// Follows symbolic links from `path` to the file they end at, which need not
// exist (a dangling link names the file to create). Returns 0 or an errno.
int resolveLinks(const std::string& path, std::string* target) {
  std::string current = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    if (::lstat(current.c_str(), &status) != 0) {
      if (errno != ENOENT) return errno;
      *target = current;
      return 0;
    }
    if (!S_ISLNK(status.st_mode)) {
      *target = current;
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

// Reads the store at `path` into *file for one lookup, logs its problems
// unless this version was seen before, and finds section/name in it.
bool lookUp(const std::string& path, const char* section, const char* name, const char* signature,
            StoreFile* file, std::string_view* value) {
  if (loadStore(path, signature, file) != Load::kLoaded) return false;
  logProblemsOnce(path, *file, signature);
  return findValue(file->text, section, name, value);
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
  StoreFile file;
  std::string_view value;
  if (!lookUp(storePath(), section, name, kSignature, &file, &value)) return false;
  out->assign(value);
  return true;
}

bool ZQPlatformInfo::getRegValue(const char* section, const char* name, uint32_t* type,
                                 char* buffer, int& length) {
  static const char kSignature[] =
      "bool ZQPlatformInfo::getRegValue(const char*, const char*, uint32_t*, char*, int&)";
  if (buffer == nullptr || length <= 0) return false;
  buffer[0] = '\0';
  if (section == nullptr || name == nullptr || !focus_valid_) return false;
  StoreFile file;
  std::string_view value;
  if (!lookUp(storePath(), section, name, kSignature, &file, &value)) return false;
  // Refuse rather than truncate: a truncated number would read as another.
  if (value.size() >= static_cast<size_t>(length)) {
    const size_t needed = value.size() + 1;
    length = needed > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(needed);
    return false;
  }
  std::memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  length = static_cast<int>(value.size() + 1);
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
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: invalid focus [%s]", section, name,
                 focus_.c_str());
    return false;
  }
  // A store that is a link stays one: the change goes to the file it points
  // at, which is what every reader through the link sees.
  const std::string link = storePath();
  std::string path;
  if (const int error = resolveLinks(link, &path)) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't resolve [%s]: %s", link.c_str(), strerror(error));
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

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

  StoreFile current;
  const Load loaded = loadStore(path, kSignature, &current);
  if (loaded == Load::kFailed) {
    // Replacing a store that cannot be read would lose its contents.
    OBJSTORE_LOG(-1, kSignature, "Error: Can't update [%s]: the present store is unreadable",
                 path.c_str());
    return false;
  }
  if (loaded == Load::kLoaded) logProblemsOnce(path, current, kSignature);

  // Readers refuse a store above the limit; writing one would make every
  // setting unreadable at once.
  const std::string updated = withValue(current.text, section, name, value);
  if (updated.size() > kMaxStoreBytes) {
    OBJSTORE_LOG(-1, kSignature, "Error: Can't store [%s] [%s]: the store would exceed %zu bytes",
                 section, name, kMaxStoreBytes);
    return false;
  }

  // A temporary in the same directory, so that the rename replaces the store
  // in one step and a reader sees the old or the new file, never a part.
  std::string temporary = dir + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    OBJSTORE_LOG(-1, kSignature, "Error: Can't create a temporary file in [%s]: %s", dir.c_str(),
                 strerror(error));
    return false;
  }
  // The replacement belongs to whoever owned the store: a service running as
  // another user must still be able to read it.
  if (loaded == Load::kLoaded) {
    struct stat created;
    const bool sameOwner = ::fstat(fd, &created) == 0 && created.st_uid == current.status.st_uid &&
                           created.st_gid == current.status.st_gid;
    if (!sameOwner && ::fchown(fd, current.status.st_uid, current.status.st_gid) != 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      OBJSTORE_LOG(-1, kSignature, "Error: Can't keep the owner and group of [%s]: %s",
                   path.c_str(), strerror(error));
      return false;
    }
  }
  const mode_t mode = loaded == Load::kLoaded ? (current.status.st_mode & 07777) : 0644;
  bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, updated.data(), updated.size()) == 0 &&
                 ::fsync(fd) == 0;
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

bool ZQPlatformInfo::checkFile(const std::string& path, const ProblemSink& report,
                               std::string* error) {
  StoreFile file;
  if (loadStore(path, nullptr, &file, error) == Load::kFailed) return false;
  if (report) walkProblems(file.text, report);
  return true;
}
