#include "imaging/targa.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"

namespace skalo {

namespace {

constexpr int kMaxPacket = 128;
constexpr std::uint8_t kDescriptorTopLeft = 0x20;

bool SamePixel(const std::uint8_t* a, const std::uint8_t* b, int bytes) {
  return std::memcmp(a, b, static_cast<std::size_t>(bytes)) == 0;
}

// Writes pixels in file order into the raster, turning file rows into raster
// rows by the origin; a packet that passes a row's end goes on in the next.
class PixelSink {
 public:
  PixelSink(TBitmap& out, int bytes_per_pixel, bool top_first)
      : out_(out), bpp_(static_cast<std::size_t>(bytes_per_pixel)), top_first_(top_first) {
    total_ = static_cast<std::uint64_t>(out.Width()) * static_cast<std::uint64_t>(out.Height());
  }

  bool Full() const { return written_ == total_; }

  // Stores `count` pixels: all read from `pixels` (raw), or the first one
  // repeated (run). Pixels beyond the last are dropped.
  void Put(const std::uint8_t* pixels, std::size_t count, bool run) {
    const std::size_t width = static_cast<std::size_t>(out_.Width());
    while (count > 0 && !Full()) {
      const std::size_t x = static_cast<std::size_t>(written_ % width);
      const int file_row = static_cast<int>(written_ / width);
      std::uint8_t* row = out_.Row(top_first_ ? file_row : out_.Height() - 1 - file_row);
      const std::size_t n = std::min(count, width - x);
      if (run) {
        for (std::size_t i = 0; i < n; ++i)
          std::memcpy(row + (x + i) * bpp_, pixels, bpp_);
      } else {
        std::memcpy(row + x * bpp_, pixels, n * bpp_);
        pixels += n * bpp_;
      }
      written_ += n;
      count -= n;
    }
  }

 private:
  TBitmap& out_;
  std::size_t bpp_;
  bool top_first_;
  std::uint64_t total_ = 0;
  std::uint64_t written_ = 0;
};

TPalette GrayPalette() {
  TPalette p(256);
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    p[i] = {v, v, v};
  }
  return p;
}

// Colour map entries (TGA 2.0, field 8): 16-bit entries as 5-5-5 words, each
// component shifted left by three; 24- and 32-bit entries blue, green, red
// (and alpha, ignored).
TPalette ReadColorMap(ByteReader& r, std::size_t length, int entry_bits) {
  const std::size_t entry = static_cast<std::size_t>(entry_bits + 7) / 8;
  ByteReader map(r.bytes(length * entry));
  TPalette palette(std::min<std::size_t>(length, kMaxPaletteEntries));
  for (TPaletteEntry& c : palette) {
    if (entry == 2) {
      const std::uint16_t w = map.u16le();
      c.red = static_cast<std::uint8_t>(((w >> 10) & 0x1F) << 3);
      c.green = static_cast<std::uint8_t>(((w >> 5) & 0x1F) << 3);
      c.blue = static_cast<std::uint8_t>((w & 0x1F) << 3);
    } else {
      c.blue = map.u8();
      c.green = map.u8();
      c.red = map.u8();
      map.skip(entry - 3);
    }
  }
  return palette;
}

void PutU16(std::vector<std::uint8_t>& out, int v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

}  // namespace

void LoadTarga(TStream& stream, TBitmap& bitmap) {
  const std::vector<std::uint8_t> bytes = ReadStreamRest(stream);
  ByteReader r(bytes);
  // Header (TGA 2.0, fields 1 to 5).
  const std::uint8_t id_length = r.u8();
  const std::uint8_t color_map_type = r.u8();
  const std::uint8_t image_type = r.u8();
  r.skip(2);  // first colour map entry: not used
  const std::uint16_t color_map_length = r.u16le();
  const std::uint8_t color_map_bits = r.u8();
  r.skip(4);  // x and y origin
  const int width = r.u16le();
  const int height = r.u16le();
  int depth = r.u8();
  const std::uint8_t descriptor = r.u8();
  r.skip(id_length);

  const int base_type = image_type & ~0x08;
  if (base_type < 1 || base_type > 3) throw ETargaError(kTargaImageTypeText);
  const bool rle = (image_type & 0x08) != 0;
  if (depth == 15) depth = 16;
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32)
    throw ETargaError(kTargaPixelDepthText);
  // Colour-mapped and gray images hold one byte per pixel.
  if (base_type != 2 && depth != 8) throw ETargaError(kTargaPixelDepthText);
  bitmap.Limits().CheckDeclared(static_cast<std::uint64_t>(width),
                                static_cast<std::uint64_t>(height));

  TPalette palette;
  if (color_map_type == 1) {
    if (color_map_bits != 15 && color_map_bits != 16 && color_map_bits != 24 &&
        color_map_bits != 32)
      throw ETargaError(kTargaColorMapText);
    palette = ReadColorMap(r, color_map_length, color_map_bits);
  }

  TBitmap out;
  switch (depth) {
    case 8:
      out.SetPixelFormat(TPixelFormat::Indexed8);
      out.SetPalette(base_type == 3 || color_map_type != 1 ? GrayPalette() : palette);
      break;
    case 16:
      out.SetPixelFormat(TPixelFormat::Rgb555);
      break;
    case 24:
      out.SetPixelFormat(TPixelFormat::Bgr24);
      break;
    default:
      out.SetPixelFormat(TPixelFormat::Bgrx32);
      break;
  }
  const int bpp = depth / 8;
  const std::uint64_t pixels =
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  // Limits before allocation: the raster's size, and data enough to fill it
  // (a packet of at most 128 pixels takes at least 1 + bpp bytes).
  PixelStoreBytes(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                  static_cast<unsigned>(depth));
  const std::uint64_t least_data =
      rle ? (pixels + kMaxPacket - 1) / kMaxPacket * (1 + bpp) : pixels * bpp;
  if (r.remaining() < least_data) throw EEndOfData(kEndOfDataText);

  out.SetSize(width, height);
  if (!out.Empty()) {
    PixelSink sink(out, bpp, (descriptor & kDescriptorTopLeft) != 0);
    if (!rle) {
      sink.Put(r.bytes(static_cast<std::size_t>(pixels) * bpp).data(),
               static_cast<std::size_t>(pixels), false);
    } else {
      while (!sink.Full()) {
        const std::uint8_t packet = r.u8();
        const std::size_t count = (packet & 0x7F) + 1u;
        if (packet & 0x80)
          sink.Put(r.bytes(static_cast<std::size_t>(bpp)).data(), count, true);
        else
          sink.Put(r.bytes(count * bpp).data(), count, false);
      }
    }
  }
  bitmap.Assign(out);
}

void EncodeTargaRow(const std::uint8_t* row, int count, int bytes_per_pixel,
                    std::vector<std::uint8_t>& out) {
  const std::size_t b = static_cast<std::size_t>(bytes_per_pixel);
  auto pixel = [&](int i) { return row + static_cast<std::size_t>(i) * b; };
  int pos = 0;
  while (pos < count) {
    const int left = count - pos;
    // d: pixels before the first that equals its right neighbour, or all
    // but the last when none does. Only the first 128 + 1 pixels matter,
    // since d is limited to 128.
    int d = 1;
    if (left > 1) {
      const int scan = std::min(left - 1, kMaxPacket);
      d = 0;
      while (d < scan && !SamePixel(pixel(pos + d), pixel(pos + d + 1), bytes_per_pixel))
        ++d;
    }
    int r = 1;
    while (r < std::min(left, kMaxPacket) && SamePixel(pixel(pos), pixel(pos + r), bytes_per_pixel))
      ++r;
    d = std::min(d, kMaxPacket);
    if (d > 0) {
      out.push_back(static_cast<std::uint8_t>(d - 1));
      out.insert(out.end(), pixel(pos), pixel(pos + d));
      pos += d;
    } else {
      out.push_back(static_cast<std::uint8_t>(0x80 | (r - 1)));
      out.insert(out.end(), pixel(pos), pixel(pos + 1));
      pos += r;
    }
  }
}

void SaveTarga(const TBitmap& bitmap, TStream& stream) {
  if (bitmap.Empty()) return;
  if (bitmap.Width() > 0xFFFF || bitmap.Height() > 0xFFFF) throw ETargaError(kTargaTooLargeText);

  TBitmap work;
  work.Assign(bitmap);
  switch (bitmap.PixelFormat()) {
    case TPixelFormat::Indexed1:
    case TPixelFormat::Indexed4:
      work.SetPixelFormat(TPixelFormat::Indexed8);
      break;
    case TPixelFormat::Rgb565:
    case TPixelFormat::Custom:
      work.SetPixelFormat(TPixelFormat::Bgr24);
      break;
    default:
      break;
  }
  const int bpp = work.BitsPerPixel() / 8;
  const bool mapped = bpp == 1;

  // Header (TGA 2.0, fields 1 to 5).
  std::vector<std::uint8_t> head;
  head.push_back(0);               // no identification field
  head.push_back(mapped ? 1 : 0);  // colour map type
  head.push_back(mapped ? 9 : 10);
  PutU16(head, 0);     // first colour map entry
  PutU16(head, 256);   // colour map length
  head.push_back(24);  // colour map entry size
  PutU16(head, 0);     // x origin
  PutU16(head, 0);     // y origin
  PutU16(head, work.Width());
  PutU16(head, work.Height());
  head.push_back(static_cast<std::uint8_t>(8 * bpp));
  head.push_back(kDescriptorTopLeft);
  if (mapped) {
    const TPalette& palette = work.Palette();
    for (std::size_t i = 0; i < 256; ++i) {
      const TPaletteEntry c = i < palette.size() ? palette[i] : TPaletteEntry{};
      head.insert(head.end(), {c.blue, c.green, c.red});
    }
  }
  stream.WriteBytes(head);

  std::vector<std::uint8_t> packets;
  for (int y = 0; y < work.Height(); ++y) {
    packets.clear();
    EncodeTargaRow(work.ConstRow(y), work.Width(), bpp, packets);
    stream.WriteBytes(packets);
  }
}

void TTargaGraphic::LoadFromStream(TStream& stream) {
  LoadTarga(stream, *this);
}

void TTargaGraphic::SaveToStream(TStream& stream) {
  SaveTarga(*this, stream);
}

}  // namespace skalo
