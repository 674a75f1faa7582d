#include "imaging/bitmap.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "imaging/checked.h"

namespace skalo {
namespace {

struct Bgr {
  std::uint8_t b, g, r;
  friend bool operator==(const Bgr&, const Bgr&) = default;
};

std::ostream& operator<<(std::ostream& os, const Bgr& p) {
  return os << "(b " << int{p.b} << ", g " << int{p.g} << ", r " << int{p.r} << ")";
}

Bgr PixelAt(const TBitmap& bmp, int x, int y) {
  const std::uint8_t* p = bmp.ConstRow(y) + 3 * x;
  return {p[0], p[1], p[2]};
}

std::uint16_t WordAt(const TBitmap& bmp, int x, int y) {
  const std::uint8_t* p = bmp.ConstRow(y) + 2 * x;
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

void SetWord(TBitmap& bmp, int x, int y, std::uint16_t v) {
  std::uint8_t* p = bmp.Row(y) + 2 * x;
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::unique_ptr<TBitmap> MakeBitmap(TPixelFormat format, int w, int h) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->SetPixelFormat(format);
  bmp->SetSize(w, h);
  return bmp;
}

// A Bgr24 raster filled with a fixed pseudo-random picture.
std::unique_ptr<TBitmap> Noise(int w, int h, unsigned seed = 7) {
  auto bmp = MakeBitmap(TPixelFormat::Bgr24, w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x)
      bmp->Row(y)[x] = static_cast<std::uint8_t>(rng());
  return bmp;
}

// Component widening as documented: the high bits repeated below.
std::uint8_t Widen5(unsigned v) {
  return static_cast<std::uint8_t>(v << 3 | v >> 2);
}
std::uint8_t Widen6(unsigned v) {
  return static_cast<std::uint8_t>(v << 2 | v >> 4);
}

// ------------------------------------------------------------ basics

TEST(BitmapBasics, NewRasterIsEmptyAndHasNoRows) {
  TBitmap bmp;
  EXPECT_EQ(bmp.Width(), 0);
  EXPECT_EQ(bmp.Height(), 0);
  EXPECT_TRUE(bmp.Empty());
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Device);
  EXPECT_FALSE(bmp.HasCanvas());
  EXPECT_FALSE(bmp.Transparent());
  try {
    bmp.Row(0);
    FAIL() << "Row(0) on an empty raster succeeded";
  } catch (const EGraphicError& e) {
    EXPECT_EQ(e.Message(), "Scan line index out of range");
  }
  bmp.SetSize(3, 2);
  EXPECT_THROW(bmp.Row(-1), EGraphicError);
  EXPECT_THROW(bmp.Row(2), EGraphicError);
  EXPECT_NO_THROW(bmp.Row(1));
  EXPECT_THROW(bmp.SetWidth(-1), EGraphicError);
}

TEST(BitmapBasics, RowsArePaddedToFourZeroBytes) {
  struct Case {
    TPixelFormat format;
    int bits;
    std::size_t bytes;  // for a width of 5
  };
  for (const Case c : {Case{TPixelFormat::Indexed1, 1, 4}, Case{TPixelFormat::Indexed4, 4, 4},
                       Case{TPixelFormat::Indexed8, 8, 8}, Case{TPixelFormat::Rgb555, 16, 12},
                       Case{TPixelFormat::Rgb565, 16, 12}, Case{TPixelFormat::Bgr24, 24, 16},
                       Case{TPixelFormat::Bgrx32, 32, 20}, Case{TPixelFormat::Device, 24, 16}}) {
    auto bmp = MakeBitmap(c.format, 5, 3);
    EXPECT_EQ(bmp->BitsPerPixel(), c.bits);
    EXPECT_EQ(bmp->BytesPerRow(), c.bytes) << "bits " << c.bits;
    EXPECT_EQ(bmp->RowStride(), static_cast<std::ptrdiff_t>(c.bytes));
    EXPECT_EQ(bmp->Row(1) - bmp->Row(0), bmp->RowStride());
    if (c.bits >= 8) {
      const std::size_t used = 5 * static_cast<std::size_t>(c.bits) / 8;
      for (std::size_t i = used; i < c.bytes; ++i)
        EXPECT_EQ(bmp->ConstRow(2)[i], 0) << "byte " << i;
    }
  }
}

TEST(BitmapBasics, NewPixelsAreWhiteInEveryFormat) {
  auto w565 = MakeBitmap(TPixelFormat::Rgb565, 4, 2);
  auto w555 = MakeBitmap(TPixelFormat::Rgb555, 4, 2);
  auto w32 = MakeBitmap(TPixelFormat::Bgrx32, 4, 2);
  auto w24 = MakeBitmap(TPixelFormat::Bgr24, 4, 2);
  auto w8 = MakeBitmap(TPixelFormat::Indexed8, 4, 2);
  auto w1 = MakeBitmap(TPixelFormat::Indexed1, 4, 2);
  EXPECT_EQ(WordAt(*w565, 3, 1), 0xFFFF);
  EXPECT_EQ(WordAt(*w555, 3, 1), 0x7FFF);
  EXPECT_EQ(std::memcmp(w32->ConstRow(1) + 12, "\xFF\xFF\xFF\x00", 4), 0);
  EXPECT_EQ(PixelAt(*w24, 3, 1), (Bgr{255, 255, 255}));
  EXPECT_EQ(w8->Palette()[w8->ConstRow(1)[3]], (TPaletteEntry{255, 255, 255}));
  EXPECT_EQ(w1->ConstRow(1)[0] & 0xF0, 0xF0);  // index 1 of black, white
}

TEST(BitmapBasics, ResizeKeepsOldPixelsAndFillsNewOnes) {
  // The format chosen while a side is 0 waits for the store.
  TBitmap bmp;
  bmp.SetPixelFormat(TPixelFormat::Bgr24);
  bmp.SetWidth(3);
  EXPECT_TRUE(bmp.Empty());
  bmp.SetHeight(2);
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Bgr24);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      bmp.Row(y)[x] = static_cast<std::uint8_t>(10 * y + x);

  const std::uint8_t* before = bmp.ConstRow(0);
  bmp.SetSize(3, 2);
  EXPECT_EQ(bmp.ConstRow(0), before) << "writing the current size must do nothing";

  bmp.SetSize(4, 3);  // no canvas yet: white
  EXPECT_EQ(PixelAt(bmp, 2, 1), (Bgr{16, 17, 18}));
  EXPECT_EQ(PixelAt(bmp, 3, 0), (Bgr{255, 255, 255}));
  EXPECT_EQ(PixelAt(bmp, 0, 2), (Bgr{255, 255, 255}));

  bmp.Canvas().Brush().SetColor(MakeColor(1, 2, 3));  // from now on the brush colour
  bmp.SetSize(2, 4);
  EXPECT_EQ(PixelAt(bmp, 1, 0), (Bgr{3, 4, 5}));
  EXPECT_EQ(PixelAt(bmp, 1, 1), (Bgr{13, 14, 15}));
  EXPECT_EQ(PixelAt(bmp, 1, 2), (Bgr{255, 255, 255}));
  EXPECT_EQ(PixelAt(bmp, 0, 3), (Bgr{3, 2, 1}));
}

TEST(BitmapBasics, ResizeOfPackedPixelsKeepsThePartlyKeptByte) {
  auto bmp = MakeBitmap(TPixelFormat::Indexed4, 3, 1);
  bmp->SetPalette({{0, 0, 0}, {255, 255, 255}, {9, 9, 9}});
  bmp->Row(0)[0] = 0x22;
  bmp->Row(0)[1] = 0x20;  // pixels 2, 2, 2
  bmp->SetWidth(4);
  EXPECT_EQ(bmp->ConstRow(0)[1], 0x21) << "pixel 3 must be the white index";
  bmp->SetWidth(1);
  bmp->SetWidth(2);
  EXPECT_EQ(bmp->ConstRow(0)[0], 0x21);
}

TEST(BitmapBasics, CustomFormatCannotBeRequested) {
  auto bmp = Noise(2, 2);
  const Bgr before = PixelAt(*bmp, 1, 1);
  try {
    bmp->SetPixelFormat(TPixelFormat::Custom);
    FAIL() << "Custom was accepted";
  } catch (const EGraphicError& e) {
    EXPECT_EQ(e.Message(), "Invalid pixel format");
  }
  EXPECT_EQ(bmp->PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(PixelAt(*bmp, 1, 1), before);
}

TEST(BitmapBasics, BitFieldsNameTheFormat) {
  TBitmap bmp;
  bmp.SetBitFields(16, {0xF800, 0x07E0, 0x001F});
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Rgb565);
  bmp.SetBitFields(16, {0x7C00, 0x03E0, 0x001F});
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Rgb555);
  bmp.SetBitFields(32, {0xFF0000, 0xFF00, 0xFF});
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Bgrx32);
  bmp.SetBitFields(16, {0x0F00, 0x00F0, 0x000F});
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Custom);
  EXPECT_EQ(bmp.BitsPerPixel(), 16);
  EXPECT_EQ(bmp.BitFields(), (TBitFields{0x0F00, 0x00F0, 0x000F}));
  // Not one run, overlapping, outside the word, not 16 or 32 bits.
  EXPECT_THROW(bmp.SetBitFields(16, {0x0F0F, 0, 0}), EGraphicError);
  EXPECT_THROW(bmp.SetBitFields(16, {0x0FF0, 0x00FF, 0}), EGraphicError);
  EXPECT_THROW(bmp.SetBitFields(16, {0x1F0000, 0, 0}), EGraphicError);
  EXPECT_THROW(bmp.SetBitFields(24, {0xFF0000, 0xFF00, 0xFF}), EGraphicError);
  EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::Custom);
}

TEST(BitmapBasics, OversizedStoreIsRefusedBeforeAllocating) {
  auto bmp = Noise(4, 4);
  const Bgr before = PixelAt(*bmp, 3, 3);
  for (auto [w, h] :
       {std::pair{65536, 65536}, std::pair{INT32_MAX, INT32_MAX}, std::pair{INT32_MAX, 1}}) {
    try {
      bmp->SetSize(w, h);
      FAIL() << w << " x " << h << " was accepted";
    } catch (const EOutOfResources& e) {
      EXPECT_EQ(e.Message(), "Out of system resources");
    }
  }
  EXPECT_EQ(bmp->Width(), 4);
  EXPECT_EQ(bmp->Height(), 4);
  EXPECT_EQ(PixelAt(*bmp, 3, 3), before);
}

// ------------------------------------------------------------ conversions

TEST(BitmapConversion, IndexedIntoBgr24ReproducesThePalette) {
  std::mt19937 rng(3);
  TPalette palette(256);
  for (auto& e : palette)
    e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
         static_cast<std::uint8_t>(rng())};

  auto b8 = MakeBitmap(TPixelFormat::Indexed8, 256, 1);
  b8->SetPalette(palette);
  for (int i = 0; i < 256; ++i)
    b8->Row(0)[i] = static_cast<std::uint8_t>(i);
  b8->SetPixelFormat(TPixelFormat::Bgr24);
  for (int i = 0; i < 256; ++i)
    ASSERT_EQ(PixelAt(*b8, i, 0), (Bgr{palette[i].blue, palette[i].green, palette[i].red}))
        << "index " << i;

  auto b4 = MakeBitmap(TPixelFormat::Indexed4, 16, 1);
  b4->SetPalette(TPalette(palette.begin(), palette.begin() + 16));
  for (int i = 0; i < 8; ++i)
    b4->Row(0)[i] = static_cast<std::uint8_t>((2 * i) << 4 | (2 * i + 1));
  b4->SetPixelFormat(TPixelFormat::Bgr24);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(PixelAt(*b4, i, 0).g, palette[i].green) << "index " << i;

  auto b1 = MakeBitmap(TPixelFormat::Indexed1, 10, 1);
  b1->SetPalette({palette[0], palette[1]});
  b1->Row(0)[0] = 0b10100000;
  b1->Row(0)[1] = 0b01000000;
  b1->SetPixelFormat(TPixelFormat::Bgr24);
  const int want[10] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(PixelAt(*b1, i, 0).r, palette[want[i]].red) << "pixel " << i;

  // An index without an entry reads black.
  auto shorty = MakeBitmap(TPixelFormat::Indexed8, 2, 1);
  shorty->SetPalette({{9, 9, 9}});
  shorty->Row(0)[1] = 200;
  shorty->SetPixelFormat(TPixelFormat::Bgr24);
  EXPECT_EQ(PixelAt(*shorty, 1, 0), (Bgr{0, 0, 0}));
}

TEST(BitmapConversion, SixteenBitIntoBgr24RepeatsTheHighBits) {
  auto b565 = MakeBitmap(TPixelFormat::Rgb565, 256, 256);
  auto b555 = MakeBitmap(TPixelFormat::Rgb555, 256, 128);
  for (unsigned v = 0; v < 65536; ++v)
    SetWord(*b565, v % 256, v / 256, static_cast<std::uint16_t>(v));
  for (unsigned v = 0; v < 32768; ++v)
    SetWord(*b555, v % 256, v / 256, static_cast<std::uint16_t>(v));
  b565->SetPixelFormat(TPixelFormat::Bgr24);
  b555->SetPixelFormat(TPixelFormat::Bgr24);
  for (unsigned v = 0; v < 65536; ++v) {
    const Bgr want{Widen5(v & 31), Widen6(v >> 5 & 63), Widen5(v >> 11)};
    ASSERT_EQ(PixelAt(*b565, v % 256, v / 256), want) << "565 word " << v;
  }
  for (unsigned v = 0; v < 32768; ++v) {
    const Bgr want{Widen5(v & 31), Widen5(v >> 5 & 31), Widen5(v >> 10 & 31)};
    ASSERT_EQ(PixelAt(*b555, v % 256, v / 256), want) << "555 word " << v;
  }
  EXPECT_EQ(Widen5(31), 255);
  EXPECT_EQ(Widen6(63), 255);
  EXPECT_EQ(Widen5(16), 132);
}

TEST(BitmapConversion, WideFormatsIntoBgr24) {
  auto b32 = MakeBitmap(TPixelFormat::Bgrx32, 2, 1);
  std::memcpy(b32->Row(0), "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  b32->SetPixelFormat(TPixelFormat::Bgr24);
  EXPECT_EQ(PixelAt(*b32, 0, 0), (Bgr{1, 2, 3}));
  EXPECT_EQ(PixelAt(*b32, 1, 0), (Bgr{5, 6, 7}));

  auto device = MakeBitmap(TPixelFormat::Device, 2, 2);
  device->Row(1)[4] = 77;
  const std::uint8_t* store = device->ConstRow(0);
  device->SetPixelFormat(TPixelFormat::Bgr24);
  EXPECT_EQ(device->ConstRow(0), store) << "Device and Bgr24 share a layout";
  EXPECT_EQ(PixelAt(*device, 1, 1).g, 77);

  // 4-4-4 in a 16-bit word and 10-10-10 in a 32-bit word.
  TBitmap custom;
  custom.SetBitFields(16, {0x0F00, 0x00F0, 0x000F});
  custom.SetSize(1, 1);
  SetWord(custom, 0, 0, 0x0F83);
  custom.SetPixelFormat(TPixelFormat::Bgr24);
  EXPECT_EQ(PixelAt(custom, 0, 0), (Bgr{0x33, 0x88, 0xFF}));
  TBitmap wide;
  wide.SetBitFields(32, {0x3FF00000, 0x000FFC00, 0x000003FF});
  wide.SetSize(1, 1);
  const std::uint32_t v = 0x3FFu << 20 | 0x200u << 10 | 0x0FFu;
  std::memcpy(wide.Row(0), &v, 4);
  wide.SetPixelFormat(TPixelFormat::Bgr24);
  EXPECT_EQ(PixelAt(wide, 0, 0), (Bgr{0x3F, 0x80, 0xFF}));
}

TEST(BitmapConversion, NarrowingTruncatesAndWideningRoundTrips) {
  auto bmp = MakeBitmap(TPixelFormat::Bgr24, 3, 1);
  std::memcpy(bmp->Row(0), "\xFF\xFF\xFF\x07\x03\x07\x08\x04\xF8", 9);
  bmp->SetPixelFormat(TPixelFormat::Rgb565);
  EXPECT_EQ(WordAt(*bmp, 0, 0), 0xFFFF);
  EXPECT_EQ(WordAt(*bmp, 1, 0), 0x0000);
  EXPECT_EQ(WordAt(*bmp, 2, 0), (0xF8 >> 3) << 11 | (4 >> 2) << 5 | (8 >> 3));

  auto all = MakeBitmap(TPixelFormat::Rgb565, 256, 256);
  for (unsigned v = 0; v < 65536; ++v)
    SetWord(*all, v % 256, v / 256, static_cast<std::uint16_t>(v));
  all->SetPixelFormat(TPixelFormat::Bgr24);
  all->SetPixelFormat(TPixelFormat::Rgb565);
  for (unsigned v = 0; v < 65536; ++v)
    ASSERT_EQ(WordAt(*all, v % 256, v / 256), v);
}

TEST(BitmapConversion, IndexedFormatsTakeTheStandardPalettes) {
  const TPalette& halftone = StandardPalette(TPixelFormat::Indexed8);
  ASSERT_EQ(halftone.size(), 256u);
  EXPECT_EQ(halftone[36 * 5 + 6 * 2 + 1], (TPaletteEntry{255, 102, 51}));
  ASSERT_EQ(StandardPalette(TPixelFormat::Indexed4).size(), 16u);
  ASSERT_EQ(StandardPalette(TPixelFormat::Indexed1).size(), 2u);

  auto bmp = MakeBitmap(TPixelFormat::Bgr24, 4, 1);
  std::memcpy(bmp->Row(0), "\x33\x66\xFF\x10\x10\x10\x00\x00\xF0\x90\x90\x90", 12);
  TBitmap four, one;
  four.Assign(*bmp);
  one.Assign(*bmp);
  bmp->SetPixelFormat(TPixelFormat::Indexed8);
  EXPECT_EQ(bmp->Palette(), halftone);
  EXPECT_EQ(bmp->ConstRow(0)[0], 36 * 5 + 6 * 2 + 1);                     // an exact cube colour
  EXPECT_EQ(halftone[bmp->ConstRow(0)[1]], (TPaletteEntry{19, 19, 19}));  // nearest grey

  four.SetPixelFormat(TPixelFormat::Indexed4);
  EXPECT_EQ(four.ConstRow(0)[1] >> 4, 9) << "(240, 0, 0) is nearest to red";
  one.SetPixelFormat(TPixelFormat::Indexed1);
  EXPECT_EQ(one.ConstRow(0)[0] >> 4, 0b1001) << "pixels white, black, black, white";

  // Widening between indexed formats keeps indices and palette.
  auto small = MakeBitmap(TPixelFormat::Indexed4, 3, 1);
  small->SetPalette({{1, 1, 1}, {2, 2, 2}, {3, 3, 3}});
  small->Row(0)[0] = 0x21;
  small->SetPixelFormat(TPixelFormat::Indexed8);
  EXPECT_EQ(small->ConstRow(0)[0], 2);
  EXPECT_EQ(small->ConstRow(0)[1], 1);
  EXPECT_EQ(small->Palette().size(), 3u);
}

// ------------------------------------------------------------ sharing

TEST(BitmapSharing, AssignSharesUntilTheFirstChange) {
  auto a = Noise(5, 4);
  a->SetTransparent(true);
  a->SetTransparentColor(MakeColor(1, 2, 3));
  TBitmap b;
  b.Assign(*a);
  EXPECT_EQ(b.ConstRow(0), a->ConstRow(0)) << "the store must be shared";
  EXPECT_TRUE(b.Transparent());
  EXPECT_EQ(b.TransparentColor(), MakeColor(1, 2, 3));

  const Bgr original = PixelAt(*a, 2, 2);
  b.Row(2)[6] = static_cast<std::uint8_t>(original.b + 1);
  EXPECT_EQ(PixelAt(*a, 2, 2), original);
  EXPECT_NE(b.ConstRow(0), a->ConstRow(0));

  // Each kind of change isolates: canvas, conversion, resize, palette.
  TBitmap c, d, e;
  c.Assign(*a);
  c.Canvas().FillRect({0, 0, 5, 4});
  d.Assign(*a);
  d.SetPixelFormat(TPixelFormat::Rgb565);
  e.Assign(*a);
  e.SetSize(6, 4);
  EXPECT_EQ(PixelAt(*a, 2, 2), original);
  EXPECT_EQ(a->PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(a->Width(), 5);

  auto p = MakeBitmap(TPixelFormat::Indexed8, 1, 1);
  p->SetPalette({{1, 1, 1}});
  TBitmap q;
  q.Assign(*p);
  q.SetPalette({{2, 2, 2}});
  EXPECT_EQ(p->Palette()[0], (TPaletteEntry{1, 1, 1}));
}

TEST(BitmapSharing, CopiesOnManyThreadsStayIsolated) {
  auto master = Noise(64, 64);
  std::vector<std::uint8_t> snapshot(master->ConstRow(0),
                                     master->ConstRow(0) + 64 * master->BytesPerRow());
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        TBitmap mine;
        mine.Assign(*master);
        std::memset(mine.Row(i % 64), t, mine.BytesPerRow());
        if (mine.ConstRow(i % 64)[0] != t) ++wrong;
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(std::memcmp(master->ConstRow(0), snapshot.data(), snapshot.size()), 0);
}

// ------------------------------------------------------------ canvas

TEST(BitmapCanvas, FillRectIsClippedToTheRaster) {
  auto bmp = MakeBitmap(TPixelFormat::Bgr24, 4, 3);
  EXPECT_EQ(bmp->Canvas().ClipRect(), (TRect{0, 0, 4, 3}));
  bmp->Canvas().Brush().SetColor(MakeColor(10, 20, 30));
  bmp->Canvas().FillRect({-5, 1, 2, 99});
  EXPECT_EQ(PixelAt(*bmp, 0, 0), (Bgr{255, 255, 255}));
  EXPECT_EQ(PixelAt(*bmp, 1, 2), (Bgr{30, 20, 10}));
  EXPECT_EQ(PixelAt(*bmp, 2, 1), (Bgr{255, 255, 255}));
  bmp->Canvas().Brush().SetStyle(TBrushStyle::Clear);
  bmp->Canvas().FillRect({0, 0, 4, 3});
  EXPECT_EQ(PixelAt(*bmp, 3, 0), (Bgr{255, 255, 255}));
}

// A 7 x 7 white raster with a black ring around (3, 3); the ring has a gap at
// a corner only, which 4-connected filling must not pass.
std::unique_ptr<TBitmap> Ring() {
  auto bmp = MakeBitmap(TPixelFormat::Rgb565, 7, 7);
  for (int i = 1; i <= 5; ++i) {
    SetWord(*bmp, i, 1, 0);
    SetWord(*bmp, i, 5, 0);
    SetWord(*bmp, 1, i, 0);
    SetWord(*bmp, 5, i, 0);
  }
  SetWord(*bmp, 5, 5, 0xFFFF);
  return bmp;
}

TEST(BitmapCanvas, FloodFillBorderAndSurface) {
  auto border = Ring();
  border->Canvas().Brush().SetColor(MakeColor(0, 0, 255));
  border->Canvas().FloodFill(3, 3, kColorBlack, TFloodFillMode::Border);
  EXPECT_EQ(WordAt(*border, 3, 3), 0x001F);
  EXPECT_EQ(WordAt(*border, 4, 4), 0x001F);
  EXPECT_EQ(WordAt(*border, 1, 1), 0x0000) << "the border is not filled";
  EXPECT_EQ(WordAt(*border, 0, 0), 0xFFFF) << "filled through the diagonal gap";
  EXPECT_EQ(WordAt(*border, 5, 5), 0xFFFF);

  auto surface = Ring();
  surface->Canvas().Brush().SetColor(MakeColor(255, 0, 0));
  surface->Canvas().FloodFill(1, 1, kColorBlack, TFloodFillMode::Surface);
  EXPECT_EQ(WordAt(*surface, 5, 1), 0xF800);
  EXPECT_EQ(WordAt(*surface, 4, 5), 0xF800);
  EXPECT_EQ(WordAt(*surface, 3, 3), 0xFFFF);

  // Starting outside, or on a pixel outside the region, fills nothing.
  auto untouched = Ring();
  untouched->Canvas().Brush().SetColor(kColorBlack);
  untouched->Canvas().FloodFill(-1, 3, kColorBlack, TFloodFillMode::Border);
  untouched->Canvas().FloodFill(1, 1, kColorBlack, TFloodFillMode::Border);
  untouched->Canvas().FloodFill(3, 3, kColorBlack, TFloodFillMode::Surface);
  EXPECT_EQ(WordAt(*untouched, 3, 3), 0xFFFF);
  EXPECT_EQ(WordAt(*untouched, 0, 0), 0xFFFF);
}

TEST(BitmapCanvas, PadSequenceFillsTheWholeCanvas) {
  TBitmap canvas;
  canvas.SetPixelFormat(TPixelFormat::Rgb565);
  canvas.SetWidth(40);
  canvas.SetHeight(30);
  canvas.Canvas().Brush().SetColor(MakeColor(0x12, 0x34, 0x56));
  canvas.Canvas().FloodFill(0, 0, kColorBlack, TFloodFillMode::Border);
  const std::uint16_t want = (0x12 >> 3) << 11 | (0x34 >> 2) << 5 | 0x56 >> 3;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x)
      ASSERT_EQ(WordAt(canvas, x, y), want) << x << ", " << y;
}

TEST(BitmapCanvas, DrawConvertsAndClips) {
  auto picture = Noise(6, 5);
  auto canvas = MakeBitmap(TPixelFormat::Rgb565, 4, 4);
  canvas->Canvas().Brush().SetColor(kColorBlack);
  canvas->Canvas().FillRect(canvas->Canvas().ClipRect());

  // Larger than the canvas, at a negative offset: only the inside stays.
  canvas->Canvas().Draw(-3, -2, *picture);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      if (x < 3 && y < 3) {
        const Bgr p = PixelAt(*picture, x + 3, y + 2);
        ASSERT_EQ(WordAt(*canvas, x, y), (p.r >> 3) << 11 | (p.g >> 2) << 5 | p.b >> 3)
            << x << ", " << y;
      } else {
        ASSERT_EQ(WordAt(*canvas, x, y), 0) << "outside the picture at " << x << ", " << y;
      }
    }
  }
  // Far outside, and an empty graphic: nothing changes.
  const std::uint16_t corner = WordAt(*canvas, 0, 0);
  canvas->Canvas().Draw(4, 0, *picture);
  canvas->Canvas().Draw(INT32_MIN, INT32_MIN, *picture);
  canvas->Canvas().Draw(INT32_MAX, 0, *picture);
  TBitmap empty;
  canvas->Canvas().Draw(0, 0, empty);
  EXPECT_EQ(WordAt(*canvas, 0, 0), corner);
  EXPECT_EQ(WordAt(*canvas, 3, 3), 0);

  // Same format: a plain copy, also of a raster onto itself.
  auto self = Noise(4, 4, 11);
  const Bgr top_left = PixelAt(*self, 0, 0);
  self->Canvas().Draw(1, 1, *self);
  EXPECT_EQ(PixelAt(*self, 1, 1), top_left);
}

// ------------------------------------------------------------ graphic interface

// A graphic that is not a raster: converts itself into a 2 x 1 red picture.
class RedGraphic : public TGraphic {
 public:
  void LoadFromStream(TStream&) override {}
  void SaveToStream(TStream&) override {}
  int Width() const override { return 2; }
  int Height() const override { return 1; }
  bool Empty() const override { return false; }
  void Assign(const TBitmap&) override {}
  void AssignTo(TBitmap& dest) override {
    dest.SetPixelFormat(TPixelFormat::Bgr24);
    dest.SetSize(2, 1);
    dest.Canvas().Brush().SetColor(MakeColor(255, 0, 0));
    dest.Canvas().FillRect({0, 0, 2, 1});
  }
};

TEST(BitmapGraphic, OtherGraphicsConvertThemselves) {
  RedGraphic red;
  TBitmap bmp;
  bmp.Assign(static_cast<TGraphic&>(red));
  EXPECT_EQ(PixelAt(bmp, 1, 0), (Bgr{0, 0, 255}));

  auto canvas = MakeBitmap(TPixelFormat::Bgr24, 3, 1);
  canvas->Canvas().Draw(1, 0, red);
  EXPECT_EQ(PixelAt(*canvas, 0, 0), (Bgr{255, 255, 255}));
  EXPECT_EQ(PixelAt(*canvas, 2, 0), (Bgr{0, 0, 255}));

  EXPECT_THROW(bmp.LoadFromFile("/nonexistent/skalo/picture.bmp"), EFOpenError);
}

}  // namespace
}  // namespace skalo
