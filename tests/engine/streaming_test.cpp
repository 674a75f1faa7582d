// Resizing from the decoder's rows as they arrive gives the bytes that
// resizing the whole decoded raster gives, for every kind of source.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/skalo.h"
#include "imaging/graphic.h"
#include "tests/imaging/codec_test_util.h"

namespace skalo {
namespace {

namespace fs = std::filesystem;

// A photo-like picture (smooth shapes, edges and grain) as a PPM or PGM,
// with 8- or 16-bit samples.
std::string PhotoPnm(int w, int h, bool gray, int maxval) {
  std::mt19937 rng(7);
  std::string out = (gray ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) + "\n" +
                    std::to_string(maxval) + "\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < (gray ? 1 : 3); ++c) {
        double v = 0.5 + 0.3 * std::sin(x * 0.031 * (c + 1) + y * 0.017) +
                   0.2 * std::cos(std::hypot(x - w / 3.0, y - h / 2.0) * 0.05);
        if ((x / 40 + y / 30) % 5 == 0) v = 1 - v;  // hard edges
        v += (static_cast<int>(rng() % 21) - 10) / 400.0;
        const auto s = static_cast<unsigned>(std::lround(std::clamp(v, 0.0, 1.0) * maxval));
        if (maxval > 255) out += static_cast<char>(s >> 8);
        out += static_cast<char>(s & 0xFF);
      }
  return out;
}

class Streaming : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("skalo-streaming-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  // Runs `command` with the folder as working directory; false when the tool
  // is missing or fails.
  bool Shell(const std::string& command) {
    const std::string line = "cd '" + dir_.string() + "' && " + command + " 2>/dev/null";
    return std::system(line.c_str()) == 0;
  }

  struct Answer {
    testing::Bytes bytes;
    int width = 0, height = 0, code = 0;
  };
  Answer Run(const std::string& source, const std::string& query, bool streaming, bool pipe) {
    TSkalo job;
    job.SetWidth(-1);
    job.SetHeight(-1);
    job.SetCompression(-1);
    job.SetMaxWidth(-1);
    job.SetMaxHeight(-1);
    job.SetProcessBinary(true);
    job.SetProcessEXIF(false);
    job.SetAutoRotate(true);
    job.SetStreaming(streaming);
    job.SetPipelining(pipe);
    // width height whitespace rotation output bgcolor
    int w, h, pad, rotation;
    char output[8] = {}, color[8] = {};
    std::sscanf(query.c_str(), "%d %d %d %d %7s %7s", &w, &h, &pad, &rotation, output, color);
    job.SetWidth(w);
    job.SetHeight(h);
    job.SetWhitespace(pad != 0);
    job.SetRotation(rotation);
    job.SetOutput(output);
    job.SetBackgroundColorHTML(color);
    std::unique_ptr<TGraphic> result;
    job.doResize(result, Path(source));
    Answer a;
    a.code = job.ErrorCode();
    a.width = job.Width();
    a.height = job.Height();
    if (result) a.bytes = testing::SaveToBytes(*result);
    return a;
  }

  fs::path dir_;
};

TEST_F(Streaming, GivesTheBytesOfTheRasterPath) {
  Write("photo.ppm", PhotoPnm(643, 481, false, 255));
  Write("photo16.ppm", PhotoPnm(401, 333, false, 65535));
  Write("gray.pgm", PhotoPnm(517, 389, true, 255));
  struct Tool {
    const char* name;
    const char* command;
  } tools[] = {
      {"420.jpg", "cjpeg -quality 85 photo.ppm > 420.jpg"},
      {"444.jpg", "cjpeg -quality 92 -sample 1x1 photo.ppm > 444.jpg"},
      {"gray.jpg", "cjpeg -quality 85 gray.pgm > gray.jpg"},
      {"progressive.jpg", "cjpeg -progressive photo.ppm > progressive.jpg"},
      {"photo.png", "pnmtopng photo.ppm > photo.png"},
      {"photo16.png", "pnmtopng photo16.ppm > photo16.png"},
      {"gray.png", "pnmtopng -interlace gray.pgm > gray.png"},
      {"photo.bmp", "ppmtobmp photo.ppm > photo.bmp"},
      {"photo.gif", "pamdepth 5 photo.ppm | ppmtogif > photo.gif"},
      {"photo.tif", "pnmtotiff photo.ppm > photo.tif"},
  };
  std::vector<std::string> sources;
  for (const Tool& t : tools) {
    if (Shell(t.command))
      sources.push_back(t.name);
    else
      ADD_FAILURE() << "could not prepare " << t.name << " (netpbm and libjpeg-turbo-progs)";
  }
  // Width Height Whitespace Rotation Output bgcolor.
  const char* queries[] = {
      "200 -1 0 0 .jpg #000000", "-1 150 0 0 .png #000000",  "120 90 1 0 .jpg #336699",
      "97 300 1 0 .bmp #ffffff", "300 -1 0 30 .jpg #ff0000", "700 -1 0 0 .jpg #000000",
      "5 5 0 0 .png #000000",
  };
  for (const std::string& source : sources)
    for (const char* query : queries) {
      const Answer raster = Run(source, query, false, false);
      SCOPED_TRACE(source + " " + query);
      EXPECT_EQ(raster.code, 0);
      EXPECT_FALSE(raster.bytes.empty());
      for (bool pipe : {false, true}) {
        const Answer streamed = Run(source, query, true, pipe);
        EXPECT_EQ(streamed.code, raster.code) << "pipe " << pipe;
        EXPECT_EQ(streamed.width, raster.width) << "pipe " << pipe;
        EXPECT_EQ(streamed.height, raster.height) << "pipe " << pipe;
        EXPECT_TRUE(streamed.bytes == raster.bytes) << "pipe " << pipe;
      }
    }
}

}  // namespace
}  // namespace skalo
