// Helpers shared by the codec tests: byte building, rasters, and the
// independent image tools (netpbm) that check our files and write inputs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/graphic.h"

namespace skalo::testing {

using Bytes = std::vector<std::uint8_t>;

// Little-endian appenders.
void Put8(Bytes& out, unsigned v);
void Put16(Bytes& out, unsigned v);
void Put32(Bytes& out, std::uint32_t v);
void PutText(Bytes& out, const std::string& text);

// An RGB image, 3 bytes a pixel, rows top first.
struct Rgb {
  int width = 0;
  int height = 0;
  Bytes pixels;

  const std::uint8_t* At(int x, int y) const { return &pixels[3 * (std::size_t(y) * width + x)]; }
};

// Deterministic pseudo-random bytes.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed) {}
  std::uint8_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint32_t state_;
};

// A raster that helpers can return by value: moving shares the pixel store
// (TBitmap::Assign), the source keeps it too.
class Raster : public TBitmap {
 public:
  Raster() = default;
  Raster(Raster&& other) noexcept : TBitmap() { Assign(other); }
};

// A Bgr24 raster whose pixel (x, y) is colour(x, y) as {r, g, b}.
Raster MakeBgr24(int width, int height,
                 const std::function<std::array<std::uint8_t, 3>(int, int)>& colour);
// The raster's pixels as RGB (converted through a Bgr24 copy).
Rgb ToRgb(const TBitmap& bitmap);

// The image as a binary PPM file, and a PPM (P6 or P3) file parsed, samples
// of another maximum scaled to 0..255.
Bytes ToPpm(const Rgb& image);
std::optional<Rgb> ParsePpm(const Bytes& file);

// Saves a graphic into memory; loads one from memory.
Bytes SaveToBytes(TGraphic& graphic);
void LoadFromBytes(TGraphic& graphic, const Bytes& bytes);

// True when the program is on PATH.
bool HaveTool(const std::string& tool);
// Runs "tool args input-file" and answers its standard output; nullopt when
// it fails.
std::optional<Bytes> RunTool(const std::string& tool, const std::string& args, const Bytes& input);

// First pixel where two images differ by more than `tolerance` in any
// component, as "(x, y): got r,g,b want r,g,b"; empty when none does.
std::string FirstDifference(const Rgb& got, const Rgb& want, int tolerance = 0);

}  // namespace skalo::testing
