// Helpers of the JPEG and PNG tests: rasters as plain RGB, streams as bytes,
// and the independent decoders and encoders (libjpeg's djpeg and cjpeg,
// netpbm, pngcheck) that check our files and make inputs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/graphic.h"

namespace skalo::jpeg_png_test {

using Bytes = std::vector<std::uint8_t>;
using Rgb = std::array<std::uint8_t, 3>;

// Pixels as RGB triples, rows top first.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  const Rgb& At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// The raster's colours (through a Bgr24 copy, which is exact for every format).
Image Colors(const TBitmap& bitmap);
// A Bgr24 raster of the image.
void ToBitmap(const Image& image, TBitmap& out);

Bytes SaveToBytes(TGraphic& graphic);

// A portable anymap (P4, P5 or P6, any maxval) scaled to 8-bit RGB: 16-bit
// samples give their high byte.
std::optional<Image> ParsePnm(const Bytes& file);
Bytes ToPpm(const Image& image);

bool HaveTool(const std::string& tool);
// Runs "tool args" with `input` as a file argument placed where "{}" appears
// in args (or on standard input when there is none); answers standard output,
// or nothing when the tool fails.
std::optional<Bytes> RunTool(const std::string& tool, const std::string& args, const Bytes& input);

// Largest difference of any channel between two images of equal size.
int MaxDifference(const Image& a, const Image& b);

}  // namespace skalo::jpeg_png_test
