// The format table: decoders and encoders are chosen by extension alone.
#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/gif.h"
#include "imaging/jpeg.h"
#include "imaging/png.h"
#include "imaging/targa.h"
#include "imaging/tiff.h"

namespace skalo {

std::unique_ptr<TGraphic> TSkalo::CreateDecoder(const std::string& extension) {
  if (extension == ".gif") return std::make_unique<TGIFImage>();
  if (extension == ".png") return std::make_unique<TPNGObject>();
  if (extension == ".bmp") return std::make_unique<TBitmap>();
  if (extension == ".tga") return std::make_unique<TTargaGraphic>();
  if (extension == ".tif" || extension == ".tiff") return std::make_unique<TTIFFGraphic>();
  if (extension == ".jpg" || extension == ".jpeg") return std::make_unique<TJPEGImage>();
  throw EInvalidFileType("Invalid filetype when loading");
}

std::unique_ptr<TGraphic> TSkalo::CreateEncoder(const std::string& extension) {
  std::unique_ptr<TGraphic> encoder;
  std::string mime;
  if (extension == ".gif") {
    encoder = std::make_unique<TGIFImage>();
    mime = "image/gif";
  } else if (extension == ".png") {
    encoder = std::make_unique<TPNGObject>();
    mime = "image/png";
  } else if (extension == ".bmp") {
    encoder = std::make_unique<TBitmap>();
    mime = "image/bmp";
  } else if (extension == ".tga") {
    encoder = std::make_unique<TTargaGraphic>();
    mime = "image/targa";
  } else if (extension == ".jpg" || extension == ".jpeg") {
    encoder = std::make_unique<TJPEGImage>();
    mime = "image/jpeg";
  } else {
    throw EInvalidFileType("Invalid filetype for output specified");
  }
  mime_ = mime;
  return encoder;
}

}  // namespace skalo
