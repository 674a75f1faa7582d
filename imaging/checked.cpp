#include "imaging/checked.h"

namespace skalo {

void ThrowOutOfResources() {
  throw EOutOfResources(kOutOfResourcesText);
}

std::uint64_t MulOrThrow(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (!CheckedMul(a, b, out)) ThrowOutOfResources();
  return out;
}

std::uint64_t AddOrThrow(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  if (!CheckedAdd(a, b, out)) ThrowOutOfResources();
  return out;
}

void CheckAllocation(std::uint64_t bytes) {
  if (bytes > kMaxPixelStoreBytes) ThrowOutOfResources();
}

bool RowBytes(std::uint64_t width, unsigned bits_per_pixel, std::uint64_t& out) noexcept {
  std::uint64_t bits = 0;
  if (!CheckedMul<std::uint64_t>(width, bits_per_pixel, bits)) return false;
  if (!CheckedAdd<std::uint64_t>(bits, 31, bits)) return false;
  out = bits / 32 * 4;
  return true;
}

std::size_t PixelStoreBytes(std::uint64_t width, std::uint64_t height, unsigned bits_per_pixel) {
  std::uint64_t row = 0;
  if (!RowBytes(width, bits_per_pixel, row)) ThrowOutOfResources();
  const std::uint64_t total = MulOrThrow(row, height);
  CheckAllocation(total);
  return static_cast<std::size_t>(total);
}

}  // namespace skalo
