// Byte streams of the imaging layer, with the helpers below every layer
// (exceptions, byte text, files) that the codecs use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"

namespace skalo {

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

}  // namespace skalo
