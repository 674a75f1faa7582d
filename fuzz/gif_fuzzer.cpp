// GIF reading (the first frame decoded, the rest walked over), rendering of
// that frame, and writing the result again. The pixel limit replaces any
// size filter: huge declared sizes must be refused by the decoder itself.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TGIFImage gif;
    skalo::TImageLimits limits;
    limits.max_pixels = 16'000'000;
    gif.SetLimits(limits);
    gif.LoadFromStream(in);
    skalo::TMemoryStream out;
    try {
      gif.SaveToStream(out);
    } catch (const skalo::Exception&) {
    }
    skalo::TBitmap bitmap;
    gif.AssignTo(bitmap);
    gif.Assign(bitmap);
    gif.SaveToStream(out);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
