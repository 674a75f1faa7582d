// Windows bitmap (BMP) files: the file format of TBitmap.
//
// Reading accepts the "BM" file header with a 12-byte core header or an
// information header of 40 bytes or more; 1, 4, 8, 16, 24 and 32 bits per
// pixel; uncompressed, bit-field and run-length (RLE8, RLE4) data; bottom-up
// and top-down row order. Uncompressed and bit-field files keep their layout
// (Indexed1/4/8 with the file's colour table, Rgb555, Rgb565 or Custom for 16
// bits, Bgr24, Bgrx32 or Custom for 32 bits); run-length files are decoded
// into a Device raster, pixels skipped by a delta staying white.
//
// Failures: EGraphicError "Bitmap image is not valid" for a missing "BM",
// an unknown header size, planes other than 1, or an unsupported depth or
// compression; EEndOfData for data cut short (uncompressed files must hold
// every row); ESourceTooLarge for a size beyond the limits (see LoadBmp);
// EOutOfResources for a raster above kMaxPixelStoreBytes. All are checked
// before the raster is allocated.
#pragma once

#include "imaging/bitmap.h"
#include "imaging/framework.h"

namespace skalo {

inline constexpr char kBmpInvalidText[] = "Bitmap image is not valid";

// Replaces `bitmap` by the BMP read from the stream's position to its end.
// No bytes at all give an empty raster. On failure `bitmap` is unchanged.
// The declared size goes through bitmap.Limits().CheckDeclared; run-length
// data must be able to paint an eighth of the declared pixels (1020 pixels
// per data byte, plus 65536), else ESourceTooLarge.
void LoadBmp(TStream& stream, TBitmap& bitmap);

// Writes the raster as a BMP file with a 40-byte information header, rows
// bottom-up, each padded to 4 bytes:
//   Bgr24, Device  24 bits, no compression, pixels at offset 54
//   Rgb565         16 bits, bit fields $F800/$07E0/$001F after the header,
//                  pixels at offset 66
//   Rgb555         16 bits, no compression
//   Bgrx32         32 bits, no compression
//   Custom         its depth, bit fields with its masks
//   Indexed1/4/8   1/4/8 bits and a colour table of 2^bits entries (the
//                  palette, missing entries black)
// An empty raster is written as the headers with width and height 0.
void SaveBmp(const TBitmap& bitmap, TStream& stream);

}  // namespace skalo
