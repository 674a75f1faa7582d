// Pictures handed over row by row. A decoder reads its header (size, limits),
// then delivers its rows top to bottom to a TRowConsumer, which may use each
// row as it arrives (the resampler's horizontal pass does) instead of waiting
// for a whole raster.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/bitmap.h"

namespace skalo {

// The size of a picture and the layout of its rows: `sample` carries the
// pixel format, palette and bit fields every row is laid out in (as a row of
// a TBitmap of that format); its own size does not matter.
struct TRowLayout {
  int width = 0;
  int height = 0;
  TBitmap sample;
};

class TRowConsumer {
 public:
  virtual ~TRowConsumer() = default;
  // Once, before any row.
  virtual void Begin(const TRowLayout& layout) = 0;
  // Rows first .. first + count - 1, each exactly once, in increasing order
  // over all calls. The pointers are valid only during the call.
  virtual void Rows(int first, const std::uint8_t* const* rows, int count) = 0;
  // Optionally lends the producer memory for its next batch: `count` rows of
  // `bytes` bytes each, which it may decode into and then hand to Rows (the
  // consumer then keeps them without a copy). Null: the producer uses its own.
  virtual std::uint8_t* const* LendRows(int count, std::size_t bytes) {
    (void)count;
    (void)bytes;
    return nullptr;
  }
};

// Hands a whole raster to a consumer: Begin, then its rows in batches.
void DeliverRows(const TBitmap& raster, TRowConsumer& consumer);

// Gathers delivered rows into a raster of their own layout.
class TRasterConsumer final : public TRowConsumer {
 public:
  explicit TRasterConsumer(TBitmap& target) : target_(target) {}
  void Begin(const TRowLayout& layout) override;
  void Rows(int first, const std::uint8_t* const* rows, int count) override;

 private:
  TBitmap& target_;
};

}  // namespace skalo
