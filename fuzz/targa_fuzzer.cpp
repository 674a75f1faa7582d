// Targa reading, and writing the raster again.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/targa.h"

namespace {

// Rasters of more than 2^22 pixels are legal but slow every run down; skip.
bool HugeRaster(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return false;
  const std::uint32_t w = data[12] | data[13] << 8, h = data[14] | data[15] << 8;
  return std::uint64_t{w} * h > (1u << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (HugeRaster(data, size)) return 0;
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TTargaGraphic targa;
    targa.LoadFromStream(in);
    skalo::TMemoryStream out;
    targa.SaveToStream(out);
    targa.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
