#include "host/Error.h"

#include <cstdarg>
#include <cstdio>

#include <boost/make_shared.hpp>

namespace {

std::string formatMessage(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

}  // namespace

std::string CWyError::GetErrorMessage() const {
  return details_ ? details_->message : std::string();
}

std::string CWyError::GetSourceFile() const { return details_ ? details_->file : std::string(); }

std::string CWyError::GetFunction() const { return details_ ? details_->function : std::string(); }

int CWyError::GetLine() const { return details_ ? details_->line : 0; }

CWyError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errnum, const char* format,
                                 ...) {
  boost::shared_ptr<FXErrorPrivate> details = boost::make_shared<FXErrorPrivate>();
  details->errnum = errnum;
  va_list args;
  va_start(args, format);
  details->message = formatMessage(format, args);
  va_end(args);
  details->file = location.file != nullptr ? location.file : "";
  details->function = location.function != nullptr ? location.function : "";
  details->line = location.line;
  // An error must never read as success, whatever number it was built from.
  const int code = errnum > 0 ? -errnum : CWyError::kUnknownErrorCode;
  return CWyError(code, std::move(details));
}

int FXErrorUtil::GetErrNo(const CWyError& error) {
  if (const FXErrorPrivate* details = error.GetDetails()) return details->errnum;
  // An error built from a bare code: the code is the negated number.
  const int code = error.GetErrorCode();
  return code < 0 && code != CWyError::kUnknownErrorCode ? -code : 0;
}
