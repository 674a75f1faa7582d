// Transparent sources: laid on the background colour, or kept see-through
// in PNG and GIF results when the job asks for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;

// A 64 x 64 logo: a red disc with a soft edge on a fully transparent (and
// black underneath) surround, as an RGBA PNG made by netpbm.
class Transparency : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("skalo-transparency-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::string ppm = "P6\n64 64\n255\n", pgm = "P5\n64 64\n255\n";
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        const double d = std::hypot(x - 31.5, y - 31.5);
        const int a = d < 20 ? 255 : d > 24 ? 0 : static_cast<int>((24 - d) / 4 * 255);
        ppm += a ? std::string("\xff\x00\x00", 3) : std::string(3, '\0');
        pgm += static_cast<char>(a);
      }
    std::ofstream(dir_ / "logo.ppm", std::ios::binary) << ppm;
    std::ofstream(dir_ / "alpha.pgm", std::ios::binary) << pgm;
    ready_ = Shell("pnmtopng -alpha=alpha.pgm logo.ppm > logo.png");
  }
  void TearDown() override { fs::remove_all(dir_); }

  bool Shell(const std::string& command) {
    const std::string line = "cd '" + dir_.string() + "' && " + command + " 2>/dev/null";
    return std::system(line.c_str()) == 0;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs a 32-pixel-wide job on the logo; writes the result to out.EXT.
  std::string Run(const std::string& output, bool keep, const char* bgcolor) {
    TSkalo job;
    job.SetWidth(32);
    job.SetHeight(-1);
    job.SetCompression(-1);
    job.SetMaxWidth(-1);
    job.SetMaxHeight(-1);
    job.SetProcessBinary(true);
    job.SetOutput(output);
    job.SetKeepTransparency(keep);
    job.SetBackgroundColorHTML(bgcolor);
    std::unique_ptr<TGraphic> result;
    job.doResize(result, (dir_ / "logo.png").string());
    EXPECT_EQ(job.ErrorCode(), 0) << job.ErrorText();
    if (!result) return {};
    const testing::Bytes bytes = testing::SaveToBytes(*result);
    std::ofstream(dir_ / ("out" + output), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return std::string(bytes.begin(), bytes.end());
  }

  // Pixels of a binary PNM or PAM written by netpbm (header of 3 or 7 lines).
  static std::string Pixels(const std::string& pnm, int header_lines) {
    std::size_t at = 0;
    for (int i = 0; i < header_lines; ++i)
      at = pnm.find('\n', at) + 1;
    return pnm.substr(at);
  }

  fs::path dir_;
  bool ready_ = false;
};

TEST_F(Transparency, KeptSeeThroughInPngAndGif) {
  if (!ready_) GTEST_SKIP() << "netpbm is not installed";
  // PNG: the alpha channel as an independent decoder reads it.
  Run(".png", true, "#336699");
  ASSERT_TRUE(Shell("pngtopam -alphapam out.png > out.pam"));
  const std::string rgba = Pixels(Read("out.pam"), 7);
  ASSERT_EQ(rgba.size(), 32u * 32 * 4);
  auto at = [&](int x, int y, int c) {
    return static_cast<unsigned char>(rgba[4 * (32 * y + x) + c]);
  };
  EXPECT_EQ(at(0, 0, 3), 0) << "the corner is see-through";
  EXPECT_EQ(at(16, 16, 3), 255);
  EXPECT_EQ(at(16, 16, 0), 255);
  // On the soft edge the colour stays red: resampled premultiplied, the
  // black under the transparency does not darken it.
  bool edge = false;
  for (int x = 0; x < 32; ++x)
    if (at(x, 16, 3) > 20 && at(x, 16, 3) < 235) {
      edge = true;
      EXPECT_GE(at(x, 16, 0), 235) << "x " << x;
      EXPECT_LE(at(x, 16, 1), 20) << "x " << x;
    }
  EXPECT_TRUE(edge);

  // GIF: the corner takes the transparent index, the middle stays red.
  Run(".gif", true, "#336699");
  ASSERT_TRUE(Shell("giftopnm -alphaout=mask.pbm out.gif > out.ppm"));
  // A bitmap of 4 bytes a row: the corner's bit and the middle's differ.
  const std::string mask = Pixels(Read("mask.pbm"), 2);
  ASSERT_EQ(mask.size(), 32u * 4);
  const bool corner = (mask[0] & 0x80) != 0, middle = (mask[16 * 4 + 2] & 0x80) != 0;
  EXPECT_NE(corner, middle);
  const std::string rgb = Pixels(Read("out.ppm"), 3);
  EXPECT_EQ(static_cast<unsigned char>(rgb[3 * (32 * 16 + 16)]), 255) << "the middle stays red";
}

TEST_F(Transparency, LaidOnTheBackgroundOtherwise) {
  if (!ready_) GTEST_SKIP() << "netpbm is not installed";
  // Without the setting, and for a JPEG result even with it: no alpha, the
  // corner shows the background.
  for (auto [output, keep] : {std::pair{".png", false}, std::pair{".jpg", true}}) {
    Run(output, keep, "#336699");
    const std::string tool = std::string(output) == ".png" ? "pngtopnm" : "djpeg -pnm";
    ASSERT_TRUE(Shell(tool + " out" + output + " > flat.ppm"));
    const std::string rgb = Pixels(Read("flat.ppm"), 3);
    ASSERT_EQ(rgb.size(), 32u * 32 * 3);
    const int tolerance = keep ? 12 : 0;  // JPEG's own error on a flat corner
    EXPECT_NEAR(static_cast<unsigned char>(rgb[0]), 0x33, tolerance) << output;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[1]), 0x66, tolerance) << output;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[2]), 0x99, tolerance) << output;
  }
  // An opaque source keeps today's bytes with the setting on.
  ASSERT_TRUE(Shell("pnmtopng logo.ppm > logo.png"));
  EXPECT_EQ(Run(".png", true, "#336699"), Run(".png", false, "#336699"));
}

}  // namespace
}  // namespace skalo
