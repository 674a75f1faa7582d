// JPEG segment walk: the input is a JPEG file's head. Whatever the walk
// stores must build a header of well-formed segments, and carrying it into
// a small JPEG must give a result whose own walk finds the same EXIF slot.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "metadata/img_data.h"

namespace {

const std::vector<std::uint8_t>& Picture() {
  static const std::vector<std::uint8_t> bytes = [] {
    skalo::TBitmap bitmap;
    bitmap.SetPixelFormat(skalo::TPixelFormat::Bgr24);
    bitmap.SetSize(8, 8);
    skalo::TJPEGImage jpeg;
    jpeg.Assign(bitmap);
    jpeg.Compress();
    return jpeg.Data();
  }();
  return bytes;
}

// Every segment of the header is 0xFF, a marker and as many bytes as its
// length field says.
void CheckHeader(const std::vector<std::uint8_t>& header) {
  if (header.size() < 2 || header[0] != 0xFF || header[1] != 0xD8) std::abort();
  std::size_t p = 2;
  while (p < header.size()) {
    if (header.size() - p < 4 || header[p] != 0xFF) std::abort();
    const std::size_t length = std::size_t{header[p + 2]} << 8 | header[p + 3];
    if (length < 2 || header.size() - p - 2 < length) std::abort();
    p += 2 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  skalo::TimgData meta;
  meta.ScanJpegData(std::span<const std::uint8_t>(data, size));
  CheckHeader(meta.BuildHeader());
  if (meta.HasExif()) {
    (void)meta.ExifInfo()->SummaryText();
    (void)meta.ExifInfo()->XmlLines(2);
    skalo::TJPEGImage jpeg;
    jpeg.LoadFromBytes(Picture());
    meta.InjectExif(jpeg, true);
    skalo::TimgData again;
    again.ScanJpegData(jpeg.Data());
    if (!again.HasExif() || again.ExifSlot()->Data != meta.ExifSlot()->Data) std::abort();
  }
  return 0;
}
