// ByteReader: the one bounds-checked cursor every parser of untrusted bytes
// reads through. It never reads outside its span: a read that would pass the
// end throws EEndOfData ("Premature end of data") and leaves the cursor
// where it was. Bounds are checked as `size - off < n`, which cannot
// overflow because off <= size always holds.
//
// The reader does not own the bytes; the span must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/framework.h"

namespace skalo {

SKALO_DECLARE_EXCEPTION(EEndOfData, Exception);
inline constexpr char kEndOfDataText[] = "Premature end of data";

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  std::size_t size() const noexcept { return data_.size(); }
  // Offset of the next byte to read, 0 <= offset() <= size().
  std::size_t offset() const noexcept { return off_; }
  std::size_t remaining() const noexcept { return data_.size() - off_; }
  bool at_end() const noexcept { return off_ == data_.size(); }

  // Moves the cursor to an absolute offset; offset == size() is allowed.
  void seek(std::size_t offset) {
    if (offset > data_.size()) Fail();
    off_ = offset;
  }
  void skip(std::size_t n) {
    Need(n);
    off_ += n;
  }

  std::uint8_t u8() {
    Need(1);
    return data_[off_++];
  }
  std::uint8_t peek() const {
    Need(1);
    return data_[off_];
  }
  std::uint16_t u16le() {
    Need(2);
    const std::uint16_t v = static_cast<std::uint16_t>(data_[off_] | data_[off_ + 1] << 8);
    off_ += 2;
    return v;
  }
  std::uint16_t u16be() {
    Need(2);
    const std::uint16_t v = static_cast<std::uint16_t>(data_[off_] << 8 | data_[off_ + 1]);
    off_ += 2;
    return v;
  }
  std::uint32_t u32le() {
    Need(4);
    const std::uint32_t v = std::uint32_t{data_[off_]} | std::uint32_t{data_[off_ + 1]} << 8 |
                            std::uint32_t{data_[off_ + 2]} << 16 |
                            std::uint32_t{data_[off_ + 3]} << 24;
    off_ += 4;
    return v;
  }
  std::uint32_t u32be() {
    Need(4);
    const std::uint32_t v = std::uint32_t{data_[off_]} << 24 |
                            std::uint32_t{data_[off_ + 1]} << 16 |
                            std::uint32_t{data_[off_ + 2]} << 8 | std::uint32_t{data_[off_ + 3]};
    off_ += 4;
    return v;
  }

  // The next n bytes, consumed.
  std::span<const std::uint8_t> bytes(std::size_t n) {
    Need(n);
    const auto out = data_.subspan(off_, n);
    off_ += n;
    return out;
  }

  // A reader over [offset, offset + len) of this reader's bytes (absolute
  // offsets, independent of the cursor).
  ByteReader sub(std::size_t offset, std::size_t len) const {
    if (offset > data_.size() || data_.size() - offset < len) Fail();
    return ByteReader(data_.subspan(offset, len));
  }

 private:
  void Need(std::size_t n) const {
    if (data_.size() - off_ < n) Fail();
  }
  [[noreturn]] static void Fail() { throw EEndOfData(kEndOfDataText); }

  std::span<const std::uint8_t> data_;
  std::size_t off_ = 0;
};

// The bytes from the stream's position to its end, for parsing through a
// ByteReader. Throws EOutOfResources for more than kMaxPixelStoreBytes.
std::vector<std::uint8_t> ReadStreamRest(TStream& stream);

}  // namespace skalo
