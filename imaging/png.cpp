#include "imaging/png.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"

namespace skalo {
namespace {

// Section numbers below refer to ISO/IEC 15948 (the W3C PNG recommendation).

constexpr std::array<std::uint8_t, 8> kSignature = {137, 80, 78, 71, 13, 10, 26, 10};

enum ColorType : std::uint8_t {
  kGray = 0,
  kRgb = 2,
  kPalette = 3,
  kGrayAlpha = 4,
  kRgbAlpha = 6,
};

enum FilterType : std::uint8_t { kFilterNone, kFilterSub, kFilterUp, kFilterAverage, kFilterPaeth };

[[noreturn]] void Fail(const char* text) {
  throw EPNGError(text);
}

void PutU32(std::uint8_t* out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t ChunkCrc(std::string_view type, std::span<const std::uint8_t> data) {
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(type.data()), 4);
  // crc32 answers its initial value for a null buffer, so empty data is skipped.
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  return static_cast<std::uint32_t>(crc);
}

// --- Gamma (section 11.3.3.2: gAMA holds the image gamma times 100000) ---

using GammaTable = std::array<std::uint8_t, 256>;

GammaTable IdentityGamma() {
  GammaTable table;
  for (int i = 0; i < 256; ++i)
    table[i] = static_cast<std::uint8_t>(i);
  return table;
}

// Display exponent 1 / (gamma * 2.2); nearbyint rounds halves to even.
GammaTable GammaFromValue(std::uint32_t value) {
  const double exponent = 1.0 / (value / 100000.0 * 2.2);
  GammaTable table;
  for (int i = 0; i < 256; ++i) {
    const double v = std::nearbyint(std::pow(i / 255.0, exponent) * 255.0);
    table[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
  }
  return table;
}

// --- Header (section 11.2.2) ---

struct Ihdr {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint8_t depth = 0;
  std::uint8_t color_type = 0;
  std::uint8_t interlace = 0;
};

bool ValidDepth(std::uint8_t color_type, std::uint8_t depth) {
  switch (color_type) {
    case kGray:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case kPalette:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case kRgb:
    case kGrayAlpha:
    case kRgbAlpha:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

unsigned Channels(std::uint8_t color_type) {
  switch (color_type) {
    case kRgb:
      return 3;
    case kGrayAlpha:
      return 2;
    case kRgbAlpha:
      return 4;
    default:
      return 1;
  }
}

Ihdr ParseIhdr(std::span<const std::uint8_t> data) {
  if (data.size() < 13) Fail(kPngIhdrCorruptText);
  ByteReader in(data);
  Ihdr h;
  h.width = in.u32be();
  h.height = in.u32be();
  h.depth = in.u8();
  h.color_type = in.u8();
  const std::uint8_t compression = in.u8();
  in.skip(1);  // filter method: only method 0 exists
  h.interlace = in.u8();
  if (h.width > kPngMaxDimension || h.height > kPngMaxDimension) Fail(kPngSizeExceededText);
  if (compression != 0) Fail(kPngUnknownCompressionText);
  if (h.interlace > 1) Fail(kPngUnknownInterlaceText);
  if (h.width == 0 || h.height == 0 || !ValidDepth(h.color_type, h.depth))
    Fail(kPngIhdrCorruptText);
  return h;
}

TPalette ParsePalette(std::span<const std::uint8_t> data, const GammaTable& gamma) {
  if (data.size() % 3 != 0 || data.size() > 3 * kMaxPaletteEntries) Fail(kPngInvalidPaletteText);
  TPalette palette(data.size() / 3);
  for (std::size_t i = 0; i < palette.size(); ++i)
    palette[i] = {gamma[data[3 * i]], gamma[data[3 * i + 1]], gamma[data[3 * i + 2]]};
  return palette;
}

// --- Image data ---

// Adam7 passes (section 8.2): first column and row, column and row steps.
struct Pass {
  std::uint32_t x0, y0, dx, dy;
};
constexpr std::array<Pass, 7> kAdam7 = {{
    {0, 0, 8, 8},
    {4, 0, 8, 8},
    {0, 4, 4, 8},
    {2, 0, 4, 4},
    {0, 2, 2, 4},
    {1, 0, 2, 2},
    {0, 1, 1, 2},
}};
constexpr Pass kWholeImage = {0, 0, 1, 1};

// Bits per pixel of the raster that holds an image of this type.
unsigned RasterBits(const Ihdr& h) {
  if (h.color_type == kRgb || h.color_type == kRgbAlpha) return 24;
  if (h.color_type == kGrayAlpha || h.depth >= 8) return 8;
  return h.depth == 1 ? 1 : 4;
}

TPixelFormat RasterFormat(unsigned bits) {
  switch (bits) {
    case 1:
      return TPixelFormat::Indexed1;
    case 4:
      return TPixelFormat::Indexed4;
    case 8:
      return TPixelFormat::Indexed8;
    default:
      return TPixelFormat::Bgr24;
  }
}

// Value of sample `index` of a row of `depth`-bit samples (1, 2, 4, 8), or the
// high byte of a 16-bit sample. Samples are packed from the high bit down.
std::uint8_t Sample(const std::uint8_t* row, std::uint32_t index, unsigned depth) {
  if (depth == 16) return row[2 * std::size_t{index}];
  if (depth == 8) return row[index];
  const std::size_t bit = std::size_t{index} * depth;
  const unsigned shift = 8 - depth - static_cast<unsigned>(bit & 7);
  return static_cast<std::uint8_t>((row[bit >> 3] >> shift) & ((1u << depth) - 1));
}

// Stores palette index `v` at pixel x of a raster row of 1, 4 or 8 bits.
void PutIndex(std::uint8_t* row, unsigned bits, std::uint32_t x, std::uint8_t v) {
  if (bits == 8) {
    row[x] = v;
  } else if (bits == 4) {
    std::uint8_t& b = row[x >> 1];
    b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | v)
                : static_cast<std::uint8_t>((b & 0x0F) | v << 4);
  } else {
    std::uint8_t& b = row[x >> 3];
    const unsigned shift = 7 - (x & 7);
    b = static_cast<std::uint8_t>((b & ~(1u << shift)) | unsigned{v} << shift);
  }
}

std::uint8_t PaethPredictor(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
  if (pb <= pc) return static_cast<std::uint8_t>(b);
  return static_cast<std::uint8_t>(c);
}

// Reverses the row filter (section 9.2) in place. `prior` is the previous
// unfiltered row of the same pass (zeros for the first); `bpp` the bytes per
// complete pixel, at least 1. An unknown filter type leaves the row as it is.
void Unfilter(std::uint8_t type, std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
              std::size_t bpp) {
  switch (type) {
    case kFilterSub:
      for (std::size_t i = bpp; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
      break;
    case kFilterUp:
      for (std::size_t i = 0; i < n; ++i)
        row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
      break;
    case kFilterAverage:
      for (std::size_t i = 0; i < n; ++i) {
        const unsigned left = i >= bpp ? row[i - bpp] : 0;
        row[i] = static_cast<std::uint8_t>(row[i] + ((left + prior[i]) >> 1));
      }
      break;
    case kFilterPaeth:
      for (std::size_t i = 0; i < n; ++i) {
        const int left = i >= bpp ? row[i - bpp] : 0;
        const int upper_left = i >= bpp ? prior[i - bpp] : 0;
        row[i] = static_cast<std::uint8_t>(row[i] + PaethPredictor(left, prior[i], upper_left));
      }
      break;
    default:
      break;
  }
}

struct InflateStream {
  z_stream zs{};
  bool open = false;
  InflateStream() = default;
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  ~InflateStream() {
    if (open) inflateEnd(&zs);
  }
};

[[noreturn]] void FailInflate(int code, const char* msg) {
  if (code == Z_MEM_ERROR) ThrowOutOfResources();
  throw EPNGError(std::string(kPngInflateErrorText) + (msg != nullptr ? msg : zError(code)));
}

// Inflates the concatenated IDAT data and decodes it row by row, pass by
// pass, straight into the raster. Only the current and the previous row of
// the current pass are held.
class ImageDecoder {
 public:
  ImageDecoder(const Ihdr& ihdr, const GammaTable& gamma, TBitmap& raster)
      : h_(ihdr), gamma_(gamma), raster_(raster), raster_bits_(RasterBits(ihdr)) {
    pixel_bits_ = Channels(h_.color_type) * h_.depth;
    filter_bpp_ = std::max<std::size_t>(1, pixel_bits_ / 8);
    // Limits before allocation: the raster, then the row buffers (at most
    // 65535 * 64 bits each, so their sizes cannot overflow).
    PixelStoreBytes(h_.width, h_.height, raster_bits_);
    const std::size_t max_row = RowBytes(h_.width);
    current_.resize(1 + max_row);
    prior_.resize(max_row);
    raster_.SetPixelFormat(RasterFormat(raster_bits_));
    raster_.SetSize(static_cast<int>(h_.width), static_cast<int>(h_.height));

    if (inflateInit(&z_.zs) != Z_OK) FailInflate(Z_MEM_ERROR, nullptr);
    z_.open = true;
    pass_ = h_.interlace ? 0 : kAdam7.size() - 1;
    StartPass();
  }

  bool Complete() const noexcept { return done_; }

  // Feeds one IDAT chunk's data. Data after the last row is not inflated.
  void Feed(std::span<const std::uint8_t> data) {
    if (done_) return;
    z_.zs.next_in = const_cast<Bytef*>(data.data());
    z_.zs.avail_in = static_cast<uInt>(data.size());
    while (!done_) {
      z_.zs.next_out = current_.data() + filled_;
      z_.zs.avail_out = static_cast<uInt>(need_ - filled_);
      const int ret = inflate(&z_.zs, Z_NO_FLUSH);
      filled_ = need_ - z_.zs.avail_out;
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) FailInflate(ret, z_.zs.msg);
      if (filled_ == need_) {
        FinishRow();
        continue;
      }
      if (ret != Z_OK || z_.zs.avail_in == 0) break;
    }
  }

 private:
  std::size_t RowBytes(std::uint32_t pixels) const {
    return (std::size_t{pixels} * pixel_bits_ + 7) / 8;
  }

  const Pass& CurrentPass() const { return h_.interlace ? kAdam7[pass_] : kWholeImage; }

  // Moves to the next pass with pixels, from pass_ on (section 8.2: an empty
  // pass has no rows and no filter bytes).
  void StartPass() {
    for (; pass_ < kAdam7.size(); ++pass_) {
      const Pass& p = CurrentPass();
      if (p.x0 >= h_.width || p.y0 >= h_.height) continue;
      pass_width_ = (h_.width - p.x0 + p.dx - 1) / p.dx;
      pass_height_ = (h_.height - p.y0 + p.dy - 1) / p.dy;
      row_ = 0;
      need_ = 1 + RowBytes(pass_width_);
      filled_ = 0;
      std::fill(prior_.begin(), prior_.end(), std::uint8_t{0});
      return;
    }
    done_ = true;
  }

  void FinishRow() {
    std::uint8_t* row = current_.data() + 1;
    const std::size_t n = need_ - 1;
    Unfilter(current_[0], row, prior_.data(), n, filter_bpp_);
    StoreRow(row);
    std::copy(row, row + n, prior_.begin());
    filled_ = 0;
    if (++row_ == pass_height_) {
      ++pass_;
      StartPass();
    }
  }

  // Writes one unfiltered row of the current pass into the raster.
  void StoreRow(const std::uint8_t* src) {
    const Pass& p = CurrentPass();
    std::uint8_t* dst = raster_.Row(static_cast<int>(p.y0 + row_ * p.dy));
    const unsigned depth = h_.depth;
    switch (h_.color_type) {
      case kRgb:
      case kRgbAlpha: {
        const std::size_t sample = depth / 8;
        const std::size_t step = Channels(h_.color_type) * sample;
        for (std::uint32_t i = 0; i < pass_width_; ++i, src += step) {
          std::uint8_t* out = dst + 3 * std::size_t{p.x0 + i * p.dx};
          out[0] = gamma_[src[2 * sample]];
          out[1] = gamma_[src[sample]];
          out[2] = gamma_[src[0]];
        }
        break;
      }
      case kGrayAlpha: {
        const std::size_t step = 2 * (depth / 8);
        for (std::uint32_t i = 0; i < pass_width_; ++i)
          PutIndex(dst, raster_bits_, p.x0 + i * p.dx, src[i * step]);
        break;
      }
      default:  // gray and palette: one sample, an index into the raster's palette
        for (std::uint32_t i = 0; i < pass_width_; ++i)
          PutIndex(dst, raster_bits_, p.x0 + i * p.dx, Sample(src, i, depth));
        break;
    }
  }

  const Ihdr h_;
  const GammaTable gamma_;
  TBitmap& raster_;
  const unsigned raster_bits_;
  unsigned pixel_bits_ = 0;
  std::size_t filter_bpp_ = 1;
  InflateStream z_;
  std::vector<std::uint8_t> current_;  // filter byte + row
  std::vector<std::uint8_t> prior_;    // previous unfiltered row of the pass
  std::size_t pass_ = 0;
  std::uint32_t pass_width_ = 0;
  std::uint32_t pass_height_ = 0;
  std::uint32_t row_ = 0;
  std::size_t need_ = 0;
  std::size_t filled_ = 0;
  bool done_ = false;
};

// The gray palette of a gray image: one entry per sample value s of an n-bit
// sample (of the high byte for 16 bits), level s * 255 / (2^n - 1).
TPalette GrayPalette(unsigned depth, const GammaTable& gamma) {
  const unsigned bits = std::min(depth, 8u);
  const unsigned max = (1u << bits) - 1;
  TPalette palette(max + 1);
  for (unsigned s = 0; s <= max; ++s) {
    const std::uint8_t level = gamma[s * 255 / max];
    palette[s] = {level, level, level};
  }
  return palette;
}

// Marks the raster Transparent when tRNS names a single colour (section
// 11.3.2.1), taking the colour that the pixels concerned have in the raster.
void ApplyTransparency(const Ihdr& h, std::span<const std::uint8_t> trns, const GammaTable& gamma,
                       TBitmap& raster) {
  const TPalette& palette = raster.Palette();
  switch (h.color_type) {
    case kGray: {
      if (trns.size() < 2) return;
      const unsigned value = ByteReader(trns).u16be();
      if (h.depth < 16 && value >= (1u << h.depth)) return;  // matches no pixel
      const unsigned index = h.depth == 16 ? value >> 8 : value;
      const TPaletteEntry& e = palette[index];
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(e.red, e.green, e.blue));
      break;
    }
    case kRgb: {
      if (trns.size() < 6) return;
      ByteReader in(trns);
      std::array<std::uint8_t, 3> rgb{};
      for (std::uint8_t& c : rgb) {
        const unsigned value = in.u16be();
        if (h.depth == 8 && value > 255) return;
        c = gamma[h.depth == 16 ? value >> 8 : value];
      }
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(rgb[0], rgb[1], rgb[2]));
      break;
    }
    case kPalette: {
      const std::size_t n = std::min(trns.size(), palette.size());
      std::size_t count = 0;
      std::size_t found = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (trns[i] < 255) {
          ++count;
          found = i;
        }
      }
      if (count != 1) return;
      const TPaletteEntry& e = palette[found];
      raster.SetTransparent(true);
      raster.SetTransparentColor(MakeColor(e.red, e.green, e.blue));
      break;
    }
    default:  // alpha channel images carry no tRNS
      break;
  }
}

bool IsCritical(std::string_view type) {
  return (static_cast<unsigned char>(type[0]) & 0x20) == 0;
}

struct Decoded {
  std::vector<TPNGObject::Chunk> chunks;
  Ihdr ihdr;
  std::unique_ptr<TBitmap> raster;
};

// The most bytes deflate data inflates to, per byte: a length-258 match
// coded in 2 bits (one 1-bit length code, one 1-bit distance code). Plus a
// little for the first bytes a stream must spell out.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = 1024;

// Bytes of the filtered rows of the whole image (filter byte and packed
// samples of every row of every pass): what the image data must inflate to.
std::uint64_t ScanlineBytes(const Ihdr& h) {
  const std::uint64_t pixel_bits = std::uint64_t{Channels(h.color_type)} * h.depth;
  std::uint64_t total = 0;
  for (const Pass& p : h.interlace ? std::span<const Pass>(kAdam7) : std::span(&kWholeImage, 1)) {
    if (p.x0 >= h.width || p.y0 >= h.height) continue;
    const std::uint64_t width = (h.width - p.x0 + p.dx - 1) / p.dx;
    const std::uint64_t height = (h.height - p.y0 + p.dy - 1) / p.dy;
    total += height * (1 + (width * pixel_bits + 7) / 8);
  }
  return total;
}

// Data bytes of the run of consecutive IDAT chunks that starts at `in`'s
// position (chunk lengths only; CRCs are checked when the chunks are read).
std::uint64_t IdatRunBytes(ByteReader in) {
  std::uint64_t total = 0;
  while (in.remaining() >= 12) {
    const std::uint32_t length = in.u32be();
    const auto type = in.bytes(4);
    if (std::memcmp(type.data(), "IDAT", 4) != 0 || in.remaining() - 4 < length) break;
    in.skip(std::size_t{length} + 4);
    total += length;
  }
  return total;
}

// Reads a whole file (section 5: signature, then chunks up to IEND).
Decoded ReadPng(std::span<const std::uint8_t> file, const TImageLimits& limits) {
  ByteReader in(file);
  if (in.remaining() < kSignature.size() ||
      !std::equal(kSignature.begin(), kSignature.end(), file.begin()))
    Fail(kPngInvalidHeaderText);
  in.skip(kSignature.size());

  Decoded out;
  out.raster = std::make_unique<TBitmap>();
  GammaTable gamma = IdentityGamma();
  GammaTable image_gamma = gamma;
  TPalette plte;
  bool have_plte = false;
  std::vector<std::uint8_t> trns;
  std::unique_ptr<ImageDecoder> image;
  bool in_image_data = false;

  for (bool first = true;; first = false) {
    if (in.remaining() < 8) Fail(kPngUnexpectedEndText);
    const std::uint32_t length = in.u32be();
    const auto type_bytes = in.bytes(4);
    const std::string_view type(reinterpret_cast<const char*>(type_bytes.data()), 4);
    if (first && type != "IHDR") Fail(kPngIhdrNotFirstText);
    if (in.remaining() < length || in.remaining() - length < 4) Fail(kPngUnexpectedEndText);
    const auto data = in.bytes(length);
    if (in.u32be() != ChunkCrc(type, data)) Fail(kPngCrcErrorText);

    // The image data must come in consecutive IDAT chunks.
    if (in_image_data && type != "IDAT") {
      if (!image->Complete()) Fail(kPngMissingPartsText);
      in_image_data = false;
    }

    if (type == "IHDR") {
      if (!first) Fail(kPngIhdrCorruptText);
      out.ihdr = ParseIhdr(data);
      limits.CheckDeclared(out.ihdr.width, out.ihdr.height);
    } else if (type == "PLTE") {
      plte = ParsePalette(data, gamma);
      have_plte = true;
    } else if (type == "IDAT") {
      if (!image) {
        const Ihdr& h = out.ihdr;
        if (h.color_type == kPalette && !have_plte) Fail(kPngInvalidPaletteText);
        // The raster is allocated only for rows that the image data can
        // inflate to: this chunk and the IDAT chunks right after it.
        const std::uint64_t idat_bytes = data.size() + IdatRunBytes(in);
        if (ScanlineBytes(h) > kMaxInflateRatio * idat_bytes + kInflateSlack)
          Fail(kPngMissingPartsText);
        image = std::make_unique<ImageDecoder>(h, gamma, *out.raster);
        image_gamma = gamma;
        if (h.color_type == kPalette) {
          plte.resize(std::min<std::size_t>(plte.size(), std::size_t{1} << h.depth));
          out.raster->SetPalette(plte);
        } else if (h.color_type == kGray) {
          out.raster->SetPalette(GrayPalette(h.depth, gamma));
        } else if (h.color_type == kGrayAlpha) {
          out.raster->SetPalette(GrayPalette(8, gamma));
        }
      }
      in_image_data = true;
      image->Feed(data);
    } else if (type == "gAMA") {
      if (data.size() >= 4) {
        const std::uint32_t value = ByteReader(data).u32be();
        if (value != 0) gamma = GammaFromValue(value);
      }
    } else if (type == "tRNS") {
      if (data.size() > kMaxPaletteEntries) Fail(kPngInvalidPaletteText);
      trns.assign(data.begin(), data.end());
    } else if (type == "cHRM") {
      continue;  // not kept
    } else if (type != "IEND" && IsCritical(type)) {
      Fail(kPngUnknownCriticalText);
    }
    out.chunks.push_back({std::string(type), {data.begin(), data.end()}, false});
    if (type == "IEND") break;
  }
  if (!image) Fail(kPngNoDataText);
  ApplyTransparency(out.ihdr, trns, image_gamma, *out.raster);
  return out;
}

// --- Writing ---

void WriteChunk(TStream& stream, std::string_view type, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 8> head{};
  PutU32(head.data(), static_cast<std::uint32_t>(data.size()));
  std::memcpy(head.data() + 4, type.data(), 4);
  std::array<std::uint8_t, 4> crc{};
  PutU32(crc.data(), ChunkCrc(type, data));
  stream.WriteBytes(head);
  stream.WriteBytes(data);
  stream.WriteBytes(crc);
}

struct DeflateStream {
  z_stream zs{};
  bool open = false;
  DeflateStream() = default;
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;
  ~DeflateStream() {
    if (open) deflateEnd(&zs);
  }
};

// Deflates what it is given and writes the output as IDAT chunks of exactly
// kPngIdatChunkBytes, the rest as a last, non-empty chunk.
class IdatWriter {
 public:
  IdatWriter(TStream& stream, int level) : stream_(stream), buffer_(kPngIdatChunkBytes) {
    if (deflateInit2(&z_.zs, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      ThrowOutOfResources();
    z_.open = true;
    z_.zs.next_out = buffer_.data();
    z_.zs.avail_out = static_cast<uInt>(buffer_.size());
  }

  void Write(const std::uint8_t* data, std::size_t n) { Run(data, n, Z_NO_FLUSH); }

  void Finish() {
    Run(nullptr, 0, Z_FINISH);
    const std::size_t rest = buffer_.size() - z_.zs.avail_out;
    if (rest > 0) WriteChunk(stream_, "IDAT", {buffer_.data(), rest});
  }

 private:
  void Run(const std::uint8_t* data, std::size_t n, int flush) {
    z_.zs.next_in = const_cast<Bytef*>(data);
    z_.zs.avail_in = static_cast<uInt>(n);
    for (;;) {
      const int ret = deflate(&z_.zs, flush);
      if (ret == Z_STREAM_ERROR) ThrowOutOfResources();
      if (z_.zs.avail_out == 0) {
        WriteChunk(stream_, "IDAT", buffer_);
        z_.zs.next_out = buffer_.data();
        z_.zs.avail_out = static_cast<uInt>(buffer_.size());
        continue;
      }
      if (flush == Z_FINISH ? ret == Z_STREAM_END : z_.zs.avail_in == 0) return;
    }
  }

  TStream& stream_;
  std::vector<std::uint8_t> buffer_;
  DeflateStream z_;
};

// Rows of any 16- or 32-bit raster as Bgr24 rows, converted by the raster
// itself a band of rows at a time, so that the image is never held twice.
class Bgr24Rows {
 public:
  explicit Bgr24Rows(const TBitmap& source) : source_(source) {
    const TPixelFormat f = source.PixelFormat();
    direct_ = f == TPixelFormat::Bgr24 || f == TPixelFormat::Device;
    const std::size_t row = std::max<std::size_t>(1, source.BytesPerRow());
    band_rows_ = static_cast<int>(std::clamp<std::size_t>(kBandBytes / row, 1, 256));
  }

  const std::uint8_t* Row(int y) {
    if (direct_) return source_.ConstRow(y);
    if (!band_ || y < band_start_ || y >= band_start_ + band_->Height()) LoadBand(y);
    return band_->ConstRow(y - band_start_);
  }

 private:
  static constexpr std::size_t kBandBytes = std::size_t{1} << 20;

  void LoadBand(int y) {
    auto band = std::make_unique<TBitmap>();
    if (source_.PixelFormat() == TPixelFormat::Custom)
      band->SetBitFields(source_.BitsPerPixel(), source_.BitFields());
    else
      band->SetPixelFormat(source_.PixelFormat());
    const int rows = std::min(band_rows_, source_.Height() - y);
    band->SetSize(source_.Width(), rows);
    for (int i = 0; i < rows; ++i)
      std::memcpy(band->Row(i), source_.ConstRow(y + i), source_.BytesPerRow());
    band->SetPixelFormat(TPixelFormat::Bgr24);
    band_ = std::move(band);
    band_start_ = y;
  }

  const TBitmap& source_;
  bool direct_ = false;
  int band_rows_ = 1;
  int band_start_ = 0;
  std::unique_ptr<TBitmap> band_;
};

std::vector<std::uint8_t> IhdrData(std::uint32_t width, std::uint32_t height, std::uint8_t depth,
                                   std::uint8_t color_type) {
  std::vector<std::uint8_t> data(13, 0);
  PutU32(data.data(), width);
  PutU32(data.data() + 4, height);
  data[8] = depth;
  data[9] = color_type;
  // Compression, filter and interlace methods 0.
  return data;
}

}  // namespace

TPNGObject::TPNGObject() = default;
TPNGObject::~TPNGObject() = default;

void TPNGObject::LoadFromStream(TStream& stream) {
  LoadFromBytes(ReadStreamRest(stream));
}

void TPNGObject::LoadFromBytes(std::span<const std::uint8_t> bytes) {
  chunks_.clear();
  width_ = 0;
  height_ = 0;
  image_.reset();
  Decoded decoded = ReadPng(bytes, Limits());
  chunks_ = std::move(decoded.chunks);
  width_ = static_cast<int>(decoded.ihdr.width);
  height_ = static_cast<int>(decoded.ihdr.height);
  image_ = std::move(decoded.raster);
}

void TPNGObject::AssignTo(TBitmap& dest) {
  if (image_) {
    dest.Assign(*image_);
  } else {
    const TBitmap empty;
    dest.Assign(empty);
  }
}

void TPNGObject::Assign(const TBitmap& source) {
  auto image = std::make_unique<TBitmap>();
  image->Assign(source);
  std::vector<Chunk> chunks;
  const int width = source.Width();
  const int height = source.Height();
  if (!source.Empty()) {
    const int bits = source.BitsPerPixel();
    const bool indexed = bits < 16;
    const auto depth = static_cast<std::uint8_t>(indexed ? bits : 8);
    chunks.push_back(
        {"IHDR",
         IhdrData(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), depth,
                  indexed ? kPalette : kRgb),
         false});
    if (indexed) {
      // 2^depth entries; indices without a palette entry show black.
      const TPalette& palette = source.Palette();
      const std::size_t entries = std::size_t{1} << depth;
      std::vector<std::uint8_t> plte(3 * entries, 0);
      for (std::size_t i = 0; i < std::min(entries, palette.size()); ++i) {
        plte[3 * i] = palette[i].red;
        plte[3 * i + 1] = palette[i].green;
        plte[3 * i + 2] = palette[i].blue;
      }
      chunks.push_back({"PLTE", std::move(plte), false});
    }
    if (source.Transparent()) {
      const TColor color = source.TransparentColor() & 0xFFFFFF;
      std::vector<std::uint8_t> trns;
      if (indexed) {
        // Opaque entries up to the first of the transparent colour, which
        // gets alpha 0 and ends the chunk.
        const std::vector<std::uint8_t>& plte = chunks.back().data;
        for (std::size_t i = 0; i < plte.size() / 3; ++i) {
          const bool match = MakeColor(plte[3 * i], plte[3 * i + 1], plte[3 * i + 2]) == color;
          trns.push_back(match ? 0 : 255);
          if (match) break;
        }
      } else {
        trns = {0, ColorRed(color), 0, ColorGreen(color), 0, ColorBlue(color)};
      }
      chunks.push_back({"tRNS", std::move(trns), false});
    }
    chunks.push_back({"IDAT", {}, true});
    chunks.push_back({"IEND", {}, false});
  }
  chunks_ = std::move(chunks);
  width_ = chunks_.empty() ? 0 : width;
  height_ = chunks_.empty() ? 0 : height;
  image_ = std::move(image);
}

void TPNGObject::SaveToStream(TStream& stream) {
  if (chunks_.empty()) return;
  stream.WriteBytes(kSignature);
  for (const Chunk& chunk : chunks_) {
    if (chunk.image_data)
      WriteImageData(stream);
    else
      WriteChunk(stream, chunk.type, chunk.data);
  }
}

// Rows top to bottom, each as filter type Sub followed by the filtered row
// (section 9.2: each byte minus the corresponding byte of the pixel to its
// left, 0 left of the first pixel).
void TPNGObject::WriteImageData(TStream& stream) const {
  const TBitmap& image = *image_;
  const int bits = image.BitsPerPixel();
  const bool indexed = bits < 16;
  const auto width = static_cast<std::size_t>(image.Width());
  const std::size_t row_bytes = indexed ? (width * static_cast<unsigned>(bits) + 7) / 8 : width * 3;
  const std::size_t bpp = indexed ? 1 : 3;
  // Unused low bits of the last byte of a packed row are written as 0.
  const unsigned tail_bits = static_cast<unsigned>((width * static_cast<unsigned>(bits)) % 8);
  const auto tail_mask = static_cast<std::uint8_t>(tail_bits == 0 ? 0xFF : 0xFF << (8 - tail_bits));

  IdatWriter out(stream, std::min<int>(compression_level_, 9));
  Bgr24Rows bgr_rows(image);
  std::vector<std::uint8_t> raw(row_bytes);
  std::vector<std::uint8_t> filtered(row_bytes);
  const std::uint8_t filter = kFilterSub;
  for (int y = 0; y < image.Height(); ++y) {
    if (indexed) {
      std::memcpy(raw.data(), image.ConstRow(y), row_bytes);
      raw[row_bytes - 1] &= tail_mask;
    } else {
      const std::uint8_t* bgr = bgr_rows.Row(y);
      for (std::size_t i = 0; i < row_bytes; i += 3) {
        raw[i] = bgr[i + 2];
        raw[i + 1] = bgr[i + 1];
        raw[i + 2] = bgr[i];
      }
    }
    for (std::size_t i = 0; i < row_bytes; ++i)
      filtered[i] = static_cast<std::uint8_t>(raw[i] - (i >= bpp ? raw[i - bpp] : 0));
    out.Write(&filter, 1);
    out.Write(filtered.data(), row_bytes);
  }
  out.Finish();
}

}  // namespace skalo
