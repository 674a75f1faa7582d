#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "engine/base64.h"
#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "imaging/png.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;

// Source images of every readable format in a private folder.
class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("skalo-pipeline-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "folder.jpg");
    testing::Raster picture = testing::MakeBgr24(400, 300, [](int x, int y) {
      return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                         static_cast<std::uint8_t>(x + y)};
    });
    TJPEGImage jpeg;
    jpeg.Assign(picture);
    Write("photo.JPG", testing::SaveToBytes(jpeg));
    TPNGObject png;
    png.Assign(picture);
    Write("a.png", testing::SaveToBytes(png));
    Write("a.bmp", testing::SaveToBytes(picture));
    Write("a.jpe", testing::SaveToBytes(picture));
    Write("damaged.png", Bytes{0x89, 'P', 'N', 'G', 1, 2, 3});
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // Runs a job; answers the encoded result (empty without one).
  Bytes Run(TSkalo& job, const std::string& name) {
    std::unique_ptr<TGraphic> result;
    job.doResize(result, name.empty() ? std::string() : Path(name));
    if (!result) return {};
    return testing::SaveToBytes(*result);
  }

  fs::path dir_;
};

TEST_F(Pipeline, ValidationOrderAndCodes) {
  struct Case {
    const char* name;
    int width, height;
    bool whitespace;
    int max_width;
    int code;
    const char* text;
  } cases[] = {
      {"", -1, -1, false, -1, 1002, "No filename specified"},
      {"missing.jpg", 100, -1, false, -1, 1005, "The specified file does not exist."},
      {"folder.jpg", 100, -1, false, -1, 1005, "The specified file does not exist."},
      {"a.bmp", -1, -1, true, -1, 1003, "Both width and height are unspecified"},
      {"a.bmp", 100, -1, true, -1, 1004, "Both width and height is needed for whitespace"},
      {"a.bmp", 0, 10, false, -1, 1008, "Width and height must be positive"},
      {"a.bmp", 10, -5, false, -1, 1008, "Width and height must be positive"},
      {"a.bmp", 801, -1, false, 800, 1006, "Maximum allowed size of image exceeded"},
      {"a.jpe", 100, -1, false, -1, 1001, "Invalid filetype when loading"},
      {"damaged.png", 100, -1, false, -1, 2004, "An unknown exception occured."},
  };
  for (const Case& c : cases) {
    TSkalo job;
    job.SetWidth(c.width);
    job.SetHeight(c.height);
    job.SetWhitespace(c.whitespace);
    job.SetMaxWidth(c.max_width);
    EXPECT_TRUE(Run(job, c.name).empty());
    EXPECT_EQ(job.ErrorCode(), c.code) << c.name << " " << c.width << "x" << c.height;
    EXPECT_EQ(job.ErrorText(), c.text) << c.name;
  }
}

TEST_F(Pipeline, LimitsAreInclusiveAndUnsetSidesPass) {
  TSkalo job;
  job.SetMaxWidth(800);
  job.SetWidth(800);
  EXPECT_FALSE(Run(job, "a.bmp").empty());
  EXPECT_EQ(job.ErrorCode(), 0);
  TSkalo tall;
  tall.SetMaxWidth(800);
  tall.SetHeight(5000);
  EXPECT_FALSE(Run(tall, "a.bmp").empty());
  EXPECT_EQ(tall.ErrorCode(), 0);
}

TEST_F(Pipeline, AnOldErrorStopsTheRunAfterValidation) {
  TSkalo job;
  job.SetWidth(50);
  job.SetError(1001, "Invalid filetype when loading");
  EXPECT_TRUE(Run(job, "a.bmp").empty());
  EXPECT_EQ(job.ErrorCode(), 1001);
  EXPECT_EQ(job.OriginalWidth(), 0);
}

TEST_F(Pipeline, ExtensionsChooseDecoderAndEncoder) {
  TSkalo job;
  job.SetWidth(200);
  const Bytes jpeg = Run(job, "photo.JPG");
  EXPECT_EQ(job.ErrorCode(), 0);
  EXPECT_EQ(job.InputExtension(), ".jpg");
  EXPECT_EQ(job.Output(), ".jpg");
  EXPECT_EQ(job.Mime(), "image/jpeg");
  EXPECT_EQ(job.Width(), 200);
  EXPECT_EQ(job.Height(), 150);
  EXPECT_EQ(job.OriginalWidth(), 400);
  EXPECT_EQ(job.OriginalHeight(), 300);
  ASSERT_GE(jpeg.size(), 2u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);

  TSkalo gif;
  gif.SetWidth(20);
  gif.SetOutput(".gif");
  const Bytes g = Run(gif, "a.png");
  EXPECT_EQ(gif.Mime(), "image/gif");
  EXPECT_EQ(std::string(g.begin(), g.begin() + 6), "GIF87a");

  // A backslash after the last dot leaves no extension.
  Write("C:\\my.images\\photo", testing::SaveToBytes(*std::make_unique<TBitmap>()));
  TSkalo odd;
  odd.SetWidth(10);
  Run(odd, "C:\\my.images\\photo");
  EXPECT_EQ(odd.ErrorCode(), 1001);
  EXPECT_EQ(odd.ErrorText(), "Invalid filetype when loading");

  // Output is taken as given: no lower-casing.
  TSkalo upper;
  upper.SetWidth(10);
  upper.SetOutput(".JPG");
  Run(upper, "a.bmp");
  EXPECT_EQ(upper.ErrorCode(), 1001);
  EXPECT_EQ(upper.ErrorText(), "Invalid filetype for output specified");
  EXPECT_EQ(upper.OriginalWidth(), 400);  // the source was loaded before
  EXPECT_EQ(upper.Mime(), "");
}

TEST_F(Pipeline, CompressionSetsJpegQualityAndPngLevel) {
  const auto encode = [&](const char* output, int compression) {
    TSkalo job;
    job.SetWidth(64);
    job.SetOutput(output);
    job.SetCompression(compression);
    std::unique_ptr<TGraphic> result;
    job.doResize(result, Path("a.bmp"));
    return result;
  };
  const auto bytes = [](const std::unique_ptr<TGraphic>& g) { return testing::SaveToBytes(*g); };
  EXPECT_EQ(bytes(encode(".jpg", -1)), bytes(encode(".jpeg", 90)));
  EXPECT_EQ(bytes(encode(".jpg", 75)), bytes(encode(".jpeg", 75)));
  EXPECT_NE(bytes(encode(".jpg", 75)), bytes(encode(".jpg", 90)));
  // The quality is held to 1..100.
  EXPECT_EQ(bytes(encode(".jpg", 300)), bytes(encode(".jpg", 100)));
  EXPECT_EQ(bytes(encode(".jpg", 0)), bytes(encode(".jpg", 1)));
  EXPECT_EQ(bytes(encode(".jpg", -5)), bytes(encode(".jpg", 1)));

  const auto level = [&](int compression) {
    auto result = encode(".png", compression);
    return static_cast<int>(dynamic_cast<TPNGObject&>(*result).CompressionLevel());
  };
  EXPECT_EQ(level(-1), 7);
  EXPECT_EQ(level(100), 0);
  EXPECT_EQ(level(55), 4);
  EXPECT_EQ(level(1), 9);
  EXPECT_EQ(level(0), 9);
  EXPECT_EQ(level(250), 0);
  EXPECT_EQ(level(-2147483647 - 1), 9);
}

TEST_F(Pipeline, RotationComesBeforeTheSizeDecision) {
  TSkalo job;
  job.SetWidth(200);
  job.SetRotation(90);
  job.SetOutput(".bmp");
  const Bytes bmp = Run(job, "a.png");
  EXPECT_EQ(job.ErrorCode(), 0);
  EXPECT_EQ(job.Width(), 200);
  EXPECT_EQ(job.Height(), 266);
  TBitmap back;
  testing::LoadFromBytes(back, bmp);
  EXPECT_EQ(back.Width(), 200);
  EXPECT_EQ(back.Height(), 266);
}

TEST_F(Pipeline, MeasureOnlyWithoutBinary) {
  TSkalo job;
  job.SetProcessBinary(false);
  job.SetOutput(".tif");  // never looked up
  EXPECT_TRUE(Run(job, "a.png").empty());
  EXPECT_EQ(job.ErrorCode(), 0);
  EXPECT_EQ(job.Mime(), "");
  EXPECT_EQ(job.OriginalWidth(), 400);
  EXPECT_EQ(job.OriginalHeight(), 300);
}

TEST_F(Pipeline, XmlDocumentLineByLine) {
  TSkalo job;
  job.SetProcessBinary(false);
  job.SetWidth(200);
  job.SetHeight(200);
  const std::string xml = job.doResizeXML(Path("a.png"));
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<root>\r\n"
            "  <errorcode>0</errorcode>\r\n  <errortext>Success</errortext>\r\n"
            "  <imageinfo>\r\n    <width>200</width>\r\n    <height>150</height>\r\n"
            "    <originalwidth>400</originalwidth>\r\n"
            "    <originalheight>300</originalheight>\r\n    <mime></mime>\r\n"
            "    <filename>a.png</filename>\r\n  </imageinfo>\r\n</root>\r\n");

  TSkalo binary;
  binary.SetWidth(10);
  binary.SetOutput(".bmp");
  const std::string doc = binary.doResizeXML(Path("a.png"));
  TSkalo again;
  again.SetWidth(10);
  again.SetOutput(".bmp");
  const Bytes bmp = Run(again, "a.png");
  EXPECT_NE(doc.find("    <mime>image/bmp</mime>\r\n    <filename>a.png</filename>\r\n"
                     "    <imagedata xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" "
                     "dt:dt=\"bin.base64\">" +
                     Base64Encode(bmp) + "</imagedata>\r\n  </imageinfo>\r\n</root>\r\n"),
            std::string::npos)
      << doc.substr(0, 600);
}

TEST_F(Pipeline, XmlValuesAreEscapedAndFailuresAnswerNothing) {
  fs::copy_file(dir_ / "a.png", dir_ / "a&<b>.png");
  TSkalo job;
  job.SetProcessBinary(false);
  EXPECT_NE(job.doResizeXML(Path("a&<b>.png")).find("<filename>a&amp;&lt;b&gt;.png</filename>"),
            std::string::npos);
  TSkalo failed;
  EXPECT_EQ(failed.doResizeXML(Path("missing.png")), "");
  EXPECT_EQ(failed.ErrorXML(),
            "<root><errorcode>1005</errorcode><errortext>The specified file does not "
            "exist.</errortext></root>");
}

TEST_F(Pipeline, ResetKeepsImageSoASecondRunReadsTheSameFile) {
  TSkalo job;
  job.SetWidth(40);
  Run(job, "a.bmp");
  job.Reset();
  job.SetHeight(30);
  std::unique_ptr<TGraphic> result;
  job.doResize(result, "");
  ASSERT_TRUE(result);
  EXPECT_EQ(job.Width(), 40);
  EXPECT_EQ(job.Height(), 30);
}

TEST_F(Pipeline, TransparentPngIsCompositedOverTheBackgroundColour) {
  // A 64 x 64 RGBA logo: an opaque red disc in a fully transparent black
  // surround, rows unfiltered.
  Bytes rows;
  for (int y = 0; y < 64; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 64; ++x) {
      const std::uint8_t disc = (x - 32) * (x - 32) + (y - 32) * (y - 32) < 20 * 20 ? 255 : 0;
      rows.insert(rows.end(), {disc, 0, 0, disc});
    }
  }
  uLongf deflated_size = compressBound(static_cast<uLong>(rows.size()));
  Bytes deflated(deflated_size);
  ASSERT_EQ(compress(deflated.data(), &deflated_size, rows.data(), static_cast<uLong>(rows.size())),
            Z_OK);
  deflated.resize(deflated_size);
  Bytes file = {137, 'P', 'N', 'G', 13, 10, 26, 10};
  const auto put32 = [&](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      file.push_back(static_cast<std::uint8_t>(v >> shift));
  };
  const auto chunk = [&](const char* type, const Bytes& data) {
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    put32(static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), body.begin(), body.end());
    put32(static_cast<std::uint32_t>(crc32(0L, body.data(), static_cast<uInt>(body.size()))));
  };
  chunk("IHDR", {0, 0, 0, 64, 0, 0, 0, 64, 8, 6, 0, 0, 0});
  chunk("IDAT", deflated);
  chunk("IEND", {});
  Write("logo.png", file);

  const auto corners_and_middle = [&](const std::string& bgcolor) {
    TSkalo job;
    job.SetWidth(32);
    job.SetOutput(".png");
    if (!bgcolor.empty()) job.SetBackgroundColorHTML(bgcolor);
    const Bytes png = Run(job, "logo.png");
    EXPECT_EQ(job.ErrorCode(), 0);
    TPNGObject result;
    testing::LoadFromBytes(result, png);
    TBitmap bitmap;
    result.AssignTo(bitmap);
    const testing::Rgb rgb = testing::ToRgb(bitmap);
    std::vector<std::array<std::uint8_t, 3>> colours;
    for (const auto& [x, y] : {std::pair{0, 0}, {31, 0}, {0, 31}, {31, 31}, {16, 16}})
      colours.push_back({rgb.At(x, y)[0], rgb.At(x, y)[1], rgb.At(x, y)[2]});
    return colours;
  };
  using C = std::array<std::uint8_t, 3>;
  const C blue = {0x33, 0x66, 0x99}, red = {255, 0, 0}, white = {255, 255, 255};
  EXPECT_EQ(corners_and_middle("#336699"), (std::vector<C>{blue, blue, blue, blue, red}));
  // A new job's background colour is white.
  EXPECT_EQ(corners_and_middle(""), (std::vector<C>{white, white, white, white, red}));
}

}  // namespace
}  // namespace skalo
