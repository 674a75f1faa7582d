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
// red straight into the rows). Grayscale files decode through the library's
// one-pass quantizer into Indexed8 with kJpegGrayLevels gray entries (Floyd-
// Steinberg dithering; entry 0 is black, the last white). Four-component
// files (CMYK, YCCK) are converted to Bgr24 taking the samples as
// Adobe-style inverted CMYK (each sample 255 minus the ink), as common viewers
// do: red = C' * K' / 255 of the stored samples, and so on. Parameters: scale
// 1/1, block smoothing, floating-point inverse DCT, fancy upsampling. A file
// that ends early decodes without error, the library filling the rest.
//
// Encoding (Compress, or SaveToStream without compressed data): a baseline
// JFIF file from the raster converted to Bgr24, with the library's default
// tables scaled by jpeg_set_quality(quality, force baseline) and the
// floating-point forward DCT. An empty raster (or none) compresses to zero
// bytes.
//
// Failures. Every fatal library error raises EJPEG "JPEG error #<code>", the
// code being the library's message code (jerror.h): for example 42 for empty
// input when converting, 53 for bytes that do not start like a JPEG when
// loading. Library warnings are ignored. A raster too large for
// kMaxPixelStoreBytes raises EOutOfResources before anything is allocated.
#pragma once

#include <cstdint>
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
// Palette size of a decoded grayscale JPEG.
inline constexpr int kJpegGrayLevels = 236;

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

  // Shares the other object's compressed data, header, raster and quality.
  void Assign(const TJPEGImage& source);

  // Replaces the content by `bytes`, as LoadFromStream does.
  void LoadFromBytes(std::vector<std::uint8_t> bytes);
  // The compressed data: the whole JPEG file, or empty when there is none
  // (call Compress first to encode an assigned raster). Valid until the next
  // load, assign or compress.
  const std::vector<std::uint8_t>& Data() const noexcept;
  const TJPEGHeader& Header() const noexcept { return header_; }

  // Encodes the raster into new compressed data (EJPEG on a library failure,
  // the data then incomplete). Without a raster, or with an empty one, the
  // data becomes empty.
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
// converted as inverted CMYK. Failures as for TJPEGImage: EJPEG with the
// library's code, EOutOfResources for an oversized raster.
void DecodeJpegToBitmap(std::span<const std::uint8_t> tables, std::span<const std::uint8_t> data,
                        TBitmap& out, bool rgb_components);

}  // namespace skalo
