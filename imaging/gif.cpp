#include "imaging/gif.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "imaging/gif_lzw.h"

namespace skalo {

namespace {

constexpr std::uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr std::uint8_t kImageSeparator = 0x2C;       // ','
constexpr std::uint8_t kTrailer = 0x3B;              // ';'
constexpr std::uint8_t kGraphicControlLabel = 0xF9;

// Pixels a frame may hold beyond what its data can back (a 256 x 256
// frame): damaged small files keep their frame, with the missing pixels in
// the fill index.
constexpr std::uint64_t kUnbackedPixels = std::uint64_t{1} << 16;
// How many times the first frame's pixels the logical screen may hold.
constexpr std::uint64_t kScreenPerFrame = 16;

bool IsSignatureAt(std::span<const std::uint8_t> bytes, std::size_t at) {
  if (bytes.size() < at || bytes.size() - at < 3) return false;
  auto upper = [](std::uint8_t c) { return static_cast<std::uint8_t>(c & ~0x20); };
  return upper(bytes[at]) == 'G' && upper(bytes[at + 1]) == 'I' && upper(bytes[at + 2]) == 'F';
}

TGIFColorMap ReadColorMap(ByteReader& r, std::size_t entries) {
  TGIFColorMap map;
  const auto raw = r.bytes(entries * 3);
  map.colors.resize(entries);
  for (std::size_t i = 0; i < entries; ++i)
    map.colors[i] = {raw[3 * i], raw[3 * i + 1], raw[3 * i + 2]};
  return map;
}

// Reads data sub-blocks up to the block terminator, appending their bytes to
// `out` when given. False when the data ends first.
bool ReadSubBlocks(ByteReader& r, std::vector<std::uint8_t>* out) {
  for (;;) {
    if (r.at_end()) return false;
    const std::uint8_t size = r.u8();
    if (size == 0) return true;
    if (r.remaining() < size) {
      if (out) {
        const auto rest = r.bytes(r.remaining());
        out->insert(out->end(), rest.begin(), rest.end());
      }
      return false;
    }
    const auto block = r.bytes(size);
    if (out) out->insert(out->end(), block.begin(), block.end());
  }
}

// File row k of an interlaced image (GIF89a, appendix E) is image row
// InterlacedRows(height)[k]: rows 0, 8, 16, ..., then 4, 12, ..., then
// 2, 6, ..., then 1, 3, 5, ...
std::vector<std::uint32_t> InterlacedRows(std::uint32_t height) {
  std::vector<std::uint32_t> rows;
  rows.reserve(height);
  constexpr std::uint32_t kStart[4] = {0, 4, 2, 1};
  constexpr std::uint32_t kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (std::uint32_t y = kStart[pass]; y < height; y += kStep[pass])
      rows.push_back(y);
  return rows;
}

// Moves file row k to image row InterlacedRows[k] in place, cycle by cycle,
// with one spare row.
void Deinterlace(std::vector<std::uint8_t>& pixels, std::size_t width, std::uint32_t height) {
  if (width == 0 || height < 2) return;
  const std::vector<std::uint32_t> target = InterlacedRows(height);
  std::vector<bool> done(height);
  std::vector<std::uint8_t> carry(width);
  for (std::uint32_t start = 0; start < height; ++start) {
    if (done[start]) continue;
    std::memcpy(carry.data(), pixels.data() + start * width, width);
    std::uint32_t at = start;
    do {
      const std::uint32_t to = target[at];
      std::swap_ranges(carry.begin(), carry.end(), pixels.begin() + to * width);
      done[to] = true;
      at = to;
    } while (at != start);
  }
}

void PutU16(std::vector<std::uint8_t>& out, int value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// The map's 2^bits entries, the missing ones black.
void PutColorMap(std::vector<std::uint8_t>& out, const TGIFColorMap& map) {
  const std::size_t entries = std::size_t{1} << map.BitsPerPixel();
  for (std::size_t i = 0; i < entries; ++i) {
    const TPaletteEntry c = i < map.colors.size() ? map.colors[i] : TPaletteEntry{};
    out.insert(out.end(), {c.red, c.green, c.blue});
  }
}

}  // namespace

int TGIFColorMap::BitsPerPixel() const noexcept {
  int bits = 1;
  while (bits < 8 && (std::size_t{1} << bits) < colors.size())
    ++bits;
  return bits;
}

const TPalette& WebPalette() {
  static const TPalette palette = [] {
    TPalette p(256);  // entries 216..255 stay black
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b)
          p[36 * r + 6 * g + b] = {static_cast<std::uint8_t>(51 * r),
                                   static_cast<std::uint8_t>(51 * g),
                                   static_cast<std::uint8_t>(51 * b)};
    return p;
  }();
  return palette;
}

void TGIFImage::Clear() {
  screen_width_ = 0;
  screen_height_ = 0;
  background_index_ = 0;
  aspect_ratio_ = 0;
  global_map_ = {};
  frames_.clear();
  warnings_.clear();
}

// ---------------------------------------------------------------- reading

void TGIFImage::LoadFromStream(TStream& stream) {
  Clear();
  const std::vector<std::uint8_t> bytes = ReadStreamRest(stream);

  // GIF89a, section 17. Some containers put four bytes before the header.
  std::size_t start = 0;
  if (!IsSignatureAt(bytes, 0)) {
    if (!IsSignatureAt(bytes, 4)) throw EGIFError(kGifInvalidSignatureText);
    start = 4;
  }

  ByteReader r(bytes);
  try {
    r.seek(start);
    r.skip(6);  // signature and version

    // Logical screen descriptor (section 18): the size of the rendered picture.
    screen_width_ = r.u16le();
    screen_height_ = r.u16le();
    Limits().CheckDeclared(static_cast<std::uint64_t>(screen_width_),
                           static_cast<std::uint64_t>(screen_height_));
    const std::uint8_t packed = r.u8();
    background_index_ = r.u8();
    aspect_ratio_ = r.u8();
    if (packed & 0x80) {
      global_map_ = ReadColorMap(r, std::size_t{2} << (packed & 7));
      global_map_.sorted = (packed & 0x08) != 0;
    }

    std::optional<TGIFGraphicControlExtension> graphic_control;
    for (;;) {
      if (r.at_end()) {
        warnings_.emplace_back(kGifInvalidTrailerText);
        break;
      }
      const std::uint8_t block = r.u8();
      if (block == 0) continue;  // stray padding between blocks
      if (block == kTrailer) break;

      if (block == kExtensionIntroducer) {
        // Section 23 (graphic control); every other extension is skipped.
        if (r.at_end()) {
          warnings_.emplace_back(kGifPrematureEndText);
          break;
        }
        const std::uint8_t label = r.u8();
        const bool wanted = label == kGraphicControlLabel && frames_.empty();
        std::vector<std::uint8_t> data;
        const bool whole = ReadSubBlocks(r, wanted ? &data : nullptr);
        if (!whole) {
          warnings_.emplace_back(kGifPrematureEndText);
          break;
        }
        if (wanted && data.size() >= 4) {
          TGIFGraphicControlExtension gce;
          gce.disposal = (data[0] >> 2) & 7;
          gce.user_input = (data[0] & 0x02) != 0;
          gce.transparent = (data[0] & 0x01) != 0;
          gce.delay = static_cast<std::uint16_t>(data[1] | data[2] << 8);
          gce.transparent_index = data[3];
          graphic_control = gce;
        }
        continue;
      }

      if (block != kImageSeparator) {
        warnings_.emplace_back(kGifUnknownBlockText);
        break;
      }

      if (!frames_.empty()) {
        // Only the first frame is ever rendered: later ones are walked over
        // (descriptor, colour map, data sub-blocks), never decoded.
        r.skip(8);
        const std::uint8_t later_packed = r.u8();
        if (later_packed & 0x80) r.skip(3 * (std::size_t{2} << (later_packed & 7)));
        if (r.at_end()) {
          warnings_.emplace_back(kGifPrematureEndText);
          break;
        }
        r.skip(1);  // LZW minimum code size
        if (!ReadSubBlocks(r, nullptr)) {
          warnings_.emplace_back(kGifPrematureEndText);
          break;
        }
        continue;
      }
      bool whole = true;
      frames_.push_back(ReadFirstFrame(r, std::exchange(graphic_control, std::nullopt), whole));
      if (!whole) break;
    }
  } catch (const EEndOfData&) {
    Clear();
    throw EGIFError(kGifPrematureEndText);
  } catch (...) {
    Clear();
    throw;
  }
}

TGIFSubImage TGIFImage::ReadFirstFrame(ByteReader& r,
                                       std::optional<TGIFGraphicControlExtension> graphic_control,
                                       bool& whole) {
  // Image descriptor (section 20) and local colour map (section 21).
  TGIFSubImage frame;
  frame.left = r.u16le();
  frame.top = r.u16le();
  frame.width = r.u16le();
  frame.height = r.u16le();
  const std::uint8_t image_packed = r.u8();
  frame.interlaced = (image_packed & 0x40) != 0;
  if (image_packed & 0x80) {
    frame.color_map = ReadColorMap(r, std::size_t{2} << (image_packed & 7));
    frame.color_map.sorted = (image_packed & 0x20) != 0;
  }
  frame.graphic_control = std::move(graphic_control);
  if (frame.width == 0 || frame.height == 0) {
    frame.width = screen_width_;
    frame.height = screen_height_;
    warnings_.emplace_back(kGifExceedsScreenText);
  }

  // The frame's indices are held besides the rendered screen, so they meet
  // the pixel limit too. The screen is rendered white around the frame; a
  // screen far larger than its only decoded frame would be memory that no
  // data backs, so it may exceed the frame only kScreenPerFrame times.
  const std::uint64_t pixel_count =
      std::uint64_t(frame.width) * std::uint64_t(frame.height);  // < 2^32
  const std::uint64_t screen_pixels = std::uint64_t(screen_width_) * std::uint64_t(screen_height_);
  if (pixel_count > Limits().max_pixels ||
      screen_pixels > kScreenPerFrame * pixel_count + kUnbackedPixels)
    throw ESourceTooLarge(kSourceTooLargeText);
  CheckAllocation(pixel_count);

  // Table based image data (section 22). A frame without any is refused
  // rather than rendered blank.
  if (r.at_end()) throw EGIFError(kGifPrematureEndText);
  const int min_code_size = r.u8();
  if (min_code_size < kLzwMinCodeSizeLow || min_code_size > kLzwMinCodeSizeHigh)
    throw EGIFError(kGifInvalidCodeSizeText);
  std::vector<std::uint8_t> codes;
  whole = ReadSubBlocks(r, &codes);
  // Pixels that the codes could never decode to were cut off (or never
  // there); beyond a small frame's worth they are not allocated.
  if (codes.empty() || pixel_count > LzwMaxOutput(codes.size(), min_code_size) + kUnbackedPixels)
    throw EGIFError(kGifPrematureEndText);

  // The indices grow with the decoded data: the reserved store is touched
  // only as far as the codes reach. The rest keeps the fill index (the
  // transparent one, else 0).
  frame.pixels.reserve(static_cast<std::size_t>(pixel_count));
  const auto lzw = std::make_unique<LzwDecoder>(min_code_size);  // 16 KiB of tables
  const LzwDecodeResult result =
      lzw->Decode(codes, frame.pixels, static_cast<std::size_t>(pixel_count));
  if (result.status == LzwStatus::BadCode) throw EGIFError(kGifCircularEntryText);
  if (result.written == 0) throw EGIFError(kGifPrematureEndText);
  if (!whole)
    warnings_.emplace_back(kGifPrematureEndText);
  else if (result.status == LzwStatus::OutOfData)
    warnings_.emplace_back(kGifBitBufferUnderrunText);
  const std::uint8_t fill = frame.graphic_control && frame.graphic_control->transparent
                                ? frame.graphic_control->transparent_index
                                : 0;
  frame.pixels.resize(static_cast<std::size_t>(pixel_count), fill);

  if (frame.interlaced)
    Deinterlace(frame.pixels, static_cast<std::size_t>(frame.width),
                static_cast<std::uint32_t>(frame.height));
  return frame;
}

// ---------------------------------------------------------------- conversion

void TGIFImage::AssignTo(TBitmap& dest) {
  if (frames_.empty()) {
    const TBitmap empty;
    dest.Assign(empty);
    return;
  }
  const TGIFSubImage& frame = frames_.front();
  const TGIFColorMap& map = frame.color_map.Empty() ? global_map_ : frame.color_map;
  if (map.Empty()) throw EGIFError(kGifNoColorTableText);

  // With a backdrop the transparent index shows it, and so does the screen
  // around a smaller frame.
  const bool see_through =
      Backdrop() && frame.graphic_control && frame.graphic_control->transparent;
  std::vector<TPaletteEntry> colors = map.colors;
  if (see_through) {
    const std::size_t index = frame.graphic_control->transparent_index;
    if (index >= colors.size()) colors.resize(index + 1);  // missing entries read as black
    colors[index] = {ColorRed(*Backdrop()), ColorGreen(*Backdrop()), ColorBlue(*Backdrop())};
  }

  TBitmap out;
  if (frame.width == screen_width_ && frame.height == screen_height_) {
    out.SetPixelFormat(TPixelFormat::Indexed8);
    out.SetSize(frame.width, frame.height);
    out.SetPalette(std::move(colors));
    const std::size_t w = static_cast<std::size_t>(frame.width);
    for (int y = 0; y < frame.height; ++y)
      std::memcpy(out.Row(y), frame.pixels.data() + static_cast<std::size_t>(y) * w, w);
  } else {
    // A white screen (or the backdrop) with the frame drawn at its place;
    // what lies outside the screen is dropped.
    out.SetPixelFormat(TPixelFormat::Device);
    if (Backdrop()) out.Canvas().Brush().SetColor(*Backdrop());
    out.SetSize(screen_width_, screen_height_);
    const int x0 = std::max(frame.left, 0), x1 = std::min(frame.left + frame.width, screen_width_);
    const int y0 = std::max(frame.top, 0), y1 = std::min(frame.top + frame.height, screen_height_);
    for (int y = y0; y < y1; ++y) {
      std::uint8_t* row = out.Row(y);
      const std::uint8_t* src = frame.pixels.data() +
                                static_cast<std::size_t>(y - frame.top) * frame.width +
                                static_cast<std::size_t>(x0 - frame.left);
      for (int x = x0; x < x1; ++x) {
        const std::uint8_t index = *src++;
        const TPaletteEntry c = index < colors.size() ? colors[index] : TPaletteEntry{};
        std::uint8_t* px = row + 3 * static_cast<std::size_t>(x);
        px[0] = c.blue;
        px[1] = c.green;
        px[2] = c.red;
      }
    }
  }
  dest.Assign(out);
}

void TGIFImage::Assign(const TBitmap& source) {
  Clear();
  if (source.Empty()) return;
  if (source.Width() > 0xFFFF || source.Height() > 0xFFFF) throw EGIFError(kGifImageTooLargeText);

  TGIFSubImage frame;
  frame.width = source.Width();
  frame.height = source.Height();
  const std::size_t w = static_cast<std::size_t>(frame.width);
  frame.pixels.resize(w * static_cast<std::size_t>(frame.height));

  TBitmap work;
  work.Assign(source);
  const TPixelFormat format = source.PixelFormat();
  const bool indexed = format == TPixelFormat::Indexed1 || format == TPixelFormat::Indexed4 ||
                       format == TPixelFormat::Indexed8;
  std::optional<std::uint8_t> transparent_index;
  if (indexed) {
    // Widening to 8 bits keeps indices and palette.
    work.SetPixelFormat(TPixelFormat::Indexed8);
    for (int y = 0; y < frame.height; ++y)
      std::memcpy(frame.pixels.data() + static_cast<std::size_t>(y) * w, work.ConstRow(y), w);
    const TPalette& palette = work.Palette();
    frame.color_map.colors.assign(palette.begin(),
                                  palette.begin() + std::min(palette.size(), kMaxPaletteEntries));
    if (source.Transparent()) {
      const TColor tc = source.TransparentColor();
      const TPaletteEntry want{ColorRed(tc), ColorGreen(tc), ColorBlue(tc)};
      const auto at = std::find(frame.color_map.colors.begin(), frame.color_map.colors.end(), want);
      if (at != frame.color_map.colors.end())
        transparent_index = static_cast<std::uint8_t>(at - frame.color_map.colors.begin());
    }
  } else {
    work.SetPixelFormat(TPixelFormat::Bgr24);
    for (int y = 0; y < frame.height; ++y) {
      const std::uint8_t* px = work.ConstRow(y);
      std::uint8_t* out = frame.pixels.data() + static_cast<std::size_t>(y) * w;
      for (std::size_t x = 0; x < w; ++x, px += 3)
        out[x] = WebPaletteIndex(px[2], px[1], px[0]);
    }
    frame.color_map.colors = WebPalette();
    if (source.Transparent()) {
      const TColor tc = source.TransparentColor();
      transparent_index = WebPaletteIndex(ColorRed(tc), ColorGreen(tc), ColorBlue(tc));
    }
  }
  if (transparent_index) {
    TGIFGraphicControlExtension gce;
    gce.transparent = true;
    gce.transparent_index = *transparent_index;
    frame.graphic_control = gce;
  }
  screen_width_ = frame.width;
  screen_height_ = frame.height;
  frames_.push_back(std::move(frame));
}

void TGIFImage::AssignWithAlpha(const TBitmap& source, const TBitmap& alpha) {
  RequireAlphaPlane(source, alpha);
  TBitmap opaque;
  opaque.Assign(source);
  opaque.SetTransparent(false);
  Assign(opaque);
  if (frames_.empty()) return;
  TGIFSubImage& frame = frames_.front();
  // An index no visible pixel uses: the first unused one, else a new entry.
  std::array<bool, 256> used{};
  for (const std::uint8_t index : frame.pixels)
    used[index] = true;
  std::size_t free = 0;
  while (free < frame.color_map.colors.size() && used[free])
    ++free;
  if (free >= kMaxPaletteEntries) return;  // no room: stays opaque
  const bool added = free == frame.color_map.colors.size();
  if (added) frame.color_map.colors.push_back({});
  const auto index = static_cast<std::uint8_t>(free);
  const std::size_t w = static_cast<std::size_t>(frame.width);
  bool any = false;
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* a = alpha.ConstRow(y);
    std::uint8_t* out = frame.pixels.data() + static_cast<std::size_t>(y) * w;
    for (std::size_t x = 0; x < w; ++x)
      if (a[x] < 128) {
        out[x] = index;
        any = true;
      }
  }
  if (!any) {
    if (added) frame.color_map.colors.pop_back();
    return;
  }
  TGIFGraphicControlExtension gce;
  gce.transparent = true;
  gce.transparent_index = index;
  frame.graphic_control = gce;
}

// ---------------------------------------------------------------- writing

void TGIFImage::SaveToStream(TStream& stream) {
  // Every index must have a colour; checked first so that a failure leaves
  // the stream untouched.
  for (const TGIFSubImage& frame : frames_) {
    const TGIFColorMap& map = frame.color_map.Empty() ? global_map_ : frame.color_map;
    const std::size_t colors = map.colors.size();
    for (const std::uint8_t index : frame.pixels)
      if (index >= colors) throw EGIFError(kGifColorNotInTableText);
  }

  bool needs_89a = false;
  int bits = global_map_.Empty() ? 1 : global_map_.BitsPerPixel();
  for (const TGIFSubImage& frame : frames_) {
    if (frame.graphic_control || frame.color_map.sorted) needs_89a = true;
    if (!frame.color_map.Empty()) bits = std::max(bits, frame.color_map.BitsPerPixel());
  }

  std::vector<std::uint8_t> head;
  const char* signature = needs_89a ? "GIF89a" : "GIF87a";
  head.insert(head.end(), signature, signature + 6);
  // Logical screen descriptor: colour resolution and size fields both carry
  // the largest bits per entry over all maps, also without a global map.
  PutU16(head, screen_width_);
  PutU16(head, screen_height_);
  const int packed = (global_map_.Empty() ? 0 : 0x80) | (bits - 1) << 4 |
                     (global_map_.sorted ? 0x08 : 0) | (bits - 1);
  head.push_back(static_cast<std::uint8_t>(packed));
  head.push_back(background_index_);
  head.push_back(aspect_ratio_);
  if (!global_map_.Empty()) PutColorMap(head, global_map_);
  stream.WriteBytes(head);

  for (const TGIFSubImage& frame : frames_) {
    std::vector<std::uint8_t> desc;
    if (frame.graphic_control) {
      const TGIFGraphicControlExtension& gce = *frame.graphic_control;
      desc.insert(desc.end(), {kExtensionIntroducer, kGraphicControlLabel, 4});
      desc.push_back(static_cast<std::uint8_t>((gce.disposal & 7) << 2 | (gce.user_input ? 2 : 0) |
                                               (gce.transparent ? 1 : 0)));
      PutU16(desc, gce.delay);
      desc.push_back(gce.transparent_index);
      desc.push_back(0);
    }
    desc.push_back(kImageSeparator);
    PutU16(desc, frame.left);
    PutU16(desc, frame.top);
    PutU16(desc, frame.width);
    PutU16(desc, frame.height);
    const TGIFColorMap& map = frame.color_map.Empty() ? global_map_ : frame.color_map;
    if (frame.color_map.Empty()) {
      desc.push_back(0);
    } else {
      desc.push_back(static_cast<std::uint8_t>(0x80 | (frame.color_map.sorted ? 0x20 : 0) |
                                               (frame.color_map.BitsPerPixel() - 1)));
      PutColorMap(desc, frame.color_map);
    }
    const int min_code_size = std::max(2, map.Empty() ? 8 : map.BitsPerPixel());
    desc.push_back(static_cast<std::uint8_t>(min_code_size));
    stream.WriteBytes(desc);
    // Indices were checked against the map, whose size fits the code size.
    LzwEncode(min_code_size, frame.pixels, stream);
  }
  const std::uint8_t trailer = kTrailer;
  stream.Write(&trailer, 1);
}

}  // namespace skalo
