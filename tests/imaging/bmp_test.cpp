#include "imaging/bmp.h"

#include <gtest/gtest.h>

#include <cstring>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

using testing::Bytes;
using testing::Put16;
using testing::Put32;
using testing::Put8;

// ---- BMP file building

struct BmpFields {
  std::uint32_t header_size = 40;
  std::int32_t width = 0;
  std::int32_t height = 0;
  int planes = 1;
  int bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t colors_used = 0;
  TPalette table{};                    // written as BGR0 (BGR for a core header)
  std::vector<std::uint32_t> masks{};  // after a 40-byte header, or inside a longer one
  Bytes pixels{};
};

Bytes BuildBmp(const BmpFields& s) {
  Bytes info;
  Put32(info, s.header_size);
  if (s.header_size == 12) {
    Put16(info, s.width);
    Put16(info, s.height);
    Put16(info, s.planes);
    Put16(info, s.bits);
  } else {
    Put32(info, s.width);
    Put32(info, static_cast<std::uint32_t>(s.height));
    Put16(info, s.planes);
    Put16(info, s.bits);
    Put32(info, s.compression);
    Put32(info, static_cast<std::uint32_t>(s.pixels.size()));
    Put32(info, 2835);
    Put32(info, 2835);
    Put32(info, s.colors_used);
    Put32(info, 0);
    for (std::uint32_t m : s.masks)
      Put32(info, m);
    info.resize(std::max<std::size_t>(info.size(), s.header_size), 0);
  }
  for (const TPaletteEntry& c : s.table) {
    info.insert(info.end(), {c.blue, c.green, c.red});
    if (s.header_size != 12) Put8(info, 0);
  }
  Bytes file = {'B', 'M'};
  Put32(file, static_cast<std::uint32_t>(14 + info.size() + s.pixels.size()));
  Put32(file, 0);
  Put32(file, static_cast<std::uint32_t>(14 + info.size()));
  file.insert(file.end(), info.begin(), info.end());
  file.insert(file.end(), s.pixels.begin(), s.pixels.end());
  return file;
}

testing::Raster Load(const Bytes& file) {
  TMemoryStream stream(file);
  testing::Raster out;
  LoadBmp(stream, out);
  return out;
}

Bytes Save(const TBitmap& bitmap) {
  TMemoryStream stream;
  SaveBmp(bitmap, stream);
  return stream.Bytes();
}

std::string LoadError(const Bytes& file) {
  try {
    Load(file);
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "(no error)";
}

testing::Rgb RgbOf(int width, int height, const std::vector<std::array<int, 3>>& pixels) {
  testing::Rgb out{width, height, {}};
  for (const auto& p : pixels)
    out.pixels.insert(out.pixels.end(),
                      {static_cast<std::uint8_t>(p[0]), static_cast<std::uint8_t>(p[1]),
                       static_cast<std::uint8_t>(p[2])});
  return out;
}

const std::vector<std::array<int, 3>> kSix = {{255, 0, 0},  {0, 255, 0},  {0, 0, 255},
                                              {10, 20, 30}, {40, 50, 60}, {255, 255, 255}};

testing::Raster SixPixels() {
  return testing::MakeBgr24(3, 2, [](int x, int y) {
    const auto& p = kSix[3 * y + x];
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(p[0]),
                                       static_cast<std::uint8_t>(p[1]),
                                       static_cast<std::uint8_t>(p[2])};
  });
}

// ---- writing

TEST(BmpWrite, Bgr24HeaderAndBottomUpPaddedRows) {
  const Bytes file = Save(SixPixels());
  Bytes want = {'B', 'M'};
  Put32(want, 54 + 24);  // file size
  Put32(want, 0);
  Put32(want, 54);  // pixel offset
  Put32(want, 40);
  Put32(want, 3);
  Put32(want, 2);
  Put16(want, 1);
  Put16(want, 24);
  Put32(want, 0);   // no compression
  Put32(want, 24);  // 2 rows of 9 bytes padded to 12
  for (int i = 0; i < 4; ++i)
    Put32(want, 0);
  want.insert(want.end(), {30, 20, 10, 60, 50, 40, 255, 255, 255, 0, 0, 0});  // bottom row
  want.insert(want.end(), {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0});
  EXPECT_EQ(file, want);
}

TEST(BmpWrite, Rgb565UsesBitFieldsAtOffset66) {
  TBitmap raster;
  raster.SetPixelFormat(TPixelFormat::Rgb565);
  raster.SetSize(3, 2);
  const std::uint16_t words[2][3] = {{0xF800, 0x07E0, 0x001F}, {0x1234, 0xFFFF, 0x0000}};
  for (int y = 0; y < 2; ++y)
    std::memcpy(raster.Row(y), words[y], 6);
  const Bytes file = Save(raster);

  Bytes want = {'B', 'M'};
  Put32(want, 66 + 16);
  Put32(want, 0);
  Put32(want, 66);
  Put32(want, 40);
  Put32(want, 3);
  Put32(want, 2);
  Put16(want, 1);
  Put16(want, 16);
  Put32(want, 3);  // bit fields
  Put32(want, 16);
  for (int i = 0; i < 4; ++i)
    Put32(want, 0);
  Put32(want, 0xF800);
  Put32(want, 0x07E0);
  Put32(want, 0x001F);
  want.insert(want.end(), {0x34, 0x12, 0xFF, 0xFF, 0, 0, 0, 0});
  want.insert(want.end(), {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0, 0});
  EXPECT_EQ(file, want);

  const auto back = Load(file);
  EXPECT_EQ(back.PixelFormat(), TPixelFormat::Rgb565);
  EXPECT_EQ(std::memcmp(back.ConstRow(0), words[0], 6), 0);
  EXPECT_EQ(std::memcmp(back.ConstRow(1), words[1], 6), 0);
}

TEST(BmpWrite, OtherFormatsRoundTrip) {
  for (const TPixelFormat format :
       {TPixelFormat::Indexed1, TPixelFormat::Indexed4, TPixelFormat::Indexed8,
        TPixelFormat::Rgb555, TPixelFormat::Bgrx32}) {
    auto raster = SixPixels();
    raster.SetPixelFormat(format);
    const auto back = Load(Save(raster));
    EXPECT_EQ(back.PixelFormat(), format) << int(format);
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(back), testing::ToRgb(raster)), "")
        << int(format);
  }
  TBitmap empty;
  const auto back = Load(Save(empty));
  EXPECT_TRUE(back.Empty());
}

TEST(BmpWrite, IndependentReaderSeesTheSameColours) {
  if (!testing::HaveTool("bmptopnm")) GTEST_SKIP() << "bmptopnm not installed";
  testing::Noise noise(3);
  auto bgr = testing::MakeBgr24(31, 17, [&](int, int) {
    return std::array<std::uint8_t, 3>{noise.Next(), noise.Next(), noise.Next()};
  });
  // (The 16-bit bit-field file is not checked here: the tool ignores masks
  // that follow a 40-byte header and reads such pixels as 5-5-5.)
  const auto ppm = testing::RunTool("bmptopnm", "", Save(bgr));
  ASSERT_TRUE(ppm) << "bmptopnm rejected our file";
  const auto decoded = testing::ParsePpm(*ppm);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(testing::FirstDifference(*decoded, testing::ToRgb(bgr)), "");
}

// ---- reading

TEST(BmpRead, FilesOfAnIndependentWriter) {
  if (!testing::HaveTool("ppmtobmp")) GTEST_SKIP() << "ppmtobmp not installed";
  testing::Rgb colourful{13, 7, {}};
  testing::Rgb two{13, 7, {}};
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 13; ++x) {
      colourful.pixels.insert(colourful.pixels.end(), {static_cast<std::uint8_t>(x * 19),
                                                       static_cast<std::uint8_t>(y * 36), 77});
      const std::uint8_t v = (x + y) % 2 ? 200 : 20;
      two.pixels.insert(two.pixels.end(), {v, v, static_cast<std::uint8_t>(v / 2)});
    }
  struct Case {
    const char* args;
    const testing::Rgb* image;
    TPixelFormat format;
  };
  for (const Case& c :
       {Case{"-bpp=24", &colourful, TPixelFormat::Bgr24},
        Case{"-bpp=8", &colourful, TPixelFormat::Indexed8},
        Case{"-bpp=4", &two, TPixelFormat::Indexed4}, Case{"-bpp=1", &two, TPixelFormat::Indexed1},
        Case{"-os2 -bpp=24", &colourful, TPixelFormat::Bgr24},
        Case{"-os2 -bpp=8", &colourful, TPixelFormat::Indexed8}}) {
    const auto file = testing::RunTool("ppmtobmp", c.args, testing::ToPpm(*c.image));
    ASSERT_TRUE(file) << c.args;
    const auto bitmap = Load(*file);
    EXPECT_EQ(bitmap.PixelFormat(), c.format) << c.args;
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(bitmap), *c.image), "") << c.args;
  }
}

TEST(BmpRead, SixteenAndThirtyTwoBitLayouts) {
  // 2 x 1 pixels: pure red, then (8, 16, 248) as far as each layout holds it.
  {  // 16 bits without masks: 5-5-5.
    const Bytes file =
        BuildBmp({.width = 2, .height = 1, .bits = 16, .pixels = {0x00, 0x7C, 0x5F, 0x04}});
    const auto b = Load(file);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Rgb555);
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(2, 1, {{255, 0, 0}, {8, 16, 255}})),
              "");
  }
  {  // 16-bit bit fields 5-6-5 after a 40-byte header.
    const Bytes file = BuildBmp({.width = 2,
                                 .height = 1,
                                 .bits = 16,
                                 .compression = 3,
                                 .masks = {0xF800, 0x07E0, 0x001F},
                                 .pixels = {0x00, 0xF8, 0x9F, 0x08}});
    const auto b = Load(file);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Rgb565);
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(2, 1, {{255, 0, 0}, {8, 16, 255}})),
              "");
  }
  {  // 32 bits without masks.
    const Bytes file =
        BuildBmp({.width = 2, .height = 1, .bits = 32, .pixels = {0, 0, 255, 0, 248, 16, 8, 0}});
    const auto b = Load(file);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Bgrx32);
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(2, 1, {{255, 0, 0}, {8, 16, 248}})),
              "");
  }
  {  // 32-bit masks inside a 108-byte (V4) header, red in the low byte.
    const Bytes file = BuildBmp({.header_size = 108,
                                 .width = 2,
                                 .height = 1,
                                 .bits = 32,
                                 .compression = 3,
                                 .masks = {0xFF, 0xFF00, 0xFF0000, 0},
                                 .pixels = {255, 0, 0, 0, 8, 16, 248, 0}});
    const auto b = Load(file);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Custom);
    EXPECT_EQ(b.BitFields(), (TBitFields{0xFF, 0xFF00, 0xFF0000}));
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(2, 1, {{255, 0, 0}, {8, 16, 248}})),
              "");
  }
}

TEST(BmpRead, TopDownAndBottomUpGiveTheSameRaster) {
  const Bytes bottom_up = Save(SixPixels());
  BmpFields fields{.width = 3, .height = -2};
  fields.pixels.assign(bottom_up.begin() + 54 + 12, bottom_up.end());  // top row first
  fields.pixels.insert(fields.pixels.end(), bottom_up.begin() + 54, bottom_up.begin() + 66);
  const auto top_down = Load(BuildBmp(fields));
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(top_down), RgbOf(3, 2, kSix)), "");
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Load(bottom_up)), RgbOf(3, 2, kSix)), "");
}

TEST(BmpRead, ColourTableOfTheStatedLength) {
  // Three entries named; the pixels follow right after them.
  const Bytes file = BuildBmp({.width = 3,
                               .height = 1,
                               .bits = 8,
                               .colors_used = 3,
                               .table = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}},
                               .pixels = {2, 0, 1, 0}});
  const auto b = Load(file);
  EXPECT_EQ(b.PixelFormat(), TPixelFormat::Indexed8);
  EXPECT_EQ(b.Palette().size(), 3u);
  EXPECT_EQ(
      testing::FirstDifference(testing::ToRgb(b), RgbOf(3, 1, {{7, 8, 9}, {1, 2, 3}, {4, 5, 6}})),
      "");

  // No count named and a table of two: it ends where the pixels start.
  const auto short_table = Load(BuildBmp({.width = 2,
                                          .height = 1,
                                          .bits = 8,
                                          .table = {{1, 2, 3}, {4, 5, 6}},
                                          .pixels = {1, 0, 0, 0}}));
  EXPECT_EQ(short_table.Palette().size(), 2u);
  EXPECT_EQ(
      testing::FirstDifference(testing::ToRgb(short_table), RgbOf(2, 1, {{4, 5, 6}, {1, 2, 3}})),
      "");

  // A core header: full table of 3-byte entries.
  TPalette sixteen(16);
  sixteen[5] = {50, 60, 70};
  const Bytes core = BuildBmp({.header_size = 12,
                               .width = 2,
                               .height = 1,
                               .bits = 4,
                               .table = sixteen,
                               .pixels = {0x50, 0, 0, 0}});
  const auto c = Load(core);
  EXPECT_EQ(c.PixelFormat(), TPixelFormat::Indexed4);
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(c), RgbOf(2, 1, {{50, 60, 70}, {0, 0, 0}})),
            "");
}

TPalette RlePalette() {
  TPalette p(16);
  for (int i = 0; i < 16; ++i)
    p[i] = {static_cast<std::uint8_t>(i * 10), 0, 0};
  return p;
}

TEST(BmpRead, Rle8) {
  // 5 x 3, bottom row first:
  //   row 0 (bottom): run of 3 x index 1, absolute 2 3 9 (odd: one pad byte;
  //                   9 falls outside the row), end of line
  //   row 1: absolute 3 pixels 4 5 6 (odd: one pad byte), end of line
  //   row 2: delta (2, 0), run of 2 x index 7, end of bitmap
  const Bytes data = {3, 1, 0, 3, 2, 3, 9, 0, 0, 0,  //
                      0, 3, 4, 5, 6, 0, 0, 0,        //
                      0, 2, 2, 0, 2, 7, 0, 1};
  const Bytes file = BuildBmp({.width = 5,
                               .height = 3,
                               .bits = 8,
                               .compression = 1,
                               .colors_used = 16,
                               .table = RlePalette(),
                               .pixels = data});
  const auto b = Load(file);
  EXPECT_EQ(b.PixelFormat(), TPixelFormat::Device);
  const std::vector<std::array<int, 3>> want = {
      {255, 255, 255}, {255, 255, 255}, {70, 0, 0}, {70, 0, 0},      {255, 255, 255},  // top
      {40, 0, 0},      {50, 0, 0},      {60, 0, 0}, {255, 255, 255}, {255, 255, 255}, {10, 0, 0},
      {10, 0, 0},      {10, 0, 0},      {20, 0, 0}, {30, 0, 0},  // bottom, 9 dropped
  };
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(5, 3, want)), "");
}

TEST(BmpRead, Rle4) {
  // 6 x 2: the bottom row a run of 5 alternating nibbles 1 2 1 2 1, a run of
  // one 3, end of line; the top row an absolute run of 4 5 6 (two bytes, no
  // pad), then end of bitmap, the rest staying white.
  const Bytes rle = {5, 0x12, 1, 0x30, 0, 0, 0, 3, 0x45, 0x60, 0, 1};
  const Bytes file = BuildBmp(
      {.width = 6, .height = 2, .bits = 4, .compression = 2, .table = RlePalette(), .pixels = rle});
  const auto b = Load(file);
  const std::vector<std::array<int, 3>> want = {
      {40, 0, 0}, {50, 0, 0}, {60, 0, 0}, {255, 255, 255}, {255, 255, 255}, {255, 255, 255},
      {10, 0, 0}, {20, 0, 0}, {10, 0, 0}, {20, 0, 0},      {10, 0, 0},      {30, 0, 0},
  };
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(6, 2, want)), "");
}

TEST(BmpRead, RleAgreesWithAnIndependentReader) {
  if (!testing::HaveTool("bmptopnm")) GTEST_SKIP() << "bmptopnm not installed";
  // Runs and absolute runs only (readers differ on what a delta leaves).
  Bytes data;
  for (int row = 0; row < 4; ++row) {
    data.insert(data.end(), {4, static_cast<std::uint8_t>(row), 0, 5});
    for (int i = 0; i < 5; ++i)
      data.push_back(static_cast<std::uint8_t>(8 + i));
    data.insert(data.end(), {0, 3, static_cast<std::uint8_t>(15 - row), 0, 0});
  }
  data.insert(data.end(), {0, 1});
  const Bytes file = BuildBmp({.width = 12,
                               .height = 4,
                               .bits = 8,
                               .compression = 1,
                               .colors_used = 16,
                               .table = RlePalette(),
                               .pixels = data});
  const auto ppm = testing::RunTool("bmptopnm", "", file);
  ASSERT_TRUE(ppm);
  const auto decoded = testing::ParsePpm(*ppm);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Load(file)), *decoded), "");
}

TEST(BmpRead, EmptyAndBrokenFiles) {
  EXPECT_TRUE(Load({}).Empty());

  const Bytes good = Save(SixPixels());
  auto with = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    Bytes f = good;
    std::copy(bytes.begin(), bytes.end(), f.begin() + at);
    return f;
  };
  const std::string invalid = "EGraphicError: Bitmap image is not valid";
  EXPECT_EQ(LoadError(with(0, {'B', 'X'})), invalid);
  EXPECT_EQ(LoadError({'B'}), invalid);
  EXPECT_EQ(LoadError(with(26, {2, 0})), invalid) << "planes 2";
  EXPECT_EQ(LoadError(with(28, {2, 0})), invalid) << "2 bits per pixel";
  EXPECT_EQ(LoadError(with(14, {20, 0, 0, 0})), invalid) << "header size 20";
  EXPECT_EQ(LoadError(with(30, {4, 0, 0, 0})), invalid) << "JPEG compression";
  EXPECT_EQ(LoadError(with(30, {1, 0, 0, 0})), invalid) << "RLE8 with 24 bits";
  EXPECT_EQ(LoadError(with(18, {0xFF, 0xFF, 0xFF, 0xFF})), invalid) << "negative width";

  EXPECT_EQ(LoadError(Bytes(good.begin(), good.end() - 4)), "EEndOfData: Premature end of data");
  EXPECT_EQ(LoadError(Bytes(good.begin(), good.begin() + 40)), "EEndOfData: Premature end of data");
  // 100000 x 100000 pixels declared by a 54-byte file.
  EXPECT_EQ(LoadError(with(18, {0xA0, 0x86, 0x01, 0, 0xA0, 0x86, 0x01, 0})),
            "ESourceTooLarge: Source image too large");
  // Pixel offset past the end of the file.
  EXPECT_EQ(LoadError(with(10, {0xFF, 0xFF, 0, 0})), "EEndOfData: Premature end of data");
}

TEST(BmpRead, FailureLeavesTheRasterAlone) {
  auto target = SixPixels();
  TMemoryStream stream(Bytes{'B', 'X', 0, 0});
  EXPECT_THROW(LoadBmp(stream, target), EGraphicError);
  EXPECT_EQ(target.Width(), 3);
}

}  // namespace
}  // namespace skalo
