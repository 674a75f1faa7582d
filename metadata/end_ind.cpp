#include "metadata/end_ind.h"

namespace skalo {

ByteReader tEndInd::ReaderAt(std::int64_t offset) const {
  if (offset < 0 || static_cast<std::uint64_t>(offset) > buffer_.size())
    throw EEndOfData(kEndOfDataText);
  ByteReader reader(buffer_);
  reader.seek(static_cast<std::size_t>(offset));
  return reader;
}

std::uint16_t tEndInd::GetU16(std::int64_t offset) const {
  ByteReader reader = ReaderAt(offset);
  return big_endian_ ? reader.u16be() : reader.u16le();
}

std::uint32_t tEndInd::GetU32(std::int64_t offset) const {
  ByteReader reader = ReaderAt(offset);
  return big_endian_ ? reader.u32be() : reader.u32le();
}

std::span<const std::uint8_t> tEndInd::BlockBytes(std::int64_t offset, std::uint64_t length) const {
  if (length == 0) return {};
  if (offset < 0 || static_cast<std::uint64_t>(offset) >= buffer_.size())
    throw EExifError("Value outside the EXIF block");
  const std::size_t start = static_cast<std::size_t>(offset);
  const std::size_t available = buffer_.size() - start;
  const std::size_t n = length < available ? static_cast<std::size_t>(length) : available;
  return std::span<const std::uint8_t>(buffer_).subspan(start, n);
}

namespace {

bool Fits(std::span<std::uint8_t> block, std::int64_t offset, std::size_t n) noexcept {
  return offset >= 0 && static_cast<std::uint64_t>(offset) <= block.size() &&
         block.size() - static_cast<std::size_t>(offset) >= n;
}

void Put(std::span<std::uint8_t> out, std::uint32_t value, bool big_endian) noexcept {
  const std::size_t n = out.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t shift = 8 * (big_endian ? n - 1 - i : i);
    out[i] = static_cast<std::uint8_t>(value >> shift);
  }
}

}  // namespace

bool PutU16(std::span<std::uint8_t> block, std::int64_t offset, std::uint16_t value,
            bool big_endian) noexcept {
  if (!Fits(block, offset, 2)) return false;
  Put(block.subspan(static_cast<std::size_t>(offset), 2), value, big_endian);
  return true;
}

bool PutU32(std::span<std::uint8_t> block, std::int64_t offset, std::uint32_t value,
            bool big_endian) noexcept {
  if (!Fits(block, offset, 4)) return false;
  Put(block.subspan(static_cast<std::size_t>(offset), 4), value, big_endian);
  return true;
}

}  // namespace skalo
