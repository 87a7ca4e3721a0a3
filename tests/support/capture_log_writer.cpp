#include "tests/support/capture_log_writer.h"

#include <cstdarg>
#include <cstdio>

namespace testing_support {

void CaptureLogWriter::logMessage(int level, const char* function, int /*line*/, int reserved1,
                                  int reserved2, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
  if (needed > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
  va_end(args);

  std::lock_guard<std::mutex> guard(mutex_);
  messages_.push_back(
      {level, function != nullptr ? function : "", format, text, reserved1, reserved2});
}

std::vector<LoggedMessage> CaptureLogWriter::messages() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_;
}

std::vector<std::string> CaptureLogWriter::texts() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> out;
  for (const LoggedMessage& m : messages_) out.push_back(m.text);
  return out;
}

void CaptureLogWriter::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  messages_.clear();
}

}  // namespace testing_support
