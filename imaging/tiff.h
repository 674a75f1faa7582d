// TTIFFGraphic: a read-only TIFF 6.0 reader. Once loaded the object simply is
// a raster (it derives from TBitmap), so the pipeline's working raster shares
// its pixels through Assign.
//
// What is read:
// - byte order "II" or "MM", version 42, the first image (first directory)
//   only; width and height must be non-zero;
// - compression 1 (none), 32773 (PackBits), 5 (LZW, also its old form),
//   2 (CCITT modified Huffman), 32771 (the same, rows word-aligned),
//   3 (CCITT Group 3, one- and two-dimensional), 8 and 32946 (Deflate),
//   7 (JPEG with JPEGTables) and 32809 (ThunderScan). Every other value
//   fails, Group 4 (4) and old-style JPEG (6) among them;
// - strips (one strip when RowsPerStrip is absent), or tiles when TileWidth
//   and TileLength are present (of any size, not only multiples of 16; edge
//   tiles clipped; listed in TileOffsets, or in StripOffsets when that is
//   absent), with every compression above; planar configuration 1 and
//   2, FillOrder 2, horizontal differencing (predictor 2) of 8- and 16-bit
//   samples in PackBits, LZW and Deflate data. The floating-point predictor
//   (3) fails;
// - photometric white-is-zero, black-is-zero, RGB, palette, CMYK, YCbCr and
//   CIE L*a*b*, colour converted into blue, green, red order.
//
// Raster format, from the samples after conversion (CMYK, YCbCr and L*a*b*
// become three samples; extra samples count as they are):
//   one sample of 1 bit          Indexed1
//   one sample of 2 to 4 bits    Indexed4
//   one sample of 8 to 16 bits   Indexed8 (also with extra samples, which
//                                are dropped, e.g. gray and alpha)
//   three samples of <= 5 bits   Rgb555
//   three samples of more bits   Bgr24
//   four samples of >= 8 bits    Bgrx32 (the fourth byte holds the extra
//                                sample, e.g. alpha, reduced to 8 bits)
// Palette images keep the file's colour map (16-bit entries reduced to 8
// bits) and so must have at most 8 bits; gray images get a gray palette
// (inverted for white-is-zero). Indices are the file's sample values; samples
// of more than 8 bits are reduced to their top 8 bits (16-bit samples to
// their high byte, in either byte order). JPEG strips and tiles hold one or
// three samples of 8 bits. Any other combination raises ETIFFError "Invalid
// pixel format".
//
// Limits: the size of the first directory is checked with
// Limits().CheckDeclared (ESourceTooLarge, then the on_size hook) before
// anything else is read. No strip or tile may then decode to more than its
// bytes can hold at its coding's best ratio, checked before any buffer
// exists. A tile's rows inside the image may hold no more pixels than the
// picture or 2^20, and tiles wider than the picture may not make the decoded
// rows hold more pixels than the pixel limit or twice the picture
// (ESourceTooLarge); one tile's buffer is allocated besides the picture's. A
// JPEG strip or tile must declare its width and rows, the rows padded at most
// to its MCU height (the last strip may declare the full RowsPerStrip, a tile
// always declares TileLength); ESourceTooLarge for more. Decoding stops after
// the rows inside the image. Strips and tiles that share their bytes are
// decoded once and copied.
//
// Failures: a damaged or unsupported file raises ETIFFError with a message
// naming the problem (errors of the JPEG decoder and of the raster included),
// a size beyond the limits ESourceTooLarge, a size above the allocation cap
// EOutOfResources; the object is then an empty raster. Every offset and byte
// count is checked against the file before use, and no buffer is allocated
// before the declared sizes have been checked against the cap and against the
// strip or tile data present.
#pragma once

#include <cstdint>
#include <span>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/limits.h"

namespace skalo {

// An EGraphicError, as "Invalid pixel format" is wherever it is raised.
SKALO_DECLARE_EXCEPTION(ETIFFError, EGraphicError);

class TTIFFGraphic : public TBitmap {
 public:
  TTIFFGraphic() = default;

  // Reads the TIFF file that starts at the stream's position, to the
  // stream's end.
  void LoadFromStream(TStream& stream) override;
  // TIFF is never written: raises ETIFFError.
  void SaveToStream(TStream& stream) override;
};

// Decodes the first image of a whole TIFF file held in memory into `out`
// (what LoadFromStream does after reading the stream, with its Limits()).
void DecodeTiff(std::span<const std::uint8_t> file, TBitmap& out, const TImageLimits& limits = {});

}  // namespace skalo
