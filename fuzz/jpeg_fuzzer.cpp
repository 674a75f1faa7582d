// JPEG files: header read at load, decoding, and the embedded-stream decoder
// used by TIFF, with the first bytes taken as the tables-only stream.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"

namespace {

// Decoding is skipped above this many pixels to keep runs fast.
constexpr std::int64_t kMaxFuzzPixels = std::int64_t{1} << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    skalo::TJPEGImage jpeg;
    jpeg.LoadFromBytes({bytes.begin(), bytes.end()});
    if (std::int64_t{jpeg.Width()} * jpeg.Height() <= kMaxFuzzPixels) {
      skalo::TBitmap bitmap;
      jpeg.AssignTo(bitmap);
      if (bitmap.Width() <= 64 && bitmap.Height() <= 64) {
        skalo::TJPEGImage encoder;
        encoder.Assign(bitmap);
        encoder.SetCompressionQuality(size > 0 ? data[0] : 0);
        encoder.Compress();
      }
    }
  } catch (const skalo::Exception&) {
  }
  try {
    // The first byte splits the input into tables and stream.
    const std::size_t split = size > 0 ? std::min<std::size_t>(data[0], size - 1) : 0;
    const auto tables = bytes.subspan(std::min<std::size_t>(1, size), split);
    const auto stream = bytes.subspan(std::min<std::size_t>(1, size) + split);
    skalo::TJPEGImage probe;
    probe.LoadFromBytes({stream.begin(), stream.end()});
    if (std::int64_t{probe.Width()} * probe.Height() <= kMaxFuzzPixels) {
      skalo::TBitmap bitmap;
      skalo::DecodeJpegToBitmap(tables, stream, bitmap, size > 1 && (data[1] & 1) != 0);
    }
  } catch (const skalo::Exception&) {
  }
  return 0;
}
