// registry: the configuration lookups, and a setter through the store's own
// writer so that values can be put where the lookups read them.
#include <climits>
#include <cstdio>
#include <string>

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
    "\n"
    "get  prints the text setting NAME of the section Zelt (exit 1 when absent)\n"
    "int  prints the numeric setting NAME of the section ~Zelt, or DEFAULT\n"
    "set  stores VALUE as NAME in SECTION\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kGetHelp[] =
    "Usage: osutil registry get NAME\n"
    "\n"
    "Prints the text of the setting NAME in the section Zelt. Exit status 1, with\n"
    "nothing printed, when the store has no such value or its text is empty.\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kIntHelp[] =
    "Usage: osutil registry int NAME [DEFAULT]\n"
    "\n"
    "Prints the setting NAME of the section ~Zelt read as an int: leading blanks\n"
    "and a sign are accepted, reading stops at the first byte that is not a digit\n"
    "(\"12abc\" is 12, \"0x10\" is 0). Prints DEFAULT (default 0) when the value is\n"
    "absent, not a number, or out of the range of int; values longer than 31\n"
    "characters count as absent.\n"
    "\n" OSUTIL_STORE_LOCATION;

const char kSetHelp[] =
    "Usage: osutil registry set SECTION NAME VALUE\n"
    "\n"
    "Stores VALUE as the text of NAME in SECTION, keeping every other setting.\n"
    "The store file is replaced atomically, and concurrent writers take turns.\n"
    "Text settings read by 'registry get' live in the section Zelt, numeric ones\n"
    "read by 'registry int' in ~Zelt. Refused (exit 1) for texts the INI form\n"
    "cannot hold: empty names, line breaks, '=' in a NAME, brackets in a\n"
    "SECTION, blanks at either end of VALUE; and when the present file is\n"
    "malformed. Run with --log-level -1 to see the store's reason.\n"
    "\n" OSUTIL_STORE_LOCATION;

#undef OSUTIL_STORE_LOCATION

int runGet(const Args& args) {
  const ParsedArgs parsed = parseArgs("registry get", args, {});
  if (parsed.help) return printHelp(kGetHelp);
  requireOperands("registry get", parsed, 1, 1);
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

}  // namespace

int runRegistry(const Args& args) {
  return dispatchSubcommand("registry", kRegistryHelp, args,
                            {{"get", runGet}, {"int", runInt}, {"set", runSet}});
}

}  // namespace osutil
