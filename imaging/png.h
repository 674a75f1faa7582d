// TPNGObject: PNG files (ISO/IEC 15948, W3C PNG recommendation) read into a
// TBitmap and written from one, over zlib.
//
// Reading (LoadFromStream) decodes the whole file at once: every colour type
// and bit depth, Adam7 interlacing, the five row filters, gAMA, PLTE and tRNS.
// The raster keeps the file's exact colours:
//   colour type        bit depth   raster
//   RGB, RGB + alpha   8, 16       Bgr24
//   palette            1           Indexed1, the file's palette
//   palette            2, 4        Indexed4, the file's palette
//   palette            8           Indexed8, the file's palette
//   gray               1           Indexed1 with 2 gray entries
//   gray               2, 4        Indexed4 with 4 or 16 gray entries
//   gray               8, 16       Indexed8 with 256 gray entries
//   gray + alpha       8, 16       Indexed8 with 256 gray entries
// Of 16-bit samples only the high byte is used. Alpha samples are read but not
// applied: every pixel keeps its colour whatever its alpha. A gAMA value v
// maps each colour sample, palette entry and gray entry s to
// round((s / 255) ^ (1 / (v / 100000 * 2.2)) * 255), halves to even. A single
// transparent colour (tRNS on gray or RGB, or a palette tRNS leaving exactly
// one entry below 255) marks the raster Transparent with that colour as it
// appears in the raster. Unknown ancillary chunks are kept, cHRM is dropped;
// an unknown critical chunk fails. Failures raise EPNGError with one of the
// texts below (inflate failures with zlib's message appended),
// ESourceTooLarge for an IHDR size beyond Limits() (CheckDeclared, right
// after IHDR), or EOutOfResources for an image larger than
// kMaxPixelStoreBytes; the object then holds nothing. Before the raster is
// allocated, the filtered rows the image must inflate to are checked
// against what the first run of IDAT chunks can hold (deflate's best ratio,
// 1032 bytes per byte, plus 1024): more raises kPngMissingPartsText.
//
// Writing (Assign from a TBitmap, then SaveToStream) produces IHDR, PLTE
// (indexed rasters only), tRNS (Transparent rasters only), IDAT and IEND.
// Rasters of fewer than 16 bits per pixel are written as palette images of
// their own depth with 2^depth PLTE entries; all others as 8-bit RGB (16-bit
// rasters widened as TBitmap converts them into Bgr24). Every row gets filter
// Sub; rows are deflated as they are produced (zlib stream, window 15, memory
// level 8, CompressionLevel clamped to 9) and the output goes out in IDAT
// chunks of exactly kPngIdatChunkBytes data bytes, the last one holding the
// non-empty rest. An empty raster writes nothing. A loaded image is saved as
// its chunks were read (without cHRM).
#pragma once

#include <cstdint>
#include <memory>
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

class TPNGObject : public TGraphic {
 public:
  TPNGObject();
  ~TPNGObject() override;

  // --- TGraphic ---
  void LoadFromStream(TStream& stream) override;
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
  // Shares the decoded (or assigned) raster with `dest`; an object without an
  // image gives an empty raster.
  void AssignTo(TBitmap& dest) override;

  // Decodes `bytes` as LoadFromStream does.
  void LoadFromBytes(std::span<const std::uint8_t> bytes);

  // zlib level 0..9 used when saving; larger values count as 9.
  std::uint8_t CompressionLevel() const noexcept { return compression_level_; }
  void SetCompressionLevel(std::uint8_t level) noexcept { compression_level_ = level; }

  struct Chunk {
    std::string type;  // four letters
    std::vector<std::uint8_t> data;
    bool image_data = false;  // IDAT compressed from the raster when saving
  };
  // The chunks in file order, IHDR first (empty for an empty object).
  const std::vector<Chunk>& Chunks() const noexcept { return chunks_; }

 private:
  void WriteImageData(TStream& stream) const;

  std::vector<Chunk> chunks_;
  int width_ = 0;
  int height_ = 0;
  std::unique_ptr<TBitmap> image_;
  std::uint8_t compression_level_ = kPngDefaultCompressionLevel;
};

}  // namespace skalo
