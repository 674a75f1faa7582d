#include "imaging/targa.h"

#include <gtest/gtest.h>

#include <cstring>

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

using testing::Bytes;
using testing::Put16;
using testing::Put8;

// ---- Targa file building

struct TgaFields {
  int id_length = 0;
  int color_map_type = 0;
  int image_type = 2;
  int color_map_length = 0;
  int color_map_bits = 0;
  int width = 0;
  int height = 0;
  int depth = 24;
  int descriptor = 0;
  Bytes color_map{};  // raw entries
  Bytes data{};       // raw pixels or packets
};

Bytes BuildTga(const TgaFields& s) {
  Bytes f;
  Put8(f, s.id_length);
  Put8(f, s.color_map_type);
  Put8(f, s.image_type);
  Put16(f, 0);
  Put16(f, s.color_map_length);
  Put8(f, s.color_map_bits);
  Put16(f, 0);
  Put16(f, 0);
  Put16(f, s.width);
  Put16(f, s.height);
  Put8(f, s.depth);
  Put8(f, s.descriptor);
  for (int i = 0; i < s.id_length; ++i)
    Put8(f, 'i');
  f.insert(f.end(), s.color_map.begin(), s.color_map.end());
  f.insert(f.end(), s.data.begin(), s.data.end());
  return f;
}

testing::Raster Load(const Bytes& file) {
  TTargaGraphic tga;
  testing::LoadFromBytes(tga, file);
  testing::Raster out;
  out.Assign(tga);
  return out;
}

Bytes Save(const TBitmap& bitmap) {
  TTargaGraphic tga;
  tga.Assign(bitmap);
  return testing::SaveToBytes(tga);
}

std::string LoadError(const Bytes& file) {
  try {
    Load(file);
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "(no error)";
}

Bytes Encode(const Bytes& row, int bytes_per_pixel) {
  Bytes out;
  EncodeTargaRow(row.data(), static_cast<int>(row.size()) / bytes_per_pixel, bytes_per_pixel, out);
  return out;
}

testing::Rgb RgbOf(int width, int height, const std::vector<std::array<int, 3>>& pixels) {
  testing::Rgb out{width, height, {}};
  for (const auto& p : pixels)
    out.pixels.insert(out.pixels.end(),
                      {static_cast<std::uint8_t>(p[0]), static_cast<std::uint8_t>(p[1]),
                       static_cast<std::uint8_t>(p[2])});
  return out;
}

testing::Raster NoiseImage(int w, int h, std::uint32_t seed, int levels = 256) {
  testing::Noise noise(seed);
  // Few levels give runs as well as raw stretches.
  return testing::MakeBgr24(w, h, [&](int, int) {
    auto v = [&] {
      return static_cast<std::uint8_t>(noise.Next() % levels * (255 / (levels - 1)));
    };
    return std::array<std::uint8_t, 3>{v(), v(), v()};
  });
}

// ---- run-length packets

TEST(TargaPackets, RuleExamples) {
  const Bytes a = {1, 1, 1}, b = {2, 2, 2}, c = {3, 3, 3}, d = {4, 4, 4};
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
      out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  // A B C C C D: raw (A B), run (C x 3), raw (D).
  EXPECT_EQ(Encode(cat({a, b, c, c, c, d}), 3), cat({{0x01}, a, b, {0x82}, c, {0x00}, d}));
  // Three different pixels: raw of two, raw of one.
  EXPECT_EQ(Encode(cat({a, b, c}), 3), cat({{0x01}, a, b, {0x00}, c}));
  // One pixel; two equal; a run followed by one other.
  EXPECT_EQ(Encode(a, 3), cat({{0x00}, a}));
  EXPECT_EQ(Encode(cat({a, a}), 3), cat({{0x81}, a}));
  EXPECT_EQ(Encode(cat({a, a, b}), 3), cat({{0x81}, a, {0x00}, b}));

  // 300 equal pixels: runs of 128, 128 and 44.
  Bytes equal;
  for (int i = 0; i < 300; ++i)
    equal.insert(equal.end(), c.begin(), c.end());
  EXPECT_EQ(Encode(equal, 3), cat({{0xFF}, c, {0xFF}, c, {0xAB}, c}));

  // 130 different 1-byte pixels: raw 128, raw 1, raw 1.
  Bytes distinct(130);
  for (int i = 0; i < 130; ++i)
    distinct[i] = static_cast<std::uint8_t>(i);
  const Bytes packed = Encode(distinct, 1);
  ASSERT_EQ(packed.size(), 1u + 128u + 2u + 2u);
  EXPECT_EQ(packed[0], 0x7F);
  EXPECT_EQ(packed[129], 0x00);
  EXPECT_EQ(packed[130], 128);
  EXPECT_EQ(packed[131], 0x00);
  EXPECT_EQ(packed[132], 129);

  // Pixels compare as whole values: 2-byte pixels equal in one byte only.
  EXPECT_EQ(Encode({1, 2, 1, 3}, 2), (Bytes{0x00, 1, 2, 0x00, 1, 3}));
}

// ---- writing

TEST(TargaWrite, TrueColourHeaderAndRowsTopFirst) {
  const auto raster = testing::MakeBgr24(3, 2, [](int x, int y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(10 * x + 100 * y), 0, 0};
  });
  const Bytes file = Save(raster);
  const Bytes want = {
      0,    0, 10, 0,   0,  0,    1,   24,   0, 0, 0,  0,  3,
      0,    2, 0,  24,  32, 0x01, 0,   0,    0, 0, 0,  10,  // row 0: raw (0 0 0) (0 0 10)
      0x00, 0, 0,  20,                                      //        raw (0 0 20)
      0x01, 0, 0,  100, 0,  0,    110, 0x00, 0, 0, 120};
  EXPECT_EQ(file, want);
}

TEST(TargaWrite, IndexedHeaderAndColourMap) {
  TBitmap raster;
  raster.SetPixelFormat(TPixelFormat::Indexed8);
  raster.SetSize(4, 1);
  raster.SetPalette({{1, 2, 3}, {4, 5, 6}});
  std::memcpy(raster.Row(0), "\x01\x01\x01\x00", 4);
  const Bytes file = Save(raster);
  ASSERT_EQ(file.size(), 18u + 768u + 4u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 18),
            (Bytes{0, 1, 9, 0, 0, 0, 1, 24, 0, 0, 0, 0, 4, 0, 1, 0, 8, 32}));
  EXPECT_EQ(Bytes(file.begin() + 18, file.begin() + 24), (Bytes{3, 2, 1, 6, 5, 4}))
      << "colour map entries are blue, green, red";
  EXPECT_EQ(Bytes(file.begin() + 24, file.begin() + 18 + 768), Bytes(762, 0));
  EXPECT_EQ(Bytes(file.end() - 4, file.end()), (Bytes{0x82, 1, 0x00, 0}));
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Load(file)), testing::ToRgb(raster)), "");
}

TEST(TargaWrite, Rgb565IsWrittenAsTwentyFourBits) {
  TBitmap raster;
  raster.SetPixelFormat(TPixelFormat::Rgb565);
  raster.SetSize(2, 1);
  const std::uint16_t words[2] = {0xF800, 0x0841};  // red; (8, 8, 8)
  std::memcpy(raster.Row(0), words, 4);
  const Bytes file = Save(raster);
  EXPECT_EQ(file[2], 10);
  EXPECT_EQ(file[16], 24);
  EXPECT_EQ(Bytes(file.begin() + 18, file.end()), (Bytes{0x00, 0, 0, 255, 0x00, 8, 8, 8}));
}

TEST(TargaWrite, EmptyRasterWritesNothing) {
  EXPECT_TRUE(Save(TBitmap()).empty());
  TBitmap tall;
  tall.SetPixelFormat(TPixelFormat::Bgr24);
  tall.SetSize(1, 0);
  EXPECT_TRUE(Save(tall).empty());
}

TEST(TargaWrite, IndependentReaderSeesTheSameColours) {
  if (!testing::HaveTool("tgatoppm")) GTEST_SKIP() << "tgatoppm not installed";
  std::vector<testing::Raster> rasters;
  rasters.push_back(NoiseImage(150, 40, 1));
  rasters.push_back(NoiseImage(200, 30, 2, 2));  // long runs
  testing::Raster padded;                        // what a padded result looks like
  padded.SetPixelFormat(TPixelFormat::Rgb565);
  padded.SetSize(90, 50);
  padded.Canvas().Brush().SetColor(MakeColor(12, 200, 99));
  padded.Canvas().FillRect(padded.Canvas().ClipRect());
  padded.Canvas().Draw(10, 5, rasters[0]);
  rasters.push_back(std::move(padded));
  auto indexed = NoiseImage(33, 21, 3, 3);
  indexed.SetPixelFormat(TPixelFormat::Indexed8);
  rasters.push_back(std::move(indexed));
  auto rgb555 = NoiseImage(17, 9, 4);
  rgb555.SetPixelFormat(TPixelFormat::Rgb555);
  rasters.push_back(std::move(rgb555));

  for (std::size_t i = 0; i < rasters.size(); ++i) {
    const auto ppm = testing::RunTool("tgatoppm", "", Save(rasters[i]));
    ASSERT_TRUE(ppm) << "tgatoppm rejected file " << i;
    const auto decoded = testing::ParsePpm(*ppm);
    ASSERT_TRUE(decoded);
    // tgatoppm scales 5-bit components instead of repeating their bits.
    const int tolerance = rasters[i].PixelFormat() == TPixelFormat::Rgb555 ? 1 : 0;
    EXPECT_EQ(testing::FirstDifference(*decoded, testing::ToRgb(rasters[i]), tolerance), "")
        << "file " << i;
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Load(Save(rasters[i]))),
                                       testing::ToRgb(rasters[i])),
              "")
        << "our reader, file " << i;
  }
}

// ---- reading

TEST(TargaRead, OriginBitDecidesRowOrder) {
  const Bytes top_row = {0, 0, 255, 0, 255, 0};   // red, green
  const Bytes bottom_row = {255, 0, 0, 9, 9, 9};  // blue, (9, 9, 9)
  Bytes top_first = top_row, bottom_first = bottom_row;
  top_first.insert(top_first.end(), bottom_row.begin(), bottom_row.end());
  bottom_first.insert(bottom_first.end(), top_row.begin(), top_row.end());
  const testing::Rgb want = RgbOf(2, 2, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}});

  // Attribute bits and bit 4 are ignored.
  const auto a = Load(
      BuildTga({.width = 2, .height = 2, .descriptor = 0x20 | 0x10 | 0x08, .data = top_first}));
  const auto b =
      Load(BuildTga({.width = 2, .height = 2, .descriptor = 0x08, .data = bottom_first}));
  EXPECT_EQ(a.PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(a), want), "");
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), want), "");
}

TEST(TargaRead, ColourMapEntrySizes) {
  const Bytes indices = {1, 0};
  struct Case {
    int bits;
    Bytes map;
    std::array<int, 3> colour1;
  };
  for (const Case& c :
       {Case{24, {0, 0, 0, 30, 20, 10}, {10, 20, 30}},
        Case{32, {0, 0, 0, 0, 30, 20, 10, 128}, {10, 20, 30}},
        // 5-bit components shifted left by three: 31 -> 248.
        Case{16, {0, 0, 0x1F, 0x7C}, {248, 0, 248}}, Case{15, {0, 0, 0x41, 0x08}, {16, 16, 8}}}) {
    const auto b = Load(BuildTga({.color_map_type = 1,
                                  .image_type = 1,
                                  .color_map_length = 2,
                                  .color_map_bits = c.bits,
                                  .width = 2,
                                  .height = 1,
                                  .depth = 8,
                                  .descriptor = 0x20,
                                  .color_map = c.map,
                                  .data = indices}));
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Indexed8) << c.bits;
    EXPECT_EQ(b.Palette().size(), 2u);
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(2, 1, {c.colour1, {0, 0, 0}})), "")
        << c.bits << "-bit entries";
  }
  // A colour map in a true-colour file is skipped.
  const auto t = Load(BuildTga({.color_map_type = 1,
                                .color_map_length = 2,
                                .color_map_bits = 24,
                                .width = 1,
                                .height = 1,
                                .color_map = Bytes(6, 7),
                                .data = {1, 2, 3}}));
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(t), RgbOf(1, 1, {{3, 2, 1}})), "");
}

TEST(TargaRead, GrayAndSixteenBitAndIdentificationField) {
  const auto gray = Load(BuildTga(
      {.id_length = 5, .image_type = 3, .width = 2, .height = 1, .depth = 8, .data = {0, 200}}));
  EXPECT_EQ(gray.PixelFormat(), TPixelFormat::Indexed8);
  EXPECT_EQ(gray.Palette().size(), 256u);
  EXPECT_EQ(
      testing::FirstDifference(testing::ToRgb(gray), RgbOf(2, 1, {{0, 0, 0}, {200, 200, 200}})),
      "");

  for (const int depth : {15, 16}) {
    const auto b = Load(BuildTga({.width = 1, .height = 1, .depth = depth, .data = {0x1F, 0x7C}}));
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::Rgb555) << depth;
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), RgbOf(1, 1, {{255, 0, 255}})), "");
  }

  const auto x32 = Load(BuildTga({.width = 1, .height = 1, .depth = 32, .data = {1, 2, 3, 4}}));
  EXPECT_EQ(x32.PixelFormat(), TPixelFormat::Bgrx32);
  EXPECT_EQ(Bytes(x32.ConstRow(0), x32.ConstRow(0) + 4), (Bytes{1, 2, 3, 4}))
      << "the alpha byte stays in the fourth byte";
}

TEST(TargaRead, RunLengthPacketsCarryIntoTheNextRow) {
  // 3 x 2, bottom-left origin: a run of 4 covers the bottom row and one pixel
  // of the top row, a raw packet of 3 gives the rest and one pixel too many.
  const Bytes packets = {0x83, 5, 0x02, 7, 8, 9};
  const auto b =
      Load(BuildTga({.image_type = 11, .width = 3, .height = 2, .depth = 8, .data = packets}));
  EXPECT_EQ(Bytes(b.ConstRow(1), b.ConstRow(1) + 3), (Bytes{5, 5, 5}));
  EXPECT_EQ(Bytes(b.ConstRow(0), b.ConstRow(0) + 3), (Bytes{5, 7, 8}));
}

TEST(TargaRead, FilesOfAnIndependentWriter) {
  if (!testing::HaveTool("ppmtotga")) GTEST_SKIP() << "ppmtotga not installed";
  const testing::Rgb colourful = testing::ToRgb(NoiseImage(45, 19, 9, 3));
  testing::Rgb gray = colourful;
  for (std::size_t i = 0; i < gray.pixels.size(); i += 3)
    gray.pixels[i + 1] = gray.pixels[i + 2] = gray.pixels[i];
  struct Case {
    const char* args;
    const testing::Rgb* image;
    TPixelFormat format;
  };
  for (const Case& c : {Case{"-rgb", &colourful, TPixelFormat::Bgr24},
                        Case{"-rgb -norle", &colourful, TPixelFormat::Bgr24},
                        Case{"-cmap", &colourful, TPixelFormat::Indexed8},
                        Case{"-cmap -norle", &colourful, TPixelFormat::Indexed8},
                        Case{"-mono", &gray, TPixelFormat::Indexed8},
                        Case{"-mono -norle", &gray, TPixelFormat::Indexed8}}) {
    const auto file = testing::RunTool("ppmtotga", c.args, testing::ToPpm(*c.image));
    ASSERT_TRUE(file) << c.args;
    const auto b = Load(*file);
    EXPECT_EQ(b.PixelFormat(), c.format) << c.args;
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(b), *c.image), "") << c.args;
  }
}

TEST(TargaRead, Failures) {
  const TgaFields ok{.width = 2, .height = 1, .data = Bytes(6, 1)};
  EXPECT_NO_THROW(Load(BuildTga(ok)));
  auto with = [&](auto change) {
    TgaFields s = ok;
    change(s);
    return LoadError(BuildTga(s));
  };
  EXPECT_EQ(with([](TgaFields& s) { s.image_type = 0; }),
            "ETargaError: Unsupported Targa image type");
  EXPECT_EQ(with([](TgaFields& s) { s.image_type = 32; }),
            "ETargaError: Unsupported Targa image type");
  EXPECT_EQ(with([](TgaFields& s) { s.depth = 12; }), "ETargaError: Unsupported Targa pixel depth");
  EXPECT_EQ(with([](TgaFields& s) { s.image_type = 1; }),
            "ETargaError: Unsupported Targa pixel depth");
  EXPECT_EQ(with([](TgaFields& s) {
              s.color_map_type = 1;
              s.color_map_bits = 8;
            }),
            "ETargaError: Unsupported Targa color map");
  EXPECT_EQ(with([](TgaFields& s) { s.data.pop_back(); }), "EEndOfData: Premature end of data");
  EXPECT_EQ(with([](TgaFields& s) {
              s.image_type = 10;
              s.data = {0x80, 1, 2};  // run packet cut inside its pixel
            }),
            "EEndOfData: Premature end of data");
  // 65535 x 65535 x 4 bytes.
  EXPECT_EQ(with([](TgaFields& s) {
              s.width = s.height = 0xFFFF;
              s.depth = 32;
            }),
            "ESourceTooLarge: Source image too large");
  // 300 MB of pixels declared with a few bytes of packets: refused before
  // the raster is allocated.
  EXPECT_EQ(with([](TgaFields& s) {
              s.image_type = 10;
              s.width = s.height = 10000;
            }),
            "EEndOfData: Premature end of data");
  EXPECT_EQ(LoadError(Bytes(17, 0)), "EEndOfData: Premature end of data");

  // A failed load leaves the object as it was.
  TTargaGraphic tga;
  tga.Assign(NoiseImage(3, 3, 1));
  TMemoryStream bad(Bytes(5, 0));
  EXPECT_THROW(tga.LoadFromStream(bad), EEndOfData);
  EXPECT_EQ(tga.Width(), 3);
}

TEST(TargaRead, ZeroSizeGivesAnEmptyRaster) {
  EXPECT_TRUE(Load(BuildTga({.width = 0, .height = 5})).Empty());
}

}  // namespace
}  // namespace skalo
