// Image bombs: tiny files that declare huge pictures. Each decoder must
// refuse them from the header or from the data it holds, before it
// allocates for what they claim, and hold every picture to its limits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/gif.h"
#include "imaging/png.h"
#include "imaging/targa.h"
#include "tests/imaging/codec_test_util.h"
#include "tests/imaging/peak_memory.h"

namespace skalo {
namespace {

using testing::Bytes;
using testing::Put16;
using testing::Put32;
using testing::Put8;
using testing::PutText;

enum class Format { Gif, Bmp, Png, Targa };
constexpr const char* kNames[] = {"GIF", "BMP", "PNG", "Targa"};

std::unique_ptr<TGraphic> Decoder(Format format) {
  switch (format) {
    case Format::Gif:
      return std::make_unique<TGIFImage>();
    case Format::Bmp:
      return std::make_unique<TBitmap>();
    case Format::Png:
      return std::make_unique<TPNGObject>();
    case Format::Targa:
      return std::make_unique<TTargaGraphic>();
  }
  return nullptr;
}

// Loads and renders the file; answers the class of the exception raised.
std::string LoadError(Format format, const Bytes& file, const TImageLimits& limits) {
  auto decoder = Decoder(format);
  decoder->SetLimits(limits);
  try {
    TMemoryStream stream(file);
    decoder->LoadFromStream(stream);
    TBitmap out;
    decoder->AssignTo(out);
  } catch (const Exception& e) {
    return e.ClassName();
  }
  return "(no error)";
}

// ---- files

// Screen and first frame of the given sizes, no colour map; `data` follows
// the image descriptor (LZW code size and sub-blocks).
Bytes Gif(int screen_w, int screen_h, int frame_w, int frame_h, const Bytes& data) {
  Bytes f;
  PutText(f, "GIF89a");
  Put16(f, screen_w);
  Put16(f, screen_h);
  f.insert(f.end(), {0, 0, 0, ','});
  Put32(f, 0);  // left, top
  Put16(f, frame_w);
  Put16(f, frame_h);
  Put8(f, 0);
  f.insert(f.end(), data.begin(), data.end());
  Put8(f, ';');
  return f;
}
// Code size 2; clear code, literal 1, end code.
const Bytes kOnePixelCodes = {2, 2, 0x4C, 0x01, 0};

Bytes Bmp(int width, int height, int bits, int compression, const Bytes& pixels) {
  const std::uint32_t table = bits <= 8 ? 4u << bits : 0;
  Bytes f = {'B', 'M'};
  Put32(f, static_cast<std::uint32_t>(54 + table + pixels.size()));
  Put32(f, 0);
  Put32(f, 54 + table);
  Put32(f, 40);
  Put32(f, static_cast<std::uint32_t>(width));
  Put32(f, static_cast<std::uint32_t>(height));
  Put16(f, 1);
  Put16(f, bits);
  Put32(f, static_cast<std::uint32_t>(compression));
  for (int i = 0; i < 5; ++i)
    Put32(f, 0);
  f.resize(f.size() + table, 0x40);
  f.insert(f.end(), pixels.begin(), pixels.end());
  return f;
}

// Runs of 255 pixels, then an end of bitmap: 500 bytes.
Bytes RleRuns() {
  Bytes data;
  for (int i = 0; i < 249; ++i)
    data.insert(data.end(), {255, 0x11});
  data.insert(data.end(), {0, 1});
  return data;
}

void PutChunk(Bytes& f, const char* type, const Bytes& data) {
  const auto be32 = [&](std::uint32_t v) {
    f.insert(f.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                       static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
  };
  be32(static_cast<std::uint32_t>(data.size()));
  const std::size_t at = f.size();
  f.insert(f.end(), type, type + 4);
  f.insert(f.end(), data.begin(), data.end());
  be32(static_cast<std::uint32_t>(crc32(0, f.data() + at, static_cast<uInt>(4 + data.size()))));
}

// An 8-bit RGB PNG whose image data is 10000 deflated zero bytes (~30 bytes).
Bytes Png(std::uint32_t width, std::uint32_t height) {
  Bytes f = {137, 80, 78, 71, 13, 10, 26, 10};
  Bytes ihdr;
  for (const std::uint32_t v : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8)
      ihdr.push_back(static_cast<std::uint8_t>(v >> shift));
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  PutChunk(f, "IHDR", ihdr);
  const Bytes zeros(10000, 0);
  Bytes idat(compressBound(zeros.size()));
  uLongf size = idat.size();
  compress(idat.data(), &size, zeros.data(), zeros.size());
  idat.resize(size);
  PutChunk(f, "IDAT", idat);
  PutChunk(f, "IEND", {});
  return f;
}

Bytes Targa(int width, int height, int image_type, int depth, const Bytes& data) {
  Bytes f = {0, 0, static_cast<std::uint8_t>(image_type), 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Put16(f, width);
  Put16(f, height);
  f.insert(f.end(), {static_cast<std::uint8_t>(depth), 0});
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

// ---- tests

// With the pixel limit lifted, only the data rules (and the 1 GiB cap)
// stand between these files and gigabytes of memory.
TEST(ImageBombs, RefusedWithoutAllocatingForTheClaim) {
  struct Case {
    const char* name;
    Format format;
    Bytes file;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"GIF 20000 x 20000, a few code bytes", Format::Gif, Gif(20000, 20000, 0, 0, kOnePixelCodes),
       "EGIFError"},
      {"GIF 9000 x 9000, no image data", Format::Gif, Gif(9000, 9000, 9000, 9000, {2, 0}),
       "EGIFError"},
      {"GIF 9000 x 9000 screen, 1 x 1 frame", Format::Gif, Gif(9000, 9000, 1, 1, kOnePixelCodes),
       "ESourceTooLarge"},
      {"GIF 65535 x 65535 frame: the cap", Format::Gif, Gif(0xFFFF, 0xFFFF, 0, 0, kOnePixelCodes),
       "EOutOfResources"},
      {"BMP RLE8 15000 x 15000", Format::Bmp, Bmp(15000, 15000, 8, 1, RleRuns()),
       "ESourceTooLarge"},
      {"BMP RLE4 15000 x 15000", Format::Bmp, Bmp(15000, 15000, 4, 2, RleRuns()),
       "ESourceTooLarge"},
      {"BMP RLE8 4000 x 4000, end of bitmap only", Format::Bmp, Bmp(4000, 4000, 8, 1, {0, 1}),
       "ESourceTooLarge"},
      {"BMP 24 bits 15000 x 15000", Format::Bmp, Bmp(15000, 15000, 24, 0, Bytes(1000, 7)),
       "EEndOfData"},
      {"BMP 100000 x 100000: the cap", Format::Bmp, Bmp(100000, 100000, 24, 0, {}),
       "EOutOfResources"},
      {"PNG 15000 x 15000, tiny IDAT", Format::Png, Png(15000, 15000), "EPNGError"},
      {"Targa RLE 15000 x 15000", Format::Targa, Targa(15000, 15000, 10, 24, {0xFF, 1, 2, 3}),
       "EEndOfData"},
      {"Targa raw 15000 x 15000", Format::Targa, Targa(15000, 15000, 2, 24, Bytes(1500, 1)),
       "EEndOfData"},
      {"Targa 65535 x 65535 x 32: the cap", Format::Targa, Targa(0xFFFF, 0xFFFF, 2, 32, {}),
       "EOutOfResources"},
  };
  TImageLimits lifted;
  lifted.max_pixels = std::uint64_t{1} << 40;
  for (const Case& c : cases) {
    EXPECT_LT(c.file.size(), 2048u) << c.name;
    testing::ResetPeakMemory();
    const std::uint64_t before = testing::PeakMemoryBytes();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadError(c.format, c.file, lifted), c.error) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
    EXPECT_LT(testing::PeakMemoryBytes() - before, std::uint64_t{32} << 20) << c.name;
  }
}

// The declared size meets the pixel limit and the size hook in every
// decoder: 100 x 100 passes a limit of 10000 pixels, 101 x 100 does not.
TEST(ImageBombs, PixelLimitIsExactAndTheHookSeesTheSize) {
  for (const Format format : {Format::Gif, Format::Bmp, Format::Png, Format::Targa}) {
    for (const int width : {100, 101}) {
      const testing::Raster raster = testing::MakeBgr24(width, 100, [](int, int) {
        return std::array<std::uint8_t, 3>{0, 0, 0};
      });
      auto encoder = Decoder(format);
      encoder->Assign(raster);
      const Bytes file = testing::SaveToBytes(*encoder);

      TImageLimits limits;
      limits.max_pixels = 10000;
      std::vector<std::pair<int, int>> seen;
      limits.on_size = [&](std::uint32_t w, std::uint32_t h) { seen.emplace_back(w, h); };
      const std::string error = LoadError(format, file, limits);
      const std::string label =
          kNames[static_cast<int>(format)] + std::string(" width ") + std::to_string(width);
      if (width == 100) {
        EXPECT_EQ(error, "(no error)") << label;
        ASSERT_FALSE(seen.empty()) << label;
        EXPECT_EQ(seen.front(), std::make_pair(100, 100)) << label;
      } else {
        EXPECT_EQ(error, "ESourceTooLarge") << label;
        EXPECT_TRUE(seen.empty()) << label;
      }
    }
  }
}

}  // namespace
}  // namespace skalo
