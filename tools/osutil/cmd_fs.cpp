// fs: the library's file-system helpers.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/LogWriter.h"
#include "internal/path_walk.h"
#include "objstore/objStrUtils.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

const char kFsHelp[] =
    "Usage: osutil fs mkdir PATH\n"
    "       osutil fs exists PATH\n"
    "       osutil fs size [--json] FILE\n"
    "       osutil fs df [--json] PATH\n"
    "       osutil fs empty [--yes] DIR\n"
    "\n"
    "mkdir   creates PATH and its missing parents; an existing directory is fine\n"
    "exists  prints yes or no; exit status 0 when PATH exists, 1 when not or unknown\n"
    "size    prints the size and the allocated bytes of the regular file FILE\n"
    "df      prints the free and total bytes of the file system holding PATH\n"
    "empty   removes everything under DIR and keeps DIR itself\n"
    "\n"
    "Run 'osutil fs COMMAND --help' for details.\n";

const char kMkdirHelp[] =
    "Usage: osutil fs mkdir PATH\n"
    "\n"
    "Creates the directory PATH and any missing parents. An existing directory\n"
    "is success.\n";

const char kExistsHelp[] =
    "Usage: osutil fs exists PATH\n"
    "\n"
    "Prints yes when PATH names anything at all (file, directory, device, fifo,\n"
    "socket; symbolic links are followed, so a dangling link is no), and no when\n"
    "it does not exist: a component is missing, or one before the last is not a\n"
    "directory. Paths longer than PATH_MAX are answered too, looked up a\n"
    "component at a time. When the answer cannot be known (no permission to\n"
    "search a directory, a loop of symbolic links, ...) nothing is printed and\n"
    "the reason goes to stderr.\n"
    "\n"
    "Exit status 0 for yes; 1 for no and when the answer is unknown: standard\n"
    "output holds \"no\" in the first case and nothing in the second.\n";

const char kSizeHelp[] =
    "Usage: osutil fs size [--json] FILE\n"
    "\n"
    "Prints two lines for the regular file FILE (a symbolic link is followed):\n"
    "  size: BYTES        the file's length\n"
    "  allocated: BYTES   the space allocated to it (512-byte blocks times 512;\n"
    "                     less than the size for a sparse file)\n"
    "FILE is never opened for reading, so a FIFO cannot block and a device is\n"
    "not disturbed: anything but a regular file is refused (exit 1).\n"
    "\n"
    "  --json  print one JSON object instead: {\"size\": BYTES, \"allocated\": BYTES}\n";

const char kDfHelp[] =
    "Usage: osutil fs df [--json] PATH\n"
    "\n"
    "Prints two lines for the file system that holds PATH:\n"
    "  free: BYTES    free bytes, including the blocks reserved for root\n"
    "  total: BYTES   the file system's size\n"
    "\n"
    "  --json  print one JSON object instead: {\"free\": BYTES, \"total\": BYTES}\n";

const char kEmptyHelp[] =
    "Usage: osutil fs empty [--yes] DIR\n"
    "\n"
    "Removes every file, link and directory under DIR, depth first; DIR itself\n"
    "stays, empty. Symbolic links inside DIR are removed, never followed. Entries\n"
    "that vanish meanwhile count as removed. A mount point inside DIR is never\n"
    "entered: it is named on stderr, kept with the directories that hold it, the\n"
    "rest is removed, and the exit status is 1. Any other entry that cannot be\n"
    "removed stops the walk; what was removed stays removed. Each entry that\n"
    "failed is named on stderr with its reason.\n"
    "\n"
    "  -y, --yes  do not ask\n"
    "\n"
    "Without --yes, asks \"Remove everything under DIR? [y/N]\" when standard\n"
    "input is a terminal (any answer but y, Y, yes, Yes or YES keeps DIR as it\n"
    "is, exit 1), and refuses to run (exit 2) when it is not. The root directory\n"
    "is never emptied (exit 1).\n";

int runMkdir(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs mkdir", args, {});
  if (parsed.help) return printHelp(kMkdirHelp);
  requireOperands("fs mkdir", parsed, 1, 1);
  const std::string& path = parsed.positional[0];
  const int code = ObjectStore::createDir(path);
  if (code != 0) {
    // The platform's codes are the negated errno.
    const std::string reason = code > INT_MIN ? std::strerror(-code) : "unknown error";
    printError("fs mkdir", "cannot create directory '" + path + "': " + reason);
    return kExitFailed;
  }
  return kExitOk;
}

// stat(2) of a path the system refuses whole (PATH_MAX and longer), one
// component at a time through directory descriptors, as createDir creates
// one. Every component is followed as path resolution follows it: links
// included, relative ones from the directory that holds them. Returns 0 or
// the errno value stat would give for a shorter path with the same outcome.
int statLongPath(const char* path) {
  objstore_internal::PathWalk walk(path);
  while (walk.next()) {
    // The last component, with a final '/' it must be a directory.
    if (walk.last()) {
      struct stat status;
      const int flags = walk.slashFollows() ? O_PATH | O_DIRECTORY | O_CLOEXEC : O_PATH | O_CLOEXEC;
      const int fd = ::openat(walk.dirFd(), walk.name(), flags);
      if (fd < 0 || ::fstat(fd, &status) != 0) walk.fail(errno);
      if (fd >= 0) ::close(fd);
      break;
    }
    walk.enter();
  }
  return walk.error();
}

int runExists(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs exists", args, {});
  if (parsed.help) return printHelp(kExistsHelp);
  requireOperands("fs exists", parsed, 1, 1);
  const std::string& path = parsed.positional[0];
  // doesFileExist answers false for every failure of stat. Only ENOENT and
  // ENOTDIR say that nothing is there; any other failure leaves the question
  // open, and a long path is not a missing one.
  int error = 0;
  if (std::strlen(path.c_str()) < PATH_MAX) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) error = errno;
  } else {
    error = statLongPath(path.c_str());
  }
  if (error != 0 && error != ENOENT && error != ENOTDIR) {
    printError("fs exists", "cannot tell whether '" + path + "' exists: " + std::strerror(error));
    return kExitFailed;
  }
  std::puts(error == 0 ? "yes" : "no");
  return error == 0 ? kExitOk : kExitFailed;
}

// Opens the regular file `path` for a status query only. O_PATH names the
// inode without opening the file itself: a FIFO cannot block and a device's
// driver never sees an open (no tape rewind, no line hang-up). A symbolic
// link is followed, like stat. Returns the descriptor, or -1 after a message
// (anything but a regular file is refused).
int openRegularForStatus(const std::string& path) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    printError("fs size", "cannot open '" + path + "': " + std::strerror(errno));
    return -1;
  }
  // The type comes from the descriptor, not from a second lookup of the
  // path, so the file cannot be swapped between the check and the size.
  struct stat status;
  std::string failure;
  if (::fstat(fd, &status) != 0) {
    failure = "cannot stat '" + path + "': " + std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    failure = "'" + path + "' is not a regular file";
  }
  if (!failure.empty()) {
    printError("fs size", failure);
    ::close(fd);
    return -1;
  }
  return fd;
}

int runSize(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs size", args, {kJsonOption});
  if (parsed.help) return printHelp(kSizeHelp);
  requireOperands("fs size", parsed, 1, 1);
  const std::string& path = parsed.positional[0];
  const int fd = openRegularForStatus(path);
  if (fd < 0) return kExitFailed;
  uint64_t size = 0, allocated = 0;
  const int result = ObjectStore::getFileSize(&size, &allocated, fd);
  const int statError = errno;
  ::close(fd);
  if (result != 0) {
    printError("fs size", "cannot stat '" + path + "': " + std::strerror(statError));
    return kExitFailed;
  }
  if (parsed.has("json")) {
    printJson({{"size", size}, {"allocated", allocated}});
  } else {
    std::printf("size: %llu\nallocated: %llu\n", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(allocated));
  }
  return kExitOk;
}

int runDf(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs df", args, {kJsonOption});
  if (parsed.help) return printHelp(kDfHelp);
  requireOperands("fs df", parsed, 1, 1);
  const std::string& path = parsed.positional[0];
  uint64_t freeBytes = 0, totalBytes = 0;
  const int error = ObjectStore::getFreeBytes(&freeBytes, &totalBytes, path);
  if (error != 0) {
    printError("fs df", "cannot read the file system of '" + path + "': " + std::strerror(error));
    return kExitFailed;
  }
  if (parsed.has("json")) {
    printJson({{"free", freeBytes}, {"total", totalBytes}});
  } else {
    std::printf("free: %llu\ntotal: %llu\n", static_cast<unsigned long long>(freeBytes),
                static_cast<unsigned long long>(totalBytes));
  }
  return kExitOk;
}

bool isRootDirectory(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr && std::strcmp(resolved, "/") == 0;
}

// Asks on the terminal; true only for an explicit y or yes.
bool confirmEmpty(const std::string& dir) {
  std::fprintf(stderr, "Remove everything under %s? [y/N] ", dir.c_str());
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

// Stands in for the log writer while rmTree runs, to learn which entries
// failed: rmTree returns an error number only, and names the entry in its
// level -1 message "Error: can't VERB PATH (ERRNO)". Every message still
// reaches the writer the user installed, if any, as it would have.
class RmTreeFailures : public CLogWriterInterface {
 public:
  struct Failure {
    std::string verb;  // "unlink", "enter mount point", ...
    std::string path;
    int error;
  };

  explicit RmTreeFailures(boost::shared_ptr<CLogWriterInterface> next) : next_(std::move(next)) {}

  void logMessage(int level, const char* function, int line, int reserved1, int reserved2,
                  const char* format, ...) override __attribute__((format(printf, 7, 8))) {
    va_list args;
    va_start(args, format);
    if (next_ && level <= next_->getLogLevel()) {
      va_list copy;
      va_copy(copy, args);
      char text[512];
      const int length = std::vsnprintf(text, sizeof text, format, copy);
      va_end(copy);
      std::string message = text;
      if (length >= static_cast<int>(sizeof text)) {  // a deep tree's path
        message.assign(static_cast<size_t>(length) + 1, '\0');
        va_copy(copy, args);
        std::vsnprintf(&message[0], message.size(), format, copy);
        va_end(copy);
        message.resize(static_cast<size_t>(length));
      }
      next_->logMessage(level, function, line, reserved1, reserved2, "%s", message.c_str());
    }
    remember(level, format, args);
    va_end(args);
  }
  int getLogLevel() override {
    const int nextLevel = next_ ? next_->getLogLevel() : -1;
    return nextLevel > -1 ? nextLevel : -1;
  }

  const std::vector<Failure>& failures() const { return failures_; }

 private:
  // Only the known shape is read from the arguments: one text, then one int.
  void remember(int level, const char* format, va_list args) {
    static const std::string kPrefix = "Error: can't ", kSuffix = " %s (%d)";
    const std::string shape = format;
    if (level != -1 || shape.size() <= kPrefix.size() + kSuffix.size() ||
        shape.compare(0, kPrefix.size(), kPrefix) != 0 ||
        shape.compare(shape.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
      return;
    }
    const std::string verb =
        shape.substr(kPrefix.size(), shape.size() - kPrefix.size() - kSuffix.size());
    if (verb.find('%') != std::string::npos) return;
    const char* path = va_arg(args, const char*);
    const int error = va_arg(args, int);
    failures_.push_back({verb, path != nullptr ? path : "", error});
  }

  boost::shared_ptr<CLogWriterInterface> next_;
  std::vector<Failure> failures_;
};

// rmTree with the entries it could not handle: `failures` receives them.
int emptyTree(const std::string& dir, std::vector<RmTreeFailures::Failure>& failures) {
  const boost::shared_ptr<CLogWriterInterface> installed = g_ptrLogWriter;
  const auto collector = boost::make_shared<RmTreeFailures>(installed);
  g_ptrLogWriter = collector;
  const int error = ObjectStore::rmTree(dir);
  g_ptrLogWriter = installed;
  failures = collector->failures();
  return error;
}

int runEmpty(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs empty", args, {{"yes", 'y', false}});
  if (parsed.help) return printHelp(kEmptyHelp);
  requireOperands("fs empty", parsed, 1, 1);
  const std::string& dir = parsed.positional[0];
  if (isRootDirectory(dir)) {
    printError("fs empty", "refusing to empty the root directory");
    return kExitFailed;
  }
  if (!parsed.has("yes")) {
    if (!::isatty(STDIN_FILENO)) {
      throw UsageError("fs empty",
                       "standard input is not a terminal; pass --yes to empty '" + dir + "'");
    }
    if (!confirmEmpty(dir)) {
      printError("fs empty", "nothing removed");
      return kExitFailed;
    }
  }
  // A directory that cannot be opened has lost nothing: say so by saying
  // nothing of removed entries. rmTree opens it the same way.
  const int top = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) {
    printError("fs empty", "cannot empty '" + dir + "': " + std::strerror(errno));
    return kExitFailed;
  }
  ::close(top);
  std::vector<RmTreeFailures::Failure> failures;
  const int error = emptyTree(dir, failures);
  if (error == 0) return kExitOk;
  // As rm does: each entry that failed, by its path, with its reason.
  for (const RmTreeFailures::Failure& failure : failures) {
    printError("fs empty", "cannot " + failure.verb + " '" + failure.path +
                               "': " + std::strerror(failure.error));
  }
  // A mount point does not stop the walk: everything else is gone.
  const char* whatStays = error == EXDEV ? " (everything but the mount points was removed)"
                                         : " (entries removed before the failure stay removed)";
  printError("fs empty", "cannot empty '" + dir + "': " + std::strerror(error) + whatStays);
  return kExitFailed;
}

}  // namespace

int runFs(const Args& args) {
  return dispatchSubcommand("fs", kFsHelp, args,
                            {{"mkdir", runMkdir},
                             {"exists", runExists},
                             {"size", runSize},
                             {"df", runDf},
                             {"empty", runEmpty}});
}

}  // namespace osutil
