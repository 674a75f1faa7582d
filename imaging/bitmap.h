// TBitmap: the portable in-memory raster every picture of a resize job
// passes through, with its pixel formats, conversions and the few canvas
// operations the service needs.
//
// Layout. Rows run from row 0 at the top; each row holds Width() pixels in the
// layout of its format (table below) and is padded with zero bytes to a
// multiple of 4 bytes: BytesPerRow() = ((Width * BitsPerPixel + 31) div 32) * 4.
// Step from one row to the next by RowStride(), never by assuming the next
// row's address.
//
//   format    bits  pixel layout
//   Device     24   the display's format; this raster models a 24-bit
//                   display, so the layout is that of Bgr24
//   Indexed1    1   palette index, 8 to a byte, leftmost in the top bit
//   Indexed4    4   palette index, 2 to a byte, leftmost in the high nibble
//   Indexed8    8   palette index
//   Rgb555     16   little-endian word, red 14-10, green 9-5, blue 4-0
//   Rgb565     16   little-endian word, red 15-11, green 10-5, blue 4-0
//   Bgr24      24   blue, green, red bytes
//   Bgrx32     32   blue, green, red, unused (written as 0)
//   Custom  16/32   little-endian word with other channel masks (SetBitFields);
//                   it can be reported, never requested
//
// Colour depth. Widening a 5- or 6-bit component to 8 bits repeats its high
// bits below it (31 -> 255, 63 -> 255, 16 -> 132); narrowing truncates the
// low bits. A palette index with no palette entry reads as black.
//
// Sharing. Assign() shares the pixel store; the store's reference count is
// atomic, so rasters that share a store may live on different threads. The
// first change through either raster (non-const Row(), a conversion, a
// canvas operation, a resize) gives that raster a private copy. One raster
// object must not be used by two threads at once.
//
// Failures are exceptions: EGraphicError "Invalid pixel format" and "Scan
// line index out of range", and EOutOfResources "Out of system resources"
// for a store above kMaxPixelStoreBytes (checked before allocating), in which
// case the raster keeps its previous store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/framework.h"
#include "imaging/graphic.h"

namespace skalo {

// A colour as $00BBGGRR: red in the low byte, green in the second, blue in the
// third. The top byte is ignored.
using TColor = std::uint32_t;
inline constexpr TColor kColorBlack = 0x000000;
inline constexpr TColor kColorWhite = 0xFFFFFF;

constexpr TColor MakeColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) noexcept {
  return TColor{red} | TColor{green} << 8 | TColor{blue} << 16;
}
constexpr std::uint8_t ColorRed(TColor c) noexcept {
  return c & 0xFF;
}
constexpr std::uint8_t ColorGreen(TColor c) noexcept {
  return (c >> 8) & 0xFF;
}
constexpr std::uint8_t ColorBlue(TColor c) noexcept {
  return (c >> 16) & 0xFF;
}

enum class TPixelFormat {
  Device,
  Indexed1,
  Indexed4,
  Indexed8,
  Rgb555,
  Rgb565,
  Bgr24,
  Bgrx32,
  Custom
};

struct TPaletteEntry {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};
// At most kMaxPaletteEntries entries; indices beyond the end read as black.
using TPalette = std::vector<TPaletteEntry>;
inline constexpr std::size_t kMaxPaletteEntries = 256;

// Channel masks of a 16- or 32-bit pixel read as a little-endian word.
struct TBitFields {
  std::uint32_t red = 0;
  std::uint32_t green = 0;
  std::uint32_t blue = 0;
  friend bool operator==(const TBitFields&, const TBitFields&) = default;
};

// Left and top inclusive, right and bottom exclusive.
struct TRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  friend bool operator==(const TRect&, const TRect&) = default;
};

// Failures of the raster layer other than allocation.
SKALO_DECLARE_EXCEPTION(EGraphicError, Exception);
inline constexpr char kInvalidPixelFormatText[] = "Invalid pixel format";
inline constexpr char kScanLineRangeText[] = "Scan line index out of range";

class TBitmap;
// An opacity plane for `picture`: 8 bits a pixel, of its size. Raises
// EGraphicError "Invalid pixel format" otherwise.
void RequireAlphaPlane(const TBitmap& picture, const TBitmap& alpha);

// The standard palettes used when converting into an indexed format:
// black and white; the 16 classic display colours; and a 256-colour halftone
// palette (a 6 x 6 x 6 colour cube at index 36r + 6g + b with levels
// 0, 51, ..., 255, followed by 40 greys). The nearest colour is the entry with
// the least squared RGB distance, the lowest index on ties.
const TPalette& StandardPalette(TPixelFormat indexed_format);

enum class TBrushStyle { Solid, Clear };

class TBrush {
 public:
  TColor Color() const noexcept { return color_; }
  void SetColor(TColor color) noexcept { color_ = color; }
  TBrushStyle Style() const noexcept { return style_; }
  void SetStyle(TBrushStyle style) noexcept { style_ = style; }

 private:
  TColor color_ = kColorWhite;
  TBrushStyle style_ = TBrushStyle::Solid;
};

enum class TFloodFillMode {
  Border,   // fill through pixels whose colour differs from the given one
  Surface,  // fill through pixels of the given colour
};

// Raster operation of a plain copy; the only one Draw performs.
inline constexpr std::int32_t kCopyModeSource = 0x00CC0020;

// Drawing surface of one TBitmap, created by TBitmap::Canvas() and living as
// long as the raster. Colours are matched to the raster's format: the nearest
// palette entry for indexed rasters, truncated components for 16-bit ones.
class TCanvas {
 public:
  explicit TCanvas(TBitmap& owner) : owner_(owner) {}
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TBrush& Brush() noexcept { return brush_; }
  const TBrush& Brush() const noexcept { return brush_; }
  std::int32_t CopyMode() const noexcept { return copy_mode_; }
  void SetCopyMode(std::int32_t mode) noexcept { copy_mode_ = mode; }

  // The whole raster: (0, 0, Width, Height).
  TRect ClipRect() const;

  // Fills the rectangle, clipped to the raster, with the brush colour
  // (nothing with a Clear brush).
  void FillRect(const TRect& rect);

  // Fills with the brush colour the 4-connected region around (x, y): in
  // Border mode the pixels whose colour differs from `color`, in Surface mode
  // the pixels of `color`. A start outside the raster, or on a pixel outside
  // the region, fills nothing.
  void FloodFill(int x, int y, TColor color, TFloodFillMode mode);

  // Copies the whole graphic, unscaled, with its top-left corner at (x, y);
  // pixels outside the raster are dropped and every pixel is converted into
  // the raster's format. An empty graphic draws nothing.
  void Draw(int x, int y, TGraphic& graphic);

 private:
  friend class TBitmap;
  TBitmap& owner_;
  TBrush brush_;
  std::int32_t copy_mode_ = kCopyModeSource;
};

// Reads rows of one raster layout as blue, green, red bytes: the conversion
// SetPixelFormat(TPixelFormat::Bgr24) applies, one row at a time.
class TBgrRowReader {
 public:
  // The layout (format, bit fields, palette) of `layout_of`.
  explicit TBgrRowReader(const TBitmap& layout_of);
  ~TBgrRowReader();
  TBgrRowReader(const TBgrRowReader&) = delete;
  TBgrRowReader& operator=(const TBgrRowReader&) = delete;
  // True when rows are Bgr24 already and Read is a copy.
  bool Identity() const noexcept { return identity_; }
  // Converts the first `width` pixels of `row` into 3 * width bytes at `bgr`.
  void Read(const std::uint8_t* row, int width, std::uint8_t* bgr) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool identity_ = false;
};

class TBitmap : public TGraphic {
 public:
  // An empty raster: 0 x 0, Device format, no canvas, not transparent.
  TBitmap();
  ~TBitmap() override;

  // --- TGraphic ---
  // Reads and writes BMP files (imaging/bmp.h).
  void LoadFromStream(TStream& stream) override;
  void SaveToStream(TStream& stream) override;
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool Empty() const override { return width_ == 0 || height_ == 0; }
  // Shares the source's pixel store, format, palette and transparency. The
  // canvas (brush) of this raster is kept.
  void Assign(const TBitmap& source) override;
  // dest.Assign(*this).
  void AssignTo(TBitmap& dest) override;
  void Draw(TCanvas& canvas, int x, int y) override;

  // Assign from any graphic: a raster is shared, any other graphic converts
  // itself into this raster (TGraphic::AssignTo).
  void Assign(TGraphic& source);

  // --- Size ---
  // Resizes. Pixels inside both the old and the new bounds keep their place
  // relative to the top-left corner; new pixels are white, or the brush
  // colour once the raster has a canvas. While a side is 0 no store exists
  // and the format is kept for later. A negative side raises EGraphicError.
  void SetWidth(int width);
  void SetHeight(int height);
  void SetSize(int width, int height);
  // Replaces the pixels by a new store of the given size whose pixel bytes
  // are unspecified (the row padding is zero), for a writer that sets every
  // pixel itself. Format, palette and transparency are kept.
  void SetSizeForOverwrite(int width, int height);

  // --- Format ---
  TPixelFormat PixelFormat() const noexcept { return format_; }
  // Converts the pixels into `format` (nothing when it is the current one).
  // Into Bgr24 every format converts exactly (16-bit components widened as
  // above). Into Rgb555/Rgb565 components are truncated. Into an indexed
  // format the palette becomes StandardPalette(format) and each pixel its
  // nearest colour, except that a smaller indexed format widens into a larger
  // one keeping its indices and palette. Device and Bgr24 differ only in name.
  // Custom raises EGraphicError "Invalid pixel format", the raster unchanged.
  void SetPixelFormat(TPixelFormat format);
  // Sets a 16- or 32-bit layout with explicit channel masks, converting
  // existing pixels. Masks equal to those of Rgb555, Rgb565 or Bgrx32 give
  // that format; any other set gives Custom. Each mask must be one run of
  // bits (or 0), inside the word, not overlapping another; otherwise
  // EGraphicError "Invalid pixel format".
  void SetBitFields(int bits_per_pixel, const TBitFields& masks);
  // Masks of the current 16- or 32-bit layout; all zero for other formats.
  TBitFields BitFields() const noexcept;
  int BitsPerPixel() const noexcept;

  // --- Pixels ---
  // Bytes of row y, 0 <= y < Height(); any other y raises EGraphicError
  // "Scan line index out of range". The non-const form gives this raster a
  // private store first (copy-on-write); pointers taken earlier from this
  // raster are then stale. Pointers stay valid until the next resize, format
  // change, assignment or copy-on-write.
  std::uint8_t* Row(int y);
  const std::uint8_t* Row(int y) const;
  // Read-only access that never copies, also on a non-const raster.
  const std::uint8_t* ConstRow(int y) const { return Row(y); }
  // Signed distance in bytes from row y to row y + 1.
  std::ptrdiff_t RowStride() const noexcept { return static_cast<std::ptrdiff_t>(row_bytes_); }
  // Bytes of one row including its padding (0 while the raster is empty).
  std::size_t BytesPerRow() const noexcept { return row_bytes_; }

  // --- Palette ---
  // The colour table (empty for non-indexed rasters unless one was set).
  const TPalette& Palette() const noexcept;
  // Replaces the colour table; pixels keep their indices. More than
  // kMaxPaletteEntries entries raise EGraphicError. Set the format first:
  // choosing an indexed format installs its standard palette.
  void SetPalette(TPalette palette);

  // --- Transparency (set by decoders, read by encoders) ---
  bool Transparent() const noexcept { return transparent_; }
  void SetTransparent(bool value) noexcept { transparent_ = value; }
  TColor TransparentColor() const noexcept { return transparent_color_; }
  void SetTransparentColor(TColor color) noexcept { transparent_color_ = color; }

  // --- Canvas ---
  // The canvas, created on first use.
  TCanvas& Canvas();
  bool HasCanvas() const noexcept { return canvas_ != nullptr; }

 private:
  friend class TCanvas;
  friend class TBgrRowReader;
  struct Layout;

  Layout CurrentLayout() const noexcept;
  // Gives this raster a store of its own (copy when shared).
  void MakeUnique();
  // Replaces the store by one of the new size in the current layout.
  void Reallocate(int width, int height);
  // Converts the pixels into a new layout (format, masks).
  void Convert(TPixelFormat format, int bits, const TBitFields& masks);
  // Colour of new pixels: white, or the brush's once a canvas exists.
  TColor FillColor() const noexcept;
  void CheckRow(int y) const;
  void CopyPixelsFrom(const TBitmap& source, int x, int y);

  int width_ = 0;
  int height_ = 0;
  TPixelFormat format_ = TPixelFormat::Device;
  int custom_bits_ = 0;      // 16 or 32 when format_ is Custom
  TBitFields custom_masks_;  // masks when format_ is Custom
  std::size_t row_bytes_ = 0;
  // The pixel bytes; null while a side is 0. Shared between rasters, never
  // written while shared.
  std::shared_ptr<std::uint8_t[]> store_;
  // Immutable once shared; replaced, never changed in place.
  std::shared_ptr<const TPalette> palette_;
  bool transparent_ = false;
  TColor transparent_color_ = 0;
  std::unique_ptr<TCanvas> canvas_;
};

}  // namespace skalo
