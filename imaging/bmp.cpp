#include "imaging/bmp.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"

namespace skalo {

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;

// Compression values of the information header.
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::uint32_t kBiRle4 = 2;
constexpr std::uint32_t kBiBitFields = 3;

// Most pixels a byte of run-length data may stand for (8 x 255 / 2), and
// the pixels any run-length file may declare beyond that (a 256 x 256
// picture); see LoadBmp.
constexpr std::uint64_t kRlePixelsPerByte = 1020;
constexpr std::uint64_t kRleUnbackedPixels = std::uint64_t{1} << 16;

[[noreturn]] void Invalid() {
  throw EGraphicError(kBmpInvalidText);
}

struct Header {
  std::int64_t width = 0;
  std::int64_t height = 0;  // absolute value
  bool top_down = false;
  int bits = 0;
  std::uint32_t compression = kBiRgb;
  std::uint32_t colors_used = 0;
  bool core = false;  // 12-byte header: colour table entries of 3 bytes
  bool has_masks = false;
  TBitFields masks;
  std::size_t table_offset = 0;  // from the start of the file
};

Header ReadHeader(ByteReader& r) {
  Header h;
  const std::uint32_t header_size = r.u32le();
  if (header_size == kCoreHeaderSize) {
    // BITMAPCOREHEADER: unsigned 16-bit sizes.
    h.core = true;
    h.width = r.u16le();
    h.height = r.u16le();
    if (r.u16le() != 1) Invalid();  // planes
    h.bits = r.u16le();
  } else if (header_size >= kInfoHeaderSize) {
    // BITMAPINFOHEADER and its longer successors (V2 to V5), which put the
    // channel masks right after the first 40 bytes.
    h.width = static_cast<std::int32_t>(r.u32le());
    const std::int32_t height = static_cast<std::int32_t>(r.u32le());
    h.top_down = height < 0;
    h.height = h.top_down ? -std::int64_t{height} : height;
    if (r.u16le() != 1) Invalid();  // planes
    h.bits = r.u16le();
    h.compression = r.u32le();
    r.skip(12);  // image size, resolution
    h.colors_used = r.u32le();
    r.skip(4);  // important colours
    if (h.compression == kBiBitFields) {
      // After a 40-byte header the masks follow it; a longer header holds
      // them at the same place, so both read from here.
      h.has_masks = true;
      h.masks.red = r.u32le();
      h.masks.green = r.u32le();
      h.masks.blue = r.u32le();
    }
  } else {
    Invalid();
  }
  if (h.width < 0) Invalid();
  switch (h.bits) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      Invalid();
  }
  const bool compression_fits = h.compression == kBiRgb ||
                                (h.compression == kBiRle8 && h.bits == 8) ||
                                (h.compression == kBiRle4 && h.bits == 4) ||
                                (h.compression == kBiBitFields && (h.bits == 16 || h.bits == 32));
  if (!compression_fits) Invalid();
  // The colour table follows the header and, after a 40-byte header, the masks.
  h.table_offset = kFileHeaderSize + header_size;
  if (h.has_masks && header_size == kInfoHeaderSize) h.table_offset += 12;
  return h;
}

// The colour table: the number of entries the header names, else the full
// table for the depth; entries beyond 256 are not used. A table that would
// run into the pixels (at a non-zero pixel offset) ends where they start.
TPalette ReadColorTable(const ByteReader& file, const Header& h, std::uint32_t pixel_offset) {
  const std::uint64_t full = std::uint64_t{1} << h.bits;
  const std::uint64_t named = h.colors_used != 0 ? h.colors_used : full;
  std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(named, 256));
  const std::size_t entry = h.core ? 3 : 4;
  if (pixel_offset > h.table_offset && (pixel_offset - h.table_offset) / entry < count)
    count = (pixel_offset - h.table_offset) / entry;
  ByteReader table = file.sub(h.table_offset, count * entry);
  TPalette palette(count);
  for (TPaletteEntry& c : palette) {
    c.blue = table.u8();
    c.green = table.u8();
    c.red = table.u8();
    if (!h.core) table.skip(1);
  }
  return palette;
}

// Run-length data (RLE8 and RLE4) decoded into a white Device raster.
// Commands: a count and a value (a run), or 0 and an escape: 0 end of line,
// 1 end of bitmap, 2 a delta (dx, dy), n >= 3 an absolute run of n pixels
// padded to a 16-bit boundary. Pixels outside the raster are dropped; data
// that ends without an end-of-bitmap code ends the bitmap.
void DecodeRle(ByteReader& r, const Header& h, const TPalette& palette, TBitmap& out) {
  const bool four = h.compression == kBiRle4;
  const std::int64_t width = h.width, height = h.height;
  std::int64_t x = 0, y = 0;  // y counts file rows, bottom-up unless top_down
  std::uint8_t* row = nullptr;
  std::int64_t row_y = -1;
  auto put = [&](std::uint8_t index) {
    if (x < width && y < height) {
      if (row_y != y) {
        row = out.Row(static_cast<int>(h.top_down ? y : height - 1 - y));
        row_y = y;
      }
      const TPaletteEntry c = index < palette.size() ? palette[index] : TPaletteEntry{};
      std::uint8_t* px = row + 3 * static_cast<std::size_t>(x);
      px[0] = c.blue;
      px[1] = c.green;
      px[2] = c.red;
    }
    ++x;
  };

  while (y < height && r.remaining() >= 2) {
    const std::uint8_t count = r.u8();
    const std::uint8_t value = r.u8();
    if (count > 0) {
      for (int i = 0; i < count; ++i)
        put(four ? (i % 2 == 0 ? value >> 4 : value & 0x0F) : value);
      continue;
    }
    if (value == 0) {
      x = 0;
      ++y;
    } else if (value == 1) {
      break;
    } else if (value == 2) {
      x += r.u8();
      y += r.u8();
    } else {
      const std::size_t bytes = four ? (value + 1u) / 2 : value;
      const auto data = r.bytes(bytes);
      for (int i = 0; i < value; ++i)
        put(four ? (i % 2 == 0 ? data[i / 2] >> 4 : data[i / 2] & 0x0F) : data[i]);
      if (bytes % 2 != 0 && !r.at_end()) r.skip(1);
    }
  }
}

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

}  // namespace

void LoadBmp(TStream& stream, TBitmap& bitmap) {
  const std::vector<std::uint8_t> bytes = ReadStreamRest(stream);
  TBitmap out;
  if (bytes.empty()) {
    bitmap.Assign(out);
    return;
  }
  if (bytes.size() < 2 || bytes[0] != 'B' || bytes[1] != 'M') Invalid();
  ByteReader r(bytes);
  r.skip(10);  // signature, file size, reserved
  const std::uint32_t pixel_offset = r.u32le();
  const Header h = ReadHeader(r);
  if (h.height > 0x7FFFFFFF || h.width > 0x7FFFFFFF) Invalid();
  const bool rle = h.compression == kBiRle8 || h.compression == kBiRle4;
  const unsigned raster_bits = rle ? 24 : static_cast<unsigned>(h.bits);
  // Limits before allocation (and before reading a large colour table).
  bitmap.Limits().CheckDeclared(static_cast<std::uint64_t>(h.width),
                                static_cast<std::uint64_t>(h.height));
  PixelStoreBytes(static_cast<std::uint64_t>(h.width), static_cast<std::uint64_t>(h.height),
                  raster_bits);

  TPalette palette;
  if (h.bits <= 8) palette = ReadColorTable(r, h, pixel_offset);

  // A zero pixel offset means the pixels follow the colour table.
  std::size_t data_offset = pixel_offset;
  if (data_offset == 0) data_offset = h.table_offset + palette.size() * (h.core ? 3 : 4);
  if (data_offset > bytes.size()) throw EEndOfData(kEndOfDataText);
  ByteReader data = r.sub(data_offset, bytes.size() - data_offset);

  const int width = static_cast<int>(h.width);
  const int height = static_cast<int>(h.height);
  if (rle) {
    // A run paints at most 255 pixels with 2 bytes (127.5 a byte), but the
    // escapes skip pixels without bound (end of line, delta, end of bitmap,
    // or data that just ends) and skipped pixels stay white: the format
    // lets 2 bytes declare a blank picture of any size, whose raster would
    // cost 3 bytes a pixel that no data backs. Sparse files that skip much
    // of the picture are real, so the data need only be able to paint an
    // eighth of it; small pictures pass whatever their data.
    const std::uint64_t declared =
        static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
    if (declared > kRlePixelsPerByte * data.remaining() + kRleUnbackedPixels)
      throw ESourceTooLarge(kSourceTooLargeText);
    out.SetPixelFormat(TPixelFormat::Device);
    out.SetSize(width, height);  // white
    if (!out.Empty()) DecodeRle(data, h, palette, out);
    bitmap.Assign(out);
    return;
  }

  switch (h.bits) {
    case 1:
      out.SetPixelFormat(TPixelFormat::Indexed1);
      break;
    case 4:
      out.SetPixelFormat(TPixelFormat::Indexed4);
      break;
    case 8:
      out.SetPixelFormat(TPixelFormat::Indexed8);
      break;
    case 16:
      if (h.has_masks)
        out.SetBitFields(16, h.masks);
      else
        out.SetPixelFormat(TPixelFormat::Rgb555);
      break;
    case 24:
      out.SetPixelFormat(TPixelFormat::Bgr24);
      break;
    default:
      if (h.has_masks)
        out.SetBitFields(32, h.masks);
      else
        out.SetPixelFormat(TPixelFormat::Bgrx32);
      break;
  }
  if (h.bits <= 8) out.SetPalette(palette);
  if (width == 0 || height == 0) {
    out.SetSize(width, height);
    bitmap.Assign(out);
    return;
  }

  // File rows have the raster's own layout and padding; the last row may
  // lack its padding.
  std::uint64_t row_bytes = 0;
  if (!RowBytes(h.width, static_cast<unsigned>(h.bits), row_bytes)) ThrowOutOfResources();
  const std::uint64_t last_row = (static_cast<std::uint64_t>(h.width) * h.bits + 7) / 8;
  if (data.remaining() < row_bytes * (h.height - 1) + last_row) throw EEndOfData(kEndOfDataText);
  out.SetSize(width, height);
  for (int i = 0; i < height; ++i) {
    // The raster's row padding stays zero whatever the file holds there.
    const auto src = data.bytes(static_cast<std::size_t>(last_row));
    std::uint8_t* row = out.Row(h.top_down ? i : height - 1 - i);
    std::memcpy(row, src.data(), src.size());
    std::memset(row + src.size(), 0, out.BytesPerRow() - src.size());
    if (i + 1 < height) data.skip(static_cast<std::size_t>(row_bytes - last_row));
  }
  bitmap.Assign(out);
}

void SaveBmp(const TBitmap& bitmap, TStream& stream) {
  const TPixelFormat format = bitmap.PixelFormat();
  const int bits = bitmap.BitsPerPixel();
  std::uint32_t compression = kBiRgb;
  bool masks = false;
  std::size_t table_entries = 0;
  switch (format) {
    case TPixelFormat::Indexed1:
    case TPixelFormat::Indexed4:
    case TPixelFormat::Indexed8:
      table_entries = std::size_t{1} << bits;
      break;
    case TPixelFormat::Rgb565:
    case TPixelFormat::Custom:
      compression = kBiBitFields;
      masks = true;
      break;
    default:
      break;
  }
  const std::uint64_t image_bytes =
      MulOrThrow(bitmap.BytesPerRow(), static_cast<std::uint64_t>(bitmap.Height()));
  const std::uint32_t pixel_offset = static_cast<std::uint32_t>(
      kFileHeaderSize + kInfoHeaderSize + (masks ? 12 : 0) + 4 * table_entries);
  if (image_bytes > 0xFFFFFFFFu - pixel_offset) ThrowOutOfResources();

  std::vector<std::uint8_t> head;
  head.reserve(pixel_offset);
  head.push_back('B');
  head.push_back('M');
  PutU32(head, pixel_offset + static_cast<std::uint32_t>(image_bytes));
  PutU32(head, 0);
  PutU32(head, pixel_offset);
  PutU32(head, kInfoHeaderSize);
  PutU32(head, static_cast<std::uint32_t>(bitmap.Width()));
  PutU32(head, static_cast<std::uint32_t>(bitmap.Height()));
  PutU16(head, 1);
  PutU16(head, static_cast<std::uint32_t>(bits));
  PutU32(head, compression);
  PutU32(head, static_cast<std::uint32_t>(image_bytes));
  PutU32(head, 0);  // resolution
  PutU32(head, 0);
  PutU32(head, 0);  // colours used: the full table
  PutU32(head, 0);  // important colours
  if (masks) {
    const TBitFields m = bitmap.BitFields();
    PutU32(head, m.red);
    PutU32(head, m.green);
    PutU32(head, m.blue);
  }
  const TPalette& palette = bitmap.Palette();
  for (std::size_t i = 0; i < table_entries; ++i) {
    const TPaletteEntry c = i < palette.size() ? palette[i] : TPaletteEntry{};
    head.insert(head.end(), {c.blue, c.green, c.red, 0});
  }
  stream.WriteBytes(head);
  for (int y = bitmap.Height() - 1; y >= 0 && !bitmap.Empty(); --y)
    stream.Write(bitmap.ConstRow(y), bitmap.BytesPerRow());
}

}  // namespace skalo
