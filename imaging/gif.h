// TGIFImage: GIF files (GIF87a and GIF89a) as a TGraphic.
//
// Reading decodes the first frame only, into one index byte per pixel; later
// frames are walked over up to the trailer but never decoded, since
// conversion into a TBitmap renders the first frame alone. With a Backdrop()
// the frame's transparent index, and the screen around a smaller frame, show
// the backdrop colour; without one the index keeps its palette colour and the
// screen is white. Assigning a raster makes one frame: indexed rasters keep
// their indices and palette, every other raster is reduced to the 216-colour
// web palette without dithering. Writing produces one LZW-coded image per
// frame, each with its colour map as a local map.
//
// Failures raise EGIFError with the texts below; a file cut inside a
// descriptor or colour map raises kGifPrematureEndText, and so does a first
// frame without image data (none, or codes that give no pixel). Damage that
// leaves the first frame usable (a file cut inside extensions or image data,
// codes that end early, an unknown block, a missing trailer, a frame of size
// 0) is only noted in Warnings() and never stops the work.
//
// Limits, all checked before the frame's indices are allocated: the logical
// screen goes through Limits().CheckDeclared. The first frame may not hold
// more than Limits().max_pixels, and the screen no more than 16 times the
// frame's pixels plus 65536 (the rest of the screen is rendered plain, from
// no data at all), else ESourceTooLarge. The frame may not claim more than
// its LZW data could ever decode to, plus 65536 pixels, else
// kGifPrematureEndText; kMaxPixelStoreBytes caps it (EOutOfResources). The
// indices are touched only as far as the data decodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/graphic.h"

namespace skalo {

SKALO_DECLARE_EXCEPTION(EGIFError, Exception);

inline constexpr char kGifInvalidSignatureText[] = "Invalid GIF signature";
inline constexpr char kGifPrematureEndText[] = "Premature end of data";
inline constexpr char kGifBitBufferUnderrunText[] = "Decoder bit buffer under-run";
inline constexpr char kGifCircularEntryText[] = "Circular decoder table entry";
inline constexpr char kGifUnknownBlockText[] = "Unknown GIF block type";
inline constexpr char kGifInvalidTrailerText[] = "Invalid Image trailer";
inline constexpr char kGifExceedsScreenText[] = "Image exceeds Logical Screen size";
inline constexpr char kGifNoColorTableText[] = "No global or local color table defined";
inline constexpr char kGifColorNotInTableText[] = "Color not in color table";
inline constexpr char kGifInvalidCodeSizeText[] = "Invalid LZW code size";
inline constexpr char kGifImageTooLargeText[] = "Image too large for GIF";

// Graphic control extension (GIF89a, section 23).
struct TGIFGraphicControlExtension {
  std::uint8_t disposal = 0;  // disposal method, 0 to 7
  bool user_input = false;
  bool transparent = false;
  std::uint16_t delay = 0;  // hundredths of a second
  std::uint8_t transparent_index = 0;
};

// A global or local colour map (GIF89a, sections 19 and 21): at most 256
// entries. On disk it takes 2^BitsPerPixel() entries, the missing ones black.
struct TGIFColorMap {
  TPalette colors;
  bool sorted = false;

  bool Empty() const noexcept { return colors.empty(); }
  // The smallest n >= 1 with 2^n >= the number of entries.
  int BitsPerPixel() const noexcept;
};

// One frame: its image descriptor, local colour map, graphic control
// extension and pixels.
struct TGIFSubImage {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;  // as stored in the file; `pixels` are always in row order
  TGIFColorMap color_map;   // the local colour map; empty when the frame has none
  std::optional<TGIFGraphicControlExtension> graphic_control;
  // width * height colour indices, rows top to bottom.
  std::vector<std::uint8_t> pixels;
};

class ByteReader;

class TGIFImage : public TGraphic {
 public:
  TGIFImage() = default;

  // Reads the whole GIF from the stream's position: header, global colour
  // map, every extension and frame up to the trailer, decoding the first
  // frame. A signature may also start 4 bytes into the data; the version is
  // not checked. After a failure the image is empty.
  void LoadFromStream(TStream& stream) override;
  // Writes every frame (see the file comment); an image without frames is
  // written as header, screen descriptor and trailer. An index at or above
  // the size of its frame's colour map raises kGifColorNotInTableText before
  // any byte is written.
  void SaveToStream(TStream& stream) override;

  // The logical screen's size.
  int Width() const override { return screen_width_; }
  int Height() const override { return screen_height_; }
  bool Empty() const override { return frames_.empty(); }

  // Replaces all frames by one frame made from the raster, at (0, 0), with
  // the logical screen of the raster's size. An empty raster leaves no frame
  // and a 0 x 0 screen; a side above 65535 raises kGifImageTooLargeText.
  void Assign(const TBitmap& source) override;
  // Renders the first frame: Indexed8 with the frame's (or else the global)
  // colour map when the frame covers the logical screen, otherwise a white
  // screen-sized Device raster with the frame drawn at its position. No
  // frame gives an empty raster; no colour map raises kGifNoColorTableText.
  void AssignTo(TBitmap& dest) override;
  // Assign, then the pixels whose `alpha` (an 8-bit raster of the same size,
  // one alpha byte per pixel) is below 128 take a transparent index of their
  // own: the first index no visible pixel uses, else a new entry after the
  // colour map's (nothing is transparent when the map is full and used).
  // EGraphicError for a mask of another size or depth.
  void AssignWithAlpha(const TBitmap& source, const TBitmap& alpha);

  // The frames: at most one after a load (the file's first), one after
  // Assign.
  const std::vector<TGIFSubImage>& Images() const noexcept { return frames_; }
  const TGIFColorMap& GlobalColorMap() const noexcept { return global_map_; }
  std::uint8_t BackgroundIndex() const noexcept { return background_index_; }
  // Warnings of the last load, in the order they arose.
  const std::vector<std::string>& Warnings() const noexcept { return warnings_; }

 private:
  void Clear();
  // Reads the first frame's descriptor, colour map and image data (after its
  // separator) and decodes it; `whole` is false when the file ends inside
  // the data.
  TGIFSubImage ReadFirstFrame(ByteReader& r,
                              std::optional<TGIFGraphicControlExtension> graphic_control,
                              bool& whole);

  int screen_width_ = 0;
  int screen_height_ = 0;
  std::uint8_t background_index_ = 0;
  std::uint8_t aspect_ratio_ = 0;
  TGIFColorMap global_map_;
  std::vector<TGIFSubImage> frames_;
  std::vector<std::string> warnings_;
};

// The web palette index of a colour: 36 r + 6 g + b with each level
// (C + 3) div 51, so 0..47 -> 0, 48..98 -> 1, ..., 252..255 -> 5.
constexpr std::uint8_t WebPaletteIndex(std::uint8_t red, std::uint8_t green,
                                       std::uint8_t blue) noexcept {
  return static_cast<std::uint8_t>(36 * ((red + 3) / 51) + 6 * ((green + 3) / 51) +
                                   (blue + 3) / 51);
}

// The colour table of a reduced raster: the 216 web colours (51 r, 51 g,
// 51 b) at index 36 r + 6 g + b, then 40 entries of black.
const TPalette& WebPalette();

}  // namespace skalo
