// PNG files: the chunk walk, inflate and row decoding, then writing the
// decoded raster again. Chunk CRCs are repaired first (when the input's last
// byte is even), so that mutations reach the code behind the CRC check. The
// pixel limit replaces any size filter: huge declared sizes must be refused
// by the decoder itself.
#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/byte_reader.h"
#include "imaging/png.h"

namespace {

// Rewrites the CRC of every complete chunk after the signature.
void RepairCrcs(std::vector<std::uint8_t>& file) {
  skalo::ByteReader in(file);
  try {
    in.skip(8);
    while (in.remaining() >= 12) {
      const std::size_t start = in.offset();
      const std::uint32_t length = in.u32be();
      in.skip(4);
      in.skip(length);
      const std::size_t crc_at = in.offset();
      in.skip(4);
      uLong crc = crc32(0L, file.data() + start + 4, 4);
      if (length > 0) crc = crc32(crc, file.data() + start + 8, static_cast<uInt>(length));
      for (int i = 0; i < 4; ++i)
        file[crc_at + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
  } catch (const skalo::EEndOfData&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size > 0 && data[size - 1] % 2 == 0) RepairCrcs(file);
  try {
    skalo::TPNGObject png;
    skalo::TImageLimits limits;
    limits.max_pixels = 16'000'000;
    png.SetLimits(limits);
    png.LoadFromBytes(file);
    skalo::TBitmap bitmap;
    png.AssignTo(bitmap);
    skalo::TPNGObject encoder;
    encoder.Assign(bitmap);
    encoder.SetCompressionLevel(size > 1 ? data[size - 2] : 0);
    skalo::TMemoryStream out;
    encoder.SaveToStream(out);
    png.SaveToStream(out);
  } catch (const skalo::Exception&) {
  }
  return 0;
}
