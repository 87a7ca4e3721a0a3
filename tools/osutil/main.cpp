// osutil: command-line access to the object-store utility library.
//
// The global options come before the command; each command family lives in
// its own source file and parses the rest of the arguments itself.

#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "host/LogWriter.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

#ifndef OSUTIL_VERSION
#define OSUTIL_VERSION "unknown"
#endif

namespace osutil {
namespace {

const char kProgramHelp[] =
    "Usage: osutil [GLOBAL OPTIONS] COMMAND [ARGS...]\n"
    "\n"
    "Command-line access to the object-store utility library.\n"
    "\n"
    "Commands:\n"
    "  guid [-n COUNT]                  print random GUIDs, one per line\n"
    "  base64 [-d [--strict]] [FILE]    encode or decode Base64, streaming\n"
    "  path join A B                    join two path pieces with one '/' at the seam\n"
    "  path split PATH                  print the parent and the last component\n"
    "  tokenize TEXT SEPARATORS         print the tokens of TEXT, one per line\n"
    "  fs mkdir PATH                    create a directory and its missing parents\n"
    "  fs exists PATH                   print yes or no (exit status 0 or 1)\n"
    "  fs size [--json] FILE            print a regular file's size and allocated bytes\n"
    "  fs df [--json] PATH              print the free and total bytes of a file system\n"
    "  fs empty [--yes] DIR             remove everything under DIR, keeping DIR\n"
    "  registry get NAME                print a text setting (section Zelt)\n"
    "  registry int NAME [DEFAULT]      print a numeric setting (section ~Zelt)\n"
    "  registry set SECTION NAME VALUE  store a setting in the configuration store\n"
    "  registry check [FILE]            list the problems of the configuration store\n"
    "  probe rpcbind [--json]           tell whether the port mapper is running\n"
    "  probe disklib [--json] SUBCLIENT print a subclient's disk-library capacity and free space\n"
    "  cache replay ...                 replay an access trace through the LRU cache\n"
    "  perf [--format F] [--textfile P] time a short workload; print the counter report, or the\n"
    "                                   counters as Prometheus, OpenMetrics or JSON text\n"
    "\n"
    "Global options (before COMMAND):\n"
    "  --log-level N     install a log writer on stderr at level N; it shows the\n"
    "                    library's messages of level N and below (-1 errors, 1 probe\n"
    "                    outcomes, 2 notices and counter reports, 4 cache dumps,\n"
    "                    5 traces)\n"
    "  --log-file PATH   append the log to PATH instead of stderr (level 5 unless\n"
    "                    --log-level is given)\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n"
    "Without --log-level or --log-file no log writer is installed and the library's\n"
    "own messages are dropped; osutil still reports failures on stderr.\n"
    "\n"
    "Run 'osutil COMMAND --help' for a command's arguments and options. Operands\n"
    "that begin with '-' follow '--'.\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed (or answered no, or its output\n"
    "or log could not be written), 2 bad usage.\n";

struct Family {
  const char* name;
  int (*run)(const Args& args);
};

const Family kFamilies[] = {
    {"guid", runGuid},         {"base64", runBase64}, {"path", runPath},
    {"tokenize", runTokenize}, {"fs", runFs},         {"registry", runRegistry},
    {"probe", runProbe},       {"cache", runCache},   {"perf", runPerf},
};

struct GlobalOptions {
  bool help = false;
  bool version = false;
  bool hasLogLevel = false;
  int logLevel = 5;
  std::string logFile;
  size_t commandIndex = 0;  // index in argv of the command name; argc when absent
};

// Takes the value of `--name VALUE` or `--name=VALUE` at argv[i].
std::string optionValue(int argc, char** argv, int& i, const std::string& name) {
  const std::string arg = argv[i];
  if (arg.size() > name.size() && arg[name.size()] == '=') return arg.substr(name.size() + 1);
  if (i + 1 >= argc) throw UsageError("", "option '" + name + "' needs a value");
  return argv[++i];
}

GlobalOptions parseGlobalOptions(int argc, char** argv) {
  GlobalOptions options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    auto named = [&arg](const char* name) {
      return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
    };
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (named("--log-level")) {
      options.logLevel = parseInt("", "log level", optionValue(argc, argv, i, "--log-level"));
      options.hasLogLevel = true;
    } else if (named("--log-file")) {
      options.logFile = optionValue(argc, argv, i, "--log-file");
      if (options.logFile.empty()) throw UsageError("", "empty log file name");
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("", "unknown option '" + arg + "'");
    } else {
      break;
    }
  }
  options.commandIndex = static_cast<size_t>(i);
  return options;
}

// Publishes the writer that every library message goes through; a log file's
// writer also goes to `logFile`, for the check at exit: a log that lost lines
// is an error, like output that never reached stdout. Returns false when the
// log file cannot be opened.
bool installLogWriter(const GlobalOptions& options, boost::shared_ptr<CStreamLogWriter>& logFile) {
  if (!options.hasLogLevel && options.logFile.empty()) return true;
  if (options.logFile.empty()) {
    g_ptrLogWriter = boost::make_shared<CStreamLogWriter>(options.logLevel);
    return true;
  }
  logFile = boost::make_shared<CStreamLogWriter>(options.logLevel, options.logFile);
  if (!logFile->ok()) {
    printError(
        "", "cannot open log file '" + options.logFile + "': " + std::strerror(logFile->error()));
    logFile.reset();
    return false;
  }
  g_ptrLogWriter = logFile;
  return true;
}

int runCommand(int argc, char** argv, boost::shared_ptr<CStreamLogWriter>& logFile) {
  const GlobalOptions options = parseGlobalOptions(argc, argv);
  if (options.help) return printHelp(kProgramHelp);
  if (options.version) {
    if (options.commandIndex < static_cast<size_t>(argc)) {
      throw UsageError("", std::string("unexpected argument '") + argv[options.commandIndex] + "'");
    }
    std::printf("osutil %s\n", OSUTIL_VERSION);
    return kExitOk;
  }
  if (options.commandIndex >= static_cast<size_t>(argc)) throw UsageError("", "missing command");

  const std::string name = argv[options.commandIndex];
  const Args rest(argv + options.commandIndex + 1, argv + argc);
  for (const Family& family : kFamilies) {
    if (name != family.name) continue;
    if (!installLogWriter(options, logFile)) return kExitFailed;
    return family.run(rest);
  }
  throw UsageError("", "unknown command '" + name + "'");
}

// Reports output that never reached its destination. Success becomes
// failure; a usage error keeps its status.
int outputFailed(int status, const std::string& message, int error) {
  printError("", error != 0 ? message + ": " + std::strerror(error) : message);
  return status == kExitOk ? kExitFailed : status;
}

}  // namespace
}  // namespace osutil

int main(int argc, char** argv) {
  using namespace osutil;
  boost::shared_ptr<CStreamLogWriter> logFile;
  int status;
  try {
    status = runCommand(argc, argv, logFile);
  } catch (const UsageError& error) {
    printError(error.command(), error.what());
    const std::string helpCommand = error.command().empty() ? "" : error.command() + " ";
    std::fprintf(stderr, "Try 'osutil %s--help'.\n", helpCommand.c_str());
    status = kExitUsage;
  } catch (const std::exception& error) {
    printError("", error.what());
    status = kExitFailed;
  }
  // A failure noticed only by the error flag has lost its errno: the message
  // then names no reason.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    status = outputFailed(status, "write error", errno);
  }
  g_ptrLogWriter.reset();
  if (logFile) {
    const int error = logFile->close();
    if (error != 0) {
      status = outputFailed(status, "cannot write log file '" + logFile->path() + "'", error);
    }
  }
  return status;
}
