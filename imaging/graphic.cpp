#include "imaging/graphic.h"

#include <utility>

#include "imaging/bitmap.h"
#include "imaging/rows.h"

namespace skalo {

void TGraphic::LoadFromFile(const std::string& path) {
  LoadFromBuffer(ReadWholeFile(path, limits_.max_file_bytes));
}

void TGraphic::LoadFromBuffer(std::vector<std::uint8_t> bytes) {
  TMemoryStream stream(std::move(bytes));
  LoadFromStream(stream);
}

void TGraphic::DecodeRows(TRowConsumer& consumer) {
  TBitmap picture;
  AssignTo(picture);
  DeliverRows(picture, consumer);
}

void TGraphic::Draw(TCanvas& canvas, int x, int y) {
  TBitmap picture;
  AssignTo(picture);
  canvas.Draw(x, y, picture);
}

}  // namespace skalo
