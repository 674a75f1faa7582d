// Truevision Targa (TGA) files. TTargaGraphic is a raster (TBitmap) that
// reads and writes itself as Targa; LoadTarga and SaveTarga do the work.
//
// Reading: image types 1, 2, 3 (colour-mapped, true-colour, gray) and 9, 10,
// 11 (the same, run-length coded); pixel depths 8, 15, 16, 24 and 32, depth
// 15 read as 16. The raster takes the file's layout: Indexed8 (the colour map
// as palette, or 256 gray levels for gray images and files without a map),
// Rgb555, Bgr24, Bgrx32 (the alpha byte kept in the fourth byte). Bit 5 of
// the image descriptor set means the first row stored is the top row. A
// run-length packet may run on into the next row; what it holds beyond the
// last pixel is dropped. The header is not otherwise validated.
//
// Failures: ETargaError for an image type, pixel depth or colour map entry
// size outside the above; ESourceTooLarge for a declared size beyond the
// reading raster's Limits() (CheckDeclared, right after the header);
// EEndOfData for data too short to fill the declared pixels (a run-length
// packet covers at most 128 pixels with 1 + bytes-per-pixel bytes, so a file
// that could not back them is refused before allocating); EOutOfResources
// for a raster above kMaxPixelStoreBytes.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/framework.h"

namespace skalo {

SKALO_DECLARE_EXCEPTION(ETargaError, EGraphicError);

inline constexpr char kTargaImageTypeText[] = "Unsupported Targa image type";
inline constexpr char kTargaPixelDepthText[] = "Unsupported Targa pixel depth";
inline constexpr char kTargaColorMapText[] = "Unsupported Targa color map";
inline constexpr char kTargaTooLargeText[] = "Image too large for Targa";

// Replaces `bitmap` by the Targa image read from the stream's position. On
// failure `bitmap` is unchanged.
void LoadTarga(TStream& stream, TBitmap& bitmap);

// Writes the raster as a run-length coded Targa file: the 18-byte header
// (colour map length 256 and entry size 24 also without a colour map; origin
// at the top left), for 8 bits per pixel a 256-entry colour map of blue,
// green, red, then the rows top first, each coded by itself.
//   Indexed1/4/8   image type 9, depth 8 (indices widened to 8 bits)
//   Rgb555         type 10, depth 16
//   Bgr24, Device  type 10, depth 24
//   Bgrx32         type 10, depth 32
//   Rgb565, Custom type 10, depth 24: widened as into Bgr24, since Targa's
//                  16-bit pixels are 5-5-5 and the words written as they are
//                  would show wrong colours
// An empty raster writes nothing; a side above 65535 raises
// kTargaTooLargeText.
void SaveTarga(const TBitmap& bitmap, TStream& stream);

// Appends the run-length packets of one row of `count` pixels of
// `bytes_per_pixel` bytes to `out`. At each position, d is the number of
// pixels before the first one that equals its right neighbour (all but the
// last when none does, 1 when one pixel is left) and r the number of equal
// pixels starting there, both at most 128: d > 0 writes a raw packet of d
// pixels, otherwise a run packet of r pixels. "A B C C C D" gives raw (A B),
// run (C x 3), raw (D); 300 equal pixels runs of 128, 128 and 44.
void EncodeTargaRow(const std::uint8_t* row, int count, int bytes_per_pixel,
                    std::vector<std::uint8_t>& out);

class TTargaGraphic : public TBitmap {
 public:
  // LoadTarga into this raster; on failure the raster is unchanged.
  void LoadFromStream(TStream& stream) override;
  // SaveTarga of this raster.
  void SaveToStream(TStream& stream) override;
};

}  // namespace skalo
