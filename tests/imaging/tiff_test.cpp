#include "imaging/tiff.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/jpeg.h"
#include "tests/imaging/peak_memory.h"
#include "tiff_test_writer.h"

namespace skalo {
namespace {

using ::testing::HasSubstr;
using tifftest::Bytes;
using tifftest::MakeTiff;
using tifftest::TestImage;
using tifftest::TiffWriter;

// A raster decoded from a whole TIFF file.
struct Loaded : TBitmap {
  explicit Loaded(const Bytes& file, const TImageLimits& limits = {}) {
    DecodeTiff(file, *this, limits);
  }
};

// The failure's message, or "" when the file loads.
std::string LoadError(const Bytes& file, const TImageLimits& limits = {}) {
  try {
    Loaded raster(file, limits);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

struct Rgb {
  int r, g, b;
};

int IndexAt(const TBitmap& raster, int x, int y) {
  const std::uint8_t* row = raster.ConstRow(y);
  switch (raster.PixelFormat()) {
    case TPixelFormat::Indexed1:
      return row[x / 8] >> (7 - x % 8) & 1;
    case TPixelFormat::Indexed4:
      return row[x / 2] >> (x % 2 ? 0 : 4) & 15;
    default:
      return row[x];
  }
}

Rgb PixelAt(const TBitmap& raster, int x, int y) {
  const std::uint8_t* row = raster.ConstRow(y);
  if (raster.PixelFormat() == TPixelFormat::Bgr24)
    return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
  if (raster.PixelFormat() == TPixelFormat::Bgrx32)
    return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
  const TPaletteEntry e = raster.Palette().at(static_cast<std::size_t>(IndexAt(raster, x, y)));
  return {e.red, e.green, e.blue};
}

// A deterministic RGB test picture with smooth and noisy parts.
Bytes RgbPicture(std::uint32_t w, std::uint32_t h, int channels = 3) {
  Bytes out;
  std::mt19937 rng(42);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) {
      out.push_back(static_cast<std::uint8_t>(x * 255 / (w - 1)));
      out.push_back(static_cast<std::uint8_t>(y * 255 / (h - 1)));
      out.push_back(static_cast<std::uint8_t>((x + y) % 2 ? 200 : 40 + (x * y) % 50));
      if (channels == 4) out.push_back(static_cast<std::uint8_t>(rng()));
    }
  return out;
}

// A JPEG file of a w x h picture from our encoder (4:2:0, so 16-row MCUs).
Bytes JpegOf(std::uint32_t w, std::uint32_t h) {
  const Bytes rgb = RgbPicture(w, h);
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::Bgr24);
  bitmap.SetSize(static_cast<int>(w), static_cast<int>(h));
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        bitmap.Row(static_cast<int>(y))[3 * x + c] = rgb[(y * w + x) * 3 + 2 - c];
  TJPEGImage jpeg;
  jpeg.Assign(bitmap);
  jpeg.Compress();
  return jpeg.Data();
}

// A file whose strips all point at the same bytes, stored once.
Bytes SharedStrips(const TestImage& image, const Bytes& strip) {
  const std::uint32_t rows = image.rows_per_strip ? image.rows_per_strip : image.height;
  const std::size_t count = (image.height + rows - 1) / rows;
  return tifftest::MakeWriter(image, Bytes{})
      .Strip(strip)
      .Long(273, std::vector<std::uint32_t>(count, 8))
      .Long(279, std::vector<std::uint32_t>(count, static_cast<std::uint32_t>(strip.size())))
      .Build();
}

// --- Gray and palette images ---

TEST(TiffGray, EightBitSamplesKeepTheirValuesAsIndicesOfAGrayPalette) {
  const Bytes samples = {0, 1, 127, 255, 10, 20, 30, 40};
  TestImage image{.width = 4, .height = 2};
  for (std::uint32_t photometric : {0u, 1u}) {
    image.photometric = photometric;
    const Loaded r(MakeTiff(image, samples));
    ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed8);
    ASSERT_EQ(r.Palette().size(), 256u);
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(IndexAt(r, i % 4, i / 4), samples[i]);
    // White-is-zero shows 0 as white.
    EXPECT_EQ(PixelAt(r, 0, 0).r, photometric == 0 ? 255 : 0);
    EXPECT_EQ(PixelAt(r, 2, 0).g, photometric == 0 ? 128 : 127);
  }
}

TEST(TiffGray, LowBitDepthsGiveIndexed1AndIndexed4) {
  {
    const Loaded r(MakeTiff({.width = 10, .height = 1, .bits = 1, .photometric = 0},
                            Bytes{0b10110000, 0b01000000}));
    ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed1);
    const int want[10] = {1, 0, 1, 1, 0, 0, 0, 0, 0, 1};
    for (int x = 0; x < 10; ++x)
      EXPECT_EQ(IndexAt(r, x, 0), want[x]) << "x=" << x;
    EXPECT_EQ(PixelAt(r, 0, 0).r, 0);  // white-is-zero: 1 is black
    EXPECT_EQ(PixelAt(r, 1, 0).r, 255);
  }
  for (std::uint32_t bits : {2u, 3u, 4u}) {
    // Values 0..2^bits-1 packed most significant bit first.
    const std::uint32_t n = 1u << bits;
    Bytes packed((n * bits + 7) / 8);
    for (std::uint32_t i = 0; i < n; ++i)
      for (std::uint32_t b = 0; b < bits; ++b)
        if (i >> (bits - 1 - b) & 1) packed[(i * bits + b) / 8] |= 0x80 >> ((i * bits + b) % 8);
    const Loaded r(MakeTiff({.width = n, .height = 1, .bits = bits}, packed));
    ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed4) << bits;
    ASSERT_EQ(r.Palette().size(), n);
    for (std::uint32_t i = 0; i < n; ++i)
      EXPECT_EQ(IndexAt(r, static_cast<int>(i), 0), static_cast<int>(i));
    EXPECT_EQ(PixelAt(r, static_cast<int>(n - 1), 0).g, 255);
  }
}

TEST(TiffGray, WiderSamplesAreReducedToTheirTopEightBits) {
  for (bool big_endian : {false, true}) {
    const Bytes le = {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80};
    const Bytes be = {0x12, 0x34, 0xFF, 0xFF, 0x80, 0x00};
    const Loaded r(MakeTiff({.width = 3, .height = 1, .bits = 16, .big_endian = big_endian},
                            big_endian ? be : le));
    ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed8);
    EXPECT_EQ(IndexAt(r, 0, 0), 0x12);
    EXPECT_EQ(IndexAt(r, 1, 0), 0xFF);
    EXPECT_EQ(IndexAt(r, 2, 0), 0x80);
  }
  // 12 bits: 0xABC and 0x123 packed into three bytes.
  const Loaded r(MakeTiff({.width = 2, .height = 1, .bits = 12}, Bytes{0xAB, 0xC1, 0x23}));
  EXPECT_EQ(IndexAt(r, 0, 0), 0xAB);
  EXPECT_EQ(IndexAt(r, 1, 0), 0x12);
}

TEST(TiffGray, DepthsWithoutARasterFormatAreInvalid) {
  for (std::uint32_t bits : {5u, 6u, 7u, 17u, 32u})
    EXPECT_EQ(LoadError(MakeTiff({.width = 1, .height = 1, .bits = bits}, Bytes(8))),
              "Invalid pixel format")
        << bits;
  // Gray with an alpha sample of fewer than 8 bits.
  EXPECT_EQ(
      LoadError(MakeTiff({.width = 1, .height = 1, .bits = 4, .samples_per_pixel = 2}, Bytes(1))),
      "Invalid pixel format");
}

TEST(TiffGray, ExtraSamplesAreDropped) {
  // Gray and alpha of 8 and 16 bits, chunky and planar: the gray sample's
  // top byte is the index.
  const Bytes gray = {0x10, 0x80, 0xFF}, alpha = {0x00, 0x55, 0xAA};
  for (const std::uint32_t bits : {8u, 16u})
    for (const bool planar : {false, true})
      for (const bool big_endian : {false, true}) {
        Bytes samples;
        auto put = [&](std::uint8_t top) {
          if (bits == 16 && big_endian) samples.push_back(top);
          if (bits == 16) samples.push_back(0x5A);
          if (bits == 8 || !big_endian) samples.push_back(top);
        };
        for (std::size_t i = 0; i < 3; ++i) {
          put(gray[i]);
          if (!planar) put(alpha[i]);
        }
        for (std::size_t i = 0; planar && i < 3; ++i)
          put(alpha[i]);
        const Loaded r(MakeTiff({.width = 3,
                                 .height = 1,
                                 .bits = bits,
                                 .samples_per_pixel = 2,
                                 .planar = planar,
                                 .big_endian = big_endian},
                                samples));
        ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed8);
        for (int x = 0; x < 3; ++x)
          EXPECT_EQ(IndexAt(r, x, 0), gray[x]) << bits << " bits, planar " << planar << ", x " << x;
      }
}

TEST(TiffPalette, ColourMapEntriesAreReducedToEightBits) {
  std::vector<std::uint32_t> map(3 * 16, 0);
  map[5] = 0xFF00;       // red of entry 5
  map[16 + 5] = 0x80FF;  // green
  map[32 + 5] = 0x1234;  // blue
  const Bytes file =
      tifftest::MakeWriter({.width = 2, .height = 1, .bits = 4, .photometric = 3}, Bytes{0x50})
          .Short(320, map)
          .Build();
  const Loaded r(file);
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed4);
  ASSERT_EQ(r.Palette().size(), 16u);
  EXPECT_EQ(IndexAt(r, 0, 0), 5);
  EXPECT_EQ(r.Palette()[5], (TPaletteEntry{0xFF, 0x80, 0x12}));

  const Bytes no_map = MakeTiff({.width = 2, .height = 1, .bits = 8, .photometric = 3}, Bytes(2));
  EXPECT_THAT(LoadError(no_map), HasSubstr("ColorMap"));
  // A 16-bit palette image cannot keep its colour map in an 8-bit raster.
  EXPECT_EQ(LoadError(MakeTiff({.width = 1, .height = 1, .bits = 16, .photometric = 3}, Bytes(2))),
            "Invalid pixel format");
}

// --- Colour images ---

TEST(TiffColour, RgbSamplesBecomeBgr24OrRgb555) {
  const Bytes rgb = RgbPicture(5, 3);
  const Loaded r(
      MakeTiff({.width = 5, .height = 3, .samples_per_pixel = 3, .photometric = 2}, rgb));
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Bgr24);
  for (int i = 0; i < 15; ++i) {
    const Rgb p = PixelAt(r, i % 5, i / 5);
    EXPECT_EQ(p.r, rgb[3 * i]);
    EXPECT_EQ(p.g, rgb[3 * i + 1]);
    EXPECT_EQ(p.b, rgb[3 * i + 2]);
  }

  // 5-bit samples: red 31, green 1, blue 16 -> bits 11111 00001 10000.
  const Loaded r5(
      MakeTiff({.width = 1, .height = 1, .bits = 5, .samples_per_pixel = 3, .photometric = 2},
               Bytes{0b11111000, 0b01100000}));
  ASSERT_EQ(r5.PixelFormat(), TPixelFormat::Rgb555);
  const std::uint8_t* p = r5.ConstRow(0);
  EXPECT_EQ(p[0] | p[1] << 8, 31 << 10 | 1 << 5 | 16);

  // 16-bit samples keep their top bytes, in either byte order.
  for (bool be : {false, true}) {
    const Bytes s =
        be ? Bytes{0xAB, 0x01, 0x00, 0xFF, 0x7F, 0xFF} : Bytes{0x01, 0xAB, 0xFF, 0x00, 0xFF, 0x7F};
    const Loaded r16(MakeTiff({.width = 1,
                               .height = 1,
                               .bits = 16,
                               .samples_per_pixel = 3,
                               .photometric = 2,
                               .big_endian = be},
                              s));
    ASSERT_EQ(r16.PixelFormat(), TPixelFormat::Bgr24);
    const Rgb c = PixelAt(r16, 0, 0);
    EXPECT_EQ(c.r, 0xAB);
    EXPECT_EQ(c.g, 0x00);
    EXPECT_EQ(c.b, 0x7F);
  }
}

TEST(TiffColour, FourSamplesOfEightBitsOrMoreGiveBgrx32WithTheExtraSample) {
  const Bytes rgba = RgbPicture(4, 2, 4);
  const Loaded r(
      MakeTiff({.width = 4, .height = 2, .samples_per_pixel = 4, .photometric = 2}, rgba));
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Bgrx32);
  for (int i = 0; i < 8; ++i) {
    const std::uint8_t* px = r.ConstRow(i / 4) + 4 * (i % 4);
    EXPECT_EQ(px[0], rgba[4 * i + 2]);
    EXPECT_EQ(px[1], rgba[4 * i + 1]);
    EXPECT_EQ(px[2], rgba[4 * i]);
    EXPECT_EQ(px[3], rgba[4 * i + 3]);
  }
  EXPECT_EQ(LoadError(MakeTiff(
                {.width = 1, .height = 1, .bits = 4, .samples_per_pixel = 4, .photometric = 2},
                Bytes(2))),
            "Invalid pixel format");
  EXPECT_EQ(LoadError(MakeTiff({.width = 1, .height = 1, .samples_per_pixel = 5, .photometric = 2},
                               Bytes(5))),
            "Invalid pixel format");
}

TEST(TiffColour, CmykInksAreSubtracted) {
  const Bytes cmyk = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255, 0, 128, 0, 0, 0, 0, 255, 128};
  const Loaded r(
      MakeTiff({.width = 5, .height = 1, .samples_per_pixel = 4, .photometric = 5}, cmyk));
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Bgr24);
  const Rgb want[5] = {{255, 255, 255}, {0, 255, 255}, {0, 0, 0}, {255, 127, 255}, {127, 127, 0}};
  for (int x = 0; x < 5; ++x) {
    const Rgb p = PixelAt(r, x, 0);
    EXPECT_EQ(p.r, want[x].r) << x;
    EXPECT_EQ(p.g, want[x].g) << x;
    EXPECT_EQ(p.b, want[x].b) << x;
  }
  // With an alpha sample: Bgrx32.
  const Loaded a(MakeTiff({.width = 1, .height = 1, .samples_per_pixel = 5, .photometric = 5},
                          Bytes{0, 0, 0, 0, 77}));
  ASSERT_EQ(a.PixelFormat(), TPixelFormat::Bgrx32);
  EXPECT_EQ(a.ConstRow(0)[3], 77);
}

// RGB -> YCbCr by TIFF 6.0 section 21 with the default coefficients.
void ToYCbCr(const Rgb& c, std::uint8_t& y, std::uint8_t& cb, std::uint8_t& cr) {
  const double yy = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
  y = static_cast<std::uint8_t>(std::lround(yy));
  cb = static_cast<std::uint8_t>(std::lround(std::clamp((c.b - yy) / 1.772 + 128, 0.0, 255.0)));
  cr = static_cast<std::uint8_t>(std::lround(std::clamp((c.r - yy) / 1.402 + 128, 0.0, 255.0)));
}

TEST(TiffColour, YCbCrDataUnitsFollowTheSubsampling) {
  struct Case {
    std::uint32_t h, v;
  };
  for (const Case k : {Case{1, 1}, Case{2, 1}, Case{2, 2}, Case{4, 2}}) {
    // 5 x 3 pixels: blocks alternate between one colour (chroma checked) and
    // a gray ramp (luma order inside the unit checked).
    const std::uint32_t w = 5, h = 3;
    const Rgb colours[3] = {{200, 30, 40}, {20, 180, 60}, {30, 60, 220}};
    std::vector<Rgb> want(w * h);
    Bytes data;
    const std::uint32_t units_x = (w + k.h - 1) / k.h, units_y = (h + k.v - 1) / k.v;
    for (std::uint32_t uy = 0; uy < units_y; ++uy)
      for (std::uint32_t ux = 0; ux < units_x; ++ux) {
        const bool gray = (ux + uy) % 2 == 1;
        const Rgb base = colours[(ux + uy) % 3];
        std::uint8_t y0, cb, cr;
        ToYCbCr(base, y0, cb, cr);
        for (std::uint32_t j = 0; j < k.v; ++j)
          for (std::uint32_t i = 0; i < k.h; ++i) {
            const auto level = static_cast<std::uint8_t>(30 + 25 * (j * k.h + i));
            data.push_back(gray ? level : y0);
            const std::uint32_t x = ux * k.h + i, y = uy * k.v + j;
            if (x < w && y < h) want[y * w + x] = gray ? Rgb{level, level, level} : base;
          }
        data.push_back(gray ? 128 : cb);
        data.push_back(gray ? 128 : cr);
      }
    TiffWriter writer = tifftest::MakeWriter(
        {.width = w, .height = h, .samples_per_pixel = 3, .photometric = 6}, Bytes{});
    writer.Strip(data).Short(530, {k.h, k.v});
    // The same data units as tiles of one unit each.
    TiffWriter tiles = tifftest::MakeWriter({.width = w,
                                             .height = h,
                                             .samples_per_pixel = 3,
                                             .photometric = 6,
                                             .tile_width = k.h,
                                             .tile_length = k.v},
                                            Bytes{});
    const std::size_t unit = k.h * k.v + 2;
    for (std::size_t at = 0; at < data.size(); at += unit)
      tiles.Strip(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.begin() + static_cast<std::ptrdiff_t>(at + unit)));
    tiles.Short(530, {k.h, k.v});
    for (const Bytes& file : {writer.Build(), tiles.Build()}) {
      const Loaded r(file);
      ASSERT_EQ(r.PixelFormat(), TPixelFormat::Bgr24);
      for (std::uint32_t i = 0; i < w * h; ++i) {
        const Rgb p = PixelAt(r, static_cast<int>(i % w), static_cast<int>(i / w));
        EXPECT_NEAR(p.r, want[i].r, 2) << k.h << "x" << k.v << " pixel " << i;
        EXPECT_NEAR(p.g, want[i].g, 2) << k.h << "x" << k.v << " pixel " << i;
        EXPECT_NEAR(p.b, want[i].b, 2) << k.h << "x" << k.v << " pixel " << i;
      }
    }
  }
}

TEST(TiffColour, YCbCrHonoursReferenceBlackWhite) {
  // Studio range: Y 16..235, chroma 128 +- 112; Y 235 is white.
  TiffWriter writer = tifftest::MakeWriter(
      {.width = 2, .height = 1, .samples_per_pixel = 3, .photometric = 6}, Bytes{});
  writer.Strip(Bytes{235, 16, 128, 128}).Short(530, {2, 1});
  writer.Rational(532, {16, 1, 235, 1, 128, 1, 240, 1, 128, 1, 240, 1});
  const Loaded r(writer.Build());
  EXPECT_EQ(PixelAt(r, 0, 0).g, 255);
  EXPECT_EQ(PixelAt(r, 1, 0).g, 0);
}

TEST(TiffColour, CieLabIsShownInSrgb) {
  // L* 100 and 0 on the gray axis, then sRGB red (L* 53.2, a* 80, b* 67).
  const Bytes lab = {255, 0, 0, 0, 0, 0, 136, 80, 67};
  const Loaded r(
      MakeTiff({.width = 3, .height = 1, .samples_per_pixel = 3, .photometric = 8}, lab));
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Bgr24);
  const Rgb white = PixelAt(r, 0, 0), black = PixelAt(r, 1, 0), red = PixelAt(r, 2, 0);
  EXPECT_GE(std::min({white.r, white.g, white.b}), 254);
  EXPECT_EQ(black.r + black.g + black.b, 0);
  EXPECT_NEAR(red.r, 255, 4);
  EXPECT_NEAR(red.g, 0, 6);
  EXPECT_NEAR(red.b, 0, 6);
}

// --- Strip layout and fill order ---

TEST(TiffLayout, PlanesStripsAndTilesGiveTheSameRaster) {
  const std::uint32_t w = 7, h = 5;
  const Bytes chunky8 = RgbPicture(w, h);
  Bytes chunky16;  // little-endian, the top bytes those of chunky8
  for (std::size_t i = 0; i < chunky8.size(); ++i) {
    chunky16.push_back(static_cast<std::uint8_t>(i * 37));
    chunky16.push_back(chunky8[i]);
  }
  const Loaded want(
      MakeTiff({.width = w, .height = h, .samples_per_pixel = 3, .photometric = 2}, chunky8));
  for (std::uint32_t bits : {8u, 16u}) {
    const Bytes& chunky = bits == 8 ? chunky8 : chunky16;
    const std::size_t unit = bits / 8;
    Bytes planar;
    for (std::size_t s = 0; s < 3; ++s)
      for (std::size_t p = 0; p < w * h; ++p)
        planar.insert(planar.end(), chunky.begin() + (p * 3 + s) * unit,
                      chunky.begin() + (p * 3 + s + 1) * unit);
    // Rows per strip, or tile width and length: tiles cut at both edges,
    // of sizes that are no multiple of 16, and one larger than the picture.
    struct Blocks {
      std::uint32_t rows, tile_width, tile_length;
    };
    for (bool is_planar : {false, true})
      for (std::uint32_t compression : {1u, 5u, 8u})
        for (const Blocks b : {Blocks{0, 0, 0}, Blocks{2, 0, 0}, Blocks{0, 16, 16}, Blocks{0, 3, 2},
                               Blocks{0, 64, 48}}) {
          const Loaded r(MakeTiff({.width = w,
                                   .height = h,
                                   .bits = bits,
                                   .samples_per_pixel = 3,
                                   .photometric = 2,
                                   .compression = compression,
                                   .rows_per_strip = b.rows,
                                   .tile_width = b.tile_width,
                                   .tile_length = b.tile_length,
                                   .planar = is_planar},
                                  is_planar ? planar : chunky));
          for (std::uint32_t y = 0; y < h; ++y)
            ASSERT_EQ(0, std::memcmp(r.ConstRow(static_cast<int>(y)),
                                     want.ConstRow(static_cast<int>(y)), w * 3))
                << "bits " << bits << " planar " << is_planar << " compression " << compression
                << " rows " << b.rows << " tiles " << b.tile_width << "x" << b.tile_length << " y "
                << y;
        }
  }
}

TEST(TiffLayout, FillOrder2ReversesTheBitsOfEachByte) {
  const Loaded r(tifftest::MakeWriter({.width = 8, .height = 1, .bits = 1}, Bytes{0b00000011})
                     .Short(266, {2})
                     .Build());
  EXPECT_EQ(r.ConstRow(0)[0], 0b11000000);
}

TEST(TiffLayout, TilesOfPackedSamplesKeepEveryPixel) {
  // Tile rows that end inside a byte are placed bit by bit.
  const std::uint32_t w = 21, h = 9;
  std::mt19937 rng(7);
  for (const std::uint32_t bits : {1u, 2u, 4u}) {
    const TestImage strips{.width = w, .height = h, .bits = bits};
    Bytes samples(tifftest::RowBytes(strips) * h);
    for (auto& b : samples)
      b = static_cast<std::uint8_t>(rng());
    const Loaded want(MakeTiff(strips, samples));
    for (const auto& [tw, tl] : {std::pair{5u, 4u}, {16u, 16u}, {8u, 3u}, {32u, 1u}, {3u, 9u}}) {
      TestImage tiled = strips;
      tiled.tile_width = tw;
      tiled.tile_length = tl;
      const Loaded r(MakeTiff(tiled, samples));
      ASSERT_EQ(r.PixelFormat(), want.PixelFormat());
      for (int y = 0; y < static_cast<int>(h); ++y)
        for (int x = 0; x < static_cast<int>(w); ++x)
          ASSERT_EQ(IndexAt(r, x, y), IndexAt(want, x, y))
              << bits << " bits, tiles " << tw << "x" << tl << ", pixel " << x << "," << y;
    }
  }
}

// --- Codings ---

TEST(TiffCoding, PackBitsRunsStopAtTheEndOfTheirStrip) {
  // Strip 0 (two rows of 4) ends with a run of 128 bytes; strip 1 must not
  // see any of it. -128 is a no-op.
  const Bytes strip0 = {0x80, 0x02, 1, 2, 3, 0x81, 9};
  const Bytes strip1 = {0xFD, 7, 0x03, 4, 5, 6, 8};
  const Bytes file =
      tifftest::MakeWriter({.width = 4, .height = 4, .compression = 32773, .rows_per_strip = 2},
                           Bytes{})
          .Strip(strip0)
          .Strip(strip1)
          .Build();
  const Loaded r(file);
  const int want[16] = {1, 2, 3, 9, 9, 9, 9, 9, 7, 7, 7, 7, 4, 5, 6, 8};
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(IndexAt(r, i % 4, i / 4), want[i]) << i;
}

TEST(TiffCoding, ThunderScanCodes) {
  // Row 0: raw 3; deltas +1, -1, (none); run of 4 of which 2 fit.
  // Row 1 starts again from 0: deltas +3, -3; raw 15; run of 5, 2 fit.
  const Bytes data = {0xC3, 0x5E, 0x04, 0x9D, 0xCF, 0x05};
  const Bytes file =
      tifftest::MakeWriter({.width = 5, .height = 2, .bits = 4, .compression = 32809}, Bytes{})
          .Strip(data)
          .Build();
  const Loaded r(file);
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed4);
  const int want[10] = {3, 4, 3, 3, 3, 3, 0, 15, 15, 15};
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(IndexAt(r, i % 5, i / 5), want[i]) << i;
}

TEST(TiffCoding, TwoDimensionalCcittRowsTakeTwoBitsAtLeast) {
  // "01" is the shortest row: the 2D tag bit, then V0 under the white row
  // above, which ends the row at any width. A byte holds four such rows.
  auto file = [](std::uint32_t rows) {
    return tifftest::MakeWriter(
               {.width = 5000, .height = rows, .bits = 1, .photometric = 0, .compression = 3},
               Bytes{})
        .Long(292, {1})
        .Strip({0x55})
        .Build();
  };
  const Loaded r(file(4));
  EXPECT_EQ(IndexAt(r, 4999, 3), 0);
  EXPECT_THAT(LoadError(file(5)), HasSubstr("TIFF strip 0 is too short"));
}

TEST(TiffCoding, JpegStripsMustDeclareTheirStrip) {
  // A 32 x 40 image; all strips hold one JPEG. Its MCU rows are 16 high, and
  // the last strip may declare the full RowsPerStrip.
  struct Case {
    const char* name;
    std::uint32_t rows_per_strip, width, height;
    const char* message;
  };
  const Case cases[] = {
      {"strip size", 16, 32, 16, ""},
      {"padded to its MCU row", 10, 32, 16, ""},
      {"a second MCU row", 16, 32, 32, "Source image too large"},
      {"wider", 16, 48, 16, "Source image too large"},
      {"narrower", 16, 16, 16, "TIFF JPEG strip does not match the image size"},
      {"shorter", 16, 32, 8, "TIFF JPEG strip does not match the image size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes jpeg = JpegOf(c.width, c.height);
    const Bytes file = SharedStrips({.width = 32,
                                     .height = 40,
                                     .samples_per_pixel = 3,
                                     .photometric = 6,
                                     .compression = 7,
                                     .rows_per_strip = c.rows_per_strip},
                                    jpeg);
    ASSERT_EQ(LoadError(file), c.message);
    if (*c.message != '\0') continue;
    // Every strip shows the top rows of the stream.
    TBitmap want;
    DecodeJpegToBitmap({}, jpeg, want, false);
    const Loaded r(file);
    for (int y = 0; y < 40; ++y)
      ASSERT_EQ(0, std::memcmp(r.ConstRow(y), want.ConstRow(y % static_cast<int>(c.rows_per_strip)),
                               32 * 3))
          << "row " << y;
  }
}

TEST(TiffCoding, LzwInBothFormsWithAndWithoutClearCodes) {
  // Noise with runs: codes of every width, strings of every length and
  // codes for the entry being defined.
  const std::uint32_t w = 300, h = 200;
  Bytes picture(w * h);
  std::mt19937 rng(11);
  for (std::size_t i = 0; i < picture.size();)
    for (std::size_t run = rng() % 40 + 1, v = rng() % 5; run > 0 && i < picture.size(); --run)
      picture[i++] = static_cast<std::uint8_t>(v * 50 + (rng() % 8 == 0 ? rng() % 3 : 0));
  for (const bool old_form : {false, true})
    for (const std::size_t clear_every : {std::size_t{0}, std::size_t{300}, SIZE_MAX}) {
      const Bytes file = tifftest::MakeWriter({.width = w, .height = h, .compression = 5}, Bytes{})
                             .Strip(tifftest::Lzw(picture, old_form, clear_every))
                             .Build();
      const Loaded r(file);
      for (std::uint32_t y = 0; y < h; ++y)
        ASSERT_EQ(0, std::memcmp(r.ConstRow(static_cast<int>(y)), &picture[y * w], w))
            << "old form " << old_form << ", clear every " << clear_every << ", row " << y;
    }
}

TEST(TiffCoding, UnsupportedCompressionsFail) {
  for (std::uint32_t c : {4u, 6u, 32946u + 1, 0u, 34712u}) {
    const Bytes changed =
        tifftest::MakeWriter({.width = 1, .height = 1}, Bytes(1)).Short(259, {c}).Build();
    EXPECT_EQ(LoadError(changed), "Unsupported TIFF compression " + std::to_string(c));
  }
}

// --- Hostile files ---

// Points the value of `tag` in a little-endian file's directory at `offset`.
Bytes WithValueOffset(Bytes file, std::uint16_t tag, std::uint32_t offset) {
  const std::size_t ifd = file[4] | file[5] << 8 | file[6] << 16 | file[7] << 24;
  for (std::size_t i = 0, n = file[ifd] | file[ifd + 1] << 8; i < n; ++i) {
    const std::size_t e = ifd + 2 + 12 * i;
    if ((file[e] | file[e + 1] << 8) != tag) continue;
    for (int b = 0; b < 4; ++b)
      file[e + 8 + b] = static_cast<std::uint8_t>(offset >> (8 * b));
  }
  return file;
}

TEST(TiffHostile, DamagedFilesFailWithAClearMessage) {
  const TestImage image{.width = 4, .height = 4, .rows_per_strip = 2};
  const Bytes samples(16, 7);
  const Bytes good = MakeTiff(image, samples);
  ASSERT_EQ(LoadError(good), "");
  auto with = [&](const std::function<void(TiffWriter&)>& change) {
    TiffWriter w = tifftest::MakeWriter(image, samples);
    change(w);
    return w.Build();
  };
  auto patched = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
    Bytes f = good;
    std::copy(bytes.begin(), bytes.end(), f.begin() + static_cast<std::ptrdiff_t>(at));
    return f;
  };
  // A file of one strip holding `strip`.
  auto single = [](const TestImage& s, Bytes strip) {
    return tifftest::MakeWriter(s, Bytes{}).Strip(std::move(strip)).Build();
  };
  const auto size = static_cast<std::uint32_t>(good.size());
  const std::size_t ifd = good[4] | good[5] << 8;
  const Bytes deflated = tifftest::Deflate(Bytes(4096, 1));
  const Bytes palette =
      with([](TiffWriter& w) { w.Short(262, {3}).Short(320, std::vector<std::uint32_t>(768, 0)); });
  ASSERT_EQ(LoadError(palette), "");
  // Two 16 x 16 tiles.
  const TestImage tiled_image{.width = 20, .height = 4, .tile_width = 16, .tile_length = 16};
  auto tiled = [&](const std::function<void(TiffWriter&)>& change) {
    TiffWriter w = tifftest::MakeWriter(tiled_image, Bytes(80, 7));
    change(w);
    return w.Build();
  };
  ASSERT_EQ(LoadError(tiled([](TiffWriter&) {})), "");
  const auto tiled_size = static_cast<std::uint32_t>(tiled([](TiffWriter&) {}).size());
  Bytes noise(4096);
  std::mt19937 rng(3);
  for (auto& b : noise)
    b = static_cast<std::uint8_t>(rng());
  const Bytes lzw = tifftest::Lzw(noise);

  struct Case {
    const char* name;
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {"empty", {}, "Not a TIFF file"},
      {"byte order", patched(0, {'I', 'M'}), "Not a TIFF file"},
      {"version", patched(2, {43, 0}), "Not a TIFF file"},
      {"directory past the end", patched(4, {0xF0, 0xFF, 0, 0}),
       "TIFF directory lies outside the file"},
      {"entries past the end", patched(ifd, {0xFF, 0x00}),
       "TIFF directory runs past the end of the file"},
      {"cut inside the directory",
       Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(ifd + 20)),
       "TIFF directory runs past the end of the file"},
      {"no entries", patched(ifd, {0, 0}), "TIFF directory is empty"},
      {"zero width", with([](TiffWriter& w) { w.Long(256, {0}); }), "zero width or height"},
      {"no size", with([](TiffWriter& w) { w.Remove(257); }), "TIFF image has no size"},
      {"strip offset past the end", with([&](TiffWriter& w) {
         w.Long(273, {8, size + 100});
       }),
       "TIFF strip 1 lies outside the file"},
      {"strip count past the end", with([&](TiffWriter& w) {
         w.Long(279, {8, size});
       }),
       "TIFF strip 1 runs past the end of the file"},
      {"truncated strip", with([](TiffWriter& w) {
         w.Long(279, {8, 5});
       }),
       "TIFF strip 1 is too short"},
      {"too few strips", with([](TiffWriter& w) { w.Long(278, {1}); }),
       "StripOffsets lists too few strips"},
      {"no strips", with([](TiffWriter& w) { w.Remove(273); }), "no StripOffsets"},
      {"colour map outside",
       WithValueOffset(palette, 320, static_cast<std::uint32_t>(palette.size() - 100)),
       "ColorMap lies outside the file"},
      {"short colour map", with([](TiffWriter& w) {
         w.Short(262, {3}).Short(320, {1, 2, 3});
       }),
       "no complete ColorMap"},
      {"wrong tag type", with([](TiffWriter& w) {
         w.Rational(259, {1, 1});
       }),
       "Compression is not an integer"},
      {"photometric", with([](TiffWriter& w) { w.Short(262, {4}); }),
       "photometric interpretation 4"},
      {"floating-point predictor", with([](TiffWriter& w) { w.Short(317, {3}); }),
       "Unsupported TIFF predictor 3 (floating point)"},
      {"predictor", with([](TiffWriter& w) { w.Short(317, {4}); }), "Unsupported TIFF predictor 4"},
      {"float samples", with([](TiffWriter& w) { w.Short(339, {3}); }), "Invalid pixel format"},
      {"truncated Deflate",
       single({.width = 64, .height = 64, .compression = 8},
              Bytes(deflated.begin(), deflated.begin() + 12)),
       "Deflate data ends before the end of the strip"},
      {"damaged Deflate",
       single({.width = 4, .height = 1, .compression = 8}, Bytes{0x78, 0x9C, 0xFF, 0xFF, 0xFF}),
       "Deflate data is damaged"},
      {"truncated LZW",
       single({.width = 64, .height = 64, .compression = 5},
              Bytes(lzw.begin(), lzw.begin() + static_cast<std::ptrdiff_t>(lzw.size() / 2))),
       "LZW data ends before the end of the strip"},
      // 9-bit codes: clear, 300.
      {"LZW without a literal first",
       single({.width = 4, .height = 1, .compression = 5}, Bytes{0x80, 0x4B, 0x00, 0x00}),
       "LZW data is damaged: the first code is not a literal"},
      // Clear, 'A', 300 while 258 is the next free code.
      {"LZW code past the table",
       single({.width = 4, .height = 1, .compression = 5}, Bytes{0x80, 0x10, 0x65, 0x80}),
       "LZW data is damaged: code 300 is not defined"},
      {"tile offset past the end", tiled([&](TiffWriter& w) {
         w.Long(324, {8, tiled_size + 100});
       }),
       "TIFF tile 1 lies outside the file"},
      {"truncated tile", tiled([](TiffWriter& w) {
         w.Long(325, {256, 5});
       }),
       "TIFF tile 1 is too short"},
      {"no tile offsets", tiled([](TiffWriter& w) { w.Remove(324); }), "no TileOffsets"},
      {"zero tile width", tiled([](TiffWriter& w) { w.Long(322, {0}); }), "TIFF tile size is zero"},
      {"truncated PackBits",
       single({.width = 8, .height = 1, .compression = 32773}, Bytes{0x07, 1, 2}),
       "PackBits data ends"},
      {"truncated ThunderScan",
       single({.width = 8, .height = 2, .bits = 4, .compression = 32809}, Bytes{0xC3, 0x07}),
       "ThunderScan data ends"},
      {"CCITT garbage",
       single({.width = 64, .height = 2, .bits = 1, .photometric = 0, .compression = 2},
              Bytes(4, 0)),
       "CCITT data is damaged in row 0"},
      // Row 0 white (make-up 64, white 0, padding); row 1 stops after five
      // runs of 2.
      {"CCITT too short",
       single({.width = 64, .height = 2, .bits = 1, .photometric = 0, .compression = 2},
              Bytes{0xD9, 0xA8, 0x7D, 0xF7}),
       "CCITT data ends before the last row"},
  };
  for (const Case& c : cases)
    EXPECT_THAT(LoadError(c.file), HasSubstr(c.message)) << c.name;
}

// --- Limits ---

TEST(TiffLimits, DeclaredSizeIsCheckedBeforeAnythingElse) {
  struct Case {
    std::uint32_t width, height;
    std::uint64_t max_pixels;
    const char* message;
  };
  const Case cases[] = {
      {100, 100, 10000, ""},
      {101, 100, 10000, "Source image too large"},
      {100, 101, 10000, "Source image too large"},
      // With the limit out of reach the allocation cap still holds.
      {65536, 65536, UINT64_MAX, "Out of system resources"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const std::size_t pixels = std::size_t{c.width} * c.height;
    const Bytes file = tifftest::MakeWriter({.width = c.width, .height = c.height}, Bytes{})
                           .Strip(Bytes(pixels <= 10100 ? pixels : 1, 7))
                           .Build();
    int hooked = 0;
    TTIFFGraphic g;
    g.SetLimits({.max_pixels = c.max_pixels, .on_size = [&](std::uint32_t w, std::uint32_t h) {
                   EXPECT_EQ(w, c.width);
                   EXPECT_EQ(h, c.height);
                   ++hooked;
                 }});
    TMemoryStream stream(file);
    std::string message;
    try {
      g.LoadFromStream(stream);
    } catch (const Exception& e) {
      message = e.Message();
    }
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(hooked, std::string(c.message) == "Source image too large" ? 0 : 1);
  }
}

TEST(TiffLimits, TinyFilesClaimingHugePicturesFailWithoutAllocating) {
  auto single = [](const TestImage& image, Bytes strip) {
    return tifftest::MakeWriter(image, Bytes{}).Strip(std::move(strip)).Build();
  };
  auto ccitt = [](std::uint32_t width, bool two_d, Bytes strip) {
    return tifftest::MakeWriter(
               {.width = width, .height = 1, .bits = 1, .photometric = 0, .compression = 3},
               Bytes{})
        .Long(292, {two_d ? 1u : 0u})
        .Strip(std::move(strip))
        .Build();
  };
  // Every 16-row strip of a 1024 x 2048 image points at one small JPEG that
  // claims 1024 x 65500 pixels: 200 MB and a whole decode per strip.
  Bytes huge_jpeg = JpegOf(16, 16);
  const Bytes sof_marker = {0xFF, 0xC0}, size = {0xFF, 0xDC, 0x04, 0x00};  // height, width
  const auto sof =
      std::search(huge_jpeg.begin(), huge_jpeg.end(), sof_marker.begin(), sof_marker.end());
  ASSERT_NE(sof, huge_jpeg.end());
  std::copy(size.begin(), size.end(), sof + 5);
  const TestImage jpeg_strips{.width = 1024,
                              .height = 2048,
                              .samples_per_pixel = 3,
                              .photometric = 6,
                              .compression = 7,
                              .rows_per_strip = 16};
  // 20000 one-row strips of a FillOrder 2 file, each running from its own
  // byte to the end of 1 MB of "white 7" rows: reversing each strip's bytes
  // apart would cost 20 GB.
  std::vector<std::uint32_t> offsets(20000);
  for (std::size_t i = 0; i < offsets.size(); ++i)
    offsets[i] = static_cast<std::uint32_t>(8 + i);
  const Bytes overlapping = tifftest::MakeWriter({.width = 7,
                                                  .height = 20000,
                                                  .bits = 1,
                                                  .photometric = 0,
                                                  .compression = 2,
                                                  .rows_per_strip = 1},
                                                 Bytes{})
                                .Strip(Bytes(1 << 20, 0xFF))
                                .Long(273, offsets)
                                .Remove(279)
                                .Short(266, {2})
                                .Build();
  struct Case {
    const char* name;
    Bytes file;
    const char* message;
  };
  const Case cases[] = {
      {"overlapping strips", overlapping, ""},
      {"PackBits",
       single({.width = 10000, .height = 10000, .compression = 32773}, {0x81, 0, 0x81, 0}),
       "TIFF strip 0 is too short for the declared image size"},
      {"Deflate",
       single({.width = 10000, .height = 10000, .compression = 8}, tifftest::Deflate(Bytes(1000))),
       "TIFF strip 0 is too short for the declared image size"},
      {"LZW",
       single({.width = 10000, .height = 10000, .compression = 5}, tifftest::Lzw(Bytes(1000))),
       "TIFF strip 0 is too short for the declared image size"},
      {"LZW tile",
       single({.width = 4096,
               .height = 4096,
               .compression = 5,
               .tile_width = 4096,
               .tile_length = 4096},
              tifftest::Lzw(Bytes(1000))),
       "TIFF tile 0 is too short for the declared image size"},
      {"a tile of 2^31 x 16 for 16 x 16 pixels",
       single(
           {.width = 16, .height = 16, .compression = 8, .tile_width = 1u << 31, .tile_length = 16},
           tifftest::Deflate(Bytes(1000))),
       "Source image too large"},
      {"tiles of 10^5 x 1 for 1 x 10^5 pixels",
       single({.width = 1, .height = 100'000, .tile_width = 100'000, .tile_length = 1},
              Bytes(100'000)),
       "Source image too large"},
      {"beyond the limit",
       single({.width = 30000, .height = 30000, .compression = 8}, tifftest::Deflate(Bytes(100))),
       "Source image too large"},
      {"JPEG strips sharing one stream", SharedStrips(jpeg_strips, huge_jpeg),
       "Source image too large"},
      {"CCITT 1D 2^31 wide", ccitt(1u << 31, false, {0, 1}), "Source image too large"},
      {"CCITT 2D 2^31 wide", ccitt(1u << 31, true, {0x40}), "Source image too large"},
      {"CCITT 1D 10^8 wide", ccitt(100'000'000, false, Bytes(8, 0x4D)),
       "TIFF strip 0 is too short for the declared image size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetPeakMemory();
    const std::uint64_t before = testing::ResidentBytes();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadError(c.file), c.message);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(testing::PeakMemoryBytes(), before + (32u << 20));
  }
}

// --- The graphic object ---

TEST(TiffGraphic, LoadsFromAStreamPositionAndSharesItsRaster) {
  const Bytes tiff = MakeTiff({.width = 3, .height = 2, .samples_per_pixel = 3, .photometric = 2},
                              RgbPicture(3, 2));
  Bytes data = {1, 2, 3};
  data.insert(data.end(), tiff.begin(), tiff.end());
  TMemoryStream stream(data);
  stream.SetPosition(3);
  TTIFFGraphic g;
  TGraphic& graphic = g;
  graphic.LoadFromStream(stream);
  EXPECT_EQ(graphic.Width(), 3);
  EXPECT_EQ(graphic.Height(), 2);
  TBitmap copy;
  graphic.AssignTo(copy);
  EXPECT_EQ(copy.PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(copy.ConstRow(1), g.ConstRow(1));  // shared, not copied

  // A failed load leaves nothing usable behind.
  TMemoryStream bad(Bytes{'I', 'I', 42, 0, 0, 0, 0, 0});
  EXPECT_THROW(graphic.LoadFromStream(bad), ETIFFError);
  EXPECT_TRUE(graphic.Empty());
  TMemoryStream out;
  EXPECT_THROW(graphic.SaveToStream(out), ETIFFError);
}

TEST(TiffGraphic, LoadFromFile) {
  tifftest::TempDir dir;
  tifftest::WriteFile(dir.Path("a.tif"), MakeTiff({.width = 2, .height = 2}, Bytes{1, 2, 3, 4}));
  TTIFFGraphic g;
  g.LoadFromFile(dir.Path("a.tif"));
  EXPECT_EQ(IndexAt(g, 1, 1), 4);
  EXPECT_THROW(g.LoadFromFile(dir.Path("missing.tif")), EFOpenError);
}

}  // namespace
}  // namespace skalo
