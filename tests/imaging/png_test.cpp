// TPNGObject: reading files built here sample by sample (every colour type,
// depth, filter and interlacing, checked against netpbm's pngtopnm too), each
// decoded both streamed (DecodeRows) and into a raster (AssignTo); each
// reading error and when it shows; the writer's chunks, filter choice,
// strategies, levels and IDAT split, read back by independent decoders.
#include "imaging/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "imaging/rows.h"
#include "tests/imaging/jpeg_png_test_util.h"
#include "tests/imaging/peak_memory.h"

namespace skalo {
namespace {

using jpeg_png_test::Bytes;
using jpeg_png_test::Colors;
using jpeg_png_test::Image;
using jpeg_png_test::Rgb;
using jpeg_png_test::RunTool;

#define REQUIRE_TOOL(tool) \
  if (!jpeg_png_test::HaveTool(tool)) GTEST_SKIP() << tool " is not installed"

// ------------------------------------------------------------------------
// Building files

struct Chunk {
  std::string type;
  Bytes data;
};

void PutU32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(v >> shift));
}

Bytes ChunkBytes(const Chunk& chunk) {
  Bytes out;
  out.reserve(12 + chunk.data.size());
  PutU32(out, static_cast<std::uint32_t>(chunk.data.size()));
  for (const char c : chunk.type)
    out.push_back(static_cast<std::uint8_t>(c));
  for (const std::uint8_t b : chunk.data)
    out.push_back(b);
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(chunk.type.data()), 4);
  if (!chunk.data.empty())  // a null buffer would answer the initial value
    crc = crc32(crc, chunk.data.data(), static_cast<uInt>(chunk.data.size()));
  PutU32(out, static_cast<std::uint32_t>(crc));
  return out;
}

const Bytes kSignature = {137, 80, 78, 71, 13, 10, 26, 10};

Bytes FileOf(const std::vector<Chunk>& chunks) {
  Bytes out = kSignature;
  for (const Chunk& c : chunks) {
    const Bytes b = ChunkBytes(c);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

Chunk Ihdr(std::uint32_t width, std::uint32_t height, int depth, int color_type, int interlace = 0,
           int compression = 0) {
  Bytes data;
  PutU32(data, width);
  PutU32(data, height);
  data.insert(data.end(),
              {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(color_type),
               static_cast<std::uint8_t>(compression), 0, static_cast<std::uint8_t>(interlace)});
  return {"IHDR", data};
}

Bytes Deflate(const Bytes& raw, int level = 6) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level), Z_OK);
  out.resize(size);
  return out;
}

Bytes Inflate(const Bytes& data) {
  z_stream zs{};
  EXPECT_EQ(inflateInit(&zs), Z_OK);
  Bytes out;
  std::array<std::uint8_t, 4096> buffer{};
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  int ret = Z_OK;
  while (ret == Z_OK) {
    zs.next_out = buffer.data();
    zs.avail_out = buffer.size();
    ret = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - zs.avail_out));
  }
  EXPECT_EQ(ret, Z_STREAM_END);
  inflateEnd(&zs);
  return out;
}

unsigned Channels(int color_type) {
  return color_type == 2 ? 3 : color_type == 4 ? 2 : color_type == 6 ? 4 : 1;
}

// An image given as samples, written with rows cycling through all five
// filter types (W3C PNG recommendation, section 9) and optionally Adam7.
struct Source {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int depth = 8;
  int color_type = 2;
  int interlace = 0;
  std::vector<std::uint16_t> samples;  // channels per pixel, rows top first

  std::uint16_t At(std::uint32_t x, std::uint32_t y, unsigned c) const {
    return samples[(std::size_t{y} * width + x) * Channels(color_type) + c];
  }
};

std::uint8_t Predict(int type, int left, int up, int upper_left) {
  switch (type) {
    case 1:
      return static_cast<std::uint8_t>(left);
    case 2:
      return static_cast<std::uint8_t>(up);
    case 3:
      return static_cast<std::uint8_t>((left + up) / 2);
    case 4: {
      const int p = left + up - upper_left;
      const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upper_left);
      return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? left : pb <= pc ? up : upper_left);
    }
    default:
      return 0;
  }
}

// Filtered scanlines of the whole image, pass by pass when interlaced.
Bytes ScanLines(const Source& s) {
  struct Pass {
    std::uint32_t x0, y0, dx, dy;
  };
  const std::vector<Pass> passes =
      s.interlace ? std::vector<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}
                  : std::vector<Pass>{{0, 0, 1, 1}};
  const unsigned channels = Channels(s.color_type);
  const std::size_t bpp = std::max<std::size_t>(1, channels * s.depth / 8);
  Bytes out;
  int filter = 0;
  for (const Pass& p : passes) {
    if (p.x0 >= s.width || p.y0 >= s.height) continue;
    const std::uint32_t w = (s.width - p.x0 + p.dx - 1) / p.dx;
    const std::size_t row_bytes = (std::size_t{w} * channels * s.depth + 7) / 8;
    Bytes prior(row_bytes, 0);
    for (std::uint32_t y = p.y0; y < s.height; y += p.dy) {
      Bytes row(row_bytes, 0);
      std::size_t bit = 0;
      for (std::uint32_t i = 0; i < w; ++i)
        for (unsigned c = 0; c < channels; ++c, bit += s.depth) {
          const std::uint16_t v = s.At(p.x0 + i * p.dx, y, c);
          if (s.depth == 16) {
            row[bit / 8] = static_cast<std::uint8_t>(v >> 8);
            row[bit / 8 + 1] = static_cast<std::uint8_t>(v);
          } else {
            row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - s.depth - bit % 8));
          }
        }
      out.push_back(static_cast<std::uint8_t>(filter));
      for (std::size_t i = 0; i < row_bytes; ++i) {
        const int left = i >= bpp ? row[i - bpp] : 0;
        const int upper_left = i >= bpp ? prior[i - bpp] : 0;
        out.push_back(
            static_cast<std::uint8_t>(row[i] - Predict(filter, left, prior[i], upper_left)));
      }
      prior = row;
      filter = (filter + 1) % 5;
    }
  }
  return out;
}

// IHDR, the extra chunks, the image data (split into IDAT chunks of
// `idat_split` bytes when not 0), IEND.
Bytes FileOf(const Source& s, const std::vector<Chunk>& extra = {}, std::size_t idat_split = 0) {
  std::vector<Chunk> chunks = {Ihdr(s.width, s.height, s.depth, s.color_type, s.interlace)};
  chunks.insert(chunks.end(), extra.begin(), extra.end());
  const Bytes data = Deflate(ScanLines(s));
  const std::size_t step = idat_split == 0 ? data.size() : idat_split;
  for (std::size_t i = 0; i < data.size(); i += step)
    chunks.push_back({"IDAT", Bytes(data.begin() + static_cast<std::ptrdiff_t>(i),
                                    data.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(data.size(), i + step)))});
  chunks.push_back({"IEND", {}});
  return FileOf(chunks);
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Chunk PlteOf(const TPalette& palette) {
  Bytes data;
  for (const TPaletteEntry& e : palette)
    data.insert(data.end(), {e.red, e.green, e.blue});
  return {"PLTE", data};
}

Chunk GamaOf(std::uint32_t value) {
  Bytes data;
  PutU32(data, value);
  return {"gAMA", data};
}

// The colours a decoder must produce: 16-bit samples by their high byte,
// gray s of n bits as s * 255 / (2^n - 1), alpha ignored.
Image Expected(const Source& s, const TPalette& palette = {}) {
  Image image{static_cast<int>(s.width), static_cast<int>(s.height), {}};
  const auto high = [&](std::uint16_t v) {
    return static_cast<std::uint8_t>(s.depth == 16 ? v >> 8 : v);
  };
  for (std::uint32_t y = 0; y < s.height; ++y)
    for (std::uint32_t x = 0; x < s.width; ++x) {
      if (s.color_type == 2 || s.color_type == 6) {
        image.pixels.push_back({high(s.At(x, y, 0)), high(s.At(x, y, 1)), high(s.At(x, y, 2))});
      } else if (s.color_type == 3) {
        const TPaletteEntry& e = palette[s.At(x, y, 0)];
        image.pixels.push_back({e.red, e.green, e.blue});
      } else {
        const unsigned max = s.depth >= 8 ? 255 : (1u << s.depth) - 1;
        const auto level = static_cast<std::uint8_t>(high(s.At(x, y, 0)) * 255 / max);
        image.pixels.push_back({level, level, level});
      }
    }
  return image;
}

class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }

 private:
  std::uint32_t state_;
};

// Random samples below `limit` (palette images: the palette's size); alpha
// is 0 on every other pixel, so colours under full transparency are seen.
Source RandomSource(std::uint32_t width, std::uint32_t height, int depth, int color_type,
                    int interlace, std::uint32_t limit, std::uint32_t seed) {
  Source s{width, height, depth, color_type, interlace, {}};
  Noise noise(seed);
  const unsigned channels = Channels(color_type);
  const bool alpha = color_type == 4 || color_type == 6;
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      for (unsigned c = 0; c < channels; ++c) {
        const bool alpha_channel = alpha && c == channels - 1;
        s.samples.push_back(static_cast<std::uint16_t>(
            alpha_channel && (x + y) % 2 == 0 ? 0 : noise.Next() % limit));
      }
  return s;
}

TPalette RandomPalette(std::size_t entries, std::uint32_t seed) {
  Noise noise(seed);
  TPalette palette(entries);
  for (TPaletteEntry& e : palette)
    e = {static_cast<std::uint8_t>(noise.Next()), static_cast<std::uint8_t>(noise.Next()),
         static_cast<std::uint8_t>(noise.Next())};
  return palette;
}

// Gathers the rows DecodeRows delivers, checking the order of the calls.
class RowRecorder final : public TRowConsumer {
 public:
  void Begin(const TRowLayout& layout) override {
    EXPECT_EQ(begins_++, 0) << "Begin twice";
    raster.Assign(layout.sample);
    raster.SetSize(layout.width, layout.height);
  }
  void Rows(int first, const std::uint8_t* const* rows, int count) override {
    EXPECT_EQ(begins_, 1) << "rows before Begin";
    EXPECT_EQ(first, next_) << "rows out of order";
    EXPECT_GT(count, 0);
    for (int k = 0; k < count; ++k)
      std::copy_n(rows[k], raster.BytesPerRow(), raster.Row(first + k));
    next_ = first + count;
  }
  int Delivered() const { return next_; }

  TBitmap raster;

 private:
  int begins_ = 0;
  int next_ = 0;
};

// The same layout, palette, transparency and row bytes (padding included).
void ExpectSameRaster(const TBitmap& got, const TBitmap& want) {
  ASSERT_EQ(got.Width(), want.Width());
  ASSERT_EQ(got.Height(), want.Height());
  ASSERT_EQ(got.PixelFormat(), want.PixelFormat());
  EXPECT_EQ(got.Palette(), want.Palette());
  EXPECT_EQ(got.Transparent(), want.Transparent());
  EXPECT_EQ(got.TransparentColor(), want.TransparentColor());
  for (int y = 0; y < want.Height(); ++y)
    ASSERT_TRUE(
        std::equal(want.ConstRow(y), want.ConstRow(y) + want.BytesPerRow(), got.ConstRow(y)))
        << "row " << y;
}

// Decodes a loaded file both ways: DecodeRows first (streaming), then
// AssignTo into `bitmap`, and checks that they agree.
void DecodeBothWays(TPNGObject& png, TBitmap& bitmap) {
  RowRecorder rows;
  png.DecodeRows(rows);
  EXPECT_EQ(rows.Delivered(), png.Height());
  png.AssignTo(bitmap);
  ExpectSameRaster(rows.raster, bitmap);
}

void Load(const Bytes& file, TBitmap& bitmap) {
  TPNGObject png;
  png.LoadFromBytes(file);
  DecodeBothWays(png, bitmap);
}

Image LoadColors(const Bytes& file) {
  TBitmap bitmap;
  Load(file, bitmap);
  return Colors(bitmap);
}

// ------------------------------------------------------------------------
// Reading

struct Kind {
  int color_type;
  int depth;
  TPixelFormat format;
};
const Kind kKinds[] = {
    {0, 1, TPixelFormat::Indexed1},  {0, 2, TPixelFormat::Indexed4},
    {0, 4, TPixelFormat::Indexed4},  {0, 8, TPixelFormat::Indexed8},
    {0, 16, TPixelFormat::Indexed8}, {2, 8, TPixelFormat::Bgr24},
    {2, 16, TPixelFormat::Bgr24},    {3, 1, TPixelFormat::Indexed1},
    {3, 2, TPixelFormat::Indexed4},  {3, 4, TPixelFormat::Indexed4},
    {3, 8, TPixelFormat::Indexed8},  {4, 8, TPixelFormat::Indexed8},
    {4, 16, TPixelFormat::Indexed8}, {6, 8, TPixelFormat::Bgr24},
    {6, 16, TPixelFormat::Bgr24},
};

std::string Name(const Kind& k) {
  return "colour type " + std::to_string(k.color_type) + ", depth " + std::to_string(k.depth);
}

TEST(PngRead, EveryColourTypeDepthSizeAndInterlacing) {
  // 37 x 35: rows in three batches, pixels beyond the vector steps.
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{13, 11}, {1, 1}, {1, 9},
                                                           {9, 1},   {3, 5}, {37, 35}};
  const bool have_pngtopnm = jpeg_png_test::HaveTool("pngtopnm");
  std::uint32_t seed = 1;
  for (const Kind& k : kKinds) {
    // Palette images use fewer entries than their depth allows at 8 bits.
    const std::size_t entries = k.depth == 8 ? 200 : std::size_t{1} << k.depth;
    const TPalette palette = RandomPalette(k.color_type == 3 ? entries : 0, seed);
    const std::uint32_t limit =
        k.color_type == 3 ? static_cast<std::uint32_t>(entries) : (1u << k.depth);
    for (const auto& [width, height] : sizes) {
      for (int interlace = 0; interlace <= 1; ++interlace) {
        SCOPED_TRACE(Name(k) + ", " + std::to_string(width) + "x" + std::to_string(height) +
                     (interlace ? ", Adam7" : ""));
        const Source s =
            RandomSource(width, height, k.depth, k.color_type, interlace, limit, ++seed);
        const std::vector<Chunk> extra =
            k.color_type == 3 ? std::vector<Chunk>{PlteOf(palette)} : std::vector<Chunk>{};
        const Bytes file = FileOf(s, extra);
        TPNGObject png;
        png.LoadFromBytes(file);
        EXPECT_EQ(png.Width(), static_cast<int>(width));
        EXPECT_EQ(png.Height(), static_cast<int>(height));
        TBitmap bitmap;
        DecodeBothWays(png, bitmap);
        ASSERT_EQ(bitmap.PixelFormat(), k.format);
        EXPECT_FALSE(bitmap.Transparent());
        if (k.color_type == 3) {
          EXPECT_EQ(bitmap.Palette(), palette) << "not the file's palette";
        }
        ASSERT_EQ(Colors(bitmap).pixels, Expected(s, palette).pixels);
        // Guards the file builder above: an independent decoder sees the same.
        if (width == 13 && have_pngtopnm) {
          const auto pnm = RunTool("pngtopnm", "", file);
          ASSERT_TRUE(pnm);
          const auto decoded = jpeg_png_test::ParsePnm(*pnm);
          ASSERT_TRUE(decoded);
          EXPECT_EQ(decoded->pixels, Expected(s, palette).pixels) << "pngtopnm";
        }
      }
    }
  }
}

TEST(PngRead, ImageDataMaySpreadOverManyChunks) {
  const Source s = RandomSource(21, 17, 8, 2, 1, 256, 7);
  // Chunks of 5 bytes, and empty IDAT chunks among them.
  Bytes file = FileOf(s, {}, 5);
  const Bytes empty_idat = ChunkBytes({"IDAT", {}});
  const std::size_t first_idat = 8 + 25;  // signature, IHDR
  file.insert(file.begin() + first_idat, empty_idat.begin(), empty_idat.end());
  EXPECT_EQ(LoadColors(file).pixels, Expected(s).pixels);
}

TEST(PngRead, GammaMapsSamplesPaletteAndGrayLevels) {
  // Every value 0..255 once, as RGB, palette index and gray level.
  Source rgb{256, 1, 8, 2, 0, {}};
  Source indexed{256, 1, 8, 3, 0, {}};
  Source gray{256, 1, 8, 0, 0, {}};
  TPalette ramp(256);
  for (std::uint16_t v = 0; v < 256; ++v) {
    rgb.samples.insert(rgb.samples.end(), {v, v, v});
    indexed.samples.push_back(v);
    gray.samples.push_back(v);
    ramp[v] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v),
               static_cast<std::uint8_t>(v)};
  }
  struct Case {
    std::uint32_t gama;
    std::vector<std::pair<int, int>> mapping;  // value -> decoded value
  };
  const Case cases[] = {
      {45455, {}},  // exponent 1 / (0.45455 * 2.2): the identity
      {100000, {{0, 0}, {64, 136}, {128, 186}, {255, 255}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("gAMA " + std::to_string(c.gama));
    for (const auto& [source, extra] :
         {std::pair{rgb, std::vector<Chunk>{GamaOf(c.gama)}},
          std::pair{indexed, std::vector<Chunk>{GamaOf(c.gama), PlteOf(ramp)}},
          std::pair{gray, std::vector<Chunk>{GamaOf(c.gama)}}}) {
      SCOPED_TRACE("colour type " + std::to_string(source.color_type));
      const Image colors = LoadColors(FileOf(source, extra));
      if (c.mapping.empty()) {
        EXPECT_EQ(colors.pixels, Expected(source, ramp).pixels);
        continue;
      }
      for (const auto& [from, to] : c.mapping)
        EXPECT_EQ(colors.At(from, 0),
                  (Rgb{static_cast<std::uint8_t>(to), static_cast<std::uint8_t>(to),
                       static_cast<std::uint8_t>(to)}))
            << "value " << from;
      for (int v = 1; v < 256; ++v)
        ASSERT_GE(colors.At(v, 0)[0], colors.At(v - 1, 0)[0]);
    }
  }
}

TEST(PngRead, SingleTransparentColourMarksTheRaster) {
  struct Case {
    std::string name;
    int color_type;
    int depth;
    Bytes trns;
    std::optional<TColor> color;  // none: not transparent
  };
  const Case cases[] = {
      {"gray 8", 0, 8, {0, 77}, MakeColor(77, 77, 77)},
      {"gray 4", 0, 4, {0, 3}, MakeColor(51, 51, 51)},
      {"gray 2, value out of range", 0, 2, {0, 9}, std::nullopt},
      {"gray 16", 0, 16, {0x12, 0x34}, MakeColor(0x12, 0x12, 0x12)},
      {"rgb 8", 2, 8, {0, 10, 0, 20, 0, 30}, MakeColor(10, 20, 30)},
      {"rgb 16", 2, 16, {0xAB, 0xCD, 0x01, 0x02, 0xFF, 0x00}, MakeColor(0xAB, 0x01, 0xFF)},
      {"rgb, short chunk", 2, 8, {0, 10, 0, 20}, std::nullopt},
      {"palette, one clear entry", 3, 2, {255, 0, 255}, MakeColor(4, 5, 6)},
      {"palette, two clear entries", 3, 2, {0, 0}, std::nullopt},
      {"palette, all opaque", 3, 2, {255, 255, 255, 255}, std::nullopt},
  };
  const TPalette palette = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Source s =
        RandomSource(5, 3, c.depth, c.color_type, 0, c.color_type == 3 ? 4 : 1u << c.depth, 9);
    std::vector<Chunk> extra;
    if (c.color_type == 3) extra.push_back(PlteOf(palette));
    extra.push_back({"tRNS", c.trns});
    TBitmap bitmap;
    Load(FileOf(s, extra), bitmap);
    EXPECT_EQ(bitmap.Transparent(), c.color.has_value());
    if (c.color) {
      EXPECT_EQ(bitmap.TransparentColor(), *c.color);
    }
    EXPECT_EQ(Colors(bitmap).pixels, Expected(s, palette).pixels) << "alpha was applied";
  }
}

// round(x / 255) in floating point, apart from the decoder's integers.
std::uint8_t Over(unsigned c, unsigned a, unsigned bg) {
  return static_cast<std::uint8_t>(std::lround((c * a + bg * (255.0 - a)) / 255.0));
}

// The colours of an image composited over `bg`: alpha (16 bits: high bytes)
// blended, palette entries blended by their tRNS alpha, pixels equal to a
// gray or RGB key at full precision replaced; colours gamma-mapped first.
Image Composited(const Source& s, const TPalette& palette, const Bytes& trns, std::uint32_t gama,
                 TColor bg) {
  std::array<std::uint8_t, 256> gamma{};
  for (int v = 0; v < 256; ++v)
    gamma[v] = static_cast<std::uint8_t>(
        gama == 0 ? v : std::nearbyint(std::pow(v / 255.0, 100000.0 / (gama * 2.2)) * 255.0));
  const auto high = [&](std::uint16_t v) { return s.depth == 16 ? v >> 8 : v; };
  const auto key = [&](std::size_t i) { return trns[2 * i] << 8 | trns[2 * i + 1]; };
  const Rgb backdrop = {ColorRed(bg), ColorGreen(bg), ColorBlue(bg)};
  Image image{static_cast<int>(s.width), static_cast<int>(s.height), {}};
  for (std::uint32_t y = 0; y < s.height; ++y)
    for (std::uint32_t x = 0; x < s.width; ++x) {
      Rgb colour{};
      unsigned alpha = 255;
      bool keyed = false;
      switch (s.color_type) {
        case 0: {
          const unsigned max = s.depth >= 8 ? 255 : (1u << s.depth) - 1;
          colour.fill(gamma[high(s.At(x, y, 0)) * 255 / max]);
          keyed = trns.size() >= 2 && s.At(x, y, 0) == key(0);
          break;
        }
        case 2:
          for (unsigned c = 0; c < 3; ++c)
            colour[c] = gamma[high(s.At(x, y, c))];
          keyed = trns.size() >= 6 && s.At(x, y, 0) == key(0) && s.At(x, y, 1) == key(1) &&
                  s.At(x, y, 2) == key(2);
          break;
        case 3: {
          const std::uint16_t index = s.At(x, y, 0);
          const TPaletteEntry& e = palette[index];
          colour = {gamma[e.red], gamma[e.green], gamma[e.blue]};
          alpha = index < trns.size() ? trns[index] : 255;
          break;
        }
        case 4:
          colour.fill(gamma[high(s.At(x, y, 0))]);
          alpha = high(s.At(x, y, 1));
          break;
        default:
          for (unsigned c = 0; c < 3; ++c)
            colour[c] = gamma[high(s.At(x, y, c))];
          alpha = high(s.At(x, y, 3));
          break;
      }
      if (keyed) {
        image.pixels.push_back(backdrop);
        continue;
      }
      for (unsigned c = 0; c < 3; ++c)
        colour[c] = Over(colour[c], alpha, backdrop[c]);
      image.pixels.push_back(colour);
    }
  return image;
}

TEST(PngRead, TransparencyIsCompositedOverTheBackdrop) {
  Bytes ramp;  // alpha of the first 100 entries of a 200-entry palette
  for (unsigned i = 0; i < 100; ++i)
    ramp.push_back(static_cast<std::uint8_t>(i * 53 % 256));
  struct Case {
    std::string name;
    int color_type;
    int depth;
    Bytes trns;           // empty: none
    TPixelFormat format;  // with a backdrop
    bool opaque = false;  // the same raster as without a backdrop
    std::uint32_t gama = 0;
  };
  const Case cases[] = {
      {"rgba 8", 6, 8, {}, TPixelFormat::Bgr24},
      {"rgba 16", 6, 16, {}, TPixelFormat::Bgr24},
      {"rgba 8, gAMA", 6, 8, {}, TPixelFormat::Bgr24, false, 100000},
      {"gray alpha 8", 4, 8, {}, TPixelFormat::Bgr24},
      {"gray alpha 16", 4, 16, {}, TPixelFormat::Bgr24},
      {"palette 2", 3, 2, {0, 128}, TPixelFormat::Indexed4},
      {"palette 8, part of the entries", 3, 8, ramp, TPixelFormat::Indexed8},
      {"gray 2 key", 0, 2, {0, 2}, TPixelFormat::Indexed4},
      {"gray 8 key, gAMA", 0, 8, {0, 77}, TPixelFormat::Indexed8, false, 100000},
      {"gray 16 key", 0, 16, {0x12, 0x34}, TPixelFormat::Bgr24},
      {"rgb 8 key", 2, 8, {0, 10, 0, 20, 0, 30}, TPixelFormat::Bgr24},
      {"rgb 16 key", 2, 16, {0xAB, 0xCD, 0x01, 0x02, 0xFF, 0x00}, TPixelFormat::Bgr24},
      {"rgb 8", 2, 8, {}, TPixelFormat::Bgr24, true},
      {"rgb 16, gAMA", 2, 16, {}, TPixelFormat::Bgr24, true, 100000},
      {"rgb 8, key beyond 8 bits", 2, 8, {1, 0, 0, 0, 0, 0}, TPixelFormat::Bgr24, true},
      {"gray 1", 0, 1, {}, TPixelFormat::Indexed1, true},
      {"gray 2, key beyond 2 bits", 0, 2, {0, 9}, TPixelFormat::Indexed4, true},
      {"gray 16", 0, 16, {}, TPixelFormat::Indexed8, true},
      {"palette 4, all opaque", 3, 4, {255, 255}, TPixelFormat::Indexed4, true},
  };
  const TColor white = MakeColor(255, 255, 255);
  const TColor blue = MakeColor(0x33, 0x66, 0x99);
  const bool have_pngtopnm = jpeg_png_test::HaveTool("pngtopnm");
  std::uint32_t seed = 40;
  for (const Case& c : cases) {
    const unsigned channels = Channels(c.color_type);
    const std::size_t entries = c.color_type != 3 ? 0 : c.depth == 8 ? 200 : 1u << c.depth;
    const TPalette palette = RandomPalette(entries, seed);
    const std::uint32_t max = (1u << c.depth) - 1;
    // The key's samples, when the depth can hold them.
    std::vector<std::uint16_t> key;
    for (std::size_t i = 0; c.color_type != 3 && i + 1 < c.trns.size(); i += 2)
      key.push_back(static_cast<std::uint16_t>(c.trns[i] << 8 | c.trns[i + 1]));
    if (std::any_of(key.begin(), key.end(), [&](std::uint16_t v) { return v > max; })) key.clear();
    for (int interlace = 0; interlace <= 1; ++interlace) {
      SCOPED_TRACE(c.name + (interlace ? ", Adam7" : ""));
      // 37 x 19: two batches of rows, pixels beyond the vector steps.
      Source s = RandomSource(37, 19, c.depth, c.color_type, interlace,
                              entries != 0 ? static_cast<std::uint32_t>(entries) : max + 1, ++seed);
      // Every fifth pixel the key, the next but one a near miss (the last
      // sample's lowest bit: for 16 bits the same high byte); some opaque.
      for (std::size_t i = 0; i < std::size_t{s.width} * s.height; ++i) {
        std::uint16_t* px = s.samples.data() + i * channels;
        if (!key.empty() && i % 5 < 4 && i % 5 % 2 == 1) {
          std::copy(key.begin(), key.end(), px);
          if (i % 5 == 3) px[key.size() - 1] ^= 1;
        }
        if ((c.color_type == 4 || c.color_type == 6) && i % 7 == 0) px[channels - 1] = max;
      }
      std::vector<Chunk> extra;
      if (c.gama != 0) extra.push_back(GamaOf(c.gama));
      if (c.color_type == 3) extra.push_back(PlteOf(palette));
      if (!c.trns.empty()) extra.push_back({"tRNS", c.trns});
      const Bytes file = FileOf(s, extra);
      TBitmap plain;
      Load(file, plain);
      // One object: each backdrop decodes anew, none gives the plain raster back.
      TPNGObject png;
      png.SetBackdrop(white);
      png.LoadFromBytes(file);
      for (const std::optional<TColor> backdrop :
           {std::optional(white), std::optional(blue), std::optional<TColor>()}) {
        SCOPED_TRACE(backdrop ? "backdrop " + std::to_string(*backdrop) : "no backdrop");
        png.SetBackdrop(backdrop);
        TBitmap bitmap;
        DecodeBothWays(png, bitmap);
        if (!backdrop || c.opaque) {
          ExpectSameRaster(bitmap, plain);
          continue;
        }
        EXPECT_EQ(bitmap.PixelFormat(), c.format);
        EXPECT_FALSE(bitmap.Transparent());
        const Image want = Composited(s, palette, c.trns, c.gama, *backdrop);
        ASSERT_EQ(Colors(bitmap).pixels, want.pixels);
        // An independent compositor agrees on alpha and palettes of 8 bits
        // and less (it ignores RGB keys, and writes low-depth gray at the
        // file's depth).
        if (backdrop == blue && !interlace && c.color_type >= 3 && c.depth <= 8 && c.gama == 0 &&
            have_pngtopnm) {
          const auto pnm = RunTool("pngtopnm", "-background=rgb:33/66/99 -mix", file);
          ASSERT_TRUE(pnm);
          const auto decoded = jpeg_png_test::ParsePnm(*pnm);
          ASSERT_TRUE(decoded);
          EXPECT_EQ(decoded->pixels, want.pixels) << "pngtopnm";
        }
      }
    }
  }
}

TEST(PngRead, KeepsAncillaryChunksButChrm) {
  const Source s = RandomSource(4, 4, 8, 2, 0, 256, 3);
  const Chunk text = {"tEXt", {'K', 'e', 'y', 0, 'v'}};
  const Chunk chrm = {"cHRM", Bytes(32, 1)};
  const Chunk private_chunk = {"prIV", {1, 2, 3}};
  const Bytes file = FileOf(s, {text, chrm, private_chunk});
  TPNGObject png;
  png.LoadFromBytes(file);
  std::vector<std::string> types;
  for (const auto& chunk : png.Chunks())
    types.push_back(chunk.type);
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "tEXt", "prIV", "IDAT", "IEND"}));
  // Saving writes the chunks as read.
  Bytes without_chrm = file;
  const Bytes chrm_bytes = ChunkBytes(chrm);
  const auto at =
      std::search(without_chrm.begin(), without_chrm.end(), chrm_bytes.begin(), chrm_bytes.end());
  without_chrm.erase(at, at + static_cast<std::ptrdiff_t>(chrm_bytes.size()));
  EXPECT_EQ(jpeg_png_test::SaveToBytes(png), without_chrm);
}

TEST(PngRead, RowsStreamWithoutThePicture) {
  // 4000 x 3000 RGB, a 36 MB raster: one row of colours, then rows with
  // filter Up and nothing to add, which deflate to little.
  constexpr std::size_t kWidth = 4000, kHeight = 3000, kRowBytes = 3 * kWidth;
  Bytes file;
  {
    Bytes rows((1 + kRowBytes) * kHeight, 0);
    for (std::size_t i = 0; i < kRowBytes; ++i)
      rows[1 + i] = static_cast<std::uint8_t>(i % 251);
    for (std::size_t y = 1; y < kHeight; ++y)
      rows[y * (1 + kRowBytes)] = 2;
    file = FileOf({Ihdr(kWidth, kHeight, 8, 2), {"IDAT", Deflate(rows)}, {"IEND", {}}});
  }
  ASSERT_LT(file.size(), 1u << 20);
  Bytes bgr(kRowBytes);
  for (std::size_t i = 0; i < kRowBytes; ++i)
    bgr[i] = static_cast<std::uint8_t>((i - i % 3 + 2 - i % 3) % 251);

  class Checker final : public TRowConsumer {
   public:
    explicit Checker(const Bytes& want) : want_(want) {}
    void Begin(const TRowLayout& layout) override {
      EXPECT_EQ(layout.sample.PixelFormat(), TPixelFormat::Bgr24);
    }
    void Rows(int, const std::uint8_t* const* rows, int count) override {
      for (int k = 0; k < count; ++k)
        same_ += std::equal(want_.begin(), want_.end(), rows[k]) ? 1 : 0;
      rows_ += count;
    }
    int rows_ = 0;
    int same_ = 0;

   private:
    const Bytes& want_;
  } checker(bgr);

  TPNGObject png;
  png.LoadFromBuffer(std::move(file));
  testing::ResetPeakMemory();
  const std::uint64_t before = testing::ResidentBytes();
  png.DecodeRows(checker);
  EXPECT_LT(testing::PeakMemoryBytes(), before + (4u << 20)) << "more than a few rows held";
  EXPECT_EQ(checker.rows_, 3000);
  EXPECT_EQ(checker.same_, 3000);
}

TEST(PngRead, HugeDeclaredSizeIsRefusedBeforeAllocating) {
  const Bytes file =
      FileOf({Ihdr(65535, 65535, 16, 2), {"IDAT", Deflate(Bytes(100, 0))}, {"IEND", {}}});
  TPNGObject png;
  try {
    png.LoadFromBytes(file);
    FAIL() << "no error";
  } catch (const ESourceTooLarge& e) {
    EXPECT_EQ(e.Message(), kSourceTooLargeText);
  }
  EXPECT_TRUE(png.Empty());

  // Gray with alpha, 20000 x 20000: 400 MB as Indexed8, 1.2 GB as the Bgr24
  // a backdrop asks for. The image data only has to be long enough.
  const Bytes gray_alpha =
      FileOf({Ihdr(20000, 20000, 8, 4), {"IDAT", Bytes(776'000, 0)}, {"IEND", {}}});
  TImageLimits limits;
  limits.max_pixels = 400'000'000;
  TPNGObject plain;
  plain.SetLimits(limits);
  EXPECT_NO_THROW(plain.LoadFromBytes(gray_alpha));
  plain.SetBackdrop(MakeColor(1, 2, 3));
  TBitmap bitmap;
  EXPECT_THROW(plain.AssignTo(bitmap), EOutOfResources) << "decoding over a backdrop";
  TPNGObject over;
  over.SetLimits(limits);
  over.SetBackdrop(MakeColor(1, 2, 3));
  EXPECT_THROW(over.LoadFromBytes(gray_alpha), EOutOfResources) << "loading with a backdrop";
  EXPECT_TRUE(over.Empty());
}

TEST(PngRead, EachFaultHasItsMessage) {
  const Source s = RandomSource(8, 4, 8, 2, 0, 256, 11);
  const Bytes data = Deflate(ScanLines(s));
  const Bytes half(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(data.size() / 2));
  const Bytes rest(data.begin() + static_cast<std::ptrdiff_t>(data.size() / 2), data.end());
  const Chunk ihdr = Ihdr(8, 4, 8, 2);
  const Chunk idat = {"IDAT", data};
  const Chunk iend = {"IEND", {}};
  const Bytes good = FileOf({ihdr, idat, iend});

  Bytes bad_signature = good;
  bad_signature[1] = 'p';
  Chunk short_ihdr = ihdr;
  short_ihdr.data.pop_back();
  Bytes bad_crc = FileOf({ihdr, {"IDAT", half}, {"IDAT", rest}, iend});
  bad_crc[bad_crc.size() - 13] ^= 1;  // the second IDAT's CRC
  const Bytes palette_image_data = Deflate(Bytes(4 * 9, 0));
  Bytes damaged = data;
  damaged[2] |= 0x06;  // the first block's type: 3, which does not exist
  Bytes bad_adler = data;
  bad_adler.back() ^= 1;
  // 40 rows declared, 16 (one batch) in the stream.
  const Chunk tall = Ihdr(8, 40, 8, 2);
  const Bytes sixteen_rows = Deflate(Bytes(16 * (1 + 8 * 3), 0));
  TPalette big_palette(257);

  // Faults of the image data show when it is decoded, all others when
  // the file is loaded.
  enum When { kLoad, kDecode };
  struct Case {
    std::string name;
    Bytes file;
    std::string text;
    When when = kLoad;
  };
  const Case cases[] = {
      {"signature", bad_signature, kPngInvalidHeaderText},
      {"empty file", {}, kPngInvalidHeaderText},
      {"IHDR not first", FileOf({GamaOf(45455), ihdr, idat, iend}), kPngIhdrNotFirstText},
      {"IHDR of 12 bytes", FileOf({short_ihdr, idat, iend}), kPngIhdrCorruptText},
      {"two IHDR", FileOf({ihdr, ihdr, idat, iend}), kPngIhdrCorruptText},
      {"width 0", FileOf({Ihdr(0, 4, 8, 2), idat, iend}), kPngIhdrCorruptText},
      {"RGB of 4 bits", FileOf({Ihdr(8, 4, 4, 2), idat, iend}), kPngIhdrCorruptText},
      {"colour type 5", FileOf({Ihdr(8, 4, 8, 5), idat, iend}), kPngIhdrCorruptText},
      {"width 65536", FileOf({Ihdr(65536, 4, 8, 2), idat, iend}), kPngSizeExceededText},
      {"height 2^31", FileOf({Ihdr(8, 0x80000000u, 8, 2), idat, iend}), kPngSizeExceededText},
      {"compression 1", FileOf({Ihdr(8, 4, 8, 2, 0, 1), idat, iend}), kPngUnknownCompressionText},
      {"interlace 2", FileOf({Ihdr(8, 4, 8, 2, 2), idat, iend}), kPngUnknownInterlaceText},
      {"unknown critical chunk", FileOf({ihdr, {"ABCD", {}}, idat, iend}), kPngUnknownCriticalText},
      {"CRC of a later IDAT", bad_crc, kPngCrcErrorText},
      {"PLTE of 4 bytes", FileOf({Ihdr(8, 4, 1, 3), {"PLTE", {1, 2, 3, 4}}, idat, iend}),
       kPngInvalidPaletteText},
      {"PLTE of 257 entries", FileOf({Ihdr(8, 4, 8, 3), PlteOf(big_palette), idat, iend}),
       kPngInvalidPaletteText},
      {"palette image without PLTE", FileOf({Ihdr(8, 4, 8, 3), {"IDAT", palette_image_data}, iend}),
       kPngInvalidPaletteText},
      {"tRNS of 257 bytes", FileOf({ihdr, {"tRNS", Bytes(257, 0)}, idat, iend}),
       kPngInvalidPaletteText},
      {"image data interrupted",
       FileOf({ihdr, {"IDAT", half}, {"tEXt", {'a', 0}}, {"IDAT", rest}, iend}),
       kPngMissingPartsText, kDecode},
      {"image data cut short", FileOf({ihdr, {"IDAT", half}, iend}), kPngMissingPartsText, kDecode},
      {"stream ends before the rows", FileOf({ihdr, {"IDAT", Deflate(Bytes(10, 0))}, iend}),
       kPngMissingPartsText, kDecode},
      {"stream ends before the rows, more data after it",
       FileOf({ihdr, {"IDAT", Concat(Deflate(Bytes(10, 0)), {1, 2, 3})}, iend}),
       kPngMissingPartsText, kDecode},
      {"stream ends after a batch of rows", FileOf({tall, {"IDAT", sixteen_rows}, iend}),
       kPngMissingPartsText, kDecode},
      {"stream ends after a batch of rows, more data after it",
       FileOf({tall, {"IDAT", Concat(sixteen_rows, {1, 2, 3})}, iend}), kPngMissingPartsText,
       kDecode},
      {"not a zlib stream", FileOf({ihdr, {"IDAT", {0x12, 0x34, 0x56}}, iend}),
       std::string(kPngInflateErrorText) + "incorrect header check", kDecode},
      {"damaged deflate data", FileOf({ihdr, {"IDAT", damaged}, iend}),
       std::string(kPngInflateErrorText) + "invalid block type", kDecode},
      {"wrong Adler-32", FileOf({ihdr, {"IDAT", bad_adler}, iend}),
       std::string(kPngInflateErrorText) + "incorrect data check", kDecode},
      {"image data too small for the rows", FileOf({Ihdr(8, 40000, 8, 2), idat, iend}),
       kPngMissingPartsText},
      {"no IDAT", FileOf({ihdr, iend}), kPngNoDataText},
      {"no IEND", FileOf({ihdr, idat}), kPngUnexpectedEndText},
      {"cut inside a chunk", Bytes(good.begin(), good.end() - 6), kPngUnexpectedEndText},
      {"signature only", kSignature, kPngUnexpectedEndText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPNGObject png;
    png.LoadFromBytes(good);
    if (c.when == kLoad) {
      try {
        png.LoadFromBytes(c.file);
        ADD_FAILURE() << "no error";
      } catch (const EPNGError& e) {
        EXPECT_EQ(e.Message(), c.text);
      }
      EXPECT_TRUE(png.Empty()) << "the object kept the earlier image";
      EXPECT_EQ(png.Width(), 0);
      TBitmap bitmap;
      png.AssignTo(bitmap);
      EXPECT_TRUE(bitmap.Empty());
      continue;
    }
    png.LoadFromBytes(c.file);
    EXPECT_EQ(png.Width(), 8);
    // Each way of decoding fails, every time it is asked.
    for (int attempt = 0; attempt < 2; ++attempt) {
      RowRecorder rows;
      try {
        png.DecodeRows(rows);
        ADD_FAILURE() << "DecodeRows: no error";
      } catch (const EPNGError& e) {
        EXPECT_EQ(e.Message(), c.text) << "DecodeRows";
      }
      TBitmap bitmap;
      try {
        png.AssignTo(bitmap);
        ADD_FAILURE() << "AssignTo: no error";
      } catch (const EPNGError& e) {
        EXPECT_EQ(e.Message(), c.text) << "AssignTo";
      }
    }
  }
}

// ------------------------------------------------------------------------
// Writing

// The chunks of a file, with their CRCs checked.
std::vector<Chunk> ChunksOf(const Bytes& file) {
  ByteReader in(file);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), kSignature);
  in.skip(8);
  std::vector<Chunk> out;
  while (!in.at_end()) {
    const std::uint32_t length = in.u32be();
    const auto type = in.bytes(4);
    const auto data = in.bytes(length);
    Chunk chunk = {std::string(type.begin(), type.end()), Bytes(data.begin(), data.end())};
    const Bytes expected = ChunkBytes(chunk);
    EXPECT_EQ(in.u32be(), ByteReader(expected).sub(expected.size() - 4, 4).u32be())
        << "CRC of " << chunk.type;
    out.push_back(std::move(chunk));
  }
  return out;
}

std::vector<std::string> TypesOf(const std::vector<Chunk>& chunks) {
  std::vector<std::string> types;
  for (const Chunk& c : chunks)
    types.push_back(c.type);
  return types;
}

Bytes ImageData(const std::vector<Chunk>& chunks) {
  Bytes data;
  for (const Chunk& c : chunks)
    if (c.type == "IDAT") data.insert(data.end(), c.data.begin(), c.data.end());
  return data;
}

Bytes Save(const TBitmap& bitmap, std::optional<std::uint8_t> level = std::nullopt) {
  TPNGObject png;
  png.Assign(bitmap);
  if (level) png.SetCompressionLevel(*level);
  return jpeg_png_test::SaveToBytes(png);
}

Image NoiseImage(int width, int height, std::uint32_t seed) {
  Noise noise(seed);
  Image image{width, height, {}};
  for (int i = 0; i < width * height; ++i)
    image.pixels.push_back({static_cast<std::uint8_t>(noise.Next()),
                            static_cast<std::uint8_t>(noise.Next()),
                            static_cast<std::uint8_t>(noise.Next())});
  return image;
}

// Checks a file with pngcheck and decodes it with pngtopnm, when installed.
std::optional<Image> Independent(const Bytes& file) {
  if (!jpeg_png_test::HaveTool("pngtopnm")) return std::nullopt;
  if (jpeg_png_test::HaveTool("pngcheck")) {
    EXPECT_TRUE(RunTool("pngcheck", "-q {}", file)) << "pngcheck";
  }
  const auto pnm = RunTool("pngtopnm", "", file);
  EXPECT_TRUE(pnm) << "pngtopnm rejected the file";
  return pnm ? jpeg_png_test::ParsePnm(*pnm) : std::nullopt;
}

// The sum of a filtered row's bytes taken as signed magnitudes.
unsigned FilterCost(const std::uint8_t* row, std::size_t n) {
  unsigned cost = 0;
  for (std::size_t i = 0; i < n; ++i)
    cost += row[i] < 128 ? row[i] : 256 - row[i];
  return cost;
}

TEST(PngWrite, RgbRowsGetTheFilterOfLeastSum) {
  // Noise, a smooth ramp and flat bands: every filter wins some rows.
  Image source = NoiseImage(37, 23, 5);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) {
      Rgb& c = source.pixels[static_cast<std::size_t>(y) * 37 + x];
      if (y % 3 == 1) c = {static_cast<std::uint8_t>(7 * x), static_cast<std::uint8_t>(y), 9};
      if (y % 6 == 2) c = {40, 50, 60};
    }
  TBitmap bitmap;
  jpeg_png_test::ToBitmap(source, bitmap);
  const Bytes file = Save(bitmap);
  const std::vector<Chunk> chunks = ChunksOf(file);
  EXPECT_EQ(TypesOf(chunks), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 37, 0, 0, 0, 23, 8, 2, 0, 0, 0}));
  const std::size_t n = 37 * 3;
  const Bytes rows = Inflate(ImageData(chunks));
  ASSERT_EQ(rows.size(), 23 * (1 + n));
  std::array<int, 5> used{};
  for (int y = 0; y < 23; ++y) {
    SCOPED_TRACE("row " + std::to_string(y));
    // Each filter applied to the source row; the file's must cost least,
    // and be the first of equals.
    std::array<unsigned, 5> costs{};
    Bytes mine;
    for (int type = 0; type < 5; ++type) {
      Bytes filtered(n);
      for (std::size_t i = 0; i < n; ++i) {
        const auto at = [&](int x, int yy) {
          return x < 0 || yy < 0 ? 0 : source.At(x, yy)[i % 3];
        };
        const int x = static_cast<int>(i / 3);
        filtered[i] = static_cast<std::uint8_t>(
            source.At(x, y)[i % 3] - Predict(type, at(x - 1, y), at(x, y - 1), at(x - 1, y - 1)));
      }
      costs[static_cast<std::size_t>(type)] = FilterCost(filtered.data(), n);
      if (type == rows[y * (1 + n)]) mine = filtered;
    }
    const std::uint8_t type = rows[y * (1 + n)];
    ASSERT_LT(type, 5);
    ++used[type];
    EXPECT_EQ(Bytes(rows.begin() + y * (1 + n) + 1, rows.begin() + (y + 1) * (1 + n)), mine);
    const auto least = std::min_element(costs.begin(), costs.end());
    EXPECT_EQ(type, least - costs.begin()) << "costs " << costs[0] << " " << costs[1] << " "
                                           << costs[2] << " " << costs[3] << " " << costs[4];
  }
  EXPECT_EQ(std::count(used.begin(), used.end(), 0), 0) << "a filter was never chosen";
  EXPECT_EQ(LoadColors(file).pixels, source.pixels);
  if (const auto decoded = Independent(file)) {
    EXPECT_EQ(decoded->pixels, source.pixels);
  }
}

TEST(PngWrite, Rgb565IsWidenedToRgb8) {
  const std::uint16_t words[] = {0xF800, 0x07E0, 0x001F, 0x8410, 0xFFFF, 0x0000, 0x1234, 0xABCD};
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::Rgb565);
  bitmap.SetSize(4, 2);
  Image expected{4, 2, {}};
  for (int i = 0; i < 8; ++i) {
    std::uint8_t* p = bitmap.Row(i / 4) + 2 * (i % 4);
    p[0] = static_cast<std::uint8_t>(words[i]);
    p[1] = static_cast<std::uint8_t>(words[i] >> 8);
    const unsigned r = words[i] >> 11, g = (words[i] >> 5) & 63, b = words[i] & 31;
    expected.pixels.push_back({static_cast<std::uint8_t>(r << 3 | r >> 2),
                               static_cast<std::uint8_t>(g << 2 | g >> 4),
                               static_cast<std::uint8_t>(b << 3 | b >> 2)});
  }
  const Bytes file = Save(bitmap);
  const std::vector<Chunk> chunks = ChunksOf(file);
  EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 4, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
  EXPECT_EQ(LoadColors(file).pixels, expected.pixels);
  if (const auto decoded = Independent(file)) {
    EXPECT_EQ(decoded->pixels, expected.pixels);
  }
}

void SetIndex(TBitmap& bitmap, int x, int y, unsigned bits, unsigned v) {
  std::uint8_t* row = bitmap.Row(y);
  const unsigned per_byte = 8 / bits;
  const unsigned shift = 8 - bits * (x % per_byte + 1);
  row[x / per_byte] =
      static_cast<std::uint8_t>((row[x / per_byte] & ~(((1u << bits) - 1) << shift)) | v << shift);
}

TEST(PngWrite, IndexedRastersBecomePaletteImagesOfTheirDepth) {
  const std::pair<TPixelFormat, unsigned> formats[] = {
      {TPixelFormat::Indexed1, 1}, {TPixelFormat::Indexed4, 4}, {TPixelFormat::Indexed8, 8}};
  for (const auto& [format, bits] : formats) {
    SCOPED_TRACE("depth " + std::to_string(bits));
    // Indexed4 gets only 10 colours: the rest of PLTE is black.
    const std::size_t used = bits == 4 ? 10 : std::size_t{1} << bits;
    const TPalette palette = RandomPalette(used, bits);
    TBitmap bitmap;
    bitmap.SetPixelFormat(format);
    bitmap.SetSize(13, 5);
    bitmap.SetPalette(palette);
    Noise noise(bits);
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 13; ++x)
        SetIndex(bitmap, x, y, bits, noise.Next() % used);
    const Image expected = Colors(bitmap);

    const Bytes file = Save(bitmap);
    const std::vector<Chunk> chunks = ChunksOf(file);
    EXPECT_EQ(TypesOf(chunks), (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[0].data,
              (Bytes{0, 0, 0, 13, 0, 0, 0, 5, static_cast<std::uint8_t>(bits), 3, 0, 0, 0}));
    TPalette full = palette;
    full.resize(std::size_t{1} << bits);
    EXPECT_EQ(chunks[1].data, PlteOf(full).data);
    const Bytes rows = Inflate(ImageData(chunks));
    const std::size_t row_bytes = (13 * bits + 7) / 8;
    for (std::size_t y = 0; y < 5; ++y)
      EXPECT_EQ(rows[y * (1 + row_bytes)], 0) << "filter of row " << y;
    TBitmap reread;
    Load(file, reread);
    EXPECT_EQ(reread.PixelFormat(), format);
    EXPECT_EQ(Colors(reread).pixels, expected.pixels);
    if (const auto decoded = Independent(file)) {
      EXPECT_EQ(decoded->pixels, expected.pixels);
    }
  }
}

TEST(PngWrite, TransparentRastersGetTrns) {
  TBitmap rgb;
  jpeg_png_test::ToBitmap(NoiseImage(3, 2, 1), rgb);
  rgb.SetTransparent(true);
  rgb.SetTransparentColor(MakeColor(1, 2, 3));
  std::vector<Chunk> chunks = ChunksOf(Save(rgb));
  EXPECT_EQ(TypesOf(chunks), (std::vector<std::string>{"IHDR", "tRNS", "IDAT", "IEND"}));
  EXPECT_EQ(chunks[1].data, (Bytes{0, 1, 0, 2, 0, 3}));

  TBitmap indexed;
  indexed.SetPixelFormat(TPixelFormat::Indexed8);
  indexed.SetSize(3, 2);
  indexed.SetPalette({{9, 9, 9}, {8, 8, 8}, {1, 2, 3}, {1, 2, 3}});
  indexed.SetTransparent(true);
  indexed.SetTransparentColor(MakeColor(1, 2, 3));
  const Bytes file = Save(indexed);
  chunks = ChunksOf(file);
  EXPECT_EQ(TypesOf(chunks), (std::vector<std::string>{"IHDR", "PLTE", "tRNS", "IDAT", "IEND"}));
  EXPECT_EQ(chunks[2].data, (Bytes{255, 255, 0}));
  TBitmap reread;
  Load(file, reread);
  EXPECT_TRUE(reread.Transparent());
  EXPECT_EQ(reread.TransparentColor(), MakeColor(1, 2, 3));
}

TEST(PngWrite, LevelAndStrategyReachZlib) {
  // Sparse dots of one grey on black: a graphic (most filtered bytes 0),
  // deflated with the default strategy, many short matches so that the
  // levels' search limits all give different streams. Noise: continuous
  // tone, deflated with Z_RLE.
  Image graphic = NoiseImage(120, 80, 2);
  for (Rgb& c : graphic.pixels)
    for (std::uint8_t& v : c)
      v = v % 8 == 0 ? 50 : 0;
  const Image photo = NoiseImage(120, 80, 3);
  struct Case {
    const char* name;
    const Image& image;
    int strategy;
  };
  for (const Case& c :
       {Case{"graphic", graphic, Z_DEFAULT_STRATEGY}, Case{"noise", photo, Z_RLE}}) {
    SCOPED_TRACE(c.name);
    TBitmap bitmap;
    jpeg_png_test::ToBitmap(c.image, bitmap);
    const Bytes rows = Inflate(ImageData(ChunksOf(Save(bitmap))));
    // The same filtered rows deflated in one go with the same parameters.
    const auto reference = [&](int level) {
      z_stream zs{};
      EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15, 8, c.strategy), Z_OK);
      Bytes out(deflateBound(&zs, static_cast<uLong>(rows.size())));
      zs.next_in = const_cast<Bytef*>(rows.data());
      zs.avail_in = static_cast<uInt>(rows.size());
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
      out.resize(zs.total_out);
      deflateEnd(&zs);
      return out;
    };
    if (c.strategy == Z_DEFAULT_STRATEGY) {
      ASSERT_NE(reference(7), reference(8));
      ASSERT_NE(reference(8), reference(9));
    }
    EXPECT_EQ(TPNGObject().CompressionLevel(), 7);
    EXPECT_EQ(ImageData(ChunksOf(Save(bitmap))), reference(7)) << "default level";
    for (const int level : {1, 5, 8, 9})
      EXPECT_EQ(ImageData(ChunksOf(Save(bitmap, level))), reference(level)) << "level " << level;
    // Levels above 9 count as 9.
    EXPECT_EQ(ImageData(ChunksOf(Save(bitmap, 10))), reference(9));
    EXPECT_EQ(ImageData(ChunksOf(Save(bitmap, 255))), reference(9));
    // Level 0: a zlib header without compression, then stored blocks of
    // rows with filter None.
    const Bytes stored = ImageData(ChunksOf(Save(bitmap, 0)));
    ASSERT_GT(stored.size(), 3u);
    EXPECT_EQ(stored[0], 0x78);
    EXPECT_EQ(stored[1], 0x01);
    EXPECT_EQ(stored[2] & 0x06, 0) << "first block is not stored";
    Bytes plain;
    for (int y = 0; y < c.image.height; ++y) {
      plain.push_back(0);
      for (int x = 0; x < c.image.width; ++x)
        plain.insert(plain.end(), c.image.At(x, y).begin(), c.image.At(x, y).end());
    }
    EXPECT_EQ(Inflate(stored), plain);
  }
}

TEST(PngWrite, ImageDataIsCutIntoChunksOf65535Bytes) {
  // Stored (level 0) data grows with the image, so some one-row palette
  // image compresses to exactly 65536 bytes: chunks of 65535 and 1.
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::Indexed8);
  std::optional<std::vector<Chunk>> exact;
  for (int width = 65400; width <= 65535 && !exact; ++width) {
    bitmap.SetSize(width, 1);
    std::vector<Chunk> chunks = ChunksOf(Save(bitmap, 0));
    if (ImageData(chunks).size() == 65536) exact = std::move(chunks);
  }
  ASSERT_TRUE(exact) << "no width gave 65536 bytes";
  std::vector<std::size_t> sizes;
  for (const Chunk& c : *exact)
    if (c.type == "IDAT") sizes.push_back(c.data.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{65535, 1}));

  // Incompressible data at the strongest level: all chunks full but the last.
  TBitmap noise;
  jpeg_png_test::ToBitmap(NoiseImage(300, 250, 4), noise);
  sizes.clear();
  std::size_t total = 0;
  for (const Chunk& c : ChunksOf(Save(noise, 9)))
    if (c.type == "IDAT") {
      sizes.push_back(c.data.size());
      total += c.data.size();
    }
  ASSERT_EQ(sizes.size(), (total + 65534) / 65535);
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
    EXPECT_EQ(sizes[i], 65535u);
  EXPECT_GT(sizes.back(), 0u);
}

TEST(PngWrite, EmptyRasterWritesNothing) {
  TPNGObject png;
  png.Assign(TBitmap());
  EXPECT_TRUE(png.Empty());
  EXPECT_TRUE(jpeg_png_test::SaveToBytes(png).empty());
}

}  // namespace
}  // namespace skalo
