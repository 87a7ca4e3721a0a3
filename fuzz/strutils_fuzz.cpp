// The path and string helpers against their rules, on strings drawn mostly
// from a few bytes around the separator (so runs of separators, separators at
// either end and empty pieces are common), sometimes from any byte, NUL
// included.
//
// join: exactly one separator at the seam when both sides bring one, one is
// added when neither does, and nothing else changes.
// splitParentPath: the result, the error number and message, the outputs
// (untouched on failure), the level-5 trace; on success the child holds no
// separator, and parent + separator + child splits back into the same two.
// tokenize: exactly the maximal runs of non-separator bytes, in order, so no
// token is empty or holds a separator and together they are the input with
// its separators removed; the vector's earlier contents are gone.
// to_hexstring: "0x" and the lower-case digits without leading zeros, or "0".
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "fuzz/fuzz_input.h"
#include "host/Error.h"
#include "host/LogWriter.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"

namespace {

using fuzzing::Quote;

using fuzzing::Fail;

testing_support::CaptureLogWriter& Log() {
  static const boost::shared_ptr<testing_support::CaptureLogWriter> writer = [] {
    auto created = boost::make_shared<testing_support::CaptureLogWriter>(5);
    g_ptrLogWriter = created;
    return created;
  }();
  return *writer;
}

// What "%s" prints for a std::string's c_str(): the bytes before any NUL.
std::string AsPrinted(const std::string& text) { return std::string(text.c_str()); }

void CheckJoin(const std::string& first, const std::string& second, char sep) {
  const std::string joined = ObjectStore::join(first, second, sep);
  const std::string context =
      "join(" + Quote(first) + ", " + Quote(second) + ") = " + Quote(joined) + ": ";
  if (first.empty()) {
    if (joined != second) Fail(context + "an empty first part must give the second unchanged");
    return;
  }
  // The seam: `first` then `second`, with the separators where they meet
  // counted. Neither side's: one is added; one side's: kept; both sides': one
  // of the two goes.
  const bool left = first.back() == sep;
  const bool right = !second.empty() && second.front() == sep;
  std::string expected;
  if (left && right) {
    expected = first.substr(0, first.size() - 1) + second;
  } else if (left || right) {
    expected = first + second;
  } else {
    expected = first + sep + second;
  }
  if (joined != expected) Fail(context + "expected " + Quote(expected));
  // Whatever the seam, the result begins with `first` less at most its last
  // byte and ends with `second`, and it ends in a separator when `second`
  // is empty.
  if (joined.compare(0, first.size() - 1, first, 0, first.size() - 1) != 0 ||
      joined.size() < second.size() ||
      joined.compare(joined.size() - second.size(), second.size(), second) != 0) {
    Fail(context + "the parts are not kept");
  }
  if (second.empty() && joined.back() != sep) Fail(context + "no trailing separator");
}

struct Split {
  CWyError error;
  std::string parent;
  std::string child;
};

Split RunSplit(const std::string& path, char sep) {
  Split split{CWyError(), "\x01parent before", "\x01child before"};
  split.error = ObjectStore::splitParentPath(path, split.parent, split.child, sep);
  return split;
}

void CheckSplit(const std::string& path, char sep, int log_level) {
  Log().set_level(log_level);
  Log().clear();
  const Split got = RunSplit(path, sep);
  const std::vector<testing_support::LoggedMessage> messages = Log().messages();
  const std::string context = "splitParentPath(" + Quote(path) + "): ";

  const auto expect_error = [&](int errnum, const std::string& message) {
    if (!got.error.IsError() || FXErrorUtil::GetErrNo(got.error) != errnum) {
      Fail(context + "expected an error with errno " + std::to_string(errnum));
    }
    if (got.error.GetErrorMessage() != message) {
      Fail(context + "error message " + Quote(got.error.GetErrorMessage()));
    }
    if (got.parent != "\x01parent before" || got.child != "\x01child before") {
      Fail(context + "a failed split changed its outputs");
    }
    if (!messages.empty()) Fail(context + "a failed split logged");
  };
  const auto expect_success = [&](const std::string& parent, const std::string& child,
                                  bool traced) {
    if (got.error.IsError() || got.error.GetErrorCode() != 0) Fail(context + "expected success");
    if (got.parent != parent || got.child != child) {
      Fail(context + "gave " + Quote(got.parent) + " and " + Quote(got.child) + ", expected " +
           Quote(parent) + " and " + Quote(child));
    }
    const bool written = traced && log_level >= 5;
    if (messages.size() != (written ? 1u : 0u)) Fail(context + "wrong number of trace lines");
    if (written) {
      const std::string expected = "splitParentPath: fullPath=[" + AsPrinted(path) +
                                   "] parentOut=[" + AsPrinted(parent) + "] childOut=[" +
                                   AsPrinted(child) + "]";
      if (messages[0].level != 5 || messages[0].text != expected) {
        Fail(context + "trace " + Quote(messages[0].text));
      }
    }
  };

  if (path.empty()) return expect_error(EINVAL, "Can't split an empty path");
  if (path.size() == 1 && path[0] == sep) return expect_success(path, "", false);
  std::string trimmed = path;
  if (trimmed.back() == sep) trimmed.pop_back();  // one trailing separator only
  const std::size_t last = trimmed.rfind(sep);
  if (last == std::string::npos) {
    return expect_error(ENOENT, AsPrinted(path) + " is not a full path");
  }
  const std::string parent = last == 0 ? std::string(1, sep) : trimmed.substr(0, last);
  const std::string child = trimmed.substr(last + 1);
  expect_success(parent, child, true);

  if (child.find(sep) != std::string::npos) Fail(context + "the child holds a separator");
  if (!child.empty()) {
    // The two pieces name the same place again.
    const std::string rebuilt = got.parent + sep + got.child;
    Log().set_level(-1);
    const Split again = RunSplit(rebuilt, sep);
    if (again.error.IsError() || again.parent != got.parent || again.child != got.child) {
      Fail(context + "rebuilt as " + Quote(rebuilt) + " it splits differently");
    }
  }
}

void CheckTokenize(const std::string& input, const std::string& separators) {
  const std::string active = AsPrinted(separators);  // the set ends at a NUL
  std::vector<std::string> expected;
  std::string current;
  for (char c : input) {
    if (active.find(c) != std::string::npos) {
      if (!current.empty()) expected.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) expected.push_back(current);

  std::vector<std::string> tokens = {"stale", ""};
  ObjectStore::tokenize(tokens, input, separators);
  const std::string context = "tokenize(" + Quote(input) + ", " + Quote(separators) + "): ";
  if (tokens != expected) {
    Fail(context + std::to_string(tokens.size()) + " tokens, expected " +
         std::to_string(expected.size()));
  }
  std::string joined;
  for (const std::string& token : tokens) {
    if (token.empty()) Fail(context + "an empty token");
    if (token.find_first_of(active) != std::string::npos)
      Fail(context + "a token holds a separator");
    joined += token;
  }
  std::string stripped;
  for (char c : input) {
    if (active.find(c) == std::string::npos) stripped += c;
  }
  if (joined != stripped) Fail(context + "the tokens are not the input without separators");
}

void CheckHexString(uint64_t address) {
  char expected[32];
  if (address == 0) {
    std::strcpy(expected, "0");
  } else {
    std::snprintf(expected, sizeof expected, "0x%llx", static_cast<unsigned long long>(address));
  }
  const std::string got = ObjectStore::to_hexstring(reinterpret_cast<const void*>(address));
  if (got != expected) Fail("to_hexstring gave " + got + ", expected " + expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::FuzzInput in(data, size);

  char sep = '/';
  switch (in.Below(4)) {
    case 2:
      sep = static_cast<char>(in.Byte());
      break;
    case 3:
      sep = '\0';
      break;
    default:
      break;
  }
  // Mostly the separator, two letters, a dot and a NUL; sometimes any byte.
  const std::string alphabet = std::string(3, sep) + "ab." + std::string(1, '\0');
  const bool raw = in.Below(4) == 0;
  const auto piece = [&](std::size_t max_len) {
    return raw ? in.String(max_len) : in.StringOver(alphabet, max_len);
  };

  const std::string first = piece(16);
  const std::string second = piece(16);
  CheckJoin(first, second, sep);

  const std::string path = piece(48);
  CheckSplit(path, sep, in.Bool() ? 5 : 4);
  CheckSplit(ObjectStore::join(first, second, sep), sep, 5);

  const std::string input = piece(64);
  std::string separators = in.String(4);
  if (!raw && in.Bool()) separators = std::string(1, sep) + separators;
  CheckTokenize(input, separators);
  CheckTokenize(path, std::string(1, sep));

  uint64_t address = 0;
  for (int i = 0; i < 8; ++i) address = address << 8 | in.Byte();
  CheckHexString(address >> (in.Byte() % 64));
  return 0;
}
