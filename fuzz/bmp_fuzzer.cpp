// BMP reading of every variant, and writing the raster again.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/bmp.h"

namespace {

// Rasters of more than 2^22 pixels are legal but slow every run down (the
// reader's own limit is checked by the tests); skip them.
bool HugeRaster(const std::uint8_t* data, std::size_t size) {
  if (size < 26) return false;
  auto i32 = [&](std::size_t at) {
    return static_cast<std::int32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                     std::uint32_t{data[at + 3]} << 24);
  };
  const bool core = data[14] == 12;
  const std::int64_t w = core ? data[18] | data[19] << 8 : i32(18);
  const std::int64_t h = core ? data[20] | data[21] << 8 : i32(22);
  return std::abs(w) * std::abs(h) > (1 << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (HugeRaster(data, size)) return 0;
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TBitmap bitmap;
    skalo::LoadBmp(in, bitmap);
    skalo::TMemoryStream out;
    skalo::SaveBmp(bitmap, out);
    bitmap.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
