// getRegistryValue<int> on any text in the store. The input, up to its first
// line break, becomes the text of one value under "~Zelt" in a private store;
// the result must equal a reference parse written from the lookup's rule, and
// "Error: Can't parse [name]: [text]" must reach the log writer exactly when
// the text is not a number, whatever the writer's level.
//
// What the store hands over: the text after "=", trimmed of blanks at either
// end; a text that does not fit the 32-byte buffer with its terminator reads
// as absent. The lookup sees the text up to its first NUL.
//
// The whole input is also a store of its own: a lookup in it must not crash,
// and the setter must change one line of it (or add one) and read back.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "fuzz/fuzz_input.h"
#include "host/LogWriter.h"
#include "host/PlatformInfo.h"
#include "objstore/objStrUtils.h"
#include "tests/support/capture_log_writer.h"
#include "tests/support/file_text.h"

namespace {

using fuzzing::Quote;

using fuzzing::Fail;

const char kName[] = "nzeltFuzzValue";
const char kFocus[] = "FuzzFocus";
const char kWholeFocus[] = "FuzzWhole";

// One private store for the whole run: a directory under the temporary
// directory, the environment pointing at it, and the store file kept open so
// that each input costs one write.
struct Store {
  std::string dir;
  std::string file;
  std::string whole;  // the store made of the whole input
  int fd = -1;
  boost::shared_ptr<testing_support::CaptureLogWriter> log;
};

Store* g_store = nullptr;

void RemoveStore() {
  if (g_store == nullptr) return;
  if (g_store->fd >= 0) ::close(g_store->fd);
  ::unlink(g_store->file.c_str());
  ::unlink(g_store->whole.c_str());
  ::rmdir(g_store->dir.c_str());
}

void SetUpStore() {
  g_store = new Store;
  // In memory when TMPDIR does not say otherwise: the setter syncs each store
  // it writes, which costs milliseconds per input on a disk.
  const char* tmp = std::getenv("TMPDIR");
  struct stat shm;
  const bool in_memory = ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode);
  const std::string base = tmp != nullptr && *tmp != '\0' ? tmp : in_memory ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/objstore-registry-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) Fail("mkdtemp " + pattern);
  g_store->dir = pattern;
  g_store->file = g_store->dir + "/" + kFocus + ".ini";
  g_store->whole = g_store->dir + "/" + kWholeFocus + ".ini";
  if (setenv("OBJSTORE_REGISTRY_DIR", g_store->dir.c_str(), 1) != 0 ||
      setenv("OBJSTORE_FOCUS", kFocus, 1) != 0) {
    Fail("setenv");
  }
  g_store->fd = ::open(g_store->file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (g_store->fd < 0) Fail("cannot create " + g_store->file);
  std::atexit(RemoveStore);
  g_store->log = boost::make_shared<testing_support::CaptureLogWriter>(10);
  g_ptrLogWriter = g_store->log;
}

void WriteStore(const std::string& contents) {
  if (::pwrite(g_store->fd, contents.data(), contents.size(), 0) !=
          static_cast<ssize_t>(contents.size()) ||
      ::ftruncate(g_store->fd, static_cast<off_t>(contents.size())) != 0) {
    Fail("cannot write " + g_store->file);
  }
}

// The input as a whole store: the setter keeps every byte outside the one
// line it changes, and the lookup then finds the new value.
void CheckWholeStore(const std::string& input) {
  // Written afresh each time: the setter replaces the file by rename.
  if (!testing_support::WriteFile(g_store->whole, input)) Fail("cannot write " + g_store->whole);
  ZQPlatformInfo store;
  store.setFocus(kWholeFocus);
  std::string value;
  store.getString("Zelt", kName, &value);
  if (!store.setString("Zelt", kName, "fuzzed")) Fail("the setter refused " + Quote(input));
  const std::string after = testing_support::ReadFile(g_store->whole);
  if (!store.getString("Zelt", kName, &value) || value != "fuzzed") {
    Fail("store " + Quote(input) + " became " + Quote(after) + ", which reads " + Quote(value));
  }
  // The bytes that went: between the common beginning and the common end.
  const std::size_t prefix =
      std::mismatch(input.begin(), input.end(), after.begin(), after.end()).first - input.begin();
  const std::size_t suffix =
      std::mismatch(input.rbegin(), input.rend() - prefix, after.rbegin(), after.rend() - prefix)
          .first -
      input.rbegin();
  if (input.find('\n', prefix) < input.size() - suffix) {
    Fail("store " + Quote(input) + " became " + Quote(after) + ": more than one line changed");
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Formatted extraction of an int: optional blanks, an optional sign, decimal
// digits up to the first byte that cannot continue them; no digit, or a value
// outside int, is a failure.
bool ReferenceParse(const std::string& text, int* value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  const std::size_t line_break = value.find('\n');
  if (line_break != std::string::npos) value.resize(line_break);
  WriteStore(std::string("[~Zelt]\n") + kName + "=" + value + "\n");

  // Vary the default and the writer's level: a writer below -1 must still
  // receive the parse error, and must receive nothing else.
  const int default_value = (size / 2) % 2 == 0 ? 7 : INT_MIN;
  const int level = size % 2 == 0 ? 10 : -2;

  const std::string stored = Trimmed(value);
  const bool absent = stored.size() >= 32;
  const std::string text = stored.c_str();  // up to the first NUL
  int expected = default_value;
  bool parse_error = false;
  if (!absent) {
    int parsed = 0;
    if (ReferenceParse(text, &parsed)) {
      expected = parsed;
    } else {
      parse_error = true;
    }
  }

  testing_support::CaptureLogWriter& log = *g_store->log;
  log.set_level(level);
  log.clear();
  const int got = ObjectStore::getRegistryValue<int>(kName, default_value, 0, INT_MAX);
  const std::vector<testing_support::LoggedMessage> messages = log.messages();

  const std::string context = "value " + Quote(value) + ": ";
  if (got != expected) {
    Fail(context + "read " + std::to_string(got) + ", expected " + std::to_string(expected));
  }
  if (messages.size() != (parse_error ? 1u : 0u)) {
    Fail(context + std::to_string(messages.size()) + " messages, expected " +
         (parse_error ? "the parse error" : "none") +
         (messages.empty() ? "" : ("; first: " + Quote(messages[0].text))));
  }
  if (parse_error) {
    const std::string expected_text =
        std::string("Error: Can't parse [") + kName + "]: [" + text + "]";
    if (messages[0].level != -1 || messages[0].text != expected_text) {
      Fail(context + "message " + Quote(messages[0].text) + " at level " +
           std::to_string(messages[0].level));
    }
  }
  CheckWholeStore(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
