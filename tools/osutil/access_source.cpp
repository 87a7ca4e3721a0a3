#include "tools/osutil/access_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace osutil {
namespace {

// Files above this size get a progress bar while they replay.
constexpr long long kLongTraceBytes = 16LL << 20;
// Synthetic workloads of this many accesses or more get one.
constexpr uint64_t kLongWorkloadOps = 2000000;
// The trace buffer starts this large and grows only for longer lines.
constexpr size_t kFirstBufferBytes = 64 << 10;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class TraceFile : public AccessSource {
 public:
  TraceFile(FILE* file, bool ownsFile, std::string name)
      : file_(file), owns_file_(ownsFile), name_(std::move(name)), buffer_(kFirstBufferBytes) {
    struct stat status;
    if (::fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode)) {
      total_bytes_ = status.st_size;
    }
  }
  ~TraceFile() override {
    if (owns_file_) std::fclose(file_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool next(Access& access) override {
    char* line;
    while ((line = nextLine()) != nullptr) {
      if (parseLine(line, access)) return true;
    }
    return false;
  }

  void rewind() override {
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
      throw TraceError("cannot rewind " + name_ + ": " + std::strerror(errno));
    }
    std::clearerr(file_);
    begin_ = end_ = 0;
    at_end_ = false;
    line_number_ = 0;
    read_bytes_ = 0;
  }

  double progress() const override {
    if (total_bytes_ <= 0) return -1.0;
    return static_cast<double>(read_bytes_) / static_cast<double>(total_bytes_);
  }

  bool isLong() const override { return total_bytes_ >= kLongTraceBytes; }

  std::string describe() const override { return "trace " + name_; }

 private:
  // The next line, NUL-terminated in place without its line break, or null at
  // the end of the file. A line never takes more memory than the longest line
  // allowed: a longer one is refused as soon as the buffer holds that much of
  // it, before the rest is read.
  char* nextLine() {
    size_t scanned = begin_;  // the line break, if any, lies at or after this
    for (;;) {
      char* text = buffer_.data();
      char* lineBreak = static_cast<char*>(std::memchr(text + scanned, '\n', end_ - scanned));
      if (lineBreak != nullptr || (at_end_ && end_ > begin_)) {
        const size_t stop = lineBreak != nullptr ? size_t(lineBreak - text) : end_;
        return takeLine(stop, lineBreak != nullptr);
      }
      if (at_end_) return nullptr;
      if (end_ - begin_ > kMaxTraceLineBytes) refuseLongLine();
      scanned = end_;
      makeRoom(scanned);
      refill();
    }
  }

  // Ends the line that starts at begin_ at `stop` (its line break, or the end
  // of the file) and moves past it.
  char* takeLine(size_t stop, bool hadBreak) {
    const size_t length = stop - begin_;
    if (length > kMaxTraceLineBytes) refuseLongLine();
    ++line_number_;
    char* line = buffer_.data() + begin_;
    // A NUL would end the key early and replay another key than the trace's.
    if (std::memchr(line, '\0', length) != nullptr) fail("NUL byte in the line");
    if (stop == buffer_.size()) buffer_.push_back('\0');  // the last line fills the buffer
    buffer_[stop] = '\0';
    line = buffer_.data() + begin_;
    read_bytes_ += static_cast<long long>(length + (hadBreak ? 1 : 0));
    begin_ = hadBreak ? stop + 1 : stop;
    return line;
  }

  // Moves the unread part to the front and grows the buffer, up to the
  // longest line allowed, when the unread bytes already fill it; `scanned` follows.
  void makeRoom(size_t& scanned) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      scanned -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size()) {
      buffer_.resize(std::min(buffer_.size() * 2, kMaxTraceLineBytes + 2));
    }
  }

  void refill() {
    const size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
    end_ += got;
    if (got == 0) {
      if (std::ferror(file_)) {
        throw TraceError("cannot read " + name_ + ": " + std::strerror(errno));
      }
      at_end_ = true;
    }
  }

  // A key longer than allowed is the usual cause: name it when it is.
  [[noreturn]] void refuseLongLine() {
    ++line_number_;
    const char* line = buffer_.data() + begin_;
    const size_t length = end_ - begin_;
    size_t key = 0;
    while (key < length && isBlank(line[key])) ++key;
    size_t keyEnd = key;
    while (keyEnd < length && line[keyEnd] != '\n' && !isBlank(line[keyEnd])) ++keyEnd;
    if (keyEnd - key > size_t(kMaxTraceKeyBytes)) failLongKey();
    fail("line longer than " + std::to_string(kMaxTraceLineBytes) + " bytes");
  }

  [[noreturn]] void failLongKey() const {
    fail("key longer than " + std::to_string(kMaxTraceKeyBytes) + " bytes");
  }

  // Reads "KEY [SIZE]" from the line in place. Blank lines and lines whose
  // first non-blank byte is '#' carry no access: false.
  bool parseLine(char* line, Access& access) {
    char* cursor = line;
    while (isBlank(*cursor)) ++cursor;
    if (*cursor == '\0' || *cursor == '#') return false;

    char* key = cursor;
    while (*cursor != '\0' && !isBlank(*cursor)) ++cursor;
    const long keyLength = cursor - key;
    if (*cursor != '\0') *cursor++ = '\0';
    while (isBlank(*cursor)) ++cursor;

    char* size = cursor;
    while (*cursor != '\0' && !isBlank(*cursor)) ++cursor;
    const long sizeLength = cursor - size;
    if (*cursor != '\0') *cursor++ = '\0';
    while (isBlank(*cursor)) ++cursor;
    if (*cursor != '\0') fail("more than a key and a size");

    if (keyLength > kMaxTraceKeyBytes) failLongKey();
    access.key = key;
    access.keyLength = static_cast<int32_t>(keyLength);
    access.payloadBytes = sizeLength == 0 ? 0 : parseSize(size);
    return true;
  }

  int32_t parseSize(const char* text) {
    long long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c < '0' || *c > '9') fail(std::string("invalid size '") + text + "'");
      value = value * 10 + (*c - '0');
      if (value > kMaxTracePayloadBytes) {
        fail(std::string("size '") + text + "' above " + std::to_string(kMaxTracePayloadBytes));
      }
    }
    return static_cast<int32_t>(value);
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw TraceError(name_ + " line " + std::to_string(line_number_) + ": " + what);
  }

  FILE* file_;
  bool owns_file_;
  std::string name_;
  // Lines are read in place: buffer_[begin_, end_) is read but not yet
  // returned. The buffer grows only while one line does not fit, and never
  // beyond the longest line allowed (plus its break and a terminator).
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  long long line_number_ = 0;
  long long read_bytes_ = 0;
  long long total_bytes_ = 0;  // 0 when unknown
};

// Copies standard input into an anonymous temporary file and rewinds it.
FILE* spoolStandardInput() {
  FILE* spool = std::tmpfile();
  if (spool == nullptr) {
    throw TraceError(std::string("cannot create a temporary file: ") + std::strerror(errno));
  }
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    if (std::fwrite(buffer, 1, got, spool) != got) {
      const int error = errno;
      std::fclose(spool);
      throw TraceError(std::string("cannot spool standard input: ") + std::strerror(error));
    }
  }
  if (std::ferror(stdin)) {
    const int error = errno;
    std::fclose(spool);
    throw TraceError(std::string("cannot read standard input: ") + std::strerror(error));
  }
  std::rewind(spool);
  return spool;
}

class ZipfWorkload : public AccessSource {
 public:
  ZipfWorkload(double exponent, uint64_t keys, uint64_t ops, uint64_t seed)
      : sampler_(keys, exponent), ops_(ops), seed_(seed), engine_(seed) {}

  bool next(Access& access) override {
    if (delivered_ == ops_) return false;
    ++delivered_;
    const uint64_t rank = sampler_.sample(engine_);
    const int length =
        std::snprintf(key_, sizeof key_, "key%010llu", static_cast<unsigned long long>(rank));
    access.key = key_;
    access.keyLength = length;
    access.payloadBytes = 0;
    return true;
  }

  void rewind() override {
    engine_.seed(seed_);
    delivered_ = 0;
  }

  double progress() const override {
    return ops_ == 0 ? 1.0 : static_cast<double>(delivered_) / static_cast<double>(ops_);
  }

  bool isLong() const override { return ops_ >= kLongWorkloadOps; }

  std::string describe() const override {
    char text[160];
    std::snprintf(text, sizeof text, "zipf s=%g keys=%llu ops=%llu seed=%llu", sampler_.exponent(),
                  static_cast<unsigned long long>(sampler_.rankCount()),
                  static_cast<unsigned long long>(ops_), static_cast<unsigned long long>(seed_));
    return text;
  }

 private:
  ZipfSampler sampler_;
  uint64_t ops_;
  uint64_t seed_;
  std::mt19937_64 engine_;
  uint64_t delivered_ = 0;
  char key_[24];  // "key" + up to 20 digits + NUL
};

}  // namespace

std::unique_ptr<AccessSource> openTrace(const std::string& path, bool rewindable) {
  if (path == "-") {
    if (!rewindable) return std::make_unique<TraceFile>(stdin, false, "standard input");
    return std::make_unique<TraceFile>(spoolStandardInput(), true, "standard input");
  }
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) {
    throw TraceError("cannot open '" + path + "': " + std::strerror(errno));
  }
  return std::make_unique<TraceFile>(file, true, "'" + path + "'");
}

std::unique_ptr<AccessSource> makeZipfWorkload(double exponent, uint64_t keys, uint64_t ops,
                                               uint64_t seed) {
  return std::make_unique<ZipfWorkload>(exponent, keys, ops, seed);
}

}  // namespace osutil
