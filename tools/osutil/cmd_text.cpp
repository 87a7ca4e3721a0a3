// The stateless text helpers: guid, path join/split, tokenize.
#include <cstdio>
#include <string>
#include <vector>

#include "objstore/objStrUtils.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

const char kGuidHelp[] =
    "Usage: osutil guid [-n COUNT]\n"
    "\n"
    "Prints COUNT (default 1) random GUIDs, one per line: 32 lower-case\n"
    "hexadecimal digits of a version 4 UUID, without dashes.\n"
    "\n"
    "  -n, --count COUNT  how many GUIDs to print (0 prints nothing)\n";

const char kPathHelp[] =
    "Usage: osutil path join A B\n"
    "       osutil path split PATH\n"
    "\n"
    "join   prints A and B glued with one '/' at the seam: when both sides bring\n"
    "       a '/', one is dropped; an empty A gives B, an empty B gives A/.\n"
    "split  prints the parent of PATH on the first line and its last component\n"
    "       on the second (empty for \"/\" and for a PATH ending in \"//\"). One\n"
    "       trailing '/' is ignored. Fails (exit 1) for an empty PATH or one\n"
    "       without any '/'.\n";

const char kPathJoinHelp[] =
    "Usage: osutil path join A B\n"
    "\n"
    "Prints A and B glued with one '/' at the seam: \"a\" \"b\" and \"a/\" \"/b\" both\n"
    "give a/b; an empty A gives B unchanged, an empty B gives A followed by '/'.\n"
    "A longer run of '/' at the seam loses one '/' only: \"a//\" \"/b\" gives a//b.\n";

const char kPathSplitHelp[] =
    "Usage: osutil path split PATH\n"
    "\n"
    "Prints the parent of PATH on the first line and its last component on the\n"
    "second. One trailing '/' is ignored, so /a/b/ gives /a and b; the root \"/\"\n"
    "gives \"/\" and an empty line. Fails (exit 1) for an empty PATH or one without\n"
    "any '/'.\n";

const char kTokenizeHelp[] =
    "Usage: osutil tokenize TEXT SEPARATORS\n"
    "\n"
    "Prints the tokens of TEXT, one per line: the non-empty pieces between bytes\n"
    "that occur in SEPARATORS. Runs of separators and separators at either end\n"
    "produce no empty tokens; empty SEPARATORS print TEXT as one token.\n";

void printLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

int runPathJoin(const Args& args) {
  const ParsedArgs parsed = parseArgs("path join", args, {});
  if (parsed.help) return printHelp(kPathJoinHelp);
  requireOperands("path join", parsed, 2, 2);
  printLine(ObjectStore::join(parsed.positional[0], parsed.positional[1]));
  return kExitOk;
}

int runPathSplit(const Args& args) {
  const ParsedArgs parsed = parseArgs("path split", args, {});
  if (parsed.help) return printHelp(kPathSplitHelp);
  requireOperands("path split", parsed, 1, 1);
  std::string parent, child;
  const CWyError error = ObjectStore::splitParentPath(parsed.positional[0], parent, child);
  if (error.IsError()) {
    printError("path split", error.GetErrorMessage());
    return kExitFailed;
  }
  printLine(parent);
  printLine(child);
  return kExitOk;
}

}  // namespace

int runGuid(const Args& args) {
  const ParsedArgs parsed = parseArgs("guid", args, {{"count", 'n', true}});
  if (parsed.help) return printHelp(kGuidHelp);
  requireOperands("guid", parsed, 0, 0);
  const uint64_t count =
      parsed.has("count") ? parseUnsigned("guid", "count", parsed.value("count")) : 1;
  for (uint64_t i = 0; i < count; ++i) {
    printLine(ObjectStore::generateGuid());
    // Stop early when nobody reads any more (a closed pipe).
    if (std::ferror(stdout)) return kExitFailed;
  }
  return kExitOk;
}

int runPath(const Args& args) {
  return dispatchSubcommand("path", kPathHelp, args,
                            {{"join", runPathJoin}, {"split", runPathSplit}});
}

int runTokenize(const Args& args) {
  const ParsedArgs parsed = parseArgs("tokenize", args, {});
  if (parsed.help) return printHelp(kTokenizeHelp);
  requireOperands("tokenize", parsed, 2, 2);
  std::vector<std::string> tokens;
  ObjectStore::tokenize(tokens, parsed.positional[0], parsed.positional[1]);
  for (const std::string& token : tokens) printLine(token);
  return kExitOk;
}

}  // namespace osutil
