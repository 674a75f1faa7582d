// tEndInd: a block of metadata bytes with its byte order, and the position
// readers that all directory code goes through. Every read is bounds-checked
// (through ByteReader): an offset outside the block raises EEndOfData, which
// the directory walks treat as a failure of the directory being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/framework.h"

namespace skalo {

// A structural failure inside an EXIF block (a value outside the block, a
// conversion that a decoder cannot make). Never leaves the metadata
// subsystem: scans turn it into a false result and a status text.
SKALO_DECLARE_EXCEPTION(EExifError, Exception);

class tEndInd {
 public:
  tEndInd() = default;
  virtual ~tEndInd() = default;

  // True for a big-endian ("MM") block, false for little-endian ("II").
  bool BigEndian() const noexcept { return big_endian_; }
  void SetBigEndian(bool value) noexcept { big_endian_ = value; }

  const std::vector<std::uint8_t>& Buffer() const noexcept { return buffer_; }
  void SetBuffer(std::vector<std::uint8_t> bytes) noexcept { buffer_ = std::move(bytes); }
  // Swaps the block with `other` (the maker-note walk borrows the buffer for
  // the note's bytes and gives the block back afterwards).
  void SwapBuffer(std::vector<std::uint8_t>& other) noexcept { buffer_.swap(other); }

  // The 16- and 32-bit values at a 0-based block offset, in the block's byte
  // order. EEndOfData when the bytes do not lie wholly inside the block
  // (negative offsets included).
  std::uint16_t GetU16(std::int64_t offset) const;
  std::uint32_t GetU32(std::int64_t offset) const;

  // Bytes [offset, offset + length) of the block, shortened to what lies
  // inside it; EExifError when `offset` itself is outside the block. An
  // offset equal to the block's size is outside it unless length is 0.
  std::span<const std::uint8_t> BlockBytes(std::int64_t offset, std::uint64_t length) const;

 protected:
  ByteReader ReaderAt(std::int64_t offset) const;

  bool big_endian_ = false;
  std::vector<std::uint8_t> buffer_;
};

// Bounded writes for the dimension rewrite: the value in `big_endian` order
// into bytes [offset, offset + 2) or [offset, offset + 4) of `block`. Answer
// false and write nothing when those bytes do not lie wholly inside it.
bool PutU16(std::span<std::uint8_t> block, std::int64_t offset, std::uint16_t value,
            bool big_endian) noexcept;
bool PutU32(std::span<std::uint8_t> block, std::int64_t offset, std::uint32_t value,
            bool big_endian) noexcept;

}  // namespace skalo
