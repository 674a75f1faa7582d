// TPNGObject: PNG files (ISO/IEC 15948, W3C PNG recommendation) read into a
// TBitmap and written from one, over zlib.
//
// Loading (LoadFromBuffer, LoadFromStream, LoadFromBytes) walks the chunks
// and checks them: signature, IHDR first, CRCs, PLTE, tRNS, gAMA, unknown
// critical chunks, the declared size against Limits() (CheckDeclared, right
// after IHDR) and the image data's capacity (below). The pixels are not
// decoded then: the object keeps the file's bytes (LoadFromBuffer takes the
// vector over, no copy) and the first run of consecutive IDAT chunks as
// spans into them. DecodeRows inflates that run as it goes and delivers the
// rows top to bottom in batches of 16, each batch as soon as it is
// unfiltered and converted, holding a few rows and zlib's window, never the
// picture (interlaced files are decoded into a raster first). Both decode
// over the Backdrop() set when they are called. AssignTo decodes into a
// raster once and keeps it for later calls; DecodeRows after that delivers
// the kept raster's rows (a raster kept for another backdrop is decoded
// anew). Every colour type and bit depth, Adam7 interlacing, the five row
// filters (an unknown filter type leaves the row as it is), gAMA, PLTE and
// tRNS are read. Without a Backdrop() the raster (and the layout DecodeRows
// begins with) keeps the file's exact colours; with one, bg, transparency is
// composited over it:
//   colour type   bit depth   without a backdrop               with one
//   RGB           8, 16       Bgr24                            key pixels bg
//   RGB + alpha   8, 16       Bgr24                            blended
//   palette       1           Indexed1, the file's palette     entries blended
//   palette       2, 4        Indexed4, the file's palette     entries blended
//   palette       8           Indexed8, the file's palette     entries blended
//   gray          1           Indexed1 with 2 gray entries     the key's entry bg
//   gray          2, 4        Indexed4 with 4 or 16 entries    the key's entry bg
//   gray          8           Indexed8 with 256 gray entries   the key's entry bg
//   gray          16          Indexed8 with 256 gray entries   with a key: Bgr24, key pixels bg
//   gray + alpha  8, 16       Indexed8 with 256 gray entries   Bgr24, blended
// Of 16-bit samples only the high byte is used, except against keys. A gAMA
// value v (the last one before PLTE for palette entries, before the first
// IDAT for the rest) maps each colour sample, palette entry and gray entry s
// to round((s / 255) ^ (1 / (v / 100000 * 2.2)) * 255), halves to even;
// alpha and bg are never mapped. Without a backdrop alpha is read but not
// applied (every pixel keeps its colour whatever its alpha), and a single
// transparent colour (tRNS on gray or RGB, or a palette tRNS leaving exactly
// one entry below 255) marks the raster Transparent with that colour as it
// appears in the raster. With one nothing is marked Transparent:
//  - Blended: each gamma-mapped colour c (gray: its level) with its alpha a
//    (a palette entry: its tRNS value, 255 past the chunk's end; 16 bits: the
//    high bytes of colour and alpha) becomes round((c * a + bg * (255 - a)) /
//    255), exact in integers (255 being odd, no result is a half). Opaque
//    pixels keep their colour.
//  - Key (section 11.3.2.1): a pixel whose samples equal the tRNS key at
//    full precision (16 bits for 16-bit images) becomes bg; a key beyond
//    the depth's range matches nothing and changes nothing.
// tRNS is ignored on images with an alpha channel. Unknown ancillary
// chunks are kept, cHRM is dropped; an unknown critical chunk fails.
//
// Failures raise EPNGError with one of the texts below (inflate failures with
// zlib's message appended), ESourceTooLarge for an IHDR size beyond Limits(),
// or EOutOfResources for an image larger than kMaxPixelStoreBytes (in the
// layout of the backdrop set at loading, again when decoding over another
// one). Loading raises all but the image data's: a failed load leaves the
// object holding nothing. The image data's failures (zlib's errors, a stream
// or IDAT run that ends before the last row: kPngMissingPartsText) come from
// DecodeRows and AssignTo, every time they are asked, the object staying as
// loaded; DecodeRows may have delivered rows before the failure. Loading
// already refuses an image whose filtered rows exceed what the first run of
// IDAT chunks can hold (deflate's best ratio, 1032 bytes per byte, plus
// 1024): kPngMissingPartsText. Only that first run is decoded; IDAT chunks
// after another chunk are kept but not read.
//
// Writing (Assign from a TBitmap, then SaveToStream) produces IHDR, PLTE
// (indexed rasters only), tRNS (Transparent rasters only), IDAT and IEND.
// Rasters of fewer than 16 bits per pixel are written as palette images of
// their own depth with 2^depth PLTE entries; all others as 8-bit RGB (16- and
// 32-bit rasters converted as TBitmap converts them into Bgr24). The output
// goes out in IDAT chunks of exactly kPngIdatChunkBytes data bytes, the last
// one holding the non-empty rest; zlib stream, window 15, memory level 8,
// CompressionLevel clamped to 9. An empty raster writes nothing. A loaded
// image is saved as its chunks were read (without cHRM).
//
// Filters and zlib strategy, chosen by measuring 16 pictures (8 photos:
// noisy, smooth, blurred, padded, with text; 8 graphics: text, screenshots,
// icons, patterns, a gradient; 512 x 512 to 3024 x 1608) at level 7, against
// the earlier Sub on every row with the default strategy:
//  - 8-bit RGB: each row gets the filter whose filtered bytes have the least
//    sum of magnitudes as signed bytes (section 12.8), the first of equals.
//  - Palette images: filter None on every row (section 12.8); on 8-bit
//    palette versions of 6 of the pictures 12-20 % smaller than Sub, and the
//    smallest of the five filters and the adaptive choice on 5 of them.
//  - The strategy follows from the RGB rows so filtered: when fewer than 3/4
//    of their bytes are 0 (photos measured 8-66 %, graphics 84-100 %), Z_RLE;
//    otherwise, and for palette images, the default strategy. With the same
//    filters Z_RLE was 5-10 times faster on photos and 9 % smaller (noisy)
//    to 8 % larger (blurred), where on graphics it was up to 3 times larger.
//    Z_FILTERED was smaller still on blurred photos but no faster than the
//    default strategy.
//  - Level 0 (stored blocks, which no filter shrinks): filter None.
// Result: photos 6-15 % smaller (one blurred 2 % larger) in a third to a
// tenth of the time (800 x 600 photo: 910 KB in 52 ms before, 787 KB in
// 18 ms); graphics 2 % smaller in total, from 79 % smaller to 15 % larger
// one by one, in about the same time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/graphic.h"

namespace skalo {

SKALO_DECLARE_EXCEPTION(EPNGError, Exception);

inline constexpr char kPngInvalidHeaderText[] =
    "The file being readed is not a valid \"Portable Network Graphics\" image because it "
    "contains an invalid header. This file may be corruped, try obtaining it again.";
inline constexpr char kPngIhdrNotFirstText[] =
    "This \"Portable Network Graphics\" image is not supported or it might be invalid.\r\n"
    "(IHDR chunk is not the first)";
inline constexpr char kPngIhdrCorruptText[] =
    "The \"Portable Network Graphics\" image could not be loaded because one of its main piece "
    "of data (ihdr) might be corrupted";
inline constexpr char kPngSizeExceededText[] =
    "This \"Portable Network Graphics\" image is not supported because either it's width or "
    "height exceeds the maximum size, which is 65535 pixels length.";
inline constexpr char kPngUnknownCompressionText[] =
    "This \"Portable Network Graphics\" image is encoded with an unknown compression scheme "
    "which could not be decoded.";
inline constexpr char kPngUnknownInterlaceText[] =
    "This \"Portable Network Graphics\" image uses an unknown interlace scheme which could not "
    "be decoded.";
inline constexpr char kPngUnknownCriticalText[] =
    "This \"Portable Network Graphics\" image contains an unknown critical part which could not "
    "be decoded.";
inline constexpr char kPngCrcErrorText[] =
    "This \"Portable Network Graphics\" image is not valid because it contains invalid pieces "
    "of data (crc error)";
inline constexpr char kPngInvalidPaletteText[] =
    "The \"Portable Network Graphics\" image contains an invalid palette.";
inline constexpr char kPngMissingPartsText[] =
    "This \"Portable Network Graphics\" image is invalid because it has missing image parts.";
// Followed by zlib's message.
inline constexpr char kPngInflateErrorText[] =
    "Could not decompress the image because it contains invalid compressed data.\r\n"
    " Description: ";
inline constexpr char kPngNoDataText[] =
    "This \"Portable Network Graphics\" image contains no data.";
inline constexpr char kPngUnexpectedEndText[] =
    "This \"Portable Network Graphics\" image is invalid because the decoder found an "
    "unexpected end of the file.";

// Largest width or height accepted when reading.
inline constexpr std::uint32_t kPngMaxDimension = 65535;
// Default zlib level of the image data.
inline constexpr std::uint8_t kPngDefaultCompressionLevel = 7;
// Data bytes of every IDAT chunk written but the last.
inline constexpr std::size_t kPngIdatChunkBytes = 65535;

// What loading a file found out for decoding it (defined in png.cpp).
struct TPngSource;

class TPNGObject : public TGraphic {
 public:
  TPNGObject();
  ~TPNGObject() override;

  // --- TGraphic ---
  // Loads the stream's rest as LoadFromBuffer does.
  void LoadFromStream(TStream& stream) override;
  // Takes the file's bytes over and checks its chunks (see above).
  void LoadFromBuffer(std::vector<std::uint8_t> bytes) override;
  // Decodes the loaded image data into `consumer` (see above); an assigned
  // or already decoded raster is delivered as it is, an empty object
  // delivers an empty layout.
  void DecodeRows(TRowConsumer& consumer) override;
  // Writes the signature and every chunk; the image data of an assigned
  // raster is compressed now, on every save.
  void SaveToStream(TStream& stream) override;
  // From IHDR; 0 when there is none.
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool Empty() const override { return width_ == 0 || height_ == 0; }
  // Replaces every chunk by those of a new image built from the raster (its
  // pixel store is shared, not copied).
  void Assign(const TBitmap& source) override;
  // Shares the decoded (or assigned) raster with `dest`, decoding it first
  // when it was only loaded; an object without an image gives an empty
  // raster.
  void AssignTo(TBitmap& dest) override;
  // Assign of the colours (as Bgr24) with an opacity for each pixel: `alpha`,
  // an 8-bit raster of the same size, one byte per pixel. Written as 8-bit
  // RGB with alpha (colour type 6). EGraphicError for a mask of another size
  // or depth.
  void AssignWithAlpha(const TBitmap& source, const TBitmap& alpha);

  // Loads a copy of `bytes` as LoadFromBuffer does.
  void LoadFromBytes(std::span<const std::uint8_t> bytes);

  // zlib level 0..9 used when saving; larger values count as 9.
  std::uint8_t CompressionLevel() const noexcept { return compression_level_; }
  void SetCompressionLevel(std::uint8_t level) noexcept { compression_level_ = level; }

  struct Chunk {
    std::string type;  // four letters
    // Into the object's own bytes; valid while the object holds this image.
    std::span<const std::uint8_t> data;
    bool image_data = false;  // IDAT compressed from the raster when saving
  };
  // The chunks in file order, IHDR first (empty for an empty object).
  const std::vector<Chunk>& Chunks() const noexcept { return chunks_; }

 private:
  void Clear() noexcept;
  // True when image_ is what decoding now would give: an assigned raster,
  // or one decoded over the current Backdrop().
  bool KeptRasterCurrent() const;
  void WriteImageData(TStream& stream) const;

  // The loaded file, or the data of the chunks Assign built.
  std::vector<std::uint8_t> bytes_;
  std::vector<Chunk> chunks_;
  int width_ = 0;
  int height_ = 0;
  // What loading found out for decoding; null unless loaded.
  std::unique_ptr<const TPngSource> loaded_;
  // The assigned raster, or the loaded image once AssignTo decoded it.
  std::unique_ptr<TBitmap> image_;
  // The backdrop the loaded image was decoded over into image_.
  std::optional<TColor> image_backdrop_;
  // One opacity byte per pixel of image_, written as RGBA; null: RGB.
  std::unique_ptr<TBitmap> alpha_;
  std::uint8_t compression_level_ = kPngDefaultCompressionLevel;
};

}  // namespace skalo
