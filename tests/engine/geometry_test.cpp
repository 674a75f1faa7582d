#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/resample.h"

namespace skalo {
namespace {

std::unique_ptr<TBitmap> Picture(int w, int h) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->SetPixelFormat(TPixelFormat::Bgr24);
  bmp->SetSize(w, h);
  std::mt19937 rng(static_cast<unsigned>(w * 7 + h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x)
      bmp->Row(y)[x] = static_cast<std::uint8_t>(rng());
  return bmp;
}

struct Job {
  TSkalo job;
  Job(std::int32_t width, std::int32_t height, bool auto_rotate = false) {
    job.SetWidth(width);
    job.SetHeight(height);
    job.SetAutoRotate(auto_rotate);
  }
};

TEST(FitImage, MissingSideFollowsTheAspectRatio) {
  struct Case {
    int sw, sh, width, height;
    bool auto_rotate;
    int want_width, want_height;  // job values afterwards
    int raster_w, raster_h;
  };
  for (const Case c : {
           Case{400, 300, 200, -1, false, 200, 150, 200, 150},
           Case{300, 400, 160, -1, true, 160, 120, 120, 160},   // turned box
           Case{300, 400, 160, 120, true, 160, 120, 120, 160},  // stretched, turned
           Case{300, 400, 160, 120, false, 160, 120, 160, 120},
           Case{400, 400, 160, -1, true, 160, 160, 160, 160},  // square: not turned
           Case{300, 400, -1, 90, true, 120, 90, 90, 120},
           Case{1000, 3, -1, 1, false, 333, 1, 333, 1},
       }) {
    Job j(c.width, c.height, c.auto_rotate);
    auto bmp = Picture(c.sw, c.sh);
    j.job.FitImage(*bmp);
    EXPECT_EQ(j.job.Width(), c.want_width)
        << c.sw << "x" << c.sh << " into " << c.width << "x" << c.height;
    EXPECT_EQ(j.job.Height(), c.want_height)
        << c.sw << "x" << c.sh << " into " << c.width << "x" << c.height;
    EXPECT_EQ(bmp->Width(), c.raster_w);
    EXPECT_EQ(bmp->Height(), c.raster_h);
    EXPECT_EQ(bmp->PixelFormat(), TPixelFormat::Bgr24);
  }
}

// Checks a padded canvas: the picture (the source resampled to pw x ph) at
// (left, top), exactly the background everywhere else.
void ExpectPadded(const TBitmap& canvas, const TBitmap& source, int pw, int ph, int left, int top,
                  TColor background) {
  TBitmap picture;
  picture.Assign(source);
  Resample(static_cast<std::uint32_t>(pw), static_cast<std::uint32_t>(ph), ResampleFilter::Lanczos3,
           0, picture);
  const std::uint8_t bg[3] = {ColorBlue(background), ColorGreen(background), ColorRed(background)};
  ASSERT_EQ(canvas.PixelFormat(), TPixelFormat::Bgr24);
  for (int y = 0; y < canvas.Height(); ++y)
    for (int x = 0; x < canvas.Width(); ++x) {
      const bool inside = x >= left && x < left + pw && y >= top && y < top + ph;
      const std::uint8_t* want = inside ? picture.ConstRow(y - top) + 3 * (x - left) : bg;
      ASSERT_EQ(std::memcmp(canvas.ConstRow(y) + 3 * x, want, 3), 0)
          << (inside ? "picture" : "background") << " at " << x << ", " << y;
    }
}

TEST(PadImage, CentresThePictureOnTheBox) {
  struct Case {
    int sw, sh, box_w, box_h;
    int pw, ph, left, top;
  };
  const TColor background = MakeColor(0x12, 0x34, 0x56);
  for (const Case c :
       {Case{400, 300, 200, 200, 200, 150, 0, 25}, Case{300, 400, 200, 200, 150, 200, 25, 0},
        Case{401, 300, 201, 150, 200, 150, 0, 0}, Case{50, 10, 31, 40, 31, 6, 0, 17}}) {
    for (const bool auto_rotate : {false, true}) {  // no effect on padding
      Job j(c.box_w, c.box_h, auto_rotate);
      j.job.SetBackgroundColor(background);
      auto source = Picture(c.sw, c.sh);
      TBitmap bmp;
      bmp.Assign(*source);
      j.job.PadImage(bmp);
      EXPECT_EQ(j.job.Width(), c.pw) << c.sw << "x" << c.sh << " in " << c.box_w << "x" << c.box_h;
      EXPECT_EQ(j.job.Height(), c.ph) << c.sw << "x" << c.sh << " in " << c.box_w << "x" << c.box_h;
      ASSERT_EQ(bmp.Width(), c.box_w);
      ASSERT_EQ(bmp.Height(), c.box_h);
      ExpectPadded(bmp, *source, c.pw, c.ph, c.left, c.top, background);
    }
  }
}

TEST(PadImage, BackgroundIsExactlyTheColour) {
  for (const char* html : {"#000000", "#ffffff", "#336699", "#010203", "#fefdfc", "#7f8081"}) {
    Job j(20, 20);
    j.job.SetBackgroundColorHTML(html);
    auto bmp = Picture(40, 10);
    j.job.PadImage(*bmp);
    EXPECT_EQ(j.job.Height(), 5);
    const TColor c = j.job.BackgroundColor();
    for (int y : {0, 6, 12, 19}) {
      const std::uint8_t* p = bmp->ConstRow(y) + 3 * 10;
      EXPECT_EQ((std::array<int, 3>{p[2], p[1], p[0]}),
                (std::array<int, 3>{ColorRed(c), ColorGreen(c), ColorBlue(c)}))
          << html << " row " << y;
    }
  }
}

// A graphic that is not a raster, converting itself into a w x h raster.
class SizedGraphic : public TGraphic {
 public:
  SizedGraphic(int w, int h) : w_(w), h_(h) {}
  void LoadFromStream(TStream&) override {}
  void SaveToStream(TStream&) override {}
  int Width() const override { return w_; }
  int Height() const override { return h_; }
  bool Empty() const override { return w_ == 0 || h_ == 0; }
  void Assign(const TBitmap&) override {}
  void AssignTo(TBitmap& dest) override {
    dest.SetPixelFormat(TPixelFormat::Bgr24);
    dest.SetSize(w_, h_);
  }

 private:
  int w_, h_;
};

TEST(MeasureImage, ReportsThePadSizeWithoutTouchingPixels) {
  struct Case {
    int sw, sh, width, height;
    bool auto_rotate;
    int want_width, want_height;
  };
  for (const Case c : {
           Case{400, 300, 200, 200, false, 200, 150},
           Case{300, 400, 200, 200, true, 150, 200},
           Case{401, 300, 201, 150, false, 200, 150},
           // One side not given: what a fit would decide (turned with AutoRotate).
           Case{400, 300, 200, -1, false, 200, 150},
           Case{300, 400, 160, -1, true, 160, 120},
           Case{300, 400, -1, 100, false, 75, 100},
           // Neither: the source's own size.
           Case{400, 300, -1, -1, false, 400, 300},
           // A computed side of 0 becomes 1.
           Case{1000, 3, 100, 100, false, 100, 1},
           Case{1000, 3, 10, -1, false, 10, 1},
       }) {
    Job j(c.width, c.height, c.auto_rotate);
    SizedGraphic source(c.sw, c.sh);
    j.job.MeasureImage(source);
    EXPECT_EQ(j.job.Width(), c.want_width)
        << c.sw << "x" << c.sh << " in " << c.width << "x" << c.height;
    EXPECT_EQ(j.job.Height(), c.want_height)
        << c.sw << "x" << c.sh << " in " << c.width << "x" << c.height;
  }
  auto bmp = Picture(40, 30);
  const std::uint8_t* pixels = bmp->ConstRow(0);
  Job j(20, 20);
  j.job.MeasureImage(*bmp);
  EXPECT_EQ(j.job.Height(), 15);
  EXPECT_EQ(bmp->Width(), 40);
  EXPECT_EQ(bmp->ConstRow(0), pixels);
}

TEST(Geometry, ComputedSidesOfZeroBecomeOne) {
  auto flat = Picture(1000, 3);
  Job fit(10, -1);
  fit.job.FitImage(*flat);
  EXPECT_EQ(fit.job.Height(), 1);
  EXPECT_EQ(flat->Width(), 10);
  EXPECT_EQ(flat->Height(), 1);
  auto tall = Picture(3, 1000);
  Job pad(20, 20);
  pad.job.PadImage(*tall);
  EXPECT_EQ(pad.job.Width(), 1);
  EXPECT_EQ(tall->Width(), 20);
  EXPECT_EQ(tall->Height(), 20);
}

TEST(Geometry, ZeroRasterSideFailsInsteadOfDividing) {
  auto empty = std::make_unique<TBitmap>();
  Job fit(100, -1);
  EXPECT_THROW(fit.job.FitImage(*empty), EDivByZero);
  Job pad(100, 100);
  EXPECT_THROW(pad.job.PadImage(*empty), EDivByZero);
  Job measure(100, 100);
  SizedGraphic nothing(0, 0);
  try {
    measure.job.MeasureImage(nothing);
    FAIL() << "no failure for a zero side";
  } catch (const EDivByZero& e) {
    EXPECT_EQ(e.Message(), "Division by zero");
  }
  // Two given sides need no division: the empty source gives a white box.
  Job both(4, 3);
  both.job.FitImage(*empty);
  EXPECT_EQ(empty->Width(), 4);
  EXPECT_EQ(empty->ConstRow(2)[11], 255);
}

TEST(Geometry, SizesThatCannotExistAreRefused) {
  auto bmp = Picture(1, 3);
  Job huge(INT32_MAX, -1);
  EXPECT_THROW(huge.job.FitImage(*bmp), EOutOfResources);  // 3 * (2^31 - 1) does not fit
  Job negative(-5, -1);
  EXPECT_THROW(negative.job.FitImage(*bmp), EOutOfResources);
  Job pad(-5, 100);
  EXPECT_THROW(pad.job.PadImage(*bmp), EOutOfResources);
  EXPECT_EQ(bmp->Width(), 1);
}

}  // namespace
}  // namespace skalo
