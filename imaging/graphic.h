// TGraphic: the interface that every image class offers (the raster and each
// codec). The pipeline uses decoders and encoders only through it, so it never
// needs to know which file format it is handling.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/framework.h"
#include "imaging/limits.h"

namespace skalo {

class TBitmap;
class TCanvas;
class TRowConsumer;
// A colour as $00BBGGRR (imaging/bitmap.h).
using TColor = std::uint32_t;

class TGraphic {
 public:
  TGraphic() = default;
  // Image objects have one owner and are never copied; a raster is shared
  // through TBitmap::Assign instead.
  TGraphic(const TGraphic&) = delete;
  TGraphic& operator=(const TGraphic&) = delete;
  virtual ~TGraphic() = default;

  // Reads the whole file at `path` (8-bit path) and hands it to
  // LoadFromBuffer. A file that cannot be opened raises EFOpenError
  // "Cannot open file ..."; one above Limits().max_file_bytes EFileTooLarge;
  // everything else is LoadFromStream's.
  void LoadFromFile(const std::string& path);

  // The limits the next load is held to (defaults until set). Decoders check
  // the declared size with Limits().CheckDeclared before allocating.
  void SetLimits(TImageLimits limits) { limits_ = std::move(limits); }
  const TImageLimits& Limits() const { return limits_; }

  // The colour transparent pixels of the next decode are composited over
  // (alpha channels, transparent keys, palettes and indices), so colours
  // hidden under transparency never show. Without one, pixels keep their
  // stored colour whatever their transparency.
  void SetBackdrop(std::optional<TColor> color) { backdrop_ = color; }
  const std::optional<TColor>& Backdrop() const { return backdrop_; }

  // Replaces the image by the one read from the stream's current position,
  // in the class's file format. Damaged data raises an exception whose type
  // and text the class chooses; the object then holds nothing usable.
  virtual void LoadFromStream(TStream& stream) = 0;

  // Loads the image from a whole file's bytes, as LoadFromStream does from a
  // stream positioned at the first byte. The default reads them through a
  // memory stream; a class that keeps the compressed bytes takes them over
  // instead of copying them.
  virtual void LoadFromBuffer(std::vector<std::uint8_t> bytes);

  // Delivers the picture's rows top to bottom to `consumer` (imaging/rows.h),
  // in the layout AssignTo would give. The default converts through AssignTo
  // and hands over the raster's rows; a decoder that can decode as it goes
  // delivers each row once it is decoded, without holding the whole picture.
  // Failures as for AssignTo.
  virtual void DecodeRows(TRowConsumer& consumer);

  // Writes the image in the class's file format at the stream's position.
  // Not const: encoders may compress lazily, on the first save.
  virtual void SaveToStream(TStream& stream) = 0;

  // Dimensions in pixels, never negative (a decoder: as its header says).
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // True when the image holds no pixels.
  virtual bool Empty() const = 0;

  // Takes over the raster's pixels (as an encoder input). The raster is not
  // changed; a class that keeps it does so through TBitmap::Assign, which
  // shares the pixel store instead of copying it.
  virtual void Assign(const TBitmap& source) = 0;

  // Delivers the picture as a raster into `dest` (as a decoder output),
  // replacing whatever `dest` held. Not const: decoders may decode lazily and
  // keep the result.
  virtual void AssignTo(TBitmap& dest) = 0;

  // Draws the picture unscaled with its top-left corner at (x, y) of the
  // canvas's raster. The default converts through a temporary TBitmap.
  virtual void Draw(TCanvas& canvas, int x, int y);

 private:
  TImageLimits limits_;
  std::optional<TColor> backdrop_;
};

}  // namespace skalo
