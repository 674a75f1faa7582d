// JPEG files: header read at load, decoding, and the embedded-stream decoders
// used by TIFF, with the first bytes taken as the tables-only stream. The
// pixel limit replaces any size filter: huge declared sizes must be refused
// by the decoder itself.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"

namespace {

constexpr std::uint64_t kMaxFuzzPixels = 16'000'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  skalo::TImageLimits limits;
  limits.max_pixels = kMaxFuzzPixels;
  try {
    skalo::TJPEGImage jpeg;
    jpeg.SetLimits(limits);
    jpeg.LoadFromBytes({bytes.begin(), bytes.end()});
    skalo::TBitmap bitmap;
    jpeg.AssignTo(bitmap);
    if (bitmap.Width() <= 64 && bitmap.Height() <= 64) {
      skalo::TJPEGImage encoder;
      encoder.Assign(bitmap);
      encoder.SetCompressionQuality(size > 0 ? data[0] : 0);
      encoder.Compress();
    }
  } catch (const skalo::Exception&) {
  }
  try {
    // The first byte splits the input into tables and stream; the second
    // chooses RGB components and a whole or a partial (strip) decode.
    const std::size_t split = size > 0 ? std::min<std::size_t>(data[0], size - 1) : 0;
    const auto tables = bytes.subspan(std::min<std::size_t>(1, size), split);
    const auto stream = bytes.subspan(std::min<std::size_t>(1, size) + split);
    const std::uint8_t mode = size > 1 ? data[1] : 0;
    skalo::TBitmap bitmap;
    if ((mode & 2) == 0) {
      skalo::DecodeJpegToBitmap(tables, stream, bitmap, (mode & 1) != 0, limits);
    } else {
      const std::uint32_t rows = 1u + (mode >> 2);
      skalo::DecodeJpegRows(tables, stream, bitmap, (mode & 1) != 0, rows,
                            [&](const skalo::TJPEGFrame& frame) {
                              if (frame.height < rows) throw skalo::EJPEG("too few rows");
                              limits.CheckDeclared(frame.width, frame.height);
                            });
    }
  } catch (const skalo::Exception&) {
  }
  return 0;
}
