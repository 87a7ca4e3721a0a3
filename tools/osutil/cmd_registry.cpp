// registry: the configuration lookups, a setter through the store's own
// writer so that values can be put where the lookups read them, and a check
// that lists what the lookups skip.
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

#define OSUTIL_STORE_LOCATION                                                         \
  "The store of the running process is the file\n"                                    \
  "$OBJSTORE_REGISTRY_DIR/$OBJSTORE_FOCUS.ini (defaults /etc/objstore/registry and\n" \
  "Instance001), an INI file with one [SECTION] per section and NAME = VALUE lines.\n"

const char kRegistryHelp[] =
    "Usage: osutil registry get NAME\n"
    "       osutil registry int NAME [DEFAULT]\n"
    "       osutil registry set SECTION NAME VALUE\n"
    "       osutil registry check [FILE]\n"
    "\n"
    "get    prints the text setting NAME of the section Zelt (exit 1 when absent)\n"
    "int    prints the numeric setting NAME of the section ~Zelt, or DEFAULT\n"
    "set    stores VALUE as NAME in SECTION\n"
    "check  lists the problems of the store, or of FILE (exit 1 when there is one)\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kGetHelp[] =
    "Usage: osutil registry get NAME\n"
    "\n"
    "Prints the text of the setting NAME in the section Zelt. Exit status 1, with\n"
    "nothing printed, when the store has no such value or its text is empty, and\n"
    "when the store cannot be read (not a regular file, too large, no permission:\n"
    "\"cannot read store FILE: REASON\" on stderr). A missing store has no values.\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kIntHelp[] =
    "Usage: osutil registry int NAME [DEFAULT]\n"
    "\n"
    "Prints the setting NAME of the section ~Zelt read as an int: leading blanks\n"
    "and a sign are accepted, reading stops at the first byte that is not a digit\n"
    "(\"12abc\" is 12, \"0x10\" is 0). Prints DEFAULT (default 0) when the value is\n"
    "absent, not a number, or out of the range of int; values longer than 31\n"
    "characters count as absent. A store that cannot be read is no absent value:\n"
    "nothing is printed, stderr says \"cannot read store FILE: REASON\" and the\n"
    "exit status is 1. A missing store has no values.\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kSetHelp[] =
    "Usage: osutil registry set SECTION NAME VALUE\n"
    "\n"
    "Stores VALUE as the text of NAME in SECTION. Only that line of the store\n"
    "changes (or one line is added to SECTION, or SECTION is added at the end);\n"
    "comments, blank lines and every other setting stay as they are. A store\n"
    "that is a symbolic link is written at its target. The file is replaced\n"
    "atomically with the owner, group and mode it had, and concurrent writers\n"
    "take turns. Text settings read by 'registry get' live in the section Zelt,\n"
    "numeric ones read by 'registry int' in ~Zelt. Refused (exit 1) for texts\n"
    "the INI form cannot hold: empty names, line breaks, '=' in a NAME, brackets\n"
    "in a SECTION, blanks at either end of VALUE; when the present file cannot\n"
    "be read; and when its owner and group cannot be kept. Run with\n"
    "--log-level -1 to see the store's reason.\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kCheckHelp[] =
    "Usage: osutil registry check [FILE]\n"
    "\n"
    "Reads the store of the running process, or FILE, as the lookups do and lists\n"
    "every problem on standard output, one per line as FILE:LINE: REASON: lines\n"
    "that the lookups skip (no '=', no name before '=', an unclosed '[', a value\n"
    "before any section) and names set twice in one section, where the last one\n"
    "counts. Exit status 0, with the line 'FILE: ok', when there is none; 1 when\n"
    "there is one or the file cannot be read. A missing file is an empty store.\n"
    "\n" OSUTIL_STORE_LOCATION;

#undef OSUTIL_STORE_LOCATION

// The lookups read a store they cannot read as an empty one, which the
// command must not pass off as an absent value: it asks first, as `check`
// does. True when the store can be read (a missing file is an empty store);
// false after a message.
bool storeReadable(const std::string& command) {
  ZQPlatformInfo store;
  const std::string path = store.storePath();
  if (path.empty()) {
    printError(command, "cannot read store: invalid focus '" + store.focus() + "'");
    return false;
  }
  std::string error;
  if (ZQPlatformInfo::checkFile(path, nullptr, &error)) return true;
  // The reason follows "Can't VERB [FILE]: ".
  const std::string named = "[" + path + "]: ";
  const size_t at = error.find(named);
  const std::string reason = at == std::string::npos ? error : error.substr(at + named.size());
  printError(command, "cannot read store " + path + ": " + reason);
  return false;
}

int runGet(const Args& args) {
  const ParsedArgs parsed = parseArgs("registry get", args, {});
  if (parsed.help) return printHelp(kGetHelp);
  requireOperands("registry get", parsed, 1, 1);
  if (!storeReadable("registry get")) return kExitFailed;
  const std::string& name = parsed.positional[0];
  const std::string value = ObjectStore::getRegistryString(name.c_str());
  if (value.empty()) {
    printError("registry get", "no value '" + name + "' in section Zelt");
    return kExitFailed;
  }
  std::printf("%s\n", value.c_str());
  return kExitOk;
}

int runInt(const Args& args) {
  const ParsedArgs parsed = parseArgs("registry int", args, {});
  if (parsed.help) return printHelp(kIntHelp);
  requireOperands("registry int", parsed, 1, 2);
  const std::string& name = parsed.positional[0];
  const int defaultValue =
      parsed.positional.size() > 1 ? parseInt("registry int", "default", parsed.positional[1]) : 0;
  if (!storeReadable("registry int")) return kExitFailed;
  std::printf("%d\n",
              ObjectStore::getRegistryValue<int>(name.c_str(), defaultValue, INT_MIN, INT_MAX));
  return kExitOk;
}

int runSet(const Args& args) {
  const ParsedArgs parsed = parseArgs("registry set", args, {});
  if (parsed.help) return printHelp(kSetHelp);
  requireOperands("registry set", parsed, 3, 3);
  const std::string& section = parsed.positional[0];
  const std::string& name = parsed.positional[1];
  const std::string& value = parsed.positional[2];
  ZQPlatformInfo store;
  store.setFocus(ZQPI_Focus::getFocus());
  if (!store.setString(section.c_str(), name.c_str(), value)) {
    const std::string where =
        store.storePath().empty() ? "the store" : "'" + store.storePath() + "'";
    printError("registry set", "cannot store [" + section + "] " + name + " in " + where +
                                   " (run with --log-level -1 for the reason)");
    return kExitFailed;
  }
  return kExitOk;
}

int runCheck(const Args& args) {
  const ParsedArgs parsed = parseArgs("registry check", args, {});
  if (parsed.help) return printHelp(kCheckHelp);
  requireOperands("registry check", parsed, 0, 1);
  std::string path;
  if (!parsed.positional.empty()) {
    path = parsed.positional[0];
  } else {
    ZQPlatformInfo store;
    path = store.storePath();
    if (path.empty()) {
      printError("registry check", "invalid focus '" + store.focus() + "'");
      return kExitFailed;
    }
  }
  unsigned long problems = 0;
  std::string error;
  const auto report = [&](unsigned long line, const std::string& reason) {
    ++problems;
    std::printf("%s:%lu: %s\n", path.c_str(), line, reason.c_str());
  };
  if (!ZQPlatformInfo::checkFile(path, report, &error)) {
    printError("registry check", error);
    return kExitFailed;
  }
  if (problems > 0) {
    const std::string count = std::to_string(problems) + (problems == 1 ? " problem" : " problems");
    printError("registry check", count + " in '" + path + "'");
    return kExitFailed;
  }
  std::error_code ignored;
  const bool exists = std::filesystem::exists(path, ignored);
  std::printf("%s: ok%s\n", path.c_str(),
              exists ? "" : " (no such file: every setting has its default)");
  return kExitOk;
}

}  // namespace

int runRegistry(const Args& args) {
  return dispatchSubcommand(
      "registry", kRegistryHelp, args,
      {{"get", runGet}, {"int", runInt}, {"set", runSet}, {"check", runCheck}});
}

}  // namespace osutil
