// Targa reading, and writing the raster again. The pixel limit replaces any
// size filter: huge declared sizes must be refused by the decoder itself.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/targa.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TTargaGraphic targa;
    skalo::TImageLimits limits;
    limits.max_pixels = 16'000'000;
    targa.SetLimits(limits);
    targa.LoadFromStream(in);
    skalo::TMemoryStream out;
    targa.SaveToStream(out);
    targa.SetPixelFormat(skalo::TPixelFormat::Bgr24);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
