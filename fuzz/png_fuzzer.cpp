// PNG files: the chunk walk, then inflate and row decoding twice (streamed
// through DecodeRows, then into a raster through AssignTo), which must agree
// on the rows or the failure, then writing the decoded raster again. Chunk
// CRCs are repaired first (when the input's last byte is even), so that
// mutations reach the code behind the CRC check. When the third byte from the
// end is odd, transparency is composited over a backdrop made from it (set
// before loading, as the engine does). The pixel limit replaces any size
// filter: huge declared sizes must be refused by the decoder itself.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/byte_reader.h"
#include "imaging/png.h"
#include "imaging/rows.h"

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
    if (size > 2 && data[size - 3] % 2 == 1) {
      const std::uint8_t b = data[size - 3];
      png.SetBackdrop(
          skalo::MakeColor(b, static_cast<std::uint8_t>(~b), static_cast<std::uint8_t>(b * 5)));
    }
    png.LoadFromBuffer(file);
    skalo::TBitmap streamed;
    std::string failure;
    try {
      skalo::TRasterConsumer consumer(streamed);
      png.DecodeRows(consumer);
    } catch (const skalo::Exception& e) {
      failure = e.Message();
    }
    skalo::TBitmap bitmap;
    try {
      png.AssignTo(bitmap);
    } catch (const skalo::Exception& e) {
      if (e.Message() != failure) std::abort();
      throw;
    }
    if (!failure.empty() || streamed.Height() != bitmap.Height() ||
        streamed.BytesPerRow() != bitmap.BytesPerRow())
      std::abort();
    for (int y = 0; y < bitmap.Height(); ++y)
      if (std::memcmp(streamed.ConstRow(y), bitmap.ConstRow(y), bitmap.BytesPerRow()) != 0)
        std::abort();
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
