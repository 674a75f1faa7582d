// Small framework shared by every subsystem: the exception hierarchy that
// carries the system's message texts, and byte streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// A store or buffer that cannot (or must not) be allocated.
SKALO_DECLARE_EXCEPTION(EOutOfResources, Exception);
// An integer division by zero, raised instead of dividing ("Division by zero").
SKALO_DECLARE_EXCEPTION(EDivByZero, Exception);

// Text of the system's error for errno `err`, as used in file messages.
std::string SysErrorMessage(int err);

// A seekable byte stream. Reads and writes move the position.
class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to `count` bytes; answers how many were read (0 at the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all `count` bytes or throws EStreamError.
  virtual void Write(const void* buffer, std::size_t count) = 0;
  virtual std::uint64_t Size() const = 0;
  virtual std::uint64_t Position() const = 0;
  virtual void SetPosition(std::uint64_t pos) = 0;

  void WriteBytes(std::span<const std::uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
};

// A stream over a growable block of memory.
class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::uint64_t Size() const override { return data_.size(); }
  std::uint64_t Position() const override { return pos_; }
  void SetPosition(std::uint64_t pos) override;

  const std::vector<std::uint8_t>& Bytes() const noexcept { return data_; }
  std::vector<std::uint8_t> TakeBytes() noexcept;
  void Clear() noexcept;

 private:
  std::vector<std::uint8_t> data_;
  std::size_t pos_ = 0;
};

// Whole-file helpers with the system's messages: "Cannot open file ..." (EFOpenError)
// and "Cannot create file ..." (EFCreateError).
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
// `shown_name`, when not empty, is the file name the messages give instead of `path`.
void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const std::string& shown_name = std::string());

// Comparison without regard to the letter case of A to Z.
bool SameText(std::string_view a, std::string_view b);
// Lower-cases the letters A to Z only; every other byte stays.
std::string LowerCaseAscii(std::string_view text);

// Escapes &, <, > and " for HTML and XML text; other text stays as it is.
std::string HtmlEscape(std::string_view text);

// Path parts. "/", backslash and ":" all separate folders from the file name.
// The file name part: the text after the last separator.
std::string ExtractFileName(const std::string& path);
// The extension: from the last "." after the last separator, dot included;
// empty when there is none.
std::string ExtractFileExt(const std::string& path);

// True when a regular file (not a folder) exists at `path`.
bool FileExists(const std::string& path);
// True when a folder exists at `path`.
bool DirectoryExists(const std::string& path);

}  // namespace skalo
