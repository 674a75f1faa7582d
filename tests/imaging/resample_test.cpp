#include "imaging/resample.h"
#include "tests/imaging/same_pixels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/checked.h"

namespace skalo {
namespace {

std::unique_ptr<TBitmap> MakeBgr(int w, int h) {
  auto bmp = std::make_unique<TBitmap>();
  bmp->SetPixelFormat(TPixelFormat::Bgr24);
  bmp->SetSize(w, h);
  return bmp;
}

// Noise with many saturated pixels, so that filter overshoot and clamping
// are exercised everywhere.
std::unique_ptr<TBitmap> HarshNoise(int w, int h, unsigned seed) {
  auto bmp = MakeBgr(w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x) {
      const unsigned r = rng();
      bmp->Row(y)[x] = static_cast<std::uint8_t>(r % 3 == 0 ? (r & 8 ? 255 : 0) : r >> 8);
    }
  return bmp;
}

using testing::SamePixels;

std::vector<std::int32_t> Pixels(const TContributorEntry& e) {
  std::vector<std::int32_t> v;
  for (const TContributor& c : e.p)
    v.push_back(c.pixel);
  return v;
}
std::vector<std::int32_t> Weights(const TContributorEntry& e) {
  std::vector<std::int32_t> v;
  for (const TContributor& c : e.p)
    v.push_back(c.weight);
  return v;
}
std::int32_t Total(const TContributorEntry& e) {
  std::int32_t t = 0;
  for (const TContributor& c : e.p)
    t += c.weight;
  return t;
}

// ------------------------------------------------------------ filters

TEST(ResampleFilters, KernelValues) {
  EXPECT_EQ(FilterValue(ResampleFilter::Box, -0.5f), 0.0f) << "open on the left";
  EXPECT_EQ(FilterValue(ResampleFilter::Box, 0.5f), 1.0f) << "closed on the right";
  EXPECT_EQ(FilterValue(ResampleFilter::Hermite, 0.5f), 0.5f);
  EXPECT_NEAR(FilterValue(ResampleFilter::Mitchell, 1.5f), -5.0 / 144, 1e-8);
  EXPECT_EQ(FilterValue(ResampleFilter::Lanczos3, 0.0f), 1.0f);
  EXPECT_EQ(FilterValue(ResampleFilter::Lanczos3, 3.0f), 0.0f);
  EXPECT_NEAR(FilterValue(ResampleFilter::Lanczos3, 2.5f), 0.0243171, 1e-6);
  EXPECT_EQ(FilterValue(ResampleFilter::Lanczos3, -1.3f),
            FilterValue(ResampleFilter::Lanczos3, 1.3f));

  const float radius[] = {0.5f, 1, 1, 1.5f, 2, 3, 2};
  for (int f = 0; f < 7; ++f) {
    const auto filter = static_cast<ResampleFilter>(f);
    EXPECT_EQ(DefaultFilterRadius(filter), radius[f]);
    // The all-weights-zero shortcut for strong shrinking relies on |f| <= 1.
    for (float x = -4; x <= 4; x += 1.0f / 1024)
      ASSERT_LE(std::fabs(FilterValue(filter, x)), 1.0f) << "filter " << f << " at " << x;
    EXPECT_EQ(FilterValue(filter, radius[f] + 0.01f), 0.0f) << "filter " << f;
  }
}

// ------------------------------------------------------------ contributor lists

TEST(ResampleWeights, WorkedValues) {
  // 10 -> 4: target pixel 0, support width 9, mirrored on the left.
  const TContributorList shrink = BuildContributorList(10, 4, ResampleFilter::Lanczos3, 3);
  EXPECT_EQ(Pixels(shrink[0]), (std::vector<std::int32_t>{8, 7, 5, 4, 2, 1, 0, 1, 2, 4, 5, 7, 8}));
  EXPECT_EQ(Weights(shrink[0]),
            (std::vector<std::int32_t>{1, 3, -8, -12, 32, 69, 85, 69, 32, -12, -8, 3, 1}));
  EXPECT_EQ(Total(shrink[0]), 255);

  // 8 -> 15: target pixel 7 is centred on 3.5.
  const TContributorList enlarge = BuildContributorList(8, 15, ResampleFilter::Lanczos3, 3);
  EXPECT_EQ(Pixels(enlarge[7]), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Weights(enlarge[7]), (std::vector<std::int32_t>{6, -35, 156, 156, -35, 6}));
  EXPECT_EQ(Total(enlarge[7]), 254);

  // Equal lengths: one contributor of weight 256 each.
  const TContributorList same = BuildContributorList(37, 37, ResampleFilter::Lanczos3, 3);
  for (int i = 0; i < 37; ++i) {
    ASSERT_EQ(Pixels(same[i]), std::vector<std::int32_t>{i});
    ASSERT_EQ(Weights(same[i]), std::vector<std::int32_t>{256});
  }
}

// The weight rule written out step by step, with no shortcut, in long double.
std::vector<TContributor> Literal(int S, int T, int i, ResampleFilter filter, float R) {
  const float scale = (S == 1 || T == 1)
                          ? static_cast<float>(static_cast<long double>(T) / S)
                          : static_cast<float>(static_cast<long double>(T - 1) / (S - 1));
  const float centre = static_cast<float>(static_cast<long double>(i) / scale);
  const bool shrink = scale < 1;
  const float w = shrink ? static_cast<float>(static_cast<long double>(R) / scale) : R;
  std::vector<TContributor> out;
  for (long long j = static_cast<long long>(std::floor(static_cast<long double>(centre) - w));
       j <= static_cast<long long>(std::ceil(static_cast<long double>(centre) + w)); ++j) {
    const long double d = static_cast<long double>(centre) - j;
    const long double v =
        shrink ? static_cast<long double>(FilterValue(filter, static_cast<float>(d * scale))) *
                     scale * 256
               : static_cast<long double>(FilterValue(filter, static_cast<float>(d))) * 256;
    const auto weight = static_cast<std::int32_t>(std::nearbyint(v));
    if (weight == 0) continue;
    long long p = j < 0 ? -j : (j >= S ? 2LL * S - 1 - j : j);
    p = std::clamp<long long>(p, 0, S - 1);
    out.push_back({weight, static_cast<std::int32_t>(p)});
  }
  return out;
}

TEST(ResampleWeights, MatchTheRuleWrittenOut) {
  struct Case {
    int source, target;
    ResampleFilter filter;
  };
  // Includes 5000 -> 10 and 4000 -> 10, just below and above a scale of
  // 1/512, where the library skips the window when shrinking.
  for (const Case c :
       {Case{10, 4, ResampleFilter::Lanczos3}, Case{8, 15, ResampleFilter::Lanczos3},
        Case{4000, 800, ResampleFilter::Lanczos3}, Case{5000, 10, ResampleFilter::Lanczos3},
        Case{4000, 10, ResampleFilter::Lanczos3}, Case{1, 7, ResampleFilter::Lanczos3},
        Case{2, 9, ResampleFilter::Lanczos3}, Case{9, 1, ResampleFilter::Lanczos3},
        Case{3, 2, ResampleFilter::Lanczos3}, Case{100, 33, ResampleFilter::Box},
        Case{33, 100, ResampleFilter::Triangle}, Case{50, 21, ResampleFilter::Hermite},
        Case{21, 50, ResampleFilter::Bell}, Case{64, 17, ResampleFilter::Spline},
        Case{17, 64, ResampleFilter::Mitchell}}) {
    const float r = DefaultFilterRadius(c.filter);
    const TContributorList list = BuildContributorList(c.source, c.target, c.filter, r);
    ASSERT_EQ(list.size(), static_cast<std::size_t>(c.target));
    for (int i = 0; i < c.target; ++i) {
      const std::vector<TContributor> want = Literal(c.source, c.target, i, c.filter, r);
      ASSERT_EQ(list[i].p.size(), want.size()) << c.source << " -> " << c.target << ", entry " << i;
      for (std::size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(list[i].p[k].weight, want[k].weight)
            << c.source << " -> " << c.target << ", entry " << i;
        ASSERT_EQ(list[i].p[k].pixel, want[k].pixel)
            << c.source << " -> " << c.target << ", entry " << i;
      }
    }
  }
}

TEST(ResampleWeights, EdgesMirrorAndShortLinesStayInRange) {
  // Scale 2: entry 1 is centred on 0.5, entry 37 on 18.5. On the left -1
  // reads 1; on the right 20 reads 19 and 21 reads 18.
  const TContributorList list = BuildContributorList(20, 39, ResampleFilter::Lanczos3, 3);
  EXPECT_EQ(Pixels(list[1]), (std::vector<std::int32_t>{2, 1, 0, 1, 2, 3}));
  EXPECT_EQ(Pixels(list[37]), (std::vector<std::int32_t>{16, 17, 18, 19, 19, 18}));
  for (int s : {1, 2, 3}) {
    for (int t : {1, 2, 3, 7}) {
      for (const TContributorEntry& e : BuildContributorList(s, t, ResampleFilter::Lanczos3, 3))
        for (const TContributor& c : e.p)
          ASSERT_TRUE(c.pixel >= 0 && c.pixel < s) << s << " -> " << t;
    }
  }
}

TEST(ResampleWeights, VectorReciprocalDividesExactly) {
  for (std::int32_t total = 1; total <= kMaxVectorTotal; ++total) {
    const float r = VectorReciprocal(total);
    for (std::int32_t q = 0; q < 256; ++q)
      for (std::int32_t rest = 0; rest < total; ++rest)
        ASSERT_EQ(static_cast<std::int32_t>(static_cast<float>(q * total + rest) * r), q)
            << "sum " << q * total + rest << ", total " << total;
  }
}

// ------------------------------------------------------------ resampling

TEST(Resample, SameSizeKeepsThePixels) {
  auto src = HarshNoise(23, 17, 1);
  TBitmap bmp;
  bmp.Assign(*src);
  Resample(23, 17, ResampleFilter::Lanczos3, 0, bmp);
  EXPECT_TRUE(SamePixels(bmp, *src));

  // A palette or 16-bit source comes back as Bgr24 with the converted pixels.
  TBitmap word;
  word.Assign(*src);
  word.SetPixelFormat(TPixelFormat::Rgb565);
  TBitmap want;
  want.Assign(word);
  want.SetPixelFormat(TPixelFormat::Bgr24);
  word.SetTransparent(true);
  Resample(23, 17, ResampleFilter::Lanczos3, 0, word);
  EXPECT_EQ(word.PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_FALSE(word.Transparent());
  EXPECT_TRUE(SamePixels(word, want));
}

TEST(Resample, ZeroSidesAndEmptySources) {
  auto bmp = HarshNoise(5, 5, 2);
  Resample(0, 7, ResampleFilter::Lanczos3, 0, *bmp);
  EXPECT_TRUE(bmp->Empty());
  EXPECT_EQ(bmp->PixelFormat(), TPixelFormat::Bgr24);

  TBitmap empty;
  Resample(3, 2, ResampleFilter::Lanczos3, 0, empty);
  ASSERT_EQ(empty.Width(), 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      ASSERT_EQ(empty.ConstRow(y)[x], 255);
}

TEST(Resample, OnePixelTargetsAndSources) {
  // A uniform picture stays uniform whatever the weights add up to.
  auto flat = MakeBgr(9, 6);
  flat->Canvas().Brush().SetColor(MakeColor(200, 100, 50));
  flat->Canvas().FillRect(flat->Canvas().ClipRect());
  TBitmap dot;
  dot.Assign(*flat);
  Resample(1, 1, ResampleFilter::Lanczos3, 0, dot);
  EXPECT_EQ(std::memcmp(dot.ConstRow(0), "\x32\x64\xC8", 3), 0);

  auto one = MakeBgr(1, 1);
  std::memcpy(one->Row(0), "\x01\x80\xFE", 3);
  Resample(9, 9, ResampleFilter::Lanczos3, 0, *one);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x)
      ASSERT_EQ(std::memcmp(one->ConstRow(y) + 3 * x, "\x01\x80\xFE", 3), 0);

  // A single row gives rows that all equal the horizontally resampled row.
  auto line = HarshNoise(7, 1, 3);
  TBitmap flat_line, tall;
  flat_line.Assign(*line);
  tall.Assign(*line);
  Resample(5, 1, ResampleFilter::Lanczos3, 0, flat_line);
  Resample(5, 4, ResampleFilter::Lanczos3, 0, tall);
  for (int y = 0; y < 4; ++y)
    ASSERT_EQ(std::memcmp(tall.ConstRow(y), flat_line.ConstRow(0), 15), 0) << "row " << y;

  // A one pixel wide target is centred on the first source pixel (scale 1/S).
  auto column = HarshNoise(5, 3, 4);
  TBitmap thin;
  thin.Assign(*column);
  Resample(1, 3, ResampleFilter::Lanczos3, 0, thin);
  const TContributorList list = BuildContributorList(5, 1, ResampleFilter::Lanczos3, 3);
  ASSERT_FALSE(list[0].p.empty());
  for (int y = 0; y < 3; ++y) {
    std::int32_t sum = 0;
    for (const TContributor& c : list[0].p)
      sum += c.weight * column->ConstRow(y)[3 * c.pixel];
    EXPECT_EQ(thin.ConstRow(y)[0], std::clamp(sum / Total(list[0]), 0, 255)) << "row " << y;
  }
}

// Strong shrinks: where the exact weights would all but vanish, the picture
// is first box-shrunk by a whole factor. A flat picture keeps its colour (it
// once came out black), and stripes average out to their mean.
TEST(Resample, ExtremeShrinksKeepTheColours) {
  for (auto [sw, sh, tw, th] : {std::array{6000, 4, 10, 1}, std::array{5000, 2, 10, 2},
                                std::array{3, 9000, 2, 12}, std::array{4000, 4000, 7, 9}}) {
    auto flat = MakeBgr(sw, sh);
    flat->Canvas().Brush().SetColor(MakeColor(200, 100, 50));
    flat->Canvas().FillRect(flat->Canvas().ClipRect());
    Resample(static_cast<std::uint32_t>(tw), static_cast<std::uint32_t>(th),
             ResampleFilter::Lanczos3, 0, *flat);
    for (int y = 0; y < th; ++y)
      for (int x = 0; x < tw; ++x)
        ASSERT_EQ((std::array<int, 3>{flat->ConstRow(y)[3 * x], flat->ConstRow(y)[3 * x + 1],
                                      flat->ConstRow(y)[3 * x + 2]}),
                  (std::array<int, 3>{50, 100, 200}))
            << sw << "x" << sh << " at " << x << ", " << y;
  }
  auto stripes = MakeBgr(6000, 1);
  for (int x = 0; x < 6000; ++x)
    std::memset(stripes->Row(0) + 3 * x, x % 2 ? 255 : 0, 3);
  Resample(10, 1, ResampleFilter::Lanczos3, 0, *stripes);
  for (int x = 0; x < 30; ++x)
    EXPECT_NEAR(stripes->ConstRow(0)[x], 128, 2) << "byte " << x;
}

// Every ratio above the box-shrink threshold gives the bytes it always gave:
// hashes of results recorded before the box stage existed.
TEST(Resample, OrdinaryRatiosKeepTheirBytes) {
  struct Case {
    int sw, sh, tw, th;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {4000, 300, 800, 60, 0xb7a0a76c47653f09u}, {4000, 400, 120, 13, 0x66dc86910b7969e8u},
      {6000, 40, 200, 40, 0x9b0a5290c6c080b2u},  {6000, 40, 177, 40, 0xb77ad4b27e465311u},
      {2304, 173, 200, 15, 0xa3ebb6b0c4b02c30u}, {1000, 1000, 34, 34, 0x6c24c75e6e04c647u},
      {1000, 1000, 31, 31, 0x37df4c82d87b8c3fu}, {3000, 20, 94, 20, 0xcffab640357c475fu},
      {640, 480, 641, 479, 0x4a0e825679142096u}, {97, 89, 13, 101, 0xb307269521352dc4u},
      {5000, 3, 150, 3, 0xba492672700246b0u},    {3, 5000, 3, 148, 0x167e1dfbcb2df78eu},
  };
  for (const Case& c : cases) {
    auto src = HarshNoise(c.sw, c.sh, static_cast<unsigned>(c.sw + c.th));
    Resample(static_cast<std::uint32_t>(c.tw), static_cast<std::uint32_t>(c.th),
             ResampleFilter::Lanczos3, 0, *src);
    std::uint64_t hash = 1469598103934665603u;
    for (int y = 0; y < c.th; ++y)
      for (int x = 0; x < 3 * c.tw; ++x)
        hash = (hash ^ src->ConstRow(y)[x]) * 1099511628211u;
    EXPECT_EQ(hash, c.hash) << c.sw << "x" << c.sh << " -> " << c.tw << "x" << c.th;
  }
}

TEST(Resample, OvershootIsClampedBetweenThePasses) {
  // Hard black and white stripes both ways: Lanczos overshoots past 0..255.
  auto src = MakeBgr(12, 12);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 12; ++x)
      std::memset(src->Row(y) + 3 * x, ((x / 3 + y / 3) % 2) ? 255 : 0, 3);
  TBitmap out;
  out.Assign(*src);
  Resample(7, 5, ResampleFilter::Lanczos3, 0, out);

  const TContributorList h = BuildContributorList(12, 7, ResampleFilter::Lanczos3, 3);
  const TContributorList v = BuildContributorList(12, 5, ResampleFilter::Lanczos3, 3);
  auto apply = [](const TContributorEntry& e, auto&& value) {
    std::int32_t sum = 0;
    for (const TContributor& c : e.p)
      sum += c.weight * value(c.pixel);
    return sum / Total(e);
  };
  bool clamping_mattered = false;
  for (int j = 0; j < 5; ++j) {
    for (int i = 0; i < 7; ++i) {
      auto horizontal = [&](int y) {
        return apply(h[i], [&](int x) { return int{src->ConstRow(y)[3 * x]}; });
      };
      const int clamped =
          std::clamp(apply(v[j], [&](int y) { return std::clamp(horizontal(y), 0, 255); }), 0, 255);
      const int unclamped = std::clamp(apply(v[j], horizontal), 0, 255);
      ASSERT_EQ(out.ConstRow(j)[3 * i], clamped) << "pixel " << i << ", " << j;
      clamping_mattered = clamping_mattered || clamped != unclamped;
    }
  }
  EXPECT_TRUE(clamping_mattered) << "the picture does not exercise the clamp";
}

TEST(Resample, EnginesGiveTheSameBytes) {
  struct Size {
    int sw, sh, tw, th;
  };
  std::vector<Size> sizes = {{10, 10, 4, 4},       {8, 8, 15, 15},       {37, 23, 100, 7},
                             {5, 3, 1, 1},         {1, 1, 9, 9},         {2, 2, 3, 3},
                             {3, 9, 2, 30},        {640, 480, 641, 479}, {33, 17, 33, 17},
                             {300, 200, 299, 201}, {50, 60, 17, 5},      {1000, 4, 11, 4},
                             {4, 700, 4, 3},       {5000, 3, 10, 3},     {97, 89, 101, 13}};
  std::mt19937 rng(99);
  for (int k = 0; k < 25; ++k)
    sizes.push_back({1 + static_cast<int>(rng() % 90), 1 + static_cast<int>(rng() % 90),
                     1 + static_cast<int>(rng() % 90), 1 + static_cast<int>(rng() % 90)});
  for (const Size& z : sizes) {
    auto src = HarshNoise(z.sw, z.sh, static_cast<unsigned>(z.sw * 131 + z.th));
    auto reference = MakeBgr(z.tw, z.th), scalar = MakeBgr(z.tw, z.th), avx2 = MakeBgr(z.tw, z.th);
    ResampleCore(ResampleFilter::Lanczos3, *src, *reference, 3, ResampleEngine::Reference);
    ResampleCore(ResampleFilter::Lanczos3, *src, *scalar, 3, ResampleEngine::Scalar);
    ResampleCore(ResampleFilter::Lanczos3, *src, *avx2, 3, ResampleEngine::Avx2);
    EXPECT_TRUE(SamePixels(*reference, *scalar))
        << z.sw << "x" << z.sh << " -> " << z.tw << "x" << z.th;
    EXPECT_TRUE(SamePixels(*reference, *avx2))
        << z.sw << "x" << z.sh << " -> " << z.tw << "x" << z.th;
    // Fed row by row in uneven batches, as decoders deliver them.
    for (ResampleEngine engine : {ResampleEngine::Scalar, ResampleEngine::Avx2}) {
      auto streamed = MakeBgr(z.tw, z.th);
      TStreamResampler stream(ResampleFilter::Lanczos3, 3, *streamed, engine);
      TRowLayout layout{z.sw, z.sh, {}};
      layout.sample.SetPixelFormat(TPixelFormat::Bgr24);
      stream.Begin(layout);
      for (int y = 0; y < z.sh;) {
        const int count = std::min(z.sh - y, 1 + static_cast<int>(rng() % 3));
        std::vector<const std::uint8_t*> rows;
        for (int k = 0; k < count; ++k)
          rows.push_back(src->ConstRow(y + k));
        stream.Rows(y, rows.data(), count);
        y += count;
      }
      stream.Finish();
      EXPECT_TRUE(SamePixels(*reference, *streamed))
          << z.sw << "x" << z.sh << " -> " << z.tw << "x" << z.th << " streamed";
    }
  }
  // Other filters take the same paths. Short supports end rows with whole
  // vector steps, whose stores must not reach rows still in use.
  auto src = HarshNoise(40, 30, 5);
  for (int f = 0; f < 7; ++f) {
    const auto filter = static_cast<ResampleFilter>(f);
    for (auto [tw, th] :
         {std::pair{23, 41}, std::pair{80, 70}, std::pair{84, 29}, std::pair{41, 12}}) {
      auto a = MakeBgr(tw, th), b = MakeBgr(tw, th);
      ResampleCore(filter, *src, *a, DefaultFilterRadius(filter), ResampleEngine::Reference);
      ResampleCore(filter, *src, *b, DefaultFilterRadius(filter), ResampleEngine::Auto);
      EXPECT_TRUE(SamePixels(*a, *b)) << "filter " << f << " to " << tw << "x" << th;
    }
  }
  if (!ResampleAvx2Available()) GTEST_SKIP() << "AVX2 not available: only the portable engines ran";
}

TEST(Resample, CoreReadsOtherFormatsThroughACopy) {
  auto src = HarshNoise(9, 9, 6);
  src->SetPixelFormat(TPixelFormat::Indexed8);
  const std::uint8_t* before = src->ConstRow(0);
  auto a = MakeBgr(4, 4);
  ResampleCore(ResampleFilter::Lanczos3, *src, *a, 3);
  EXPECT_EQ(src->PixelFormat(), TPixelFormat::Indexed8);
  EXPECT_EQ(src->ConstRow(0), before);
  auto wrong = std::make_unique<TBitmap>();
  wrong->SetPixelFormat(TPixelFormat::Rgb565);
  wrong->SetSize(2, 2);
  EXPECT_THROW(ResampleCore(ResampleFilter::Lanczos3, *src, *wrong, 3), EGraphicError);
}

TEST(Resample, FailuresLeaveTheSourceUsable) {
  auto bmp = HarshNoise(6, 4, 8);
  EXPECT_THROW(Resample(100000, 100000, ResampleFilter::Lanczos3, 0, *bmp), EOutOfResources);
  EXPECT_THROW(Resample(0x80000000u, 1, ResampleFilter::Lanczos3, 0, *bmp), EOutOfResources);
  EXPECT_THROW(Resample(3, 3, ResampleFilter::Lanczos3, -1, *bmp), EGraphicError);
  EXPECT_THROW(Resample(3, 3, ResampleFilter::Lanczos3, NAN, *bmp), EGraphicError);
  EXPECT_EQ(bmp->Width(), 6);
  EXPECT_EQ(bmp->Height(), 4);

  // A radius of 0 is the filter's own.
  TBitmap a, b;
  a.Assign(*bmp);
  b.Assign(*bmp);
  Resample(4, 3, ResampleFilter::Lanczos3, 0, a);
  Resample(4, 3, ResampleFilter::Lanczos3, 3, b);
  EXPECT_TRUE(SamePixels(a, b));
}

}  // namespace
}  // namespace skalo
