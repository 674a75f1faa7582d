// The resize pipeline behind doResize and doResizeXML, and the XML result.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/base64.h"
#include "engine/orient.h"
#include "engine/rotate.h"
#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/gif.h"
#include "imaging/jpeg.h"
#include "imaging/png.h"
#include "metadata/exif_info.h"
#include "metadata/img_data.h"

namespace skalo {

namespace {

constexpr const char* kUnknownFailure = "An unknown exception occured.";
constexpr const char* kMaxSizeText = "Maximum allowed size of image exceeded";

bool IsJpegExtension(const std::string& ext) {
  return ext == ".jpg" || ext == ".jpeg";
}

// From the same picture laid on black (`colour`: each colour times its
// opacity) and on white, both resampled alike: the opacity of each pixel and
// its own colour. `colour` becomes the colours, `alpha` one opacity byte per
// pixel. Fully see-through pixels keep black.
void SplitAlpha(TBitmap& colour, TBitmap& over_white, TBitmap& alpha) {
  colour.SetPixelFormat(TPixelFormat::Bgr24);
  over_white.SetPixelFormat(TPixelFormat::Bgr24);
  alpha.SetPixelFormat(TPixelFormat::Indexed8);
  alpha.SetSizeForOverwrite(colour.Width(), colour.Height());
  for (int y = 0; y < colour.Height(); ++y) {
    std::uint8_t* c = colour.Row(y);
    const std::uint8_t* w = over_white.ConstRow(y);
    std::uint8_t* a = alpha.Row(y);
    for (int x = 0; x < colour.Width(); ++x, c += 3, w += 3) {
      // What shows through, averaged over the three channels.
      const int through = (w[0] - c[0]) + (w[1] - c[1]) + (w[2] - c[2]);
      const int opacity = std::clamp(255 - (through + 1) / 3, 0, 255);
      a[x] = static_cast<std::uint8_t>(opacity);
      for (int k = 0; k < 3; ++k)
        c[k] = opacity == 0
                   ? 0
                   : static_cast<std::uint8_t>(std::min(255, (c[k] * 255 + opacity / 2) / opacity));
    }
  }
}

}  // namespace

void TSkalo::Validate() {
  if (image_.empty()) throw ENoFileName("No filename specified");
  if (!FileExists(image_)) throw EFileNotFound("The specified file does not exist.");
  if (!process_binary_) return;
  if (width_ == -1 && height_ == -1)
    throw ENeedWidthOrHeight("Both width and height are unspecified");
  if (whitespace_ && (width_ == -1 || height_ == -1))
    throw ENeedWidthAndHeight("Both width and height is needed for whitespace");
  // A side of 0 would give an empty picture, and one below -1 is no size at all.
  if (width_ == 0 || width_ < -1 || height_ == 0 || height_ < -1)
    throw EInvalidSize("Width and height must be positive");
  if ((max_width_ != -1 && max_width_ < width_) || (max_height_ != -1 && max_height_ < height_))
    throw EMaxSizeExceeded(kMaxSizeText);
  // A result whose size the request already fixes is refused before anything
  // is read, whatever maxwidth and maxheight say.
  if (width_ != -1 && height_ != -1 &&
      std::uint64_t(width_) * std::uint64_t(height_) > limits_.max_output_pixels)
    throw EMaxSizeExceeded(kMaxSizeText);
}

void TSkalo::PlanFor(std::uint32_t source_width, std::uint32_t source_height) {
  if (planned_) return;
  planned_ = true;
  // An orientation of 5 to 8 stands the picture on its side.
  if (orientation_ >= 5) std::swap(source_width, source_height);
  const std::uint64_t sw = source_width, sh = source_height;
  // Every raster counts at 4 bytes a pixel; the encoded result at most that.
  // Turning the source upright may take a second raster.
  std::uint64_t estimate = sw * sh * 4 * (orientation_ != 1 ? 2 : 1);
  if (process_binary_ && sw > 0 && sh > 0) {
    std::uint64_t rw = sw, rh = sh;
    if (rotation_ % 360 != 0) {
      const long double angle = static_cast<long double>(rotation_ % 360) * 3.14159265358979L / 180;
      const long double c = std::fabs(std::cos(angle)), s = std::fabs(std::sin(angle));
      rw = static_cast<std::uint64_t>(std::ceil(sw * c + sh * s)) + 2;
      rh = static_cast<std::uint64_t>(std::ceil(sw * s + sh * c)) + 2;
      estimate += rw * rh * 4;
    }
    const auto fit_w = static_cast<std::int32_t>(std::min<std::uint64_t>(rw, INT32_MAX));
    const auto fit_h = static_cast<std::int32_t>(std::min<std::uint64_t>(rh, INT32_MAX));
    const auto [ow, oh] = PlannedOutput(fit_w, fit_h);
    const std::uint64_t out =
        std::uint64_t(std::max<std::int64_t>(ow, 1)) * std::uint64_t(std::max<std::int64_t>(oh, 1));
    if (out > limits_.max_output_pixels) throw EMaxSizeExceeded(kMaxSizeText);
    // The resampled picture, the canvas it is padded onto, the encoded bytes.
    estimate += out * 4 * (whitespace_ ? 3 : 2);
  }
  // Kept transparency decodes and resamples the picture twice.
  if (KeepsAlpha()) estimate *= 2;
  if (limits_.budget) reservation_ = limits_.budget->Reserve(estimate);
}

std::atomic<int> TSkalo::running_jobs_{0};

void TSkalo::RunJob(std::unique_ptr<TGraphic>& result, const std::string& image) {
  struct Running {
    Running() { ++running_jobs_; }
    ~Running() { --running_jobs_; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
  } running;
  result.reset();
  reservation_.Release();
  planned_ = false;
  if (!image.empty()) image_ = image;

  try {
    Validate();
  } catch (const ENoFileName& e) {
    SetError(1002, e.Message());
  } catch (const EFileNotFound& e) {
    SetError(1005, e.Message());
  } catch (const ENeedWidthOrHeight& e) {
    SetError(1003, e.Message());
  } catch (const ENeedWidthAndHeight& e) {
    SetError(1004, e.Message());
  } catch (const EInvalidSize& e) {
    SetError(1008, e.Message());
  } catch (const EMaxSizeExceeded& e) {
    SetError(1006, e.Message());
  } catch (...) {
    SetFailure(2003);
  }
  // A job that still carries an old error stops here too.
  if (error_code_ != 0) return;

  input_extension_ = ExtractFileExt(LowerCaseAscii(image_));
  if (output_.empty()) output_ = input_extension_;

  std::unique_ptr<TGraphic> decoder;
  try {
    decoder = CreateDecoder(input_extension_);
  } catch (const EInvalidFileType& e) {
    SetError(1001, e.Message());
  } catch (...) {
    SetFailure(2001);
  }
  if (error_code_ != 0) return;

  orientation_ = 1;
  if (auto_orient_) {
    if (!exif_loaded_) LoadEXIF();
    const int orientation = img_data_->Orientation();
    if (orientation >= 2 && orientation <= 8) orientation_ = orientation;
  }

  try {
    TImageLimits limits;
    limits.max_pixels = limits_.max_source_pixels;
    limits.max_file_bytes = limits_.max_source_bytes;
    limits.on_size = [this](std::uint32_t w, std::uint32_t h) { PlanFor(w, h); };
    decoder->SetLimits(limits);
    // Whatever a transparent source hides under its transparency never shows.
    decoder->SetBackdrop(background_color_);
    decoder->LoadFromFile(image_);
    // A decoder that read no size before its pixels is held to the same rules now.
    if (!planned_) decoder->Limits().CheckDeclared(decoder->Width(), decoder->Height());
  } catch (const EServerBusy&) {
    throw;  // not the job's failure: the answer is 503
  } catch (const ESourceTooLarge& e) {
    SetError(1009, e.Message());
  } catch (const EFileTooLarge& e) {
    SetError(1009, e.Message());
  } catch (const EMaxSizeExceeded& e) {
    SetError(1006, e.Message());
  } catch (const EFOpenError&) {
    SetError(1007, "There was an error opening \"" + image_ +
                       "\". Make sure that the file exists and that it you have permission to "
                       "open it.");
  } catch (...) {
    SetFailure(2004);
  }
  if (error_code_ != 0) return;

  original_width_ = decoder->Width();
  original_height_ = decoder->Height();
  if (orientation_ >= 5) std::swap(original_width_, original_height_);

  std::unique_ptr<TGraphic> encoder;
  if (process_binary_) {
    try {
      encoder = CreateEncoder(output_);
    } catch (const EInvalidFileType& e) {
      SetError(1001, e.Message());
    } catch (...) {
      SetFailure(2002);
    }
    if (error_code_ != 0) return;
  }

  if (process_binary_ && rotation_ == 0 && orientation_ == 1 && streaming_ && !KeepsAlpha()) {
    TBitmap picture;
    if (!StreamResize(*decoder, picture)) return;
    encoder->Assign(picture);
  } else if (process_binary_) {
    auto picture = std::make_unique<TBitmap>();
    // Kept transparency: the source over black holds the colours times their
    // opacity, and over white as well what shows through.
    if (KeepsAlpha()) decoder->SetBackdrop(kColorBlack);
    std::unique_ptr<TBitmap> over_white;
    try {
      decoder->AssignTo(*picture);
      if (KeepsAlpha()) over_white = DecodeOverWhite(*picture);
    } catch (...) {
      // A PNG file's data is inflated only now; its failures are load failures.
      if (!dynamic_cast<TPNGObject*>(decoder.get())) throw;
      SetFailure(2004);
      return;
    }
    const std::int32_t width = width_, height = height_;
    Transform(picture);
    if (!over_white) {
      encoder->Assign(*picture);
    } else {
      width_ = width;
      height_ = height;
      Transform(over_white);
      TBitmap alpha;
      SplitAlpha(*picture, *over_white, alpha);
      if (auto* png = dynamic_cast<TPNGObject*>(encoder.get()))
        png->AssignWithAlpha(*picture, alpha);
      else
        dynamic_cast<TGIFImage&>(*encoder).AssignWithAlpha(*picture, alpha);
    }
  } else {
    MeasureSize(original_width_, original_height_);
  }
  decoder.reset();
  if (error_code_ != 0) return;

  if (process_binary_ && compression_ != -1) {
    if (IsJpegExtension(output_)) {
      auto& jpeg = dynamic_cast<TJPEGImage&>(*encoder);
      jpeg.SetCompressionQuality(static_cast<std::uint8_t>(std::clamp(compression_, 1, 100)));
      jpeg.Compress();
    } else if (output_ == ".png") {
      // 1..10 -> 9, 11..20 -> 8, ..., 91..109 -> 0. Values beyond (0, negative
      // numbers, 110 and more) are held to the levels zlib knows.
      const std::int64_t level = (100 - static_cast<std::int64_t>(compression_)) / 10;
      dynamic_cast<TPNGObject&>(*encoder).SetCompressionLevel(
          static_cast<std::uint8_t>(std::clamp<std::int64_t>(level, 0, 9)));
    }
  }

  ExifStep(encoder.get());
  if (error_code_ != 0) return;

  if (process_binary_) result = std::move(encoder);
}

bool TSkalo::KeepsAlpha() const {
  return keep_transparency_ && process_binary_ && (output_ == ".png" || output_ == ".gif");
}

std::unique_ptr<TBitmap> TSkalo::DecodeOverWhite(const TBitmap& over_black) {
  std::unique_ptr<TGraphic> decoder = CreateDecoder(input_extension_);
  TImageLimits limits;
  limits.max_pixels = limits_.max_source_pixels;
  limits.max_file_bytes = limits_.max_source_bytes;
  decoder->SetLimits(limits);
  decoder->SetBackdrop(kColorWhite);
  decoder->LoadFromFile(image_);
  auto picture = std::make_unique<TBitmap>();
  decoder->AssignTo(*picture);
  TBitmap a, b;
  a.Assign(over_black);
  a.SetPixelFormat(TPixelFormat::Bgr24);
  b.Assign(*picture);
  b.SetPixelFormat(TPixelFormat::Bgr24);
  if (a.Width() != b.Width() || a.Height() != b.Height()) return nullptr;
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ConstRow(y), b.ConstRow(y), 3 * static_cast<std::size_t>(a.Width())) != 0)
      return picture;
  return nullptr;
}

void TSkalo::Transform(std::unique_ptr<TBitmap>& picture) {
  ApplyExifOrientation(*picture, orientation_);
  if (rotation_ != 0)
    picture = RotateBitmap(*picture, background_color_, static_cast<long double>(rotation_));
  if (whitespace_)
    PadImage(*picture);
  else
    FitImage(*picture);
}

void TSkalo::SetFailure(std::int32_t code) {
  SetError(code, kUnknownFailure);
  try {
    throw;
  } catch (const Exception& e) {
    error_reason_ = std::string(e.ClassName()) + ": " + e.Message();
  } catch (const std::exception& e) {
    error_reason_ = e.what();
  } catch (...) {
    error_reason_ = "unknown exception";
  }
}

void TSkalo::LoadEXIF() {
  exif_loaded_ = img_data_->ScanFile(image_);
}

std::string TSkalo::EXIF() {
  std::string text = "No image loaded or no EXIF data avaible";
  if (!exif_loaded_) LoadEXIF();
  if (img_data_->HasExif()) text = img_data_->ExifInfo()->SummaryText();
  return text;
}

// JPEG results carry the source's EXIF block (with the recorded size set to
// the result's), its ICC profile, APP13 and COM segments. The metadata is read for JPEG
// output even without an image, so that the XML result can report it.
void TSkalo::ExifStep(TGraphic* encoder) {
  if (!IsJpegExtension(output_) || !process_exif_) return;
  if (!exif_loaded_) LoadEXIF();
  if (!process_binary_ || !encoder) return;
  if (!img_data_->HasExif() && !img_data_->HasIccProfile()) return;
  // The pixels stand upright now: the carried block must not turn them again.
  if (orientation_ != 1) img_data_->SetCarriedOrientationUpright();
  img_data_->InjectExif(dynamic_cast<TJPEGImage&>(*encoder), true);
}

std::string TSkalo::ExifFragment() const {
  if (!process_exif_ || !exif_loaded_ || !img_data_->HasExif()) return std::string();
  std::string text = "  ";
  for (const std::string& line : img_data_->ExifInfo()->XmlLines(2)) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void TSkalo::doResize(std::unique_ptr<TGraphic>& result, const std::string& image) {
  RunJob(result, image);
}

std::string TSkalo::doResizeXML(const std::string& image) {
  std::unique_ptr<TGraphic> result;
  RunJob(result, image);
  if (error_code_ != 0) return std::string();

  std::string base64;
  if (process_binary_ && result) {
    TMemoryStream stream;
    result->SaveToStream(stream);
    result.reset();
    base64 = Base64Encode(stream.Bytes());
  }

  std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<root>\r\n";
  xml += "  <errorcode>0</errorcode>\r\n  <errortext>Success</errortext>\r\n  <imageinfo>\r\n";
  xml += "    <width>" + std::to_string(width_) + "</width>\r\n";
  xml += "    <height>" + std::to_string(height_) + "</height>\r\n";
  xml += "    <originalwidth>" + std::to_string(original_width_) + "</originalwidth>\r\n";
  xml += "    <originalheight>" + std::to_string(original_height_) + "</originalheight>\r\n";
  xml += "    <mime>" + HtmlEscape(mime_) + "</mime>\r\n";
  xml += "    <filename>" + HtmlEscape(ExtractFileName(image_)) + "</filename>\r\n";
  if (process_binary_) {
    xml += "    <imagedata xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"bin.base64\">";
    xml += base64;
    xml += "</imagedata>\r\n";
  }
  xml += "  </imageinfo>\r\n";
  xml += ExifFragment();
  xml += "</root>\r\n";
  return xml;
}

}  // namespace skalo
