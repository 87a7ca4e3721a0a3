#include "host/LogWriter.h"

#include <sys/time.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

namespace {

// Appending, and closed on exec: a child the host starts must not hold the
// log open (it would keep a rotated file alive).
FILE* openLog(const std::string& path) { return std::fopen(path.c_str(), "ae"); }

}  // namespace

CStreamLogWriter::CStreamLogWriter(int level)
    : out_(stderr), owns_out_(false), opened_ok_(true), level_(level) {}

CStreamLogWriter::CStreamLogWriter(int level, const std::string& path)
    : path_(path), out_(openLog(path)), owns_out_(true), opened_ok_(true), level_(level) {
  if (out_ == nullptr) {
    write_error_ = errno != 0 ? errno : EIO;
    out_ = stderr;
    owns_out_ = false;
    opened_ok_ = false;
  }
}

CStreamLogWriter::~CStreamLogWriter() {
  if (owns_out_) std::fclose(out_);
}

int CStreamLogWriter::getLogLevel() {
  std::lock_guard<std::mutex> guard(mutex_);
  return level_;
}

void CStreamLogWriter::setLogLevel(int level) {
  std::lock_guard<std::mutex> guard(mutex_);
  level_ = level;
}

void CStreamLogWriter::logMessage(int level, const char* function, int line, int /*reserved1*/,
                                  int /*reserved2*/, const char* format, ...) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  std::lock_guard<std::mutex> guard(mutex_);
  if (closed_) return;
  // Callers may read errno after a call that logged; the log leaves it alone.
  const int callerErrno = errno;
  errno = 0;
  std::fprintf(out_, "%s.%03d %d %s:%d ", stamp, static_cast<int>(now.tv_usec / 1000), level,
               function != nullptr ? function : "?", line);
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
  // Flushed line by line: the log is whole at any moment, and processes
  // appending to one file do not split each other's lines.
  if ((std::fflush(out_) != 0 || std::ferror(out_)) && write_error_ == 0) {
    write_error_ = errno != 0 ? errno : EIO;
  }
  errno = callerErrno;
}

int CStreamLogWriter::error() {
  std::lock_guard<std::mutex> guard(mutex_);
  return write_error_;
}

int CStreamLogWriter::close() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (closed_) return write_error_;
  closed_ = true;
  errno = 0;
  const int result = owns_out_ ? std::fclose(out_) : std::fflush(out_);
  if (result != 0 && write_error_ == 0) write_error_ = errno != 0 ? errno : EIO;
  owns_out_ = false;
  return write_error_;
}

int CStreamLogWriter::reopen() {
  if (path_.empty()) return 0;
  // Opened outside the lock: a slow file system must not hold up the threads
  // that are logging meanwhile.
  FILE* fresh = openLog(path_);
  if (fresh == nullptr) {
    const int error = errno != 0 ? errno : EIO;
    if (getLogLevel() >= -1) {
      logMessage(-1, "int CStreamLogWriter::reopen()", __LINE__, 0, 0, "Error: Can't open [%s]: %s",
                 path_.c_str(), strerror(error));
    }
    return error;
  }
  FILE* previous;
  bool ownedPrevious;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) {  // nothing is written after close(): drop the new file
      std::fclose(fresh);
      return 0;
    }
    previous = out_;
    ownedPrevious = owns_out_;
    out_ = fresh;
    owns_out_ = true;
  }
  opened_ok_.store(true, std::memory_order_relaxed);
  // Every line is flushed as it is written, so closing loses nothing; no
  // other thread can still be using the old stream once the lock is released.
  if (ownedPrevious) std::fclose(previous);
  return 0;
}
