// TIFF reader: header, directory, strips, every decoder and the conversion
// into a raster.
#include <cstdint>
#include <span>

#include "imaging/bitmap.h"
#include "imaging/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    skalo::TBitmap raster;
    skalo::DecodeTiff(std::span<const std::uint8_t>(data, size), raster);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
