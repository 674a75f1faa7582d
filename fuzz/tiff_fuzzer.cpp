// TIFF reader: header, directory, strips and tiles, every decoder and the
// conversion into a raster. The pixel limit replaces any size filter: huge
// declared sizes, strips and tiles that claim more than their bytes hold, and
// tiles far larger than the picture must be refused by the reader itself.
#include <cstdint>
#include <vector>

#include "imaging/framework.h"
#include "imaging/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TTIFFGraphic tiff;
    skalo::TImageLimits limits;
    limits.max_pixels = 16'000'000;
    tiff.SetLimits(limits);
    tiff.LoadFromStream(in);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
