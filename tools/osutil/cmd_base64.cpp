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
    "Usage: osutil base64 [-d] [FILE]\n"
    "\n"
    "Encodes FILE (standard input when FILE is absent or -) to Base64 in the\n"
    "standard alphabet with '=' padding, or decodes it with -d. Works in chunks,\n"
    "so inputs of any size stream through in bounded memory.\n"
    "\n"
    "  -d, --decode  decode instead of encode\n"
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
    "input.\n";

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

}  // namespace

int runBase64(const Args& args) {
  const ParsedArgs parsed = parseArgs("base64", args, {{"decode", 'd', false}});
  if (parsed.help) return printHelp(kBase64Help);
  requireOperands("base64", parsed, 0, 1);

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
  const int status =
      parsed.has("decode") ? decodeStream(fd, inputName) : encodeStream(fd, inputName);
  if (fd != STDIN_FILENO) ::close(fd);
  return status;
}

}  // namespace osutil
