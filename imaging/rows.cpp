#include "imaging/rows.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace skalo {

void DeliverRows(const TBitmap& raster, TRowConsumer& consumer) {
  TRowLayout layout;
  layout.width = raster.Width();
  layout.height = raster.Height();
  layout.sample.Assign(raster);
  layout.sample.SetSize(0, 0);
  consumer.Begin(layout);
  constexpr int kBatch = 64;
  std::array<const std::uint8_t*, kBatch> rows{};
  for (int y = 0; y < raster.Height(); y += kBatch) {
    const int count = std::min(kBatch, raster.Height() - y);
    for (int k = 0; k < count; ++k)
      rows[static_cast<std::size_t>(k)] = raster.ConstRow(y + k);
    consumer.Rows(y, rows.data(), count);
  }
}

void TRasterConsumer::Begin(const TRowLayout& layout) {
  target_.Assign(layout.sample);
  target_.SetSizeForOverwrite(layout.width, layout.height);
}

void TRasterConsumer::Rows(int first, const std::uint8_t* const* rows, int count) {
  const std::size_t bytes = target_.BytesPerRow();
  for (int k = 0; k < count; ++k)
    std::memcpy(target_.Row(first + k), rows[k], bytes);
}

}  // namespace skalo
