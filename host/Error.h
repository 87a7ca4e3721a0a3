// The platform's error object and its helpers.
//
// CWyError is passed and returned by value. Its code is 0 for success and
// negative for an error; everything else (the message, the system error
// number, where the error was raised) lives in an FXErrorPrivate record that
// copies share, so copying an error is cheap and never allocates.
#ifndef OBJSTORE_HOST_ERROR_H_
#define OBJSTORE_HOST_ERROR_H_

#include <climits>
#include <string>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"

// Where an error was raised: the source file name, the raising function's
// signature text and the source line. Holds the pointers only; an error built
// from it copies the texts.
struct FXCodeLocation {
  FXCodeLocation(const char* file, const char* function, int line)
      : file(file), function(function), line(line) {}

  const char* file;
  const char* function;
  int line;
};

// The details of one error. Immutable once built, so copies of a CWyError can
// share it from any number of threads.
struct FXErrorPrivate {
  int errnum = 0;       // the system error number the error was built from
  std::string message;  // the formatted message
  std::string file;
  std::string function;
  int line = 0;
};

class OBJSTORE_API CWyError {
 public:
  // The code of an error whose system error number has no negative form
  // (zero or negative numbers): still an error, never mistaken for success.
  static constexpr int kUnknownErrorCode = INT_MIN;

  // Success: code 0, no details.
  CWyError() : code_(0) {}
  CWyError(int code, boost::shared_ptr<const FXErrorPrivate> details)
      : code_(code), details_(std::move(details)) {}

  static CWyError Success() { return CWyError(); }

  // The sign of the code, nothing else.
  bool IsError() const { return code_ < 0; }
  int GetErrorCode() const { return code_; }

  // The formatted message; empty for success.
  std::string GetErrorMessage() const;
  // Where the error was raised; empty texts and line 0 for success.
  std::string GetSourceFile() const;
  std::string GetFunction() const;
  int GetLine() const;

  // The shared record, or null for success.
  const FXErrorPrivate* GetDetails() const { return details_.get(); }

 private:
  int code_;
  boost::shared_ptr<const FXErrorPrivate> details_;
};

class OBJSTORE_API FXErrorUtil {
 public:
  // An error for the system error number `errnum`, carrying the printf-style
  // message and the location. Its code is -errnum (kUnknownErrorCode when
  // errnum is not positive); GetErrNo gives errnum back.
  static CWyError ErrorErrNo(const FXCodeLocation& location, int errnum, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // The system error number an error carries; 0 for success.
  static int GetErrNo(const CWyError& error);
};

#endif  // OBJSTORE_HOST_ERROR_H_
