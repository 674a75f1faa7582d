#include "engine/orient.h"
#include "tests/imaging/same_pixels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace skalo {
namespace {

// A raster given as rows of one-letter pixel names; pixel 'a' + i is
// (blue i, green 2 i, red 200).
using Picture = std::vector<std::string>;

std::unique_ptr<TBitmap> Make(const Picture& rows, TPixelFormat format = TPixelFormat::Bgr24) {
  auto made = std::make_unique<TBitmap>();
  TBitmap& bmp = *made;
  bmp.SetPixelFormat(TPixelFormat::Bgr24);
  bmp.SetSize(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()));
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) {
      const int i = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] - 'a';
      std::uint8_t* p = bmp.Row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(i);
      p[1] = static_cast<std::uint8_t>(2 * i);
      p[2] = 200;
    }
  bmp.SetPixelFormat(format);
  return made;
}

Picture Names(const TBitmap& bmp) {
  Picture rows(static_cast<std::size_t>(bmp.Height()), std::string());
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) {
      const std::uint8_t* p = bmp.ConstRow(y) + 3 * x;
      const bool named = p[1] == 2 * p[0] && p[2] == 200;
      rows[static_cast<std::size_t>(y)] += named ? static_cast<char>('a' + p[0]) : '?';
    }
  return rows;
}

// Pixels of a larger raster that fill more than one tile unevenly.
std::unique_ptr<TBitmap> Pattern(int w, int h) {
  auto made = std::make_unique<TBitmap>();
  TBitmap& bmp = *made;
  bmp.SetPixelFormat(TPixelFormat::Bgr24);
  bmp.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = bmp.Row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x * 7 + y * 13);
    }
  return made;
}

using testing::SamePixels;

TEST(ApplyExifOrientation, EightOrientationsOfAThreeByTwoPicture) {
  // Stored rows "abc" / "def"; each expectation is the upright picture a
  // viewer honouring the tag shows.
  const Picture stored = {"abc", "def"};
  const struct {
    int orientation;
    Picture upright;
  } cases[] = {
      {1, {"abc", "def"}},      // as stored
      {2, {"cba", "fed"}},      // mirrored left to right
      {3, {"fed", "cba"}},      // half turn
      {4, {"def", "abc"}},      // mirrored top to bottom
      {5, {"ad", "be", "cf"}},  // transposed
      {6, {"da", "eb", "fc"}},  // quarter turn clockwise
      {7, {"fc", "eb", "da"}},  // transversed
      {8, {"cf", "be", "ad"}},  // quarter turn counter-clockwise
      {0, {"abc", "def"}},      // outside 1..8: untouched
      {9, {"abc", "def"}},
  };
  for (const auto& c : cases) {
    const auto bmp = Make(stored);
    ApplyExifOrientation(*bmp, c.orientation);
    EXPECT_EQ(Names(*bmp), c.upright) << "orientation " << c.orientation;
  }
}

TEST(ApplyExifOrientation, OddAndThinSides) {
  // A middle row or column stays in place where it should.
  const struct {
    Picture stored;
    int orientation;
    Picture upright;
  } cases[] = {
      {{"abc", "def", "ghi"}, 3, {"ihg", "fed", "cba"}},
      {{"abc", "def", "ghi"}, 4, {"ghi", "def", "abc"}},
      {{"abc", "def", "ghi"}, 2, {"cba", "fed", "ihg"}},
      {{"abcd"}, 6, {"a", "b", "c", "d"}},
      {{"abcd"}, 8, {"d", "c", "b", "a"}},
      {{"a", "b", "c"}, 7, {"cba"}},
      {{"a"}, 5, {"a"}},
  };
  for (const auto& c : cases) {
    const auto bmp = Make(c.stored);
    ApplyExifOrientation(*bmp, c.orientation);
    EXPECT_EQ(Names(*bmp), c.upright) << c.stored[0] << "... orientation " << c.orientation;
  }
}

TEST(ApplyExifOrientation, IdentitiesOnRastersLargerThanATile) {
  // Compositions that must give the stored raster back, on sizes that end
  // inside a tile: they catch a misplaced tile edge or a lost row.
  const struct {
    std::vector<int> steps;
  } cases[] = {
      {{6, 8}}, {{8, 6}},       {{5, 5}},    {{7, 7}},    {{2, 2}}, {{3, 3}},
      {{4, 4}}, {{6, 6, 6, 6}}, {{2, 4, 3}}, {{6, 2, 5}},  // a quarter turn, mirrored, is the
                                                           // transposition undone
  };
  for (const auto& [w, h] : {std::pair{70, 45}, std::pair{33, 97}, std::pair{64, 1}}) {
    const auto original = Pattern(w, h);
    for (const auto& c : cases) {
      TBitmap bmp;
      bmp.Assign(*original);  // shared: the first in-place step must copy
      for (const int step : c.steps)
        ApplyExifOrientation(bmp, step);
      std::string trace;
      for (const int step : c.steps)
        trace += std::to_string(step) + " ";
      EXPECT_TRUE(SamePixels(bmp, *original)) << w << "x" << h << ": " << trace;
    }
    EXPECT_TRUE(SamePixels(*original, *Pattern(w, h))) << "the shared source is untouched";
  }
}

TEST(ApplyExifOrientation, OtherFormatsConvertAndStateIsKept) {
  const Picture stored = {"abc", "def"};
  for (const TPixelFormat format : {TPixelFormat::Bgrx32, TPixelFormat::Indexed8}) {
    const auto bmp = Make(stored, format);
    const auto expected = Make(stored, format);
    expected->SetPixelFormat(TPixelFormat::Bgr24);  // what an exact conversion gives
    bmp->SetTransparent(true);
    bmp->SetTransparentColor(MakeColor(1, 2, 3));
    ApplyExifOrientation(*bmp, 6);
    ASSERT_EQ(bmp->PixelFormat(), TPixelFormat::Bgr24);
    ApplyExifOrientation(*bmp, 8);
    EXPECT_TRUE(SamePixels(*bmp, *expected)) << static_cast<int>(format);
    EXPECT_TRUE(bmp->Transparent());
    EXPECT_EQ(bmp->TransparentColor(), MakeColor(1, 2, 3));
  }

  // An empty raster swaps its sides and stays empty.
  TBitmap empty;
  empty.SetSize(5, 0);
  ApplyExifOrientation(empty, 8);
  EXPECT_EQ(empty.Width(), 0);
  EXPECT_EQ(empty.Height(), 5);
}

}  // namespace
}  // namespace skalo
