// EXIF directories: the input (a TIFF header and directories) is read once
// as a TIFF file and once as the TIFF part of an APP1 EXIF segment; both parses are
// rendered as text and XML, and the segment is carried into a small JPEG,
// which must stay a JPEG that scans again.
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

void Render(const skalo::TimgData& data) {
  if (!data.HasExif()) return;
  (void)data.ExifInfo()->SummaryText();
  (void)data.ExifInfo()->XmlLines(2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);

  skalo::TimgData tiff;
  tiff.ScanTiffData(bytes);
  Render(tiff);

  // SOI, APP1 "Exif\0\0" + input (cut to fit one segment), SOS header.
  const std::size_t n = size < 65527 ? size : 65527;
  const std::size_t length = n + 8;
  std::vector<std::uint8_t> file = {0xFF,
                                    0xD8,
                                    0xFF,
                                    0xE1,
                                    static_cast<std::uint8_t>(length >> 8),
                                    static_cast<std::uint8_t>(length),
                                    'E',
                                    'x',
                                    'i',
                                    'f',
                                    0,
                                    0};
  file.insert(file.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  file.insert(file.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 63, 0});
  skalo::TimgData jpeg_data;
  jpeg_data.ScanJpegData(file);
  Render(jpeg_data);
  if (!jpeg_data.HasExif()) return 0;

  skalo::TJPEGImage jpeg;
  jpeg.LoadFromBytes(Picture());
  jpeg_data.InjectExif(jpeg, true);
  const auto& result = jpeg.Data();
  if (result.size() < 4 || result[0] != 0xFF || result[1] != 0xD8 || result[3] != 0xE1)
    std::abort();
  skalo::TimgData again;
  again.ScanJpegData(result);
  if (!again.HasExif()) std::abort();
  return 0;
}
