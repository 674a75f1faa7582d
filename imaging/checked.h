// Checked size arithmetic and the allocation cap shared by the raster and
// every codec. Any size that comes from a file goes through these helpers
// before it is used to allocate: Linux overcommits memory, so an unchecked
// "width * height * bpp" taken from a tiny hostile header would not fail at
// the allocation but later, when the pages are touched and the server dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "imaging/framework.h"

namespace skalo {

// The largest pixel store or codec buffer the service allocates: 1 GiB.
inline constexpr std::uint64_t kMaxPixelStoreBytes = std::uint64_t{1} << 30;

// Message of EOutOfResources, the failure for a refused or failed allocation.
inline constexpr char kOutOfResourcesText[] = "Out of system resources";

// out := a * b. Answers false (out unspecified) when the product overflows T.
template <typename T>
[[nodiscard]] constexpr bool CheckedMul(T a, T b, T& out) noexcept {
  static_assert(std::is_integral_v<T>);
  return !__builtin_mul_overflow(a, b, &out);
}

// out := a + b. Answers false (out unspecified) when the sum overflows T.
template <typename T>
[[nodiscard]] constexpr bool CheckedAdd(T a, T b, T& out) noexcept {
  static_assert(std::is_integral_v<T>);
  return !__builtin_add_overflow(a, b, &out);
}

// Throws EOutOfResources ("Out of system resources").
[[noreturn]] void ThrowOutOfResources();

// a * b, or EOutOfResources when the product overflows 64 bits.
std::uint64_t MulOrThrow(std::uint64_t a, std::uint64_t b);
// a + b, or EOutOfResources when the sum overflows 64 bits.
std::uint64_t AddOrThrow(std::uint64_t a, std::uint64_t b);

// Throws EOutOfResources unless `bytes` is at most kMaxPixelStoreBytes.
// Codecs call it with every buffer size they derive from a file.
void CheckAllocation(std::uint64_t bytes);

// Bytes of one raster row: `width` pixels of `bits_per_pixel` bits, padded to
// a multiple of 4 bytes, i.e. ((width * bits + 31) div 32) * 4. False when
// the computation overflows.
[[nodiscard]] bool RowBytes(std::uint64_t width, unsigned bits_per_pixel,
                            std::uint64_t& out) noexcept;

// Bytes of a whole store of `height` such rows, checked against the cap:
// throws EOutOfResources when it overflows or exceeds kMaxPixelStoreBytes.
std::size_t PixelStoreBytes(std::uint64_t width, std::uint64_t height, unsigned bits_per_pixel);

}  // namespace skalo
