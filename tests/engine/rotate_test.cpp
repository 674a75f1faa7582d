#include "engine/rotate.h"
#include "tests/imaging/same_pixels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>

namespace skalo {
namespace {

// W x H, Bgr24, every pixel a distinct colour: blue x, green y, red 7.
std::unique_ptr<TBitmap> Labelled(int w, int h) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->SetPixelFormat(TPixelFormat::Bgr24);
  bmp->SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = bmp->Row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = 7;
    }
  return bmp;
}

// The source pixel at result (x, y) as (sx, sy), or (-1, -1) for the colour.
std::pair<int, int> Origin(const TBitmap& r, int x, int y) {
  const std::uint8_t* p = r.ConstRow(y) + 3 * x;
  if (p[2] != 7) return {-1, -1};
  return {p[0], p[1]};
}

using testing::SamePixels;

TEST(RotateBitmap, ResultSizes) {
  struct Case {
    int w, h;
    long double angle;
    int rw, rh;
  };
  for (const Case c :
       {Case{100, 100, 45, 141, 141}, Case{200, 100, 30, 223, 187}, Case{400, 300, 90, 300, 400},
        Case{400, 300, 180, 400, 300}, Case{7, 3, 270, 3, 7}, Case{0, 0, 33, 0, 0}}) {
    auto src = Labelled(c.w, c.h);
    const auto r = RotateBitmap(*src, kColorWhite, c.angle);
    EXPECT_EQ(r->Width(), c.rw) << c.w << "x" << c.h << " by " << static_cast<double>(c.angle);
    EXPECT_EQ(r->Height(), c.rh) << c.w << "x" << c.h << " by " << static_cast<double>(c.angle);
    EXPECT_EQ(r->PixelFormat(), TPixelFormat::Bgr24);
  }
}

TEST(RotateBitmap, FullTurnsAndNegativeAngles) {
  auto src = Labelled(9, 6);
  for (long double angle : {0.0L, 360.0L, 720.0L, -360.0L}) {
    const auto r = RotateBitmap(*src, kColorWhite, angle);
    EXPECT_TRUE(SamePixels(*r, *src)) << static_cast<double>(angle);
  }
  const auto r270 = RotateBitmap(*src, kColorWhite, 270);
  EXPECT_TRUE(SamePixels(*RotateBitmap(*src, kColorWhite, -90), *r270));
  EXPECT_TRUE(SamePixels(*RotateBitmap(*src, kColorWhite, -450), *r270));
  EXPECT_TRUE(SamePixels(*RotateBitmap(*src, kColorWhite, 990), *r270));
  EXPECT_THROW(RotateBitmap(*src, kColorWhite, INFINITY), EGraphicError);
  EXPECT_THROW(RotateBitmap(*src, kColorWhite, NAN), EGraphicError);
}

// With a 64-bit mantissa the computed angles of quarter turns land slightly
// past the exact multiples: cos < 0 at 90, sin < 0 at 180, cos > 0 at 270.
// On even sides that keeps the picture exactly in place.
TEST(RotateBitmap, QuarterTurnsOfEvenSidesAreExact) {
  auto src = Labelled(4, 6);
  const auto r90 = RotateBitmap(*src, kColorWhite, 90);
  const auto r180 = RotateBitmap(*src, kColorWhite, 180);
  const auto r270 = RotateBitmap(*src, kColorWhite, 270);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      // Counter-clockwise: the top row becomes the left column, left end down.
      ASSERT_EQ(Origin(*r90, x, y), std::make_pair(3 - y, x)) << "90 at " << x << ", " << y;
      ASSERT_EQ(Origin(*r270, x, y), std::make_pair(y, 5 - x)) << "270 at " << x << ", " << y;
    }
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 4; ++x)
      ASSERT_EQ(Origin(*r180, x, y), std::make_pair(3 - x, 5 - y)) << "180";
}

TEST(RotateBitmap, QuarterTurnOfAnOddSideSitsOnePixelOff) {
  auto src = Labelled(5, 4);
  const auto r = RotateBitmap(*src, kColorWhite, 90);
  ASSERT_EQ(r->Width(), 4);
  ASSERT_EQ(r->Height(), 5);
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(Origin(*r, x, 0), std::make_pair(3, x));
    EXPECT_EQ(Origin(*r, x, 4), std::make_pair(-1, -1)) << "a band of the colour along the bottom";
  }
}

TEST(RotateBitmap, CornersTakeTheColourAndPixelsAreCopies) {
  auto src = Labelled(100, 100);
  const TColor red = MakeColor(255, 0, 0);
  const auto r = RotateBitmap(*src, red, 45);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{140, 0}, std::pair{0, 140}, std::pair{140, 140}})
    EXPECT_EQ(std::memcmp(r->ConstRow(y) + 3 * x, "\x00\x00\xFF", 3), 0) << x << ", " << y;
  EXPECT_EQ(Origin(*r, 70, 70), std::make_pair(50, 50));

  // Nearest neighbour: nothing but source pixels and the colour.
  auto odd = Labelled(61, 37);
  const auto turned = RotateBitmap(*odd, red, 37.5L);
  std::set<std::pair<int, int>> seen;
  for (int y = 0; y < turned->Height(); ++y)
    for (int x = 0; x < turned->Width(); ++x) {
      const std::uint8_t* p = turned->ConstRow(y) + 3 * x;
      const bool colour = p[0] == 0 && p[1] == 0 && p[2] == 255;
      ASSERT_TRUE(colour || (p[2] == 7 && p[0] < 61 && p[1] < 37)) << x << ", " << y;
      if (!colour) seen.insert({p[0], p[1]});
    }
  EXPECT_GT(seen.size(), 61u * 37 * 3 / 4);  // about 83 % at this angle
}

TEST(RotateBitmap, SourceIsConvertedToBgr24) {
  auto src = std::make_unique<TBitmap>();
  src->SetPixelFormat(TPixelFormat::Indexed8);
  src->SetPalette({{10, 20, 30}});
  src->SetSize(3, 2);
  std::memset(src->Row(0), 0, 3);
  std::memset(src->Row(1), 0, 3);
  const auto r = RotateBitmap(*src, kColorWhite, 180);
  EXPECT_EQ(src->PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(std::memcmp(r->ConstRow(0), "\x1E\x14\x0A", 3), 0);
}

}  // namespace
}  // namespace skalo
