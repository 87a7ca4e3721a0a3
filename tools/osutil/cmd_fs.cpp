// fs: the library's file-system helpers.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

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
    "exists  prints yes or no; exit status 0 when PATH exists, 1 when not\n"
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
    "socket; symbolic links are followed, so a dangling link is no), else no.\n"
    "Exit status 0 for yes, 1 for no.\n";

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
    "stays, empty. Symbolic links inside DIR are removed, never followed. Stops\n"
    "at the first entry that cannot be removed; what was removed stays removed.\n"
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

int runExists(const Args& args) {
  const ParsedArgs parsed = parseArgs("fs exists", args, {});
  if (parsed.help) return printHelp(kExistsHelp);
  requireOperands("fs exists", parsed, 1, 1);
  const bool exists = ObjectStore::doesFileExist(parsed.positional[0]);
  std::puts(exists ? "yes" : "no");
  return exists ? kExitOk : kExitFailed;
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
  const int error = ObjectStore::rmTree(dir);
  if (error != 0) {
    printError("fs empty", "cannot empty '" + dir + "': " + std::strerror(error) +
                               " (entries removed before the failure stay removed)");
    return kExitFailed;
  }
  return kExitOk;
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
