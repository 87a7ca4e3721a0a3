#include "tools/osutil/access_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace osutil {
namespace {

// Files above this size get a progress bar while they replay.
constexpr long long kLongTraceBytes = 16LL << 20;
// Synthetic workloads of this many accesses or more get one.
constexpr uint64_t kLongWorkloadOps = 2000000;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class TraceFile : public AccessSource {
 public:
  TraceFile(FILE* file, bool ownsFile, std::string name)
      : file_(file), owns_file_(ownsFile), name_(std::move(name)) {
    struct stat status;
    if (::fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode)) {
      total_bytes_ = status.st_size;
    }
  }
  ~TraceFile() override {
    std::free(line_);
    if (owns_file_) std::fclose(file_);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  bool next(Access& access) override {
    for (;;) {
      errno = 0;
      const ssize_t length = ::getline(&line_, &capacity_, file_);
      if (length < 0) {
        if (std::ferror(file_)) {
          throw TraceError("cannot read " + name_ + ": " + std::strerror(errno));
        }
        return false;
      }
      ++line_number_;
      read_bytes_ += length;
      if (parseLine(access)) return true;
    }
  }

  void rewind() override {
    if (std::fseek(file_, 0, SEEK_SET) != 0) {
      throw TraceError("cannot rewind " + name_ + ": " + std::strerror(errno));
    }
    std::clearerr(file_);
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
  // Reads "KEY [SIZE]" from the current line in place. Blank lines and lines
  // whose first non-blank byte is '#' carry no access: false.
  bool parseLine(Access& access) {
    char* cursor = line_;
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

    if (keyLength > kMaxTraceKeyBytes)
      fail("key longer than " + std::to_string(kMaxTraceKeyBytes) + " bytes");
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
  char* line_ = nullptr;  // getline's buffer, reused for every line
  size_t capacity_ = 0;
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
