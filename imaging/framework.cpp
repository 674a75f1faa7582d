#include "imaging/framework.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace skalo {

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (pos_ >= data_.size()) return 0;
  const std::size_t n = std::min(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  if (data_.size() - pos_ < count) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
}

void TMemoryStream::SetPosition(std::uint64_t pos) {
  pos_ = static_cast<std::size_t>(std::min<std::uint64_t>(pos, data_.size()));
}

std::vector<std::uint8_t> TMemoryStream::TakeBytes() noexcept {
  pos_ = 0;
  return std::move(data_);
}

void TMemoryStream::Clear() noexcept {
  data_.clear();
  pos_ = 0;
}

}  // namespace skalo
