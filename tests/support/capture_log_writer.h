// A log writer for tests: records every message it is handed, formatted, with
// its level, signature text and the number of level queries.
#ifndef OBJSTORE_TESTS_SUPPORT_CAPTURE_LOG_WRITER_H_
#define OBJSTORE_TESTS_SUPPORT_CAPTURE_LOG_WRITER_H_

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "host/LogWriter.h"

namespace testing_support {

struct LoggedMessage {
  int level;
  std::string function;  // the signature text
  std::string format;    // the format as passed
  std::string text;      // the formatted message
  int reserved1;
  int reserved2;
};

class CaptureLogWriter : public CLogWriterInterface {
 public:
  explicit CaptureLogWriter(int level) : level_(level) {}

  void logMessage(int level, const char* function, int line, int reserved1, int reserved2,
                  const char* format, ...) override __attribute__((format(printf, 7, 8)));
  int getLogLevel() override {
    level_queries_.fetch_add(1, std::memory_order_relaxed);
    return level_.load(std::memory_order_relaxed);
  }

  void set_level(int level) { level_.store(level, std::memory_order_relaxed); }
  std::vector<LoggedMessage> messages() const;
  std::vector<std::string> texts() const;  // formatted texts only
  void clear();
  long level_queries() const { return level_queries_.load(); }

 private:
  std::atomic<int> level_;
  std::atomic<long> level_queries_{0};
  mutable std::mutex mutex_;
  std::vector<LoggedMessage> messages_;
};

// Installs a CaptureLogWriter in g_ptrLogWriter for the lifetime of the
// object and removes it afterwards.
class ScopedCaptureLog {
 public:
  explicit ScopedCaptureLog(int level = 10) : writer_(boost::make_shared<CaptureLogWriter>(level)) {
    g_ptrLogWriter = writer_;
  }
  ~ScopedCaptureLog() { g_ptrLogWriter.reset(); }
  CaptureLogWriter& operator*() const { return *writer_; }
  CaptureLogWriter* operator->() const { return writer_.get(); }

 private:
  boost::shared_ptr<CaptureLogWriter> writer_;
};

}  // namespace testing_support

#endif  // OBJSTORE_TESTS_SUPPORT_CAPTURE_LOG_WRITER_H_
