#include "imaging/gif.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "imaging/gif_lzw.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

using testing::Bytes;
using testing::Put16;
using testing::Put8;
using testing::PutText;

const TPalette kFour = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};

// ---- GIF file building

void PutMap(Bytes& out, const TPalette& map) {
  for (const TPaletteEntry& c : map)
    out.insert(out.end(), {c.red, c.green, c.blue});
}

// Header and logical screen descriptor, with a global map of 2^n entries
// when `global` is given.
Bytes Header(int width, int height, const TPalette* global = nullptr, const char* sig = "GIF89a") {
  Bytes out;
  PutText(out, sig);
  Put16(out, width);
  Put16(out, height);
  int bits = 0;
  if (global)
    while ((1u << (bits + 1)) < global->size())
      ++bits;
  Put8(out, global ? 0x80 | bits : 0);
  Put8(out, 0);
  Put8(out, 0);
  if (global) PutMap(out, *global);
  return out;
}

void PutGraphicControl(Bytes& out, bool transparent, int index) {
  out.insert(out.end(), {0x21, 0xF9, 4, static_cast<std::uint8_t>(transparent ? 1 : 0), 0, 0,
                         static_cast<std::uint8_t>(index), 0});
}

// Image descriptor (packed byte given whole), optional local map, then the
// image data: `pixels` LZW-coded by our encoder.
void PutImage(Bytes& out, int left, int top, int width, int height, std::uint8_t packed,
              const TPalette* local, const Bytes& pixels, int min_code_size = 2) {
  Put8(out, ',');
  Put16(out, left);
  Put16(out, top);
  Put16(out, width);
  Put16(out, height);
  Put8(out, packed);
  if (local) PutMap(out, *local);
  Put8(out, min_code_size);
  TMemoryStream data;
  ASSERT_TRUE(LzwEncode(min_code_size, pixels, data));
  out.insert(out.end(), data.Bytes().begin(), data.Bytes().end());
}

// Hand-made code streams: (code, width) pairs packed LSB first.
Bytes PackCodes(const std::vector<std::pair<int, int>>& codes) {
  Bytes packed;
  std::uint32_t acc = 0;
  int n = 0;
  for (const auto& [code, width] : codes) {
    acc |= std::uint32_t(code) << n;
    n += width;
    while (n >= 8) {
      packed.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      n -= 8;
    }
  }
  if (n > 0) packed.push_back(static_cast<std::uint8_t>(acc));
  return packed;
}

// The packed codes as one sub-block and its terminator.
Bytes CodeBlocks(const std::vector<std::pair<int, int>>& codes) {
  const Bytes packed = PackCodes(codes);
  Bytes out(packed.size() + 2, 0);  // length, data, terminator
  out[0] = static_cast<std::uint8_t>(packed.size());
  std::copy(packed.begin(), packed.end(), out.begin() + 1);
  return out;
}

std::unique_ptr<TGIFImage> Load(const Bytes& file) {
  auto gif = std::make_unique<TGIFImage>();
  testing::LoadFromBytes(*gif, file);
  return gif;
}

std::string LoadError(const Bytes& file) {
  try {
    Load(file);
  } catch (const EGIFError& e) {
    return e.Message();
  }
  return "(no EGIFError)";
}

testing::Raster Render(TGIFImage& gif) {
  testing::Raster out;
  gif.AssignTo(out);
  return out;
}

// Reads a written GIF's single code stream the way a decoder must (GIF89a,
// appendix F): widths grow when the next table entry reaches 2^width.
struct CodeScan {
  std::vector<int> codes;
  std::vector<int> next_at_clear;  // the decoder's next free code at each clear
  int max_width = 0;
};

CodeScan ScanCodes(const Bytes& file, std::size_t data_offset) {
  const int min = file[data_offset];
  Bytes stream;
  for (std::size_t at = data_offset + 1; file[at] != 0; at += file[at] + 1)
    stream.insert(stream.end(), file.begin() + at + 1, file.begin() + at + 1 + file[at]);
  CodeScan scan;
  const int clear = 1 << min;
  int width = min + 1, next = clear + 2;
  bool first = true;
  std::size_t bit = 0;
  while (bit + width <= stream.size() * 8) {
    int code = 0;
    for (int i = 0; i < width; ++i, ++bit)
      code |= ((stream[bit / 8] >> (bit % 8)) & 1) << i;
    scan.codes.push_back(code);
    scan.max_width = std::max(scan.max_width, width);
    if (code == clear) {
      scan.next_at_clear.push_back(next);
      width = min + 1;
      next = clear + 2;
      first = true;
      continue;
    }
    if (code == clear + 1) break;
    if (!first && next < 4096) ++next;
    first = false;
    if (next == (1 << width) && width < 12) ++width;
  }
  return scan;
}

// ---- colour reduction

TEST(GifReduce, WebPaletteLevelsNotRounding) {
  struct Case {
    std::array<std::uint8_t, 3> rgb;
    int index;
  };
  const std::vector<Case> cases = {
      {{255, 255, 255}, 215},
      {{250, 250, 250}, 172},
      {{47, 48, 99}, 8},
      {{0, 0, 0}, 0},
      {{98, 149, 150}, 36 * 1 + 6 * 2 + 3},
      {{200, 201, 251}, 36 * 3 + 6 * 4 + 4},
      {{252, 0, 0}, 180},
  };
  auto raster = testing::MakeBgr24(int(cases.size()), 1, [&](int x, int) { return cases[x].rgb; });
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  ASSERT_EQ(gif->Images().size(), 1u);
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(gif->Images()[0].pixels[i], cases[i].index)
        << "pixel " << int(cases[i].rgb[0]) << "," << int(cases[i].rgb[1]) << ","
        << int(cases[i].rgb[2]);
  EXPECT_EQ(gif->Images()[0].color_map.colors, WebPalette());
  EXPECT_EQ(WebPalette()[215], (TPaletteEntry{255, 255, 255}));
  EXPECT_EQ(WebPalette()[8], (TPaletteEntry{0, 51, 102}));
  EXPECT_EQ(WebPalette()[216], (TPaletteEntry{0, 0, 0}));
}

TEST(GifReduce, Rgb565IsWidenedBeforeReduction) {
  TBitmap raster;
  raster.SetPixelFormat(TPixelFormat::Rgb565);
  raster.SetSize(2, 1);
  // Red 25 of 31 widens to 206 (level 4); shifting in zeros would give 200
  // (level 3). White stays white.
  const std::uint16_t words[2] = {25 << 11, 0xFFFF};
  std::memcpy(raster.Row(0), words, sizeof words);
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  EXPECT_EQ(gif->Images()[0].pixels, (std::vector<std::uint8_t>{144, 215}));
}

// ---- writing

TEST(GifWrite, ExactBytesOfASmallWhiteImage) {
  auto raster = testing::MakeBgr24(3, 2, [](int, int) {
    return std::array<std::uint8_t, 3>{255, 255, 255};
  });
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  const Bytes file = testing::SaveToBytes(*gif);

  Bytes want;
  PutText(want, "GIF87a");
  want.insert(want.end(), {3, 0, 2, 0, 0x77, 0, 0});             // screen, no global map
  want.insert(want.end(), {',', 0, 0, 0, 0, 3, 0, 2, 0, 0x87});  // image descriptor
  PutMap(want, WebPalette());                                    // 216 colours, 40 black
  // Codes 256 (clear), 215, 258, 259, 257 (end), 9 bits each.
  want.insert(want.end(), {8, 6, 0x00, 0xAF, 0x09, 0x1C, 0x18, 0x10, 0, ';'});
  EXPECT_EQ(file, want);
  EXPECT_EQ(file.size(), 13u + 10u + 768u + 10u);
}

TEST(GifWrite, EmptyRasterGivesHeaderScreenAndTrailer) {
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(TBitmap());
  EXPECT_TRUE(gif->Empty());
  Bytes want;
  PutText(want, "GIF87a");
  want.insert(want.end(), {0, 0, 0, 0, 0, 0, 0, ';'});
  EXPECT_EQ(testing::SaveToBytes(*gif), want);
}

TEST(GifWrite, TransparentRasterGetsAGraphicControlExtension) {
  auto raster = testing::MakeBgr24(2, 1, [](int x, int) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x ? 255 : 0), 0, 0};
  });
  raster.SetTransparent(true);
  raster.SetTransparentColor(MakeColor(255, 0, 0));  // index 180
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  const Bytes file = testing::SaveToBytes(*gif);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a") << "extensions need 89a";
  EXPECT_EQ(Bytes(file.begin() + 13, file.begin() + 21), (Bytes{0x21, 0xF9, 4, 1, 0, 0, 180, 0}));
  auto back = Load(file);
  ASSERT_TRUE(back->Images()[0].graphic_control);
  EXPECT_EQ(back->Images()[0].graphic_control->transparent_index, 180);
}

TEST(GifWrite, AlphaMaskGetsAnIndexOfItsOwn) {
  // Two red pixels, the first see-through: a red pixel that stays visible
  // must not share the transparent index.
  auto raster = testing::MakeBgr24(2, 1, [](int, int) {
    return std::array<std::uint8_t, 3>{255, 0, 0};
  });
  TBitmap alpha;
  alpha.SetPixelFormat(TPixelFormat::Indexed8);
  alpha.SetSize(2, 1);
  alpha.Row(0)[0] = 127;
  alpha.Row(0)[1] = 128;
  auto gif = std::make_unique<TGIFImage>();
  gif->AssignWithAlpha(raster, alpha);
  auto back = Load(testing::SaveToBytes(*gif));
  const auto& frame = back->Images()[0];
  ASSERT_TRUE(frame.graphic_control && frame.graphic_control->transparent);
  ASSERT_EQ(frame.pixels.size(), 2u);
  EXPECT_EQ(frame.pixels[0], frame.graphic_control->transparent_index);
  EXPECT_NE(frame.pixels[1], frame.graphic_control->transparent_index);
  EXPECT_EQ(testing::ToRgb(Render(*back)).pixels[3], 255) << "the visible pixel stays red";
  alpha.Row(0)[0] = 255;
  gif->AssignWithAlpha(raster, alpha);
  EXPECT_FALSE(Load(testing::SaveToBytes(*gif))->Images()[0].graphic_control)
      << "nothing see-through: no transparency";
}

TEST(GifWrite, IndexedRasterKeepsIndicesAndPalette) {
  TBitmap raster;
  raster.SetPixelFormat(TPixelFormat::Indexed8);
  raster.SetSize(5, 3);
  raster.SetPalette(kFour);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      raster.Row(y)[x] = static_cast<std::uint8_t>((x + y) % 4);
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  const Bytes file = testing::SaveToBytes(*gif);
  EXPECT_EQ(file[10], 0x11) << "screen packed byte: 2 bits per entry";
  EXPECT_EQ(file[13 + 9], 0x81) << "local map of 4 entries";
  EXPECT_EQ(file[13 + 10 + 12], 2) << "LZW minimum code size";

  auto back = Load(file);
  const auto out = Render(*back);
  ASSERT_EQ(out.PixelFormat(), TPixelFormat::Indexed8);
  EXPECT_EQ(out.Palette(), kFour);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(out.ConstRow(y)[x], (x + y) % 4) << x << "," << y;
}

TEST(GifWrite, IndexOutsideTheColourMapFailsBeforeWriting) {
  // A two-colour global map, but the code size lets the data name index 3.
  const TPalette two = {{0, 0, 0}, {255, 255, 255}};
  Bytes file = Header(2, 1, &two);
  PutImage(file, 0, 0, 2, 1, 0, nullptr, {1, 3});
  Put8(file, ';');
  auto gif = Load(file);
  TMemoryStream out;
  try {
    gif->SaveToStream(out);
    FAIL() << "no error";
  } catch (const EGIFError& e) {
    EXPECT_EQ(e.Message(), "Color not in color table");
  }
  EXPECT_EQ(out.Size(), 0u) << "nothing may be written before the failure";
}

// A noisy picture fills the string table again and again: the widths must
// reach 12 bits, every clear after the first must come exactly when entry
// 4094 was the last assigned, and both our reader and an independent decoder
// must give the pixels back.
TEST(GifWrite, NoisyImageCodeWidthsClearsAndRoundTrip) {
  testing::Noise noise(7);
  const int w = 400, h = 300;
  auto raster = testing::MakeBgr24(w, h, [&](int, int) {
    return std::array<std::uint8_t, 3>{noise.Next(), noise.Next(), noise.Next()};
  });
  auto gif = std::make_unique<TGIFImage>();
  gif->Assign(raster);
  const Bytes file = testing::SaveToBytes(*gif);

  const CodeScan scan = ScanCodes(file, 13 + 10 + 768);
  ASSERT_FALSE(scan.codes.empty());
  EXPECT_EQ(scan.codes.front(), 256) << "the first code must be a clear code";
  EXPECT_EQ(scan.codes.back(), 257);
  EXPECT_EQ(scan.max_width, 12);
  ASSERT_GT(scan.next_at_clear.size(), 3u);
  for (std::size_t i = 1; i < scan.next_at_clear.size(); ++i)
    EXPECT_EQ(scan.next_at_clear[i], 4095) << "clear #" << i;
  EXPECT_EQ(scan.next_at_clear.front(), 258);

  // Expected picture: every pixel in its web colour.
  testing::Rgb want = testing::ToRgb(raster);
  for (std::size_t i = 0; i < want.pixels.size(); i += 3) {
    const TPaletteEntry c =
        WebPalette()[WebPaletteIndex(want.pixels[i], want.pixels[i + 1], want.pixels[i + 2])];
    want.pixels[i] = c.red;
    want.pixels[i + 1] = c.green;
    want.pixels[i + 2] = c.blue;
  }
  auto back = Load(file);
  EXPECT_TRUE(back->Warnings().empty());
  EXPECT_EQ(back->Images()[0].pixels, gif->Images()[0].pixels);
  EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Render(*back)), want), "");

  if (!testing::HaveTool("giftopnm")) GTEST_SKIP() << "giftopnm not installed";
  const auto ppm = testing::RunTool("giftopnm", "", file);
  ASSERT_TRUE(ppm) << "giftopnm rejected our file";
  const auto decoded = testing::ParsePpm(*ppm);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(testing::FirstDifference(*decoded, want), "");
}

// ---- reading

TEST(GifRead, FilesOfAnIndependentEncoder) {
  if (!testing::HaveTool("ppmtogif")) GTEST_SKIP() << "ppmtogif not installed";
  testing::Rgb source{37, 23, {}};
  for (int y = 0; y < source.height; ++y)
    for (int x = 0; x < source.width; ++x)
      source.pixels.insert(source.pixels.end(), {static_cast<std::uint8_t>(x % 5 * 60),
                                                 static_cast<std::uint8_t>(y % 7 * 40),
                                                 static_cast<std::uint8_t>((x * y) % 3 * 120)});
  for (const char* args : {"", "-interlace"}) {
    const auto file = testing::RunTool("ppmtogif", args, testing::ToPpm(source));
    ASSERT_TRUE(file) << args;
    auto gif = Load(*file);
    EXPECT_TRUE(gif->Warnings().empty()) << args;
    EXPECT_EQ(gif->Images()[0].interlaced, std::string(args) == "-interlace");
    EXPECT_EQ(testing::FirstDifference(testing::ToRgb(Render(*gif)), source), "") << args;
  }
}

TEST(GifRead, InterlacedRowsAreStoredInImageOrder) {
  // Ten rows of one pixel, sent in interlace order: 0, 8 | 4 | 2, 6 | 1, 3, 5, 7, 9.
  const TPalette sixteen = [] {
    TPalette p(16);
    for (int i = 0; i < 16; ++i)
      p[i] = {static_cast<std::uint8_t>(i), 0, 0};
    return p;
  }();
  Bytes file = Header(1, 10, &sixteen);
  PutImage(file, 0, 0, 1, 10, 0x40, nullptr, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}, 4);
  Put8(file, ';');
  auto gif = Load(file);
  EXPECT_EQ(gif->Images()[0].pixels, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(GifRead, SignatureRule) {
  Bytes good = Header(1, 1, &kFour, "gIf12x");  // any letter case, version not checked
  PutImage(good, 0, 0, 1, 1, 0, nullptr, {2});
  Put8(good, ';');
  EXPECT_EQ(Load(good)->Images().size(), 1u);

  Bytes shifted(4 + good.size(), 0xEE);  // four bytes before the header
  std::copy(good.begin(), good.end(), shifted.begin() + 4);
  auto gif = Load(shifted);
  ASSERT_EQ(gif->Images().size(), 1u);
  EXPECT_EQ(gif->Images()[0].pixels[0], 2);

  Bytes bad = good;
  bad[2] = 'X';
  EXPECT_EQ(LoadError(bad), "Invalid GIF signature");
  EXPECT_EQ(LoadError({}), "Invalid GIF signature");
  EXPECT_EQ(LoadError({'G', 'I'}), "Invalid GIF signature");
}

TEST(GifRead, AnimatedFileRendersItsFirstFrameOnly) {
  Bytes file = Header(2, 2, &kFour);
  PutText(file, "!\xFF\x0bNETSCAPE2.0");  // application extension, skipped
  file.insert(file.end(), {3, 1, 0, 0, 0});
  PutGraphicControl(file, false, 0);
  PutImage(file, 0, 0, 2, 2, 0, nullptr, {1, 1, 1, 1});
  PutGraphicControl(file, false, 0);
  PutImage(file, 0, 0, 2, 2, 0, nullptr, {2, 2, 2, 2});
  Put8(file, ';');
  auto gif = Load(file);
  ASSERT_EQ(gif->Images().size(), 1u) << "later frames are not decoded";
  EXPECT_TRUE(gif->Warnings().empty());
  const auto out = Render(*gif);
  ASSERT_EQ(out.PixelFormat(), TPixelFormat::Indexed8);
  EXPECT_EQ(out.ConstRow(1)[1], 1);
  EXPECT_EQ(out.Palette()[1], (TPaletteEntry{255, 0, 0}));
  // Saved again, it is a one-frame file of the first frame.
  auto again = Load(testing::SaveToBytes(*gif));
  ASSERT_EQ(again->Images().size(), 1u);
  EXPECT_EQ(again->Images()[0].pixels, (Bytes{1, 1, 1, 1}));
  EXPECT_TRUE(again->Warnings().empty());
}

TEST(GifRead, FrameSmallerThanScreenIsDrawnOnWhite) {
  // Screen 4 x 3; a 2 x 1 frame at (1, 1) with its own map; a second frame
  // hanging past the screen must not matter.
  const TPalette local = {{10, 20, 30}, {40, 50, 60}};
  Bytes file = Header(4, 3, &kFour);
  PutImage(file, 1, 1, 2, 1, 0x80, &local, {0, 1});
  PutImage(file, 3, 2, 5, 5, 0, nullptr, Bytes(25, 3));
  Put8(file, ';');
  auto gif = Load(file);
  EXPECT_EQ(gif->Width(), 4);
  EXPECT_EQ(gif->Height(), 3);
  const auto out = Render(*gif);
  EXPECT_EQ(out.PixelFormat(), TPixelFormat::Device);
  const testing::Rgb rgb = testing::ToRgb(out);
  testing::Rgb want{4, 3, Bytes(4 * 3 * 3, 255)};
  std::copy_n(Bytes{10, 20, 30, 40, 50, 60}.begin(), 6, want.pixels.begin() + 3 * 5);
  EXPECT_EQ(testing::FirstDifference(rgb, want), "");

  // A frame hanging past the screen's right and bottom edges is clipped.
  Bytes clipped = Header(3, 2, &kFour);
  PutImage(clipped, 2, 1, 2, 2, 0, nullptr, {1, 2, 3, 3});
  Put8(clipped, ';');
  auto g2 = Load(clipped);
  const testing::Rgb rgb2 = testing::ToRgb(Render(*g2));
  EXPECT_EQ(std::vector<std::uint8_t>(rgb2.At(2, 1), rgb2.At(2, 1) + 3),
            (std::vector<std::uint8_t>{255, 0, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(rgb2.At(1, 1), rgb2.At(1, 1) + 3),
            (std::vector<std::uint8_t>{255, 255, 255}));
}

TEST(GifRead, TransparentIndexShowsTheBackdrop) {
  Bytes file = Header(2, 1, &kFour);
  PutGraphicControl(file, true, 3);
  PutImage(file, 0, 0, 2, 1, 0, nullptr, {3, 1});
  Put8(file, ';');
  auto gif = Load(file);
  EXPECT_EQ(testing::ToRgb(Render(*gif)).pixels, (Bytes{0, 0, 255, 255, 0, 0}))
      << "without a backdrop index 3 shows its stored colour";
  gif->SetBackdrop(MakeColor(0x33, 0x66, 0x99));
  EXPECT_EQ(testing::ToRgb(Render(*gif)).pixels, (Bytes{0x33, 0x66, 0x99, 255, 0, 0}));

  // A smaller frame: its transparent pixels and the screen around it.
  Bytes small = Header(3, 1, &kFour);
  PutGraphicControl(small, true, 0);
  PutImage(small, 1, 0, 2, 1, 0, nullptr, {0, 1});
  Put8(small, ';');
  auto g2 = Load(small);
  g2->SetBackdrop(MakeColor(1, 2, 3));
  EXPECT_EQ(testing::ToRgb(Render(*g2)).pixels, (Bytes{1, 2, 3, 1, 2, 3, 255, 0, 0}));
}

TEST(GifRead, DamagedLzwDataKeepsTheFrameWithItsFillIndex) {
  // 4 x 1 frame, transparent index 2: pixels not decoded keep index 2.
  auto frame_start = [] {
    Bytes f = Header(4, 1, &kFour);
    PutGraphicControl(f, true, 2);
    Put8(f, ',');
    for (int v : {0, 0, 0, 0, 4, 0, 1, 0, 0})
      Put8(f, v);
    Put8(f, 2);  // minimum code size: clear 4, end 5, 3-bit codes
    return f;
  };

  {  // File cut inside the data sub-block.
    Bytes file = frame_start();
    const Bytes blocks = CodeBlocks({{4, 3}, {1, 3}, {1, 3}, {3, 3}, {0, 3}, {5, 3}});
    file.insert(file.end(), blocks.begin(), blocks.begin() + 2);  // length and 1 byte
    auto gif = Load(file);
    ASSERT_EQ(gif->Images().size(), 1u);
    EXPECT_EQ(gif->Images()[0].pixels, (Bytes{1, 2, 2, 2}));
    EXPECT_EQ(gif->Warnings(), std::vector<std::string>{"Premature end of data"});
  }
  {  // Complete sub-blocks whose codes end before the pixels do.
    Bytes file = frame_start();
    const Bytes blocks = CodeBlocks({{4, 3}, {3, 3}});
    file.insert(file.end(), blocks.begin(), blocks.end());
    Put8(file, ';');
    auto gif = Load(file);
    EXPECT_EQ(gif->Images()[0].pixels, (Bytes{3, 2, 2, 2}));
    EXPECT_EQ(gif->Warnings(), std::vector<std::string>{"Decoder bit buffer under-run"});
  }
  {  // An end code before the last pixel: no warning, the rest keeps the fill.
    Bytes file = frame_start();
    const Bytes blocks = CodeBlocks({{4, 3}, {3, 3}, {5, 3}});
    file.insert(file.end(), blocks.begin(), blocks.end());
    Put8(file, ';');
    auto gif = Load(file);
    EXPECT_EQ(gif->Images()[0].pixels, (Bytes{3, 2, 2, 2}));
    EXPECT_TRUE(gif->Warnings().empty());
  }
  {  // A code beyond the next free one.
    Bytes file = frame_start();
    const Bytes blocks = CodeBlocks({{4, 3}, {1, 3}, {7, 3}});
    file.insert(file.end(), blocks.begin(), blocks.end());
    Put8(file, ';');
    EXPECT_EQ(LoadError(file), "Circular decoder table entry");
  }
  {  // A first code that is no literal.
    Bytes file = frame_start();
    const Bytes blocks = CodeBlocks({{4, 3}, {6, 3}});
    file.insert(file.end(), blocks.begin(), blocks.end());
    EXPECT_EQ(LoadError(file), "Circular decoder table entry");
  }
  for (const std::uint8_t size : {1, 9, 12}) {  // minimum code size outside 2..8
    Bytes file = frame_start();
    file.back() = size;
    EXPECT_EQ(LoadError(file), "Invalid LZW code size") << int(size);
  }
}

TEST(GifRead, BlockLevelWarningsKeepTheFrames) {
  Bytes one = Header(1, 1, &kFour);
  PutImage(one, 0, 0, 1, 1, 0, nullptr, {1});

  Bytes unknown = one;
  unknown.insert(unknown.end(), {0, 0, 'X'});  // zero bytes are skipped, 'X' is not a block
  PutImage(unknown, 0, 0, 1, 1, 0, nullptr, {2});
  auto gif = Load(unknown);
  EXPECT_EQ(gif->Images().size(), 1u);
  EXPECT_EQ(gif->Warnings(), std::vector<std::string>{"Unknown GIF block type"});

  EXPECT_EQ(Load(one)->Warnings(), std::vector<std::string>{"Invalid Image trailer"});

  Bytes cut_extension = one;
  cut_extension.insert(cut_extension.end(), {0x21, 0xFE, 10, 'a'});
  auto g2 = Load(cut_extension);
  EXPECT_EQ(g2->Images().size(), 1u);
  EXPECT_EQ(g2->Warnings(), std::vector<std::string>{"Premature end of data"});
}

TEST(GifRead, FrameOfSizeZeroTakesTheScreenSize) {
  Bytes file = Header(3, 2, &kFour);
  PutImage(file, 0, 0, 0, 5, 0, nullptr, {1, 1, 1, 1, 1, 1});
  Put8(file, ';');
  auto gif = Load(file);
  EXPECT_EQ(gif->Images()[0].width, 3);
  EXPECT_EQ(gif->Images()[0].height, 2);
  EXPECT_EQ(gif->Warnings(), std::vector<std::string>{"Image exceeds Logical Screen size"});
  EXPECT_EQ(Render(*gif).PixelFormat(), TPixelFormat::Indexed8);
}

TEST(GifRead, HardFailures) {
  Bytes file = Header(2, 2, &kFour);
  PutImage(file, 0, 0, 2, 2, 0, nullptr, {0, 1, 2, 3});
  Put8(file, ';');
  // Cut inside the screen descriptor, the global map and the image descriptor.
  for (std::size_t cut : {8u, 13u + 5u, 13u + 12u + 4u})
    EXPECT_EQ(LoadError(Bytes(file.begin(), file.begin() + cut)), "Premature end of data")
        << "cut at " << cut;

  Bytes no_map = Header(1, 1);
  PutImage(no_map, 0, 0, 1, 1, 0, nullptr, {0});
  Put8(no_map, ';');
  auto gif = Load(no_map);
  TBitmap out;
  try {
    gif->AssignTo(out);
    FAIL() << "no error";
  } catch (const EGIFError& e) {
    EXPECT_EQ(e.Message(), "No global or local color table defined");
  }

  auto none = Load([] {
    Bytes f = Header(5, 5, &kFour);
    Put8(f, ';');
    return f;
  }());
  EXPECT_TRUE(none->Empty());
  EXPECT_TRUE(Render(*none).Empty());
}

Bytes GoodFile() {
  Bytes file = Header(2, 1, &kFour);
  PutImage(file, 0, 0, 2, 1, 0, nullptr, {1, 2});
  Put8(file, ';');
  return file;
}

// A first frame without image data used to render as a blank picture of
// the declared size; now it fails, and a failed load leaves nothing behind.
TEST(GifRead, FrameWithoutImageDataIsRefused) {
  auto descriptor = [] {
    Bytes f = Header(3, 2, &kFour);
    Put8(f, ',');
    for (int v : {0, 0, 0, 0, 3, 0, 2, 0, 0})
      Put8(f, v);
    return f;
  };
  Bytes cut = descriptor();  // the file ends after the descriptor
  Bytes no_blocks = descriptor();
  no_blocks.insert(no_blocks.end(), {2, 0, ';'});  // code size, terminator
  Bytes no_pixel = descriptor();
  Put8(no_pixel, 2);
  const Bytes clear_end = CodeBlocks({{4, 3}, {5, 3}});
  no_pixel.insert(no_pixel.end(), clear_end.begin(), clear_end.end());
  Put8(no_pixel, ';');
  for (const Bytes* file : {&cut, &no_blocks, &no_pixel}) {
    auto gif = Load(GoodFile());
    ASSERT_FALSE(gif->Empty());
    TMemoryStream stream(*file);
    EXPECT_THROW(gif->LoadFromStream(stream), EGIFError);
    EXPECT_TRUE(gif->Empty());
    EXPECT_EQ(gif->Width(), 0);
  }
}

// The bound that decides whether LZW data can back a frame must be reached
// by the longest chain (each code the next free one, then the longest string
// again and again), or real files near it would be refused.
TEST(GifLzw, MaxOutputIsExactlyTheLongestChain) {
  std::vector<std::pair<int, int>> chain = {{0, 3}};  // a literal
  int next = 6, width = 3;
  while (next < 4096) {
    chain.push_back({next, width});
    if (++next == (1 << width) && width < 12) ++width;
  }
  for (int i = 0; i < 5; ++i)
    chain.push_back({4095, 12});
  const Bytes codes = PackCodes(chain);
  LzwDecoder lzw(2);
  std::vector<std::uint8_t> out;
  const LzwDecodeResult result = lzw.Decode(codes, out, SIZE_MAX);
  EXPECT_EQ(result.status, LzwStatus::OutOfData);
  EXPECT_EQ(result.written, LzwMaxOutput(codes.size(), 2));
  EXPECT_EQ(LzwMaxOutput(codes.size() + 3, 2), result.written + 2 * 4091) << "two codes more";
}

}  // namespace
}  // namespace skalo
