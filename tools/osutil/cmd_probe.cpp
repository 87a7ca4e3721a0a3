// probe: the host probes.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "objstore/objStrUtils.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

const char kProbeHelp[] =
    "Usage: osutil probe rpcbind [--json]\n"
    "       osutil probe disklib [--json] SUBCLIENT\n"
    "\n"
    "rpcbind  tells whether the port mapper is running\n"
    "disklib  prints the capacity and free space of a subclient's disk library\n";

const char kRpcbindHelp[] =
    "Usage: osutil probe rpcbind [--json]\n"
    "\n"
    "Binds TCP port 111 on IPv4 and releases it at once. Prints \"running\" and\n"
    "exits 0 when another socket holds the port (taken for a running port\n"
    "mapper); prints \"not running\" and exits 1 otherwise, including when the\n"
    "process may not bind the port at all (run 'osutil --log-level 1 probe\n"
    "rpcbind' to tell the cases apart).\n"
    "\n"
    "  --json  print one JSON object instead: {\"running\": true} or\n"
    "          {\"running\": false}, with the same exit status\n";

const char kDisklibHelp[] =
    "Usage: osutil probe disklib [--json] SUBCLIENT\n"
    "\n"
    "Prints the capacity and the free space, in bytes, of the disk library that\n"
    "serves the subclient number SUBCLIENT, as the media manager reports them:\n"
    "  capacity: BYTES\n"
    "  free: BYTES\n"
    "The media manager finds the library's mount path in the configuration store,\n"
    "section MediaManager, value subclientSUBCLIENT (see 'osutil registry set').\n"
    "Exit status 1 when the media manager has no answer.\n"
    "\n"
    "  --json  print one JSON object instead:\n"
    "          {\"subclient\": SUBCLIENT, \"capacity\": BYTES, \"free\": BYTES}\n";

int runRpcbind(const Args& args) {
  const ParsedArgs parsed = parseArgs("probe rpcbind", args, {kJsonOption});
  if (parsed.help) return printHelp(kRpcbindHelp);
  requireOperands("probe rpcbind", parsed, 0, 0);
  const bool running = ObjectStore::isRpcbindRunning();
  if (parsed.has("json")) {
    printJson({{"running", running}});
  } else {
    std::puts(running ? "running" : "not running");
  }
  return running ? kExitOk : kExitFailed;
}

int runDisklib(const Args& args) {
  const ParsedArgs parsed = parseArgs("probe disklib", args, {kJsonOption});
  if (parsed.help) return printHelp(kDisklibHelp);
  requireOperands("probe disklib", parsed, 1, 1);
  const int subclient = parseInt("probe disklib", "subclient", parsed.positional[0]);
  long long capacity = 0, freeSpace = 0;
  if (ObjectStore::getDiskLibrarySize(subclient, capacity, freeSpace) != 0) {
    printError("probe disklib", "no disk-library size for subclient " + std::to_string(subclient));
    return kExitFailed;
  }
  if (parsed.has("json")) {
    printJson({{"subclient", subclient}, {"capacity", capacity}, {"free", freeSpace}});
  } else {
    std::printf("capacity: %lld\nfree: %lld\n", capacity, freeSpace);
  }
  return kExitOk;
}

}  // namespace

int runProbe(const Args& args) {
  return dispatchSubcommand("probe", kProbeHelp, args,
                            {{"rpcbind", runRpcbind}, {"disklib", runDisklib}});
}

}  // namespace osutil
