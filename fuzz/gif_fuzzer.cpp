// GIF reading (every frame), rendering of the first frame, and writing the
// result again.
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/gif.h"

namespace {

// Screens of more than 2^22 pixels are legal but make every run allocate and
// fill up to the pixel budget; skipping them keeps the fuzzer fast.
bool HugeScreen(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return false;
  const std::size_t at = (data[0] | 0x20) == 'g' ? 6 : 10;
  if (size < at + 4) return false;
  const std::uint32_t w = data[at] | data[at + 1] << 8, h = data[at + 2] | data[at + 3] << 8;
  return std::uint64_t{w} * h > (1u << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (HugeScreen(data, size)) return 0;
  try {
    skalo::TMemoryStream in(std::vector<std::uint8_t>(data, data + size));
    skalo::TGIFImage gif;
    gif.LoadFromStream(in);
    // Large frames (legal, within the pixel budget) would make the writer
    // dominate every run.
    std::uint64_t pixels = 0;
    for (const skalo::TGIFSubImage& frame : gif.Images())
      pixels += frame.pixels.size();
    if (pixels > (1u << 22)) return 0;
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
