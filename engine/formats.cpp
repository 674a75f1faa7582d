// The format table: decoders and encoders are chosen by extension alone.
#include <algorithm>
#include <string_view>

#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/gif.h"
#include "imaging/jpeg.h"
#include "imaging/png.h"
#include "imaging/targa.h"
#include "imaging/tiff.h"

namespace skalo {

namespace {

constexpr const char* kJpegMime = "image/jpeg";
constexpr const char* kPngMime = "image/png";
constexpr const char* kGifMime = "image/gif";
constexpr const char* kBmpMime = "image/bmp";
constexpr const char* kTargaMime = "image/targa";

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view signature) {
  return bytes.size() >= signature.size() &&
         std::equal(signature.begin(), signature.end(), bytes.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

}  // namespace

std::string EncodedImageMime(std::span<const std::uint8_t> bytes) {
  if (StartsWith(bytes, "\xFF\xD8\xFF")) return kJpegMime;
  if (StartsWith(bytes, "\x89PNG\r\n\x1A\n")) return kPngMime;
  if (StartsWith(bytes, "GIF8")) return kGifMime;
  if (StartsWith(bytes, "BM")) return kBmpMime;
  return kTargaMime;
}

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
    mime = kGifMime;
  } else if (extension == ".png") {
    encoder = std::make_unique<TPNGObject>();
    mime = kPngMime;
  } else if (extension == ".bmp") {
    encoder = std::make_unique<TBitmap>();
    mime = kBmpMime;
  } else if (extension == ".tga") {
    encoder = std::make_unique<TTargaGraphic>();
    mime = kTargaMime;
  } else if (extension == ".jpg" || extension == ".jpeg") {
    encoder = std::make_unique<TJPEGImage>();
    mime = kJpegMime;
  } else {
    throw EInvalidFileType("Invalid filetype for output specified");
  }
  mime_ = mime;
  return encoder;
}

}  // namespace skalo
