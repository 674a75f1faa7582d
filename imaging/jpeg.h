// TJPEGImage: a JPEG file held as compressed bytes, decoded into a TBitmap on
// demand and compressed from one with a chosen quality. The coding is done by
// libjpeg (6b interface); this class fixes the library parameters, the pixel
// hand-over and the error behaviour.
//
// Data. The compressed bytes are shared between objects assigned from one
// another (reference-counted, never changed in place). Loading reads only the
// header (size, colour space, scans); the pixels are decoded on the first
// conversion into a TBitmap and the raster is kept for later conversions.
//
// Decoding. Colour files decode into Bgr24 (the library writes blue, green,
// red straight into the rows). Grayscale files decode into Indexed8 over a
// palette of all kJpegGrayLevels gray levels (entry i is level i), so every
// sample keeps its exact value. Four-component
// files (CMYK, YCCK) are converted to Bgr24 taking the samples as
// Adobe-style inverted CMYK (each sample 255 minus the ink), as common viewers
// do: red = C' * K' / 255 of the stored samples, and so on. Parameters: scale
// 1/1, block smoothing, floating-point inverse DCT, fancy upsampling. A file
// that ends early decodes without error, the library filling the rest.
//
// Limits. Loading checks the header's size with Limits().CheckDeclared
// (ESourceTooLarge above max_pixels, then the on_size hook), and decoding
// checks it again before the library allocates: a file that claims a huge
// picture costs nothing however little data follows. A file of more than
// kJpegMaxScans scans stops with ESourceTooLarge while its scans are read,
// since each scan may cost a pass over the whole picture. The library's own
// memory (the coefficients of multi-scan files) is capped at
// kMaxPixelStoreBytes.
//
// Encoding (Compress, or SaveToStream without compressed data): a baseline
// JFIF file from the raster converted to Bgr24, with the library's default
// tables scaled by jpeg_set_quality(quality, force baseline) and the
// floating-point forward DCT. An empty raster (or none) compresses to zero
// bytes. The compressed data is replaced only once the whole file is
// written: a failed encoding leaves it as it was and raises the error.
//
// Failures. Every fatal library error raises EJPEG "JPEG error #<code>", the
// code being the library's message code (jerror.h): for example 42 for empty
// input when converting, 53 for bytes that do not start like a JPEG when
// loading. Library warnings are ignored. A raster too large for
// kMaxPixelStoreBytes raises EOutOfResources before anything is allocated.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/framework.h"
#include "imaging/graphic.h"

namespace skalo {

SKALO_DECLARE_EXCEPTION(EJPEG, Exception);

// Default compression quality of every new object.
inline constexpr std::uint8_t kJpegDefaultQuality = 90;
// Palette size of a decoded grayscale JPEG: every 8-bit level.
inline constexpr int kJpegGrayLevels = 256;
// Most scans a file may have. Ordinary progressive files have about ten; a
// file of thousands of tiny scans would make each one a pass over the whole
// picture.
inline constexpr int kJpegMaxScans = 500;

// Facts read from the file's header when it is loaded.
struct TJPEGHeader {
  int width = 0;
  int height = 0;
  int components = 0;
  bool grayscale = false;    // one-component (grayscale) colour space
  bool progressive = false;  // more than one scan
};

class TJPEGImage : public TGraphic {
 public:
  TJPEGImage();
  ~TJPEGImage() override;

  // --- TGraphic ---
  // Reads every remaining byte of the stream as the compressed data and, when
  // there is at least one byte, reads the header (EJPEG on a bad header; the
  // object then holds nothing). Any decoded raster is dropped.
  void LoadFromStream(TStream& stream) override;
  // Compresses first when there is no compressed data, then writes the
  // compressed bytes unchanged (none for an empty image).
  void SaveToStream(TStream& stream) override;
  // The decoded or assigned raster's size when there is one, else the header's.
  int Width() const override;
  int Height() const override;
  // True when there is neither compressed data nor a non-empty raster.
  bool Empty() const override;
  // Drops the compressed data and keeps a shared copy of the raster.
  void Assign(const TBitmap& source) override;
  // Decodes the compressed data once (EJPEG on damaged data) and shares the
  // raster with `dest`: Bgr24, or Indexed8 with a gray palette.
  void AssignTo(TBitmap& dest) override;
  // Takes the bytes over as the compressed data (LoadFromBytes).
  void LoadFromBuffer(std::vector<std::uint8_t> bytes) override;
  // Delivers the raster's rows when there is one; otherwise decodes the
  // compressed data batch by batch into the same layout AssignTo gives,
  // holding no more than one batch of rows (the library's own buffers aside:
  // a multi-scan file keeps its coefficients). Nothing is kept afterwards.
  void DecodeRows(TRowConsumer& consumer) override;

  // Shares the other object's compressed data, header, raster and quality.
  void Assign(const TJPEGImage& source);

  // Replaces the content by `bytes`, as LoadFromStream does.
  void LoadFromBytes(std::vector<std::uint8_t> bytes);
  // The compressed data: the whole JPEG file, or empty when there is none
  // (call Compress first to encode an assigned raster). Valid until the next
  // load, assign or compress.
  const std::vector<std::uint8_t>& Data() const noexcept;
  const TJPEGHeader& Header() const noexcept { return header_; }

  // Encodes the raster into new compressed data. On a library failure
  // (EJPEG) or a refused allocation the data stays as it was. Without a
  // raster, or with an empty one, the data becomes empty.
  void Compress();

  // Quality 1..100 used by Compress; 0 counts as 1 and above 100 as 100.
  std::uint8_t CompressionQuality() const noexcept { return quality_; }
  void SetCompressionQuality(std::uint8_t quality) noexcept { quality_ = quality; }

 private:
  void Decode();

  std::shared_ptr<const std::vector<std::uint8_t>> data_;
  TJPEGHeader header_;
  std::unique_ptr<TBitmap> bitmap_;  // decoded or assigned raster
  std::uint8_t quality_ = kJpegDefaultQuality;
};

// Decodes one JPEG stream into a Bgr24 raster, for readers that embed JPEG
// data (TIFF compression 7). `tables` is a tables-only (abbreviated) stream
// (SOI, DQT/DHT segments, EOI; TIFF tag 347) read before `data`, or empty;
// `data` is the stream itself, possibly without tables of its own.
// `rgb_components` declares the three components to be RGB rather than YCbCr
// (TIFF photometric RGB, where the file carries no marker saying so).
// One-component streams are expanded to gray Bgr24 and four-component ones
// converted as inverted CMYK. The declared size is checked with
// limits.CheckDeclared before anything is allocated for it. Failures as for
// TJPEGImage: EJPEG with the library's code, ESourceTooLarge, EOutOfResources
// for an oversized raster.
void DecodeJpegToBitmap(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                        TBitmap& out, bool rgb_components, const TImageLimits& limits = {});

// A stream's frame as its header declares it.
struct TJPEGFrame {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Rows of one MCU row: 8 times the largest vertical sampling factor. A
  // writer that pads a picture pads it to a multiple of this.
  std::uint32_t mcu_height = 8;
};

// Decodes only the top `rows` rows of an embedded stream into a Bgr24 raster
// of that many rows, as DecodeJpegToBitmap does otherwise; the library stops
// there. `check` sees the declared frame right after the header, before
// anything is allocated for it, and throws to refuse it (the reader's
// pixel limit does not apply: the frame is a strip of a picture the reader
// has checked, and `check` holds it to that strip). `rows` 0, or a frame of
// fewer than `rows` rows that `check` lets pass, raises EJPEG.
void DecodeJpegRows(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                    TBitmap& out, bool rgb_components, std::uint32_t rows,
                    const std::function<void(const TJPEGFrame&)>& check);

}  // namespace skalo
