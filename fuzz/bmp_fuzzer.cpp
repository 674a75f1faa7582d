// BMP reading of every variant, and writing the raster again. The pixel
// limit replaces any size filter: huge declared sizes must be refused by the
// decoder itself.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TBitmap bitmap;
    skalo::TImageLimits limits;
    limits.max_pixels = 16'000'000;
    bitmap.SetLimits(limits);
    skalo::LoadBmp(in, bitmap);
    skalo::TMemoryStream out;
    skalo::SaveBmp(bitmap, out);
    bitmap.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
