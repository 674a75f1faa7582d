// TJPEGImage and DecodeJpegToBitmap: decoding against libjpeg's own djpeg,
// the error codes, the encoder's parameters read back from its output, and
// the handling of CMYK and embedded (TIFF-style) streams.
#include "imaging/jpeg.h"

#include <gtest/gtest.h>

#include <set>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <jpeglib.h>
// clang-format off
#include <jerror.h>
// clang-format on

#include "imaging/byte_reader.h"
#include "imaging/checked.h"
#include "tests/imaging/jpeg_png_test_util.h"
#include "tests/imaging/peak_memory.h"

namespace skalo {
namespace {

using jpeg_png_test::Bytes;
using jpeg_png_test::Colors;
using jpeg_png_test::Image;
using jpeg_png_test::MaxDifference;
using jpeg_png_test::ParsePnm;
using jpeg_png_test::Rgb;
using jpeg_png_test::RunTool;
using jpeg_png_test::ToPpm;

std::string JpegErrorText(int code) {
  return "JPEG error #" + std::to_string(code);
}

// A colour ramp, with a blue checker texture unless `smooth`, so that
// quantization and upsampling both matter.
Image TestPicture(int width, int height, bool smooth = false) {
  Image image{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.pixels.push_back(
          {static_cast<std::uint8_t>(x * 255 / std::max(width - 1, 1)),
           static_cast<std::uint8_t>(y * 255 / std::max(height - 1, 1)),
           static_cast<std::uint8_t>(smooth ? 128 : ((x / 4 + y / 4) % 2) * 96 + 64)});
  return image;
}

// Compresses an image with our encoder at `quality`.
Bytes EncodeOurs(const Image& image, std::optional<std::uint8_t> quality = std::nullopt) {
  TBitmap bitmap;
  jpeg_png_test::ToBitmap(image, bitmap);
  TJPEGImage jpeg;
  jpeg.Assign(bitmap);
  if (quality) jpeg.SetCompressionQuality(*quality);
  return jpeg_png_test::SaveToBytes(jpeg);
}

Image DecodeOurs(const Bytes& file) {
  TJPEGImage jpeg;
  jpeg.LoadFromBytes(file);
  TBitmap bitmap;
  jpeg.AssignTo(bitmap);
  return Colors(bitmap);
}

// libjpeg's reference decoder with the parameters our decoder uses.
std::optional<Image> Djpeg(const Bytes& file, const std::string& extra = "") {
  const auto out = RunTool("djpeg", "-dct float -pnm " + extra, file);
  if (!out) return std::nullopt;
  return ParsePnm(*out);
}

#define REQUIRE_TOOL(tool) \
  if (!jpeg_png_test::HaveTool(tool)) GTEST_SKIP() << tool " is not installed"

// --- Direct use of the library to make inputs our encoder does not write ---

struct LibjpegInput {
  LibjpegInput(int w, int h, int c, J_COLOR_SPACE space)
      : width(w), height(h), components(c), in_space(space) {}
  int width = 0;
  int height = 0;
  int components = 3;
  J_COLOR_SPACE in_space = JCS_RGB;
  std::optional<J_COLOR_SPACE> jpeg_space;
  int quality = 95;
  bool no_adobe_marker = false;
  bool numeric_component_ids = false;  // ids 1, 2, 3 instead of the colour space's
  bool progressive = false;            // the library's standard progression
  std::vector<std::uint8_t> samples;   // interleaved, rows top first
};

Bytes LibjpegEncode(LibjpegInput in) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(in.width);
  cinfo.image_height = static_cast<JDIMENSION>(in.height);
  cinfo.input_components = in.components;
  cinfo.in_color_space = in.in_space;
  jpeg_set_defaults(&cinfo);
  if (in.jpeg_space) jpeg_set_colorspace(&cinfo, *in.jpeg_space);
  jpeg_set_quality(&cinfo, in.quality, TRUE);
  if (in.no_adobe_marker) cinfo.write_Adobe_marker = FALSE;
  if (in.progressive) jpeg_simple_progression(&cinfo);
  if (in.numeric_component_ids)
    for (int c = 0; c < cinfo.num_components; ++c)
      cinfo.comp_info[c].component_id = c + 1;
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = static_cast<std::size_t>(in.width) * in.components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = in.samples.data() + cinfo.next_scanline * stride;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return out;
}

// --- Marker segments of a file up to the first SOS ---

struct Segment {
  std::uint8_t marker = 0;
  Bytes payload;
};

std::vector<Segment> Segments(const Bytes& file) {
  ByteReader in(file);
  EXPECT_EQ(in.u16be(), 0xFFD8) << "no SOI";
  std::vector<Segment> out;
  while (in.remaining() >= 4) {
    EXPECT_EQ(in.u8(), 0xFF);
    const std::uint8_t marker = in.u8();
    const std::uint16_t length = in.u16be();
    const auto payload = in.bytes(length - 2u);
    out.push_back({marker, Bytes(payload.begin(), payload.end())});
    if (marker == 0xDA) break;
  }
  return out;
}

// Splits a complete file into a tables-only stream (SOI,
// DQT and DHT segments, EOI) and the stream without them, as TIFF stores them.
std::pair<Bytes, Bytes> SplitTables(const Bytes& file) {
  Bytes tables = {0xFF, 0xD8};
  Bytes stream = {0xFF, 0xD8};
  ByteReader in(file);
  in.skip(2);
  for (;;) {
    const std::size_t start = in.offset();
    in.skip(1);
    const std::uint8_t marker = in.u8();
    const std::uint16_t length = in.u16be();
    in.skip(length - 2u);
    Bytes& target = (marker == 0xDB || marker == 0xC4) ? tables : stream;
    if (marker == 0xDA) {
      stream.insert(stream.end(), file.begin() + static_cast<std::ptrdiff_t>(start), file.end());
      break;
    }
    target.insert(target.end(), file.begin() + static_cast<std::ptrdiff_t>(start),
                  file.begin() + static_cast<std::ptrdiff_t>(in.offset()));
  }
  tables.insert(tables.end(), {0xFF, 0xD9});
  return {tables, stream};
}

// The example tables of the JPEG standard (ITU-T T.81, Annex K, tables K.1
// and K.2) in natural order, and the zigzag order DQT stores them in.
constexpr std::array<int, 64> kLuminance = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<int, 64> kChrominance = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr std::array<int, 64> kZigzag = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The DQT payload bytes expected for one table scaled to `quality` (1..100)
// and limited to baseline: entries (base * factor + 50) / 100 in 1..255.
Bytes ScaledTable(int id, const std::array<int, 64>& base, int quality) {
  const int factor = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  Bytes out = {static_cast<std::uint8_t>(id)};
  for (int k = 0; k < 64; ++k)
    out.push_back(
        static_cast<std::uint8_t>(std::clamp((base[kZigzag[k]] * factor + 50) / 100, 1, 255)));
  return out;
}

// The two tables of a file's DQT segments, as (id + table) payloads.
std::vector<Bytes> QuantTables(const Bytes& file) {
  std::vector<Bytes> tables;
  for (const Segment& s : Segments(file)) {
    if (s.marker != 0xDB) continue;
    for (std::size_t i = 0; i + 65 <= s.payload.size(); i += 65)
      tables.emplace_back(s.payload.begin() + static_cast<std::ptrdiff_t>(i),
                          s.payload.begin() + static_cast<std::ptrdiff_t>(i + 65));
  }
  return tables;
}

// ------------------------------------------------------------------------
// Decoding

TEST(JpegDecode, MatchesTheLibrarysOwnDecoder) {
  REQUIRE_TOOL("cjpeg");
  REQUIRE_TOOL("djpeg");
  struct Case {
    int width, height;
    std::string cjpeg_args;
  };
  const Case cases[] = {{48, 40, "-quality 85"},
                        {33, 17, "-quality 60 -progressive"},
                        {1, 37, "-quality 90"},
                        {37, 1, "-quality 90 -sample 1x1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " " + c.cjpeg_args);
    const auto file = RunTool("cjpeg", c.cjpeg_args, ToPpm(TestPicture(c.width, c.height)));
    ASSERT_TRUE(file);
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(*file);
    EXPECT_EQ(jpeg.Width(), c.width);
    EXPECT_EQ(jpeg.Height(), c.height);
    EXPECT_EQ(jpeg.Header().components, 3);
    EXPECT_FALSE(jpeg.Header().grayscale);
    EXPECT_EQ(jpeg.Header().progressive, c.cjpeg_args.find("progressive") != std::string::npos);
    TBitmap bitmap;
    jpeg.AssignTo(bitmap);
    EXPECT_EQ(bitmap.PixelFormat(), TPixelFormat::Bgr24);
    const auto expected = Djpeg(*file);
    ASSERT_TRUE(expected);
    EXPECT_EQ(Colors(bitmap).pixels, expected->pixels);
  }
}

TEST(JpegDecode, DecodesOnceAndSharesTheRaster) {
  TJPEGImage jpeg;
  jpeg.LoadFromBytes(EncodeOurs(TestPicture(16, 16)));
  TBitmap first, second;
  jpeg.AssignTo(first);
  jpeg.AssignTo(second);
  EXPECT_EQ(first.ConstRow(0), second.ConstRow(0)) << "the second conversion decoded again";
}

TEST(JpegDecode, GrayscaleKeepsEveryLevel) {
  REQUIRE_TOOL("djpeg");
  // A ramp over every level, with noise, so no level is smoothed away.
  LibjpegInput in(256, 16, 1, JCS_GRAYSCALE);
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x)
      in.samples.push_back(
          static_cast<std::uint8_t>(std::clamp(x + (x * 7 + y * 13) % 5 - 2, 0, 255)));
  in.quality = 100;
  const Bytes file = LibjpegEncode(in);

  TJPEGImage jpeg;
  jpeg.LoadFromBytes(file);
  EXPECT_TRUE(jpeg.Header().grayscale);
  TBitmap bitmap;
  jpeg.AssignTo(bitmap);
  ASSERT_EQ(bitmap.PixelFormat(), TPixelFormat::Indexed8);
  ASSERT_EQ(bitmap.Palette().size(), 256u);
  for (std::size_t i = 0; i < 256; ++i)
    ASSERT_EQ(bitmap.Palette()[i],
              (TPaletteEntry{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                             static_cast<std::uint8_t>(i)}));
  const auto expected = Djpeg(file);
  ASSERT_TRUE(expected);
  const Image colors = Colors(bitmap);
  EXPECT_EQ(colors.pixels, expected->pixels);
  std::set<std::uint8_t> levels;
  for (const Rgb& p : colors.pixels)
    levels.insert(p[0]);
  EXPECT_GT(levels.size(), 240u);
}

TEST(JpegDecode, TruncatedFileDecodesLikeTheLibrary) {
  REQUIRE_TOOL("djpeg");
  const Bytes whole = EncodeOurs(TestPicture(64, 64), 95);
  const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2));
  TJPEGImage jpeg;
  jpeg.LoadFromBytes(cut);
  TBitmap bitmap;
  ASSERT_NO_THROW(jpeg.AssignTo(bitmap));
  ASSERT_EQ(bitmap.Width(), 64);
  ASSERT_EQ(bitmap.Height(), 64);
  const Image colors = Colors(bitmap);
  const Image full = DecodeOurs(whole);
  // The first block row came before the cut and decodes as in the whole file.
  for (int x = 0; x < 64; ++x)
    EXPECT_EQ(colors.At(x, 0), full.At(x, 0)) << "x " << x;
  const auto expected = Djpeg(cut);
  ASSERT_TRUE(expected);
  EXPECT_EQ(colors.pixels, expected->pixels);
}

TEST(JpegDecode, FourComponentFilesBecomeRgbAsInvertedCmyk) {
  // Quadrants in inverted CMYK (each sample 255 minus the ink): red, green,
  // blue, and mid gray made of 50% black alone.
  const std::array<std::array<std::uint8_t, 4>, 4> inks = {
      {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 128}}};
  const std::array<Rgb, 4> expected = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}}};
  LibjpegInput in(32, 32, 4, JCS_CMYK);
  in.quality = 100;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const auto& ink = inks[(y / 16) * 2 + x / 16];
      in.samples.insert(in.samples.end(), ink.begin(), ink.end());
    }
  for (const J_COLOR_SPACE space : {JCS_CMYK, JCS_YCCK}) {
    SCOPED_TRACE(space == JCS_CMYK ? "CMYK" : "YCCK");
    in.jpeg_space = space;
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(LibjpegEncode(in));
    EXPECT_EQ(jpeg.Header().components, 4);
    TBitmap bitmap;
    jpeg.AssignTo(bitmap);
    EXPECT_EQ(bitmap.PixelFormat(), TPixelFormat::Bgr24);
    const Image colors = Colors(bitmap);
    for (int q = 0; q < 4; ++q) {
      const Rgb got = colors.At((q % 2) * 16 + 8, (q / 2) * 16 + 8);
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(got[c], expected[q][c], 6) << "quadrant " << q << " channel " << c;
    }
  }
}

// ------------------------------------------------------------------------
// Limits

// The file with its SOF0 height and width set.
Bytes WithSize(Bytes file, std::uint16_t width, std::uint16_t height) {
  const Bytes marker = {0xFF, 0xC0};
  const auto sof = std::search(file.begin(), file.end(), marker.begin(), marker.end());
  EXPECT_NE(sof, file.end());
  const Bytes size = {static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                      static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width)};
  std::copy(size.begin(), size.end(), sof + 5);
  return file;
}

TEST(JpegLimits, DeclaredSizeIsCheckedWhenLoading) {
  struct Case {
    std::uint16_t width, height;
    std::uint64_t max_pixels;
    const char* load_error;
    const char* decode_error;
  };
  const Case cases[] = {
      {100, 100, 10000, "", ""},
      {101, 100, 10000, "ESourceTooLarge", ""},
      {100, 101, 10000, "ESourceTooLarge", ""},
      {65500, 65500, kDefaultMaxSourcePixels, "ESourceTooLarge", ""},
      // With the limit out of reach the allocation cap still holds.
      {65500, 65500, UINT64_MAX, "", "EOutOfResources"},
  };
  const Bytes small = EncodeOurs(TestPicture(8, 8));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const Bytes file = c.width <= 101 ? EncodeOurs(TestPicture(c.width, c.height))
                                      : WithSize(small, c.width, c.height);
    int hooked = 0;
    const TImageLimits limits{.max_pixels = c.max_pixels,
                              .on_size = [&](std::uint32_t w, std::uint32_t h) {
                                EXPECT_EQ(w, c.width);
                                EXPECT_EQ(h, c.height);
                                ++hooked;
                              }};
    auto error = [](const std::function<void()>& step) -> std::string {
      try {
        step();
      } catch (const Exception& e) {
        return e.ClassName();
      }
      return "";
    };
    TJPEGImage jpeg;
    jpeg.SetLimits(limits);
    EXPECT_EQ(error([&] { jpeg.LoadFromBytes(file); }), c.load_error);
    EXPECT_EQ(jpeg.Empty(), *c.load_error != '\0');
    if (*c.load_error == '\0') {
      TBitmap bitmap;
      EXPECT_EQ(error([&] { jpeg.AssignTo(bitmap); }), c.decode_error);
    }
    // The decoder for embedded streams is held to its limits alike.
    TBitmap embedded;
    EXPECT_EQ(error([&] { DecodeJpegToBitmap({}, file, embedded, false, limits); }),
              *c.load_error ? c.load_error : c.decode_error);
    EXPECT_EQ(hooked, *c.load_error ? 0 : 3);  // load, decode, embedded
  }
}

// The file with its first scan repeated `extra` more times. Repeating a
// first DC scan stores the same values again, so the picture stays the same.
Bytes WithRepeatedFirstScan(const Bytes& file, int extra) {
  const Bytes sos = {0xFF, 0xDA};
  const auto start = std::search(file.begin(), file.end(), sos.begin(), sos.end());
  auto end = start + 2;
  // The scan's data runs to the next marker other than a stuffed 0xFF or a
  // restart marker.
  while (!(end[0] == 0xFF && end[1] != 0 && (end[1] < 0xD0 || end[1] > 0xD7)))
    ++end;
  Bytes out(file.begin(), end);
  for (int i = 0; i < extra; ++i)
    out.insert(out.end(), start, end);
  out.insert(out.end(), end, file.end());
  return out;
}

TEST(JpegLimits, ScansBeyondTheLimitAreRefused) {
  LibjpegInput in(128, 128, 1, JCS_GRAYSCALE);
  in.progressive = true;  // six scans for one component
  for (int i = 0; i < 128 * 128; ++i)
    in.samples.push_back(static_cast<std::uint8_t>(i * 7));
  const Bytes file = LibjpegEncode(in);
  const Image want = DecodeOurs(file);
  TBitmap bitmap;
  TJPEGImage jpeg;
  jpeg.LoadFromBytes(WithRepeatedFirstScan(file, kJpegMaxScans - 6));
  jpeg.AssignTo(bitmap);
  EXPECT_EQ(Colors(bitmap).pixels, want.pixels);
  jpeg.LoadFromBytes(WithRepeatedFirstScan(file, kJpegMaxScans - 5));
  EXPECT_THROW(jpeg.AssignTo(bitmap), ESourceTooLarge);
}

TEST(JpegLimits, HostileFilesFailWithoutAllocating) {
  LibjpegInput in(512, 512, 1, JCS_GRAYSCALE);
  in.progressive = true;
  in.samples.assign(512 * 512, 128);
  const Bytes small = EncodeOurs(TestPicture(8, 8));
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      // Beyond the limit, with the data cut after the first scan's header.
      {"huge frame", WithSize(Bytes(small.begin(), small.end() - 40), 65500, 65500)},
      {"thousands of scans", WithRepeatedFirstScan(LibjpegEncode(in), 5000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetPeakMemory();
    const std::uint64_t before = testing::ResidentBytes();
    const auto start = std::chrono::steady_clock::now();
    TJPEGImage jpeg;
    TBitmap bitmap;
    EXPECT_THROW(
        {
          jpeg.LoadFromBytes(c.file);
          jpeg.AssignTo(bitmap);
        },
        ESourceTooLarge);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(testing::PeakMemoryBytes(), before + (32u << 20));
  }
}

// ------------------------------------------------------------------------
// Load failures

TEST(JpegLoad, EmptyFileLoadsAndFailsWhenConverted) {
  TJPEGImage jpeg;
  TMemoryStream empty;
  jpeg.LoadFromStream(empty);
  EXPECT_EQ(jpeg.Width(), 0);
  EXPECT_EQ(jpeg.Height(), 0);
  EXPECT_TRUE(jpeg.Empty());
  TBitmap bitmap;
  try {
    jpeg.AssignTo(bitmap);
    FAIL() << "no error";
  } catch (const EJPEG& e) {
    EXPECT_EQ(e.Message(), JpegErrorText(JERR_INPUT_EMPTY));
    EXPECT_EQ(e.Message(), "JPEG error #42");
    EXPECT_STREQ(e.ClassName(), "EJPEG");
  }
}

TEST(JpegLoad, BadHeadersFailWhileLoading) {
  const Bytes good = EncodeOurs(TestPicture(8, 8));
  Bytes twelve_bit = good;
  for (std::size_t i = 0; i + 4 < twelve_bit.size(); ++i)
    if (twelve_bit[i] == 0xFF && twelve_bit[i + 1] == 0xC0) {
      twelve_bit[i + 4] = 12;  // SOF0 sample precision
      break;
    }
  struct Case {
    std::string name;
    Bytes file;
    int code;
  };
  const Case cases[] = {
      {"PNG bytes", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, JERR_NO_SOI},
      {"SOI and EOI only", {0xFF, 0xD8, 0xFF, 0xD9}, JERR_NO_IMAGE},
      {"12-bit samples", twelve_bit, JERR_BAD_PRECISION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TJPEGImage jpeg;
    jpeg.LoadFromBytes(good);
    try {
      jpeg.LoadFromBytes(c.file);
      ADD_FAILURE() << "no error";
    } catch (const EJPEG& e) {
      EXPECT_EQ(e.Message(), JpegErrorText(c.code));
    }
    EXPECT_TRUE(jpeg.Empty()) << "the object kept the earlier image";
    EXPECT_EQ(jpeg.Width(), 0);
  }
}

// ------------------------------------------------------------------------
// Encoding

TEST(JpegEncode, WritesABaselineJfifFileWithTheLibraryDefaults) {
  const Bytes file = EncodeOurs(TestPicture(20, 10));
  const std::vector<Segment> segments = Segments(file);
  ASSERT_FALSE(segments.empty());
  // JFIF 1.01, no density unit, 1:1; no other application segment.
  EXPECT_EQ(segments[0].marker, 0xE0);
  EXPECT_EQ(segments[0].payload, (Bytes{'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
  for (std::size_t i = 1; i < segments.size(); ++i) {
    EXPECT_FALSE(segments[i].marker >= 0xE0 && segments[i].marker <= 0xEF)
        << "application segment " << std::hex << int{segments[i].marker};
    EXPECT_NE(segments[i].marker, 0xDD) << "restart interval";
    EXPECT_NE(segments[i].marker, 0xC2) << "progressive";
  }
  const auto sof = std::find_if(segments.begin(), segments.end(),
                                [](const Segment& s) { return s.marker == 0xC0; });
  ASSERT_NE(sof, segments.end()) << "no baseline SOF0";
  // Precision 8, height 10, width 20, three components: Y 2x2, Cb and Cr 1x1.
  EXPECT_EQ(sof->payload, (Bytes{8, 0, 10, 0, 20, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
}

TEST(JpegEncode, QualityScalesTheStandardTables) {
  struct Case {
    std::optional<std::uint8_t> byte;  // none: the default
    int quality;
  };
  const Case cases[] = {{std::nullopt, 90}, {0, 1},     {1, 1},     {25, 25},  {50, 50},
                        {75, 75},           {100, 100}, {150, 100}, {255, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE("quality byte " + (c.byte ? std::to_string(*c.byte) : std::string("default")));
    const std::vector<Bytes> tables = QuantTables(EncodeOurs(TestPicture(8, 8), c.byte));
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0], ScaledTable(0, kLuminance, c.quality));
    EXPECT_EQ(tables[1], ScaledTable(1, kChrominance, c.quality));
  }
}

TEST(JpegEncode, OutputDecodesWithTheLibrarysDecoder) {
  REQUIRE_TOOL("djpeg");
  const std::pair<int, int> sizes[] = {{40, 24}, {1, 19}, {19, 1}, {1, 1}};
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const Image source = TestPicture(width, height, true);
    const Bytes file = EncodeOurs(source);
    const auto decoded = Djpeg(file);
    ASSERT_TRUE(decoded) << "djpeg rejected our file";
    ASSERT_EQ(decoded->width, width);
    ASSERT_EQ(decoded->height, height);
    EXPECT_LE(MaxDifference(*decoded, source), 16);
    EXPECT_EQ(DecodeOurs(file).pixels, decoded->pixels);
  }
}

TEST(JpegEncode, SameBytesAsTheLibrarysEncoderWithOurParameters) {
  REQUIRE_TOOL("cjpeg");
  const Image source = TestPicture(45, 30);
  for (const int quality : {90, 37}) {
    SCOPED_TRACE("quality " + std::to_string(quality));
    const auto expected =
        RunTool("cjpeg", "-dct float -quality " + std::to_string(quality), ToPpm(source));
    ASSERT_TRUE(expected);
    EXPECT_EQ(EncodeOurs(source, static_cast<std::uint8_t>(quality)), *expected);
  }
}

TEST(JpegEncode, ConvertsOtherRasterFormatsFirst) {
  // A 16-bit raster of pure red, green and blue thirds.
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::Rgb565);
  bitmap.SetSize(48, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 48; ++x) {
      const std::uint16_t word = x < 16 ? 0xF800 : x < 32 ? 0x07E0 : 0x001F;
      bitmap.Row(y)[2 * x] = static_cast<std::uint8_t>(word);
      bitmap.Row(y)[2 * x + 1] = static_cast<std::uint8_t>(word >> 8);
    }
  TJPEGImage jpeg;
  jpeg.Assign(bitmap);
  const Image colors = DecodeOurs(jpeg_png_test::SaveToBytes(jpeg));
  const std::array<Rgb, 3> expected = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}};
  for (int third = 0; third < 3; ++third) {
    const Rgb got = colors.At(third * 16 + 8, 8);
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(got[c], expected[third][c], 8) << "third " << third;
  }
  EXPECT_EQ(bitmap.PixelFormat(), TPixelFormat::Rgb565) << "the source raster was changed";
}

TEST(JpegEncode, EmptyRasterWritesNothing) {
  TJPEGImage jpeg;
  const TBitmap empty;
  jpeg.Assign(empty);
  EXPECT_TRUE(jpeg.Empty());
  EXPECT_TRUE(jpeg_png_test::SaveToBytes(jpeg).empty());
  jpeg.Compress();
  EXPECT_TRUE(jpeg.Data().empty());
  TJPEGImage nothing;
  EXPECT_TRUE(jpeg_png_test::SaveToBytes(nothing).empty());
}

TEST(JpegEncode, AFailedEncodingPublishesNoData) {
  // Wider than the library's largest frame: it fails inside compression.
  TBitmap wide;
  wide.SetPixelFormat(TPixelFormat::Bgr24);
  wide.SetSize(65501, 1);
  TJPEGImage jpeg;
  jpeg.Assign(wide);
  try {
    jpeg.Compress();
    FAIL() << "no error";
  } catch (const EJPEG& e) {
    EXPECT_EQ(e.Message(), JpegErrorText(JERR_IMAGE_TOO_BIG));
  }
  EXPECT_TRUE(jpeg.Data().empty());
  // Saving compresses again and fails again: no file, not an empty one.
  TMemoryStream out;
  EXPECT_THROW(jpeg.SaveToStream(out), EJPEG);
  EXPECT_EQ(out.Size(), 0u);
}

// ------------------------------------------------------------------------
// The object: compressed data, sharing, replacement

TEST(JpegObject, CompressedDataIsSharedAndReplaceable) {
  TBitmap bitmap;
  jpeg_png_test::ToBitmap(TestPicture(24, 8), bitmap);
  TJPEGImage encoder;
  encoder.Assign(bitmap);
  EXPECT_TRUE(encoder.Data().empty()) << "compressed before being asked";
  EXPECT_EQ(encoder.Width(), 24);
  encoder.SetCompressionQuality(75);
  encoder.Compress();
  const Bytes compressed = encoder.Data();
  ASSERT_FALSE(compressed.empty());
  EXPECT_EQ(jpeg_png_test::SaveToBytes(encoder), compressed) << "saving compressed again";

  TJPEGImage copy;
  copy.Assign(encoder);
  EXPECT_EQ(copy.Data().data(), encoder.Data().data()) << "the data was copied, not shared";
  EXPECT_EQ(copy.CompressionQuality(), 75);

  // Replacing the bytes (as the metadata writer does) re-reads the header
  // and drops the raster.
  Bytes with_comment = compressed;
  const Bytes com = {0xFF, 0xFE, 0x00, 0x06, 'S', 'k', 'a', 'l'};
  with_comment.insert(with_comment.begin() + 2, com.begin(), com.end());
  encoder.LoadFromBytes(with_comment);
  EXPECT_EQ(jpeg_png_test::SaveToBytes(encoder), with_comment);
  EXPECT_EQ(encoder.Width(), 24);
  EXPECT_EQ(encoder.Height(), 8);
  EXPECT_EQ(copy.Data(), compressed) << "the shared copy changed";

  // Assigning a raster drops the compressed data.
  encoder.Assign(bitmap);
  EXPECT_TRUE(encoder.Data().empty());
}

// ------------------------------------------------------------------------
// Embedded streams (TIFF compression 7)

TEST(JpegEmbedded, TablesAndStreamDecodeLikeTheWholeFile) {
  const Bytes file = EncodeOurs(TestPicture(32, 24));
  const Image whole = DecodeOurs(file);
  const auto [tables, stream] = SplitTables(file);
  ASSERT_LT(stream.size(), file.size());
  TBitmap bitmap;
  DecodeJpegToBitmap(tables, stream, bitmap, false);
  EXPECT_EQ(bitmap.PixelFormat(), TPixelFormat::Bgr24);
  EXPECT_EQ(Colors(bitmap).pixels, whole.pixels);
  TBitmap again;
  DecodeJpegToBitmap({}, file, again, false);
  EXPECT_EQ(Colors(again).pixels, whole.pixels);
  // The stream alone has no tables to decode with.
  EXPECT_THROW(DecodeJpegToBitmap({}, stream, bitmap, false), EJPEG);
  EXPECT_THROW(DecodeJpegToBitmap({}, {}, bitmap, false), EJPEG);
}

TEST(JpegEmbedded, GrayStreamsBecomeGrayBgr24) {
  LibjpegInput in(16, 8, 1, JCS_GRAYSCALE);
  for (int i = 0; i < 16 * 8; ++i)
    in.samples.push_back(static_cast<std::uint8_t>(i * 2));
  TBitmap bitmap;
  DecodeJpegToBitmap({}, LibjpegEncode(in), bitmap, false);
  ASSERT_EQ(bitmap.PixelFormat(), TPixelFormat::Bgr24);
  const Image colors = Colors(bitmap);
  for (const Rgb& c : colors.pixels)
    ASSERT_TRUE(c[0] == c[1] && c[1] == c[2]);
  EXPECT_NEAR(colors.At(15, 7)[0], 254, 4);
}

TEST(JpegEmbedded, RgbComponentsAreTakenAsDeclared) {
  // Three components stored as RGB with nothing in the file saying so.
  LibjpegInput in(16, 16, 3, JCS_RGB);
  in.jpeg_space = JCS_RGB;
  in.no_adobe_marker = true;
  in.numeric_component_ids = true;
  for (int i = 0; i < 16 * 16; ++i)
    in.samples.insert(in.samples.end(), {200, 40, 90});
  const Bytes file = LibjpegEncode(in);
  TBitmap as_rgb, as_ycc;
  DecodeJpegToBitmap({}, file, as_rgb, true);
  DecodeJpegToBitmap({}, file, as_ycc, false);
  const Rgb rgb = Colors(as_rgb).At(8, 8);
  EXPECT_NEAR(rgb[0], 200, 3);
  EXPECT_NEAR(rgb[1], 40, 3);
  EXPECT_NEAR(rgb[2], 90, 3);
  EXPECT_GT(MaxDifference(Colors(as_rgb), Colors(as_ycc)), 40) << "the flag made no difference";
}

}  // namespace
}  // namespace skalo
