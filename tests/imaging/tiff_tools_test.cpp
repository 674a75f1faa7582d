// The TIFF reader against files written by Debian's libtiff tools (tiffcp,
// fax2tiff) and netpbm (pnmtotiff, tifftopnm): every case decodes the tool's
// compressed file and compares it with the picture it was made from, with the
// tool's own uncompressed copy, or with tifftopnm's reading of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/tiff.h"
#include "tiff_test_writer.h"

namespace skalo {
namespace {

using ::testing::HasSubstr;
using tifftest::Bytes;
using tifftest::TestImage;

#define REQUIRE_TOOL(tool) \
  if (!tifftest::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (make deps)"

// A raster decoded from a whole TIFF file.
struct Loaded : TBitmap {
  explicit Loaded(const Bytes& file) { DecodeTiff(file, *this); }
};

// --- Bilevel pictures for the CCITT codings ---

constexpr std::uint32_t kFaxWidth = 3000;  // wider than the longest make-up code
constexpr std::uint32_t kFaxHeight = 200;

// Rows of runs that between them use every terminating and make-up code of
// both colours (runs past 2560 too), and rows that follow their predecessor
// closely (vertical modes) or not at all (pass and horizontal modes). 1 is
// black; rows padded to a byte.
Bytes FaxPicture() {
  const std::size_t row_bytes = (kFaxWidth + 7) / 8;
  Bytes out(row_bytes * kFaxHeight, 0);
  std::mt19937 rng(1234);
  for (std::uint32_t y = 0; y < kFaxHeight; ++y) {
    std::vector<bool> px(kFaxWidth, false);
    auto runs = [&](const std::function<std::uint32_t()>& next, bool black) {
      for (std::uint32_t x = 0; x < kFaxWidth;) {
        const std::uint32_t n = std::min(next(), kFaxWidth - x);
        for (std::uint32_t i = 0; i < n; ++i)
          px[x + i] = black;
        x += n;
        black = !black;
      }
    };
    if (y < 80) {
      // Make-up ladder: a run of 64 (k + 1) plus a terminating part, white
      // in the first 40 rows and black in the next 40; the last ones pass
      // 2560.
      const std::uint32_t k = y % 40;
      const std::uint32_t first = 64 * (k + 1) + k * 7 % 64;
      for (std::uint32_t x = 0; x < kFaxWidth; ++x)
        px[x] = (x < first) == (y >= 40);
    } else {
      switch (y % 10) {
        case 0:
          if (y % 20 == 10) runs([&] { return static_cast<std::uint32_t>(rng() % 300); }, false);
          break;
        case 1:
          px.assign(kFaxWidth, true);
          break;
        case 2: {  // runs 1, 2, 3, ... 70, shifted from row to row
          std::uint32_t k = y / 10;
          runs([&] { return k++ % 70 + 1; }, y % 20 == 2);
          break;
        }
        case 3:
        case 8: {
          const std::uint32_t lengths[] = {64, 127, 1728, 1791, 2559, 2560, 2600, 2623, 2624};
          runs([&] { return lengths[rng() % std::size(lengths)]; }, rng() % 2);
          break;
        }
        case 4:
        case 5:
        case 6:
        case 7:  // rings whose edges move a little per row
          for (std::uint32_t x = 0; x < kFaxWidth; ++x) {
            const int dx = static_cast<int>(x % 211) - 105, dy = static_cast<int>(y % 10) * 9 - 30;
            px[x] = dx * dx + dy * dy < 95 * 95 && dx * dx + dy * dy > 20 * 20;
          }
          break;
        case 9:
          for (std::uint32_t x = 0; x < kFaxWidth; ++x)
            px[x] = (x + y) % 2 == 0 || x % 97 < 40;
          break;
      }
    }
    for (std::uint32_t x = 0; x < kFaxWidth; ++x)
      if (px[x]) out[y * row_bytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  }
  return out;
}

TestImage FaxImage() {
  return {.width = kFaxWidth, .height = kFaxHeight, .bits = 1, .photometric = 0};
}

void ExpectFaxPicture(const TBitmap& r, const Bytes& want, const std::string& what) {
  ASSERT_EQ(r.PixelFormat(), TPixelFormat::Indexed1) << what;
  ASSERT_EQ(r.Width(), static_cast<int>(kFaxWidth)) << what;
  ASSERT_EQ(r.Height(), static_cast<int>(kFaxHeight)) << what;
  ASSERT_EQ(r.Palette()[1], (TPaletteEntry{0, 0, 0})) << what;  // 1 is black
  const std::size_t row_bytes = (kFaxWidth + 7) / 8;
  for (std::uint32_t y = 0; y < kFaxHeight; ++y) {
    const std::uint8_t* row = r.ConstRow(static_cast<int>(y));
    for (std::uint32_t x = 0; x < kFaxWidth; ++x) {
      const int got = row[x / 8] >> (7 - x % 8) & 1;
      const int expected = want[y * row_bytes + x / 8] >> (7 - x % 8) & 1;
      ASSERT_EQ(got, expected) << what << ": pixel " << x << ", row " << y;
    }
  }
}

// Splits one-dimensional Group 3 data (FillOrder 1, no fill bits) at its EOL
// codes and packs each row's codes from a byte (or 16-bit) boundary: the
// modified Huffman form of the same rows. No run code holds eleven zeros in
// a row, so the EOLs are found without decoding anything.
Bytes G3ToModifiedHuffman(const Bytes& g3, std::uint32_t rows, unsigned align) {
  std::vector<int> bits;
  for (const std::uint8_t b : g3)
    for (int i = 7; i >= 0; --i)
      bits.push_back(b >> i & 1);
  std::vector<std::vector<int>> lines;
  std::size_t start = 0, zeros = 0;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == 0) {
      ++zeros;
      continue;
    }
    if (zeros >= 11) {  // an EOL ends here; its 11 zeros follow the row
      if (i - 11 > start)
        lines.emplace_back(bits.begin() + static_cast<std::ptrdiff_t>(start),
                           bits.begin() + static_cast<std::ptrdiff_t>(i - 11));
      start = i + 1;
    }
    zeros = 0;
  }
  if (start < bits.size())
    lines.emplace_back(bits.begin() + static_cast<std::ptrdiff_t>(start), bits.end());
  EXPECT_GE(lines.size(), rows);
  Bytes out;
  std::size_t nbits = 0;
  for (std::uint32_t r = 0; r < rows && r < lines.size(); ++r) {
    for (const int bit : lines[r]) {
      if (nbits % 8 == 0) out.push_back(0);
      if (bit) out.back() |= static_cast<std::uint8_t>(0x80 >> (nbits % 8));
      ++nbits;
    }
    while (nbits % align != 0) {
      if (nbits % 8 == 0) out.push_back(0);
      ++nbits;
    }
  }
  return out;
}

class TiffToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TOOL("tiffcp");
    picture_ = FaxPicture();
    source_ = dir_.Path("fax.tif");
    tifftest::WriteFile(source_, tifftest::MakeTiff(FaxImage(), picture_));
  }

  // tiffcp `options` source -> out, then tiffcp -c none out -> plain copy;
  // both must decode to the picture.
  void CheckTiffcp(const std::string& options) {
    const std::string out = dir_.Path("out.tif"), plain = dir_.Path("plain.tif");
    ASSERT_TRUE(tifftest::Run("tiffcp " + options + " " + source_ + " " + out)) << options;
    ASSERT_TRUE(tifftest::Run("tiffcp -c none " + out + " " + plain)) << options;
    ExpectFaxPicture(Loaded(tifftest::ReadFile(out)), picture_, "tiffcp " + options);
    ExpectFaxPicture(Loaded(tifftest::ReadFile(plain)), picture_, "tiffcp -c none of " + options);
  }

  // Raw one-dimensional G3 rows without fill bits, MSB first.
  Bytes RawG3() {
    const std::string g3 = dir_.Path("g3.tif");
    EXPECT_TRUE(tifftest::Run("tiffcp -c g3:1d -r 100000 " + source_ + " " + g3));
    return tifftest::ReadStrip(tifftest::ReadFile(g3), 0);
  }

  tifftest::TempDir dir_;
  Bytes picture_;
  std::string source_;
};

TEST_F(TiffToolsTest, Group3OneAndTwoDimensional) {
  for (const char* coding : {"g3:1d", "g3:1d:fill", "g3:2d", "g3:2d:fill"})
    for (const char* extra : {"-r 16", "-r 7 -f lsb2msb", "-r 1000", "-t -w 512 -l 48"})
      CheckTiffcp(std::string("-c ") + coding + " " + extra);
}

TEST_F(TiffToolsTest, LzwStripsAndTiles) {
  for (const char* options :
       {"-c lzw -r 1000", "-c lzw -r 13 -f lsb2msb", "-c lzw -t -w 256 -l 64"})
    CheckTiffcp(options);
}

TEST_F(TiffToolsTest, Fax2tiffGroup3) {
  REQUIRE_TOOL("fax2tiff");
  tifftest::WriteFile(dir_.Path("raw.g3"), RawG3());
  const std::string width = " -X " + std::to_string(kFaxWidth) + " ";
  // fax2tiff writes FillOrder 2 unless told -m, and one strip unless -r.
  for (const char* options : {"", "-6 -a", "-6 -p -m -r 9", "-5 -a -r 13"}) {
    const std::string out = dir_.Path("fax2tiff.tif");
    ASSERT_TRUE(
        tifftest::Run("fax2tiff -M" + width + options + " -o " + out + " " + dir_.Path("raw.g3")));
    ExpectFaxPicture(Loaded(tifftest::ReadFile(out)), picture_, std::string("fax2tiff ") + options);
  }
}

TEST_F(TiffToolsTest, ModifiedHuffmanByteAndWordAligned) {
  const Bytes g3 = RawG3();
  for (const std::uint32_t compression : {2u, 32771u}) {
    const Bytes mh = G3ToModifiedHuffman(g3, kFaxHeight, compression == 2 ? 8 : 16);
    TestImage image = FaxImage();
    image.compression = compression;
    const Bytes file = tifftest::MakeWriter(image, Bytes{}).Strip(mh).Build();
    ExpectFaxPicture(Loaded(file), picture_, "compression " + std::to_string(compression));
  }
}

TEST_F(TiffToolsTest, Group4IsRejected) {
  const std::string out = dir_.Path("rejected.tif");
  ASSERT_TRUE(tifftest::Run("tiffcp -c g4 " + source_ + " " + out));
  TTIFFGraphic g;
  try {
    g.LoadFromFile(out);
    ADD_FAILURE() << "Group 4 loaded";
  } catch (const ETIFFError& e) {
    EXPECT_EQ(e.Message(), "Unsupported TIFF compression 4");
  }
}

// --- Colour files through tiffcp ---

class TiffcpColourTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_TOOL("tiffcp"); }

  // Writes an uncompressed picture and answers tiffcp's copy of it with
  // `options`.
  Bytes Copy(const TestImage& image, const Bytes& samples, const std::string& options) {
    const std::string in = dir_.Path("in.tif"), out = dir_.Path("out.tif");
    tifftest::WriteFile(in, tifftest::MakeTiff(image, samples));
    EXPECT_TRUE(tifftest::Run("tiffcp " + options + " " + in + " " + out)) << options;
    return tifftest::ReadFile(out);
  }

  tifftest::TempDir dir_;
};

// Ramps with noise: LZW data that uses codes of every width and clears its
// table, and differences of every size for the predictor.
Bytes Picture(std::uint32_t w, std::uint32_t h, std::uint32_t samples, std::uint32_t bytes) {
  Bytes out;
  std::mt19937 rng(5);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      for (std::uint32_t s = 0; s < samples; ++s) {
        const auto v = static_cast<std::uint8_t>((x * 4 + s * 60 + y * 3 + rng() % 6) % 256);
        if (bytes == 2) out.push_back(static_cast<std::uint8_t>(rng()));
        out.push_back(v);  // the top byte (little-endian 16-bit samples)
      }
  return out;
}

TEST_F(TiffcpColourTest, LosslessCodingsByteOrdersPlanesAndTilesMatchTheSource) {
  const std::uint32_t w = 97, h = 61;
  // Gray, gray and alpha, RGB, RGB and alpha.
  for (const std::uint32_t samples : {1u, 2u, 3u, 4u})
    for (const std::uint32_t bytes : {1u, 2u}) {
      const TestImage image{.width = w,
                            .height = h,
                            .bits = 8 * bytes,
                            .samples_per_pixel = samples,
                            .photometric = samples <= 2 ? 1u : 2u};
      const Bytes source = Picture(w, h, samples, bytes);
      const Loaded want(tifftest::MakeTiff(image, source));
      for (const char* options :
           {"-c zip", "-c zip:2", "-c packbits", "-c none -B", "-c zip:2 -B",
            "-c none -p separate -r 5", "-c zip:2 -p separate", "-c lzw", "-c lzw:2 -r 7",
            "-c lzw:2 -B", "-c lzw -p separate -t -w 16 -l 32", "-c lzw:2 -t -w 32 -l 16 -B",
            "-c zip:2 -t -w 16 -l 16", "-c packbits -t", "-c none -t -w 48 -l 64 -B"}) {
        // tiffcp separates planes of 8-bit samples only.
        const bool separate = std::string(options).find("separate") != std::string::npos;
        if (separate && (samples == 1 || bytes == 2)) continue;
        const Loaded got(Copy(image, source, options));
        ASSERT_EQ(got.PixelFormat(), want.PixelFormat()) << options;
        for (std::uint32_t y = 0; y < h; ++y)
          ASSERT_EQ(0, std::memcmp(got.ConstRow(static_cast<int>(y)),
                                   want.ConstRow(static_cast<int>(y)), want.BytesPerRow()))
              << options << ", " << samples << " samples of " << 8 * bytes << " bits, row " << y;
      }
    }
}

TEST_F(TiffcpColourTest, JpegStripsDecodeCloseToTheSource) {
  const std::uint32_t w = 64, h = 40;
  for (const std::uint32_t samples : {1u, 3u})
    for (const char* options : {"-c jpeg:90", "-c jpeg:r:90 -r 16", "-c jpeg:90 -r 32",
                                "-c jpeg:90 -t -w 16 -l 16", "-c jpeg:r:90 -t -w 32 -l 48"}) {
      const TestImage image{.width = w,
                            .height = h,
                            .samples_per_pixel = samples,
                            .photometric = samples == 1 ? 1u : 2u};
      Bytes source;  // smooth: JPEG keeps it closely
      for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
          for (std::uint32_t s = 0; s < samples; ++s)
            source.push_back(static_cast<std::uint8_t>(2 * x + y + 30 * s));
      const Loaded want(tifftest::MakeTiff(image, source));
      const Loaded got(Copy(image, source, options));
      ASSERT_EQ(got.PixelFormat(), want.PixelFormat()) << options;
      double total = 0;
      int worst = 0;
      for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w * (samples == 1 ? 1 : 3); ++x) {
          const int d = std::abs(got.ConstRow(static_cast<int>(y))[x] -
                                 want.ConstRow(static_cast<int>(y))[x]);
          total += d;
          worst = std::max(worst, d);
        }
      EXPECT_LT(total / (w * h * samples), 3.0) << options << ", " << samples << " samples";
      EXPECT_LT(worst, 40) << options << ", " << samples << " samples";
    }
}

// Tiled files used to load as an empty raster, which the service's geometry
// step then refused ("Division by zero").
TEST_F(TiffcpColourTest, TiledFilesDecode) {
  const Bytes source = Picture(40, 40, 1, 1);
  for (const char* options : {"-t -w 16 -l 16", "-t"}) {  // the default tile is 256 x 256
    const Loaded r(Copy({.width = 40, .height = 40}, source, options));
    ASSERT_EQ(r.Width(), 40) << options;
    ASSERT_EQ(r.Height(), 40) << options;
    for (int y = 0; y < 40; ++y)
      ASSERT_EQ(0, std::memcmp(r.ConstRow(y), &source[static_cast<std::size_t>(y) * 40], 40))
          << options << ", row " << y;
  }
}

// --- netpbm ---

// A binary PGM or PPM file: samples of 8 bits, or 16 bits big-endian.
struct Pnm {
  std::uint32_t width = 0, height = 0, channels = 0, maxval = 0;
  Bytes samples;

  Bytes File() const {
    const std::string head = (channels == 1 ? "P5\n" : "P6\n") + std::to_string(width) + " " +
                             std::to_string(height) + "\n" + std::to_string(maxval) + "\n";
    Bytes out(head.begin(), head.end());
    out.insert(out.end(), samples.begin(), samples.end());
    return out;
  }
  // The top byte of sample c of pixel (x, y).
  int Top(std::uint32_t x, std::uint32_t y, std::uint32_t c) const {
    const std::size_t i = (std::size_t{y} * width + x) * channels + c;
    return maxval > 255 ? samples[2 * i] : samples[i];
  }
};

Pnm ParsePnm(const Bytes& file) {
  Pnm p;
  std::size_t at = 2;
  auto number = [&] {
    while (at < file.size() && std::isspace(file[at]))
      ++at;
    std::uint32_t v = 0;
    while (at < file.size() && std::isdigit(file[at]))
      v = v * 10 + (file[at++] - '0');
    return v;
  };
  if (file.size() < 2 || file[0] != 'P' || (file[1] != '5' && file[1] != '6')) return p;
  p.channels = file[1] == '5' ? 1 : 3;
  p.width = number();
  p.height = number();
  p.maxval = number();
  p.samples.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 1), file.end());
  return p;
}

TEST(TiffNetpbm, PnmtotiffFilesMatchTifftopnm) {
  REQUIRE_TOOL("pnmtotiff");
  REQUIRE_TOOL("tifftopnm");
  REQUIRE_TOOL("tiffcp");
  tifftest::TempDir dir;
  for (const std::uint32_t channels : {1u, 3u})
    for (const std::uint32_t maxval : {255u, 65535u}) {
      const Pnm source{.width = 83,
                       .height = 45,
                       .channels = channels,
                       .maxval = maxval,
                       .samples = Picture(83, 45, channels, maxval > 255 ? 2 : 1)};
      tifftest::WriteFile(dir.Path("in.pnm"), source.File());
      // pnmtotiff's file as tifftopnm reads it (all 16 bits with -byrow); the
      // file and tiffcp's tiles of it must decode alike. (tifftopnm misreads
      // some of tiffcp's little-endian 16-bit files, so it reads pnmtotiff's
      // only.)
      for (const char* options : {"-lzw", "-lzw -predictor=2", "-flate -predictor=2",
                                  "-packbits -rowsperstrip=4", "-lzw -lsb2msb"}) {
        const std::string tif = dir.Path("out.tif"), pnm = dir.Path("out.pnm");
        const std::string tiled = dir.Path("tiled.tif");
        // In subshells, so that only stdout goes to the files; RGB samples even
        // where a palette would hold the colours.
        ASSERT_TRUE(tifftest::Run(std::string("(pnmtotiff -truecolor ") + options + " " +
                                  dir.Path("in.pnm") + " > " + tif + ")"))
            << options;
        ASSERT_TRUE(tifftest::Run("(tifftopnm -byrow " + tif + " > " + pnm + ")")) << options;
        ASSERT_TRUE(tifftest::Run("tiffcp -c lzw:2 -t -w 32 -l 16 " + tif + " " + tiled));
        const Pnm want = ParsePnm(tifftest::ReadFile(pnm));
        ASSERT_EQ(want.channels, channels) << options;
        for (const std::string& file : {tif, tiled}) {
          const std::string what = std::string(options) + (file == tiled ? ", tiled" : "");
          const Loaded got(tifftest::ReadFile(file));
          ASSERT_EQ(got.Width(), static_cast<int>(want.width)) << what;
          ASSERT_EQ(got.Height(), static_cast<int>(want.height)) << what;
          ASSERT_EQ(got.PixelFormat(), channels == 1 ? TPixelFormat::Indexed8 : TPixelFormat::Bgr24)
              << what;
          for (std::uint32_t y = 0; y < want.height; ++y) {
            const std::uint8_t* row = got.ConstRow(static_cast<int>(y));
            for (std::uint32_t x = 0; x < want.width; ++x)
              for (std::uint32_t c = 0; c < channels; ++c)
                ASSERT_EQ(channels == 1 ? row[x] : row[3 * x + 2 - c], want.Top(x, y, c))
                    << what << ", maxval " << maxval << ", pixel " << x << "," << y;
          }
        }
      }
    }
}

}  // namespace
}  // namespace skalo
