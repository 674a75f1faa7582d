#include "imaging/graphic.h"

#include <utility>

#include "imaging/bitmap.h"

namespace skalo {

void TGraphic::LoadFromFile(const std::string& path) {
  TMemoryStream stream(ReadWholeFile(path, limits_.max_file_bytes));
  LoadFromStream(stream);
}

void TGraphic::Draw(TCanvas& canvas, int x, int y) {
  TBitmap picture;
  AssignTo(picture);
  canvas.Draw(x, y, picture);
}

}  // namespace skalo
