// Shared plumbing of the osutil commands: exit statuses, the usage error,
// option parsing and strict number parsing.
#ifndef OBJSTORE_TOOLS_OSUTIL_CLI_H_
#define OBJSTORE_TOOLS_OSUTIL_CLI_H_

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace osutil {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,  // the operation itself failed (or answered "no")
  kExitUsage = 2,   // unknown command or option, wrong arguments, bad number
};

using Args = std::vector<std::string>;

// Bad usage. The dispatcher prints it with a pointer to the command's help
// and exits with kExitUsage; `command` is the words that name the command,
// e.g. "fs size", or empty for the program itself.
class UsageError : public std::runtime_error {
 public:
  UsageError(std::string command, const std::string& message)
      : std::runtime_error(message), command_(std::move(command)) {}
  const std::string& command() const { return command_; }

 private:
  std::string command_;
};

struct OptionDef {
  const char* longName;  // without the dashes: "budget"
  char shortName;        // 0 when the option has no short form
  bool takesValue;
};

// The outcome of parsing a command's arguments. Options are keyed by their
// long name; a flag maps to the empty text. A repeated option keeps its last
// value.
struct ParsedArgs {
  bool help = false;
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;

  bool has(const std::string& longName) const { return options.count(longName) != 0; }
  // The option's value, or `fallback` when it was not given.
  std::string value(const std::string& longName, const std::string& fallback = "") const;
};

// Splits `args` into options and operands. Accepts "--name value",
// "--name=value", "-x value", "-xvalue", "-h"/"--help" everywhere, and "--"
// to end the options; a lone "-" (standard input) and a negative number such
// as "-5" are operands. Throws
// UsageError for unknown options and for a value missing or given to a flag.
ParsedArgs parseArgs(const std::string& command, const Args& args,
                     const std::vector<OptionDef>& defs);

// Throws UsageError unless the operand count is within [minCount, maxCount].
void requireOperands(const std::string& command, const ParsedArgs& parsed, size_t minCount,
                     size_t maxCount);

// Strict decimal parsers: the whole text must be the number, no blanks, no
// sign for unsigned values, and within range; otherwise UsageError naming
// `what`.
uint64_t parseUnsigned(const std::string& command, const std::string& what, const std::string& text,
                       uint64_t maxValue = UINT64_MAX);
int parseInt(const std::string& command, const std::string& what, const std::string& text);
double parseDouble(const std::string& command, const std::string& what, const std::string& text);

// One subcommand of a family ("size" of "fs").
struct Subcommand {
  const char* name;
  int (*run)(const Args& args);
};

// Runs the subcommand that args[0] names with the arguments after it. With
// "-h"/"--help" first, prints `familyHelp` instead. Throws UsageError for a
// missing or unknown subcommand.
int dispatchSubcommand(const std::string& family, const char* familyHelp, const Args& args,
                       const std::vector<Subcommand>& subcommands);

// The flag that asks a command for one JSON object on stdout in place of its
// text lines. Errors stay on stderr, exit statuses stay the same.
constexpr OptionDef kJsonOption = {"json", 0, false};

// Writes `object` compactly as one line on stdout (invalid UTF-8 replaced). Keys keep the order in
// which they were added, which is the order of the command's text lines.
void printJson(const nlohmann::ordered_json& object);

// "osutil: <command>: <message>" on stderr.
void printError(const std::string& command, const std::string& message);

// Prints a command's help text on stdout; returns kExitOk for the caller to
// hand back.
int printHelp(const char* text);

// Byte counts for people: "1.5 MiB", "512 B".
std::string humanBytes(uint64_t bytes);

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_CLI_H_
