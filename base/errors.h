// The exception hierarchy every layer raises, carrying the system's message
// texts, and the text of a system error number.
#pragma once

#include <exception>
#include <string>

namespace skalo {

// Base of every failure raised inside the service. The message is the text
// that ends up in error pages, error codes' texts and status reports.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  // Name of the failure's type, as shown by the fallback error page.
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

#define SKALO_DECLARE_EXCEPTION(Name, Base)                           \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

SKALO_DECLARE_EXCEPTION(EStreamError, Exception);
// A file that cannot be opened for reading.
SKALO_DECLARE_EXCEPTION(EFOpenError, EStreamError);
// A file that cannot be created for writing.
SKALO_DECLARE_EXCEPTION(EFCreateError, EStreamError);
// A file larger than its reader allows ("Source image too large").
SKALO_DECLARE_EXCEPTION(EFileTooLarge, EStreamError);
// A store or buffer that cannot (or must not) be allocated.
SKALO_DECLARE_EXCEPTION(EOutOfResources, Exception);
// An integer division by zero, raised instead of dividing ("Division by zero").
SKALO_DECLARE_EXCEPTION(EDivByZero, Exception);

// A failure answered with an HTTP status of its own instead of 500 (a bad
// request, a busy server). `retry_after` seconds, when not 0, go into a
// Retry-After header.
class EHttpError : public Exception {
 public:
  EHttpError(int status, std::string message, int retry_after = 0)
      : Exception(std::move(message)), status_(status), retry_after_(retry_after) {}
  int Status() const noexcept { return status_; }
  int RetryAfter() const noexcept { return retry_after_; }
  const char* ClassName() const noexcept override { return "EHttpError"; }

 private:
  int status_;
  int retry_after_;
};

// Text of the system's error for errno `err`, as used in file messages.
std::string SysErrorMessage(int err);

}  // namespace skalo
