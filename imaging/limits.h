// Limits handed to every decoder before it reads a file. A decoder checks the
// declared picture size against them right after the header, before any pixel
// buffer exists, so that a tiny file that claims a huge picture costs nothing.
#pragma once

#include <cstdint>
#include <functional>

#include "base/errors.h"
#include "base/files.h"

namespace skalo {

// A source beyond the limits: its declared size, its file size, or a part of
// it (a strip, a frame) that claims more than the picture can hold.
SKALO_DECLARE_EXCEPTION(ESourceTooLarge, Exception);
inline constexpr char kSourceTooLargeText[] = "Source image too large";

// The default pixel limit of a source: 100 megapixels.
inline constexpr std::uint64_t kDefaultMaxSourcePixels = 100'000'000;

struct TImageLimits {
  // Largest declared width x height of a source picture.
  std::uint64_t max_pixels = kDefaultMaxSourcePixels;
  // Largest source file LoadFromFile reads.
  std::uint64_t max_file_bytes = kMaxReadFileBytes;
  // Called by CheckDeclared after the pixel limit passed, before the decoder
  // allocates for the picture; may throw to refuse it (a memory budget that
  // cannot be met). May be called more than once per file with the same size.
  std::function<void(std::uint32_t width, std::uint32_t height)> on_size;

  // Throws ESourceTooLarge when width x height exceeds max_pixels, then calls
  // on_size. Decoders call it once they know the size, before allocating.
  void CheckDeclared(std::uint64_t width, std::uint64_t height) const {
    if (width != 0 && height > max_pixels / width) throw ESourceTooLarge(kSourceTooLargeText);
    if (width > UINT32_MAX || height > UINT32_MAX) throw ESourceTooLarge(kSourceTooLargeText);
    if (on_size) on_size(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  }
};

}  // namespace skalo
