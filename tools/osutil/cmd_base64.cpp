// base64: streaming Base64 over the library's codec, so that inputs larger
// than memory pass through in fixed-size chunks.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "tools/osutil/cli.h"
#include "tools/osutil/commands.h"

namespace osutil {
namespace {

const char kBase64Help[] =
    "Usage: osutil base64 [-d [--strict]] [FILE]\n"
    "\n"
    "Encodes FILE (standard input when FILE is absent or -) to Base64 in the\n"
    "standard alphabet with '=' padding, or decodes it with -d. Works in chunks,\n"
    "so inputs of any size stream through in bounded memory.\n"
    "\n"
    "  -d, --decode  decode instead of encode\n"
    "  --strict      with -d: fail on malformed input, as coreutils' 'base64 -d' does\n"
    "\n"
    "Encoding writes one line without wrapping, followed by a newline. Empty\n"
    "input gives no output at all, not even the newline; otherwise the output\n"
    "is that of 'base64 -w 0' plus a newline.\n"
    "\n"
    "Decoding skips line breaks (LF and CR), so wrapped input such as the\n"
    "default output of 'base64' decodes; the command does that itself, since the\n"
    "library's decoder stops at a line break. Otherwise it decodes as the\n"
    "library does: it stops silently at the first '=' or at the first other byte\n"
    "outside the alphabet (a blank, '-', '_', ...), and everything after it is\n"
    "ignored. A final group of 2 or 3 characters yields 1 or 2 bytes without\n"
    "padding; a lone final character yields nothing. Decoding never fails on its\n"
    "input: this lenient mode does not match coreutils' 'base64 -d'.\n"
    "\n"
    "With --strict, decoding accepts what coreutils' 'base64 -d' accepts and fails\n"
    "where it fails: the input is groups of 4 characters of the alphabet, the last\n"
    "ones of a group may be '=' padding (xx== or xxx=), and a padded group may be\n"
    "followed by more groups. LF line breaks are skipped anywhere; any other byte\n"
    "(CR, a blank, '-', '_'), '=' elsewhere, and input that ends inside a group\n"
    "are errors: exit status 1 and the offset of the first bad byte (counted from\n"
    "0, line breaks included; the input's length when it ends inside a group) on\n"
    "stderr. What was decoded before it is written.\n";

// Only the last chunk may be short, so only the end of the output carries
// padding: the concatenated chunk encodings equal the encoding of the whole.
constexpr size_t kEncodeChunkBytes = 3 * 64 * 1024;
constexpr size_t kDecodeChunkBytes = 256 * 1024;

// Reads until `size` bytes arrived or the input ended; a pipe delivers short
// reads. Returns the count, or -1 with errno set.
ssize_t readFull(int fd, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, buffer + done, size - done);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool isAlphabetByte(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9') || byte == '+' || byte == '/';
}

int readFailure(const std::string& inputName) {
  printError("base64", "cannot read " + inputName + ": " + std::strerror(errno));
  return kExitFailed;
}

int encodeStream(int fd, const std::string& inputName) {
  std::vector<unsigned char> chunk(kEncodeChunkBytes);
  bool wroteText = false;
  for (;;) {
    const ssize_t got = readFull(fd, chunk.data(), chunk.size());
    if (got < 0) return readFailure(inputName);
    if (got > 0) {
      const std::string text =
          ObjectStore::base64_encode(chunk.data(), static_cast<unsigned int>(got));
      std::fwrite(text.data(), 1, text.size(), stdout);
      wroteText = true;
    }
    if (static_cast<size_t>(got) < chunk.size()) break;
  }
  if (wroteText) std::fputc('\n', stdout);
  return kExitOk;
}

void writeDecoded(const std::string& alphabetText) {
  const std::vector<unsigned char> bytes = ObjectStore::base64_decode(alphabetText);
  // An empty vector's data() may be null, which fwrite must not be given.
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

int decodeStream(int fd, const std::string& inputName) {
  std::vector<unsigned char> chunk(kDecodeChunkBytes);
  // Alphabet characters read and not yet decoded. Between chunks it holds
  // fewer than four: the start of a group that the next chunk completes.
  std::string pending;
  pending.reserve(kDecodeChunkBytes + 4);
  bool stopped = false;
  while (!stopped) {
    const ssize_t got = readFull(fd, chunk.data(), chunk.size());
    if (got < 0) return readFailure(inputName);
    for (ssize_t i = 0; i < got; ++i) {
      const unsigned char byte = chunk[static_cast<size_t>(i)];
      if (byte == '\n' || byte == '\r') continue;
      if (!isAlphabetByte(byte)) {
        stopped = true;  // '=' or any other byte ends the text, as in the library
        break;
      }
      pending.push_back(static_cast<char>(byte));
    }
    if (static_cast<size_t>(got) < chunk.size()) stopped = true;

    const size_t completeGroups = stopped ? pending.size() : pending.size() / 4 * 4;
    std::string carried = pending.substr(completeGroups);
    pending.resize(completeGroups);
    writeDecoded(pending);  // at the end this also decodes a partial group
    pending.swap(carried);
  }
  return kExitOk;
}

// Decoding that refuses what coreutils' base64 -d refuses. The grammar is
// that of its decoder: LF is skipped anywhere, everything else forms groups
// of four, each "xxxx", "xxx=" or "xx==", and a padded group may be followed
// by more groups. Unused bits of a padded group are not checked, as there.
class StrictDecoder {
 public:
  // Takes the next bytes of the input. False at the first bad byte, with
  // everything before it decoded and written.
  bool take(const unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i, ++offset_) {
      const unsigned char byte = bytes[i];
      if (byte == '\n') continue;
      if (!fits(byte)) {
        flushGroups();
        failure_ = badByteMessage(byte);
        return false;
      }
      if (byte == '=') {
        padded_ = true;
      } else {
        pending_.push_back(static_cast<char>(byte));
      }
      if (++in_group_ < 4) continue;
      in_group_ = 0;
      // The library's decoder stops at '=': a padded group is decoded at once,
      // as the last of the text so far.
      const bool padded = padded_;
      padded_ = false;
      if (padded) flushGroups();
    }
    flushGroups();
    return true;
  }

  // After the last byte: false when the input ended inside a group.
  bool finish() {
    if (in_group_ == 0) return true;
    failure_ = "invalid input at offset " + std::to_string(offset_) +
               ": the input ends inside a group of 4 characters";
    return false;
  }

  const std::string& failure() const { return failure_; }

 private:
  // Whether `byte` may stand at the group's next position.
  bool fits(unsigned char byte) const {
    if (byte == '=') return in_group_ == 2 || in_group_ == 3;
    return isAlphabetByte(byte) && !padded_;  // after "xx=" only '=' may come
  }

  std::string badByteMessage(unsigned char byte) const {
    char shown[16];
    if (byte > ' ' && byte < 0x7f) {
      std::snprintf(shown, sizeof shown, "'%c'", byte);
    } else {
      std::snprintf(shown, sizeof shown, "byte 0x%02x", byte);
    }
    return "invalid input at offset " + std::to_string(offset_) + ": unexpected " + shown;
  }

  // Decodes the complete groups held; the group being read stays.
  void flushGroups() {
    const size_t partial = in_group_ - (padded_ ? 1 : 0);  // its alphabet characters
    const size_t complete = pending_.size() - partial;
    if (complete == 0) return;
    writeDecoded(pending_.substr(0, complete));
    pending_.erase(0, complete);
  }

  std::string pending_;  // alphabet characters not yet decoded, '=' left out
  size_t in_group_ = 0;  // characters of the present group taken, '=' included
  bool padded_ = false;  // the present group has had its '='
  uint64_t offset_ = 0;  // of the next byte, line breaks included
  std::string failure_;
};

int decodeStrict(int fd, const std::string& inputName) {
  std::vector<unsigned char> chunk(kDecodeChunkBytes);
  StrictDecoder decoder;
  for (;;) {
    const ssize_t got = readFull(fd, chunk.data(), chunk.size());
    if (got < 0) return readFailure(inputName);
    if (!decoder.take(chunk.data(), static_cast<size_t>(got))) break;
    if (static_cast<size_t>(got) < chunk.size()) {
      if (decoder.finish()) return kExitOk;
      break;
    }
  }
  printError("base64", decoder.failure());
  return kExitFailed;
}

}  // namespace

int runBase64(const Args& args) {
  const ParsedArgs parsed =
      parseArgs("base64", args, {{"decode", 'd', false}, {"strict", 0, false}});
  if (parsed.help) return printHelp(kBase64Help);
  requireOperands("base64", parsed, 0, 1);
  if (parsed.has("strict") && !parsed.has("decode")) {
    throw UsageError("base64", "--strict applies to decoding only (-d)");
  }

  const std::string path = parsed.positional.empty() ? "-" : parsed.positional[0];
  int fd = STDIN_FILENO;
  std::string inputName = "standard input";
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      printError("base64", "cannot open '" + path + "': " + std::strerror(errno));
      return kExitFailed;
    }
    inputName = "'" + path + "'";
  }
  const int status = !parsed.has("decode")  ? encodeStream(fd, inputName)
                     : parsed.has("strict") ? decodeStrict(fd, inputName)
                                            : decodeStream(fd, inputName);
  if (fd != STDIN_FILENO) ::close(fd);
  return status;
}

}  // namespace osutil
