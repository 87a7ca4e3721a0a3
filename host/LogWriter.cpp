#include "host/LogWriter.h"

#include <cstdarg>
#include <ctime>
#include <sys/time.h>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

CStreamLogWriter::CStreamLogWriter(int level)
    : out_(stderr), owns_out_(false), opened_ok_(true), level_(level) {}

CStreamLogWriter::CStreamLogWriter(int level, const std::string& path)
    : out_(std::fopen(path.c_str(), "a")), owns_out_(true), opened_ok_(true), level_(level) {
  if (out_ == nullptr) {
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
  std::fprintf(out_, "%s.%03d %d %s:%d ", stamp, static_cast<int>(now.tv_usec / 1000), level,
               function != nullptr ? function : "?", line);
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
  std::fflush(out_);
}
