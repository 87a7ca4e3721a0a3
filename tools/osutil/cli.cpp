#include "tools/osutil/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <nlohmann/json.hpp>

namespace osutil {

namespace {

const OptionDef* findLong(const std::vector<OptionDef>& defs, const std::string& name) {
  for (const OptionDef& def : defs) {
    if (name == def.longName) return &def;
  }
  return nullptr;
}

const OptionDef* findShort(const std::vector<OptionDef>& defs, char name) {
  for (const OptionDef& def : defs) {
    if (def.shortName != 0 && def.shortName == name) return &def;
  }
  return nullptr;
}

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string ParsedArgs::value(const std::string& longName, const std::string& fallback) const {
  const auto it = options.find(longName);
  return it == options.end() ? fallback : it->second;
}

ParsedArgs parseArgs(const std::string& command, const Args& args,
                     const std::vector<OptionDef>& defs) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A negative number ("-5") is an operand: no option is named by a digit.
    const bool negativeNumber = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || negativeNumber) {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }

    const OptionDef* def = nullptr;
    std::string inlineValue;
    bool hasInlineValue = false;
    std::string shown;  // the option as the user wrote it, for messages
    if (arg[1] == '-') {
      const size_t equals = arg.find('=');
      const std::string name = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
      shown = "--" + name;
      def = findLong(defs, name);
      if (equals != std::string::npos) {
        hasInlineValue = true;
        inlineValue = arg.substr(equals + 1);
      }
    } else {
      shown = arg.substr(0, 2);
      def = findShort(defs, arg[1]);
      if (arg.size() > 2) {
        hasInlineValue = true;
        inlineValue = arg.substr(2);
      }
    }
    if (def == nullptr) throw UsageError(command, "unknown option '" + shown + "'");

    if (!def->takesValue) {
      if (hasInlineValue) throw UsageError(command, "option '" + shown + "' takes no value");
      parsed.options[def->longName] = "";
      continue;
    }
    if (hasInlineValue) {
      parsed.options[def->longName] = inlineValue;
    } else if (i + 1 < args.size()) {
      parsed.options[def->longName] = args[++i];
    } else {
      throw UsageError(command, "option '" + shown + "' needs a value");
    }
  }
  return parsed;
}

void requireOperands(const std::string& command, const ParsedArgs& parsed, size_t minCount,
                     size_t maxCount) {
  const size_t count = parsed.positional.size();
  if (count < minCount) throw UsageError(command, "missing argument");
  if (count > maxCount) {
    throw UsageError(command, "unexpected argument '" + parsed.positional[maxCount] + "'");
  }
}

uint64_t parseUnsigned(const std::string& command, const std::string& what, const std::string& text,
                       uint64_t maxValue) {
  if (!allDigits(text)) throw UsageError(command, "invalid " + what + " '" + text + "'");
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value > maxValue) {
    throw UsageError(command, what + " '" + text + "' is out of range (at most " +
                                  std::to_string(maxValue) + ")");
  }
  return value;
}

int parseInt(const std::string& command, const std::string& what, const std::string& text) {
  const bool negative = !text.empty() && (text[0] == '-' || text[0] == '+');
  if (!allDigits(negative ? text.substr(1) : text)) {
    throw UsageError(command, "invalid " + what + " '" + text + "'");
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < std::numeric_limits<int>::min() ||
      value > std::numeric_limits<int>::max()) {
    throw UsageError(command, what + " '" + text + "' is out of range");
  }
  return static_cast<int>(value);
}

double parseDouble(const std::string& command, const std::string& what, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(value) ||
      text[0] == ' ' || text[0] == '\t') {
    throw UsageError(command, "invalid " + what + " '" + text + "'");
  }
  return value;
}

int dispatchSubcommand(const std::string& family, const char* familyHelp, const Args& args,
                       const std::vector<Subcommand>& subcommands) {
  if (args.empty()) throw UsageError(family, "missing subcommand");
  if (args[0] == "-h" || args[0] == "--help") return printHelp(familyHelp);
  for (const Subcommand& subcommand : subcommands) {
    if (args[0] == subcommand.name) return subcommand.run(Args(args.begin() + 1, args.end()));
  }
  throw UsageError(family, "unknown subcommand '" + args[0] + "'");
}

void printError(const std::string& command, const std::string& message) {
  if (command.empty()) {
    std::fprintf(stderr, "osutil: %s\n", message.c_str());
  } else {
    std::fprintf(stderr, "osutil: %s: %s\n", command.c_str(), message.c_str());
  }
}

int printHelp(const char* text) {
  std::fputs(text, stdout);
  return kExitOk;
}

void printJson(const nlohmann::ordered_json& object) {
  // Invalid UTF-8 (keys and names are byte strings) becomes U+FFFD rather
  // than an exception.
  const std::string text =
      object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

std::string humanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  const uint64_t unitBytes = uint64_t{1} << (10 * unit);
  if (bytes % unitBytes == 0) {  // whole units read best without decimals: "64 KiB"
    std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes / unitBytes),
                  kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text,
                  value < 10    ? "%.2f %s"
                  : value < 100 ? "%.1f %s"
                                : "%.0f %s",
                  value, kUnits[unit]);
  }
  return text;
}

}  // namespace osutil
