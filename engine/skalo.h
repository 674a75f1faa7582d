// The resize job: one object carries every parameter of one resize request,
// runs the pipeline once and then answers with its results and error state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/memory_budget.h"
#include "imaging/framework.h"
#include "imaging/limits.h"

namespace skalo {

// A colour as $00BBGGRR: red in the low byte, green in the second, blue in the third.
using TColor = std::uint32_t;

// Failures of the job's guarded steps; raised and caught inside the job, each
// turned into an error code and text.
SKALO_DECLARE_EXCEPTION(EInvalidFileType, Exception);
SKALO_DECLARE_EXCEPTION(ENoFileName, Exception);
SKALO_DECLARE_EXCEPTION(ENeedWidthOrHeight, Exception);
SKALO_DECLARE_EXCEPTION(ENeedWidthAndHeight, Exception);
SKALO_DECLARE_EXCEPTION(EMaxSizeExceeded, Exception);
SKALO_DECLARE_EXCEPTION(EFileNotFound, Exception);
// A wanted side of 0 or below -1.
SKALO_DECLARE_EXCEPTION(EInvalidSize, Exception);

// The default largest result, after rotation and padding: 50 megapixels.
inline constexpr std::uint64_t kDefaultMaxOutputPixels = 50'000'000;

// What one job may cost: the source's declared pixels and file size, the
// result's pixels, and the process's memory budget it reserves from (none:
// no reservation).
struct TJobLimits {
  std::uint64_t max_source_pixels = kDefaultMaxSourcePixels;
  std::uint64_t max_output_pixels = kDefaultMaxOutputPixels;
  std::uint64_t max_source_bytes = kMaxReadFileBytes;
  TMemoryBudget* budget = nullptr;
};

class TGraphic;
class TBitmap;
class TimgData;

// The content type of an image this service encoded, from its bytes' own
// signature (JPEG, PNG, GIF, BMP; anything else is one of our Targa files).
std::string EncodedImageMime(std::span<const std::uint8_t> bytes);

class TSkalo {
 public:
  TSkalo();
  TSkalo(const TSkalo&) = delete;
  TSkalo& operator=(const TSkalo&) = delete;
  ~TSkalo();

  // Restores the parameter defaults; keeps Image, Output, Mime, the source size,
  // the input extension and the EXIF state.
  void Reset();

  // Sets ErrorCode and ErrorText together. Interrupts nothing by itself.
  void SetError(std::int32_t code, const std::string& text);

  // Properties. -1 means "not given" for the sizes, the limits and Compression.
  const std::string& Image() const { return image_; }
  void SetImage(const std::string& v) { image_ = v; }
  bool Whitespace() const { return whitespace_; }
  void SetWhitespace(bool v) { whitespace_ = v; }
  bool AutoRotate() const { return auto_rotate_; }
  void SetAutoRotate(bool v) { auto_rotate_ = v; }
  std::int32_t Width() const { return width_; }
  void SetWidth(std::int32_t v) { width_ = v; }
  std::int32_t Height() const { return height_; }
  void SetHeight(std::int32_t v) { height_ = v; }
  std::int32_t Rotation() const { return rotation_; }
  void SetRotation(std::int32_t v) { rotation_ = v; }
  std::int32_t OriginalWidth() const { return original_width_; }
  void SetOriginalWidth(std::int32_t v) { original_width_ = v; }
  std::int32_t OriginalHeight() const { return original_height_; }
  void SetOriginalHeight(std::int32_t v) { original_height_ = v; }
  std::int32_t Compression() const { return compression_; }
  void SetCompression(std::int32_t v) { compression_ = v; }
  std::int32_t MaxWidth() const { return max_width_; }
  void SetMaxWidth(std::int32_t v) { max_width_ = v; }
  std::int32_t MaxHeight() const { return max_height_; }
  void SetMaxHeight(std::int32_t v) { max_height_ = v; }
  const std::string& Output() const { return output_; }
  void SetOutput(const std::string& v) { output_ = v; }
  const std::string& Mime() const { return mime_; }
  bool ProcessEXIF() const { return process_exif_; }
  void SetProcessEXIF(bool v) { process_exif_ = v; }
  bool ProcessBinary() const { return process_binary_; }
  void SetProcessBinary(bool v) { process_binary_ = v; }
  std::int32_t ErrorCode() const { return error_code_; }
  const std::string& ErrorText() const { return error_text_; }
  // What lies behind an error whose text is generic: the exception's class
  // and message, for the logs ("" when the text says it all).
  const std::string& ErrorReason() const { return error_reason_; }
  TColor BackgroundColor() const { return background_color_; }
  void SetBackgroundColor(TColor v) { background_color_ = v; }
  const TJobLimits& Limits() const { return limits_; }
  void SetLimits(const TJobLimits& v) { limits_ = v; }

  // "<root><errorcode>N</errorcode><errortext>T</errortext></root>" with the
  // text's markup characters escaped.
  std::string ErrorXML() const;
  // Always "Skalo Core 1.5".
  static std::string SkaloVersion() { return "Skalo Core 1.5"; }
  // Sets BackgroundColor from HTML notation ("#RRGGBB"); invalid pairs count as 255.
  void SetBackgroundColorHTML(const std::string& value);

  // The source's EXIF text: the summary of its EXIF data, or "No image loaded
  // or no EXIF data avaible". Reads the metadata of Image once if needed;
  // never touches the error state.
  std::string EXIF();
  // Reads the metadata of Image into ImgData; EXIFLoaded tells whether any was found.
  void LoadEXIF();
  bool EXIFLoaded() const { return exif_loaded_; }
  TimgData& ImgData() const { return *img_data_; }

  // Lower-cased extension of Image with its dot, set by the pipeline.
  const std::string& InputExtension() const { return input_extension_; }

  // Runs the pipeline on `image` (or on Image when `image` is empty). On
  // success with ProcessBinary set, `result` holds the encoder object with the
  // finished picture; otherwise it is empty. Failures of the guarded steps set
  // ErrorCode; later failures leave as exceptions.
  void doResize(std::unique_ptr<TGraphic>& result, const std::string& image);
  // Runs the pipeline and answers the XML result document; empty after a
  // failed run (ErrorCode and ErrorXML tell why).
  std::string doResizeXML(const std::string& image);

  // Size decisions on the working raster (fit or pad it) or, without an
  // image to produce, on the decoded source (measure only). Each writes the
  // decided size back into Width and Height.
  void FitImage(TBitmap& bitmap);
  void PadImage(TBitmap& bitmap);
  void MeasureImage(TGraphic& source);
  // MeasureImage for a source of sw x sh.
  void MeasureSize(std::int32_t sw, std::int32_t sh);
  // The sizes FitImage and PadImage resample to for a source of sw x sh;
  // each writes the decided size back into Width and Height.
  std::pair<std::int32_t, std::int32_t> FitSize(std::int32_t sw, std::int32_t sh);
  std::pair<std::int32_t, std::int32_t> PadSize(std::int32_t sw, std::int32_t sh);
  // Centres the resampled picture on a canvas of box_w x box_h painted in
  // BackgroundColor (PadImage's last step).
  void DrawOnCanvas(TBitmap& bitmap, std::int32_t box_w, std::int32_t box_h);
  // Fit or pad without a whole source raster: the decoder's rows go straight
  // into the resampler. False when the job failed (ErrorCode set).
  bool StreamResize(TGraphic& decoder, TBitmap& picture);

  // Whether jobs without a rotation resample the decoder's rows as they
  // arrive (the default) or the whole decoded raster. Both give the same
  // bytes; the raster path is the reference the streaming one is tested on.
  bool Streaming() const { return streaming_; }
  void SetStreaming(bool v) { streaming_ = v; }
  // Whether a streaming job may decode on one core and resample on another
  // while it is the only job running (the default). Same bytes either way.
  bool Pipelining() const { return pipelining_; }
  // Whether the source's EXIF orientation (1..8) is applied to its pixels
  // before the job's own rotation and fit; the sizes reported and the EXIF
  // block carried then describe the upright picture.
  bool AutoOrient() const { return auto_orient_; }
  void SetAutoOrient(bool v) { auto_orient_ = v; }
  // Whether a PNG or GIF result of a see-through source stays see-through
  // (an alpha channel, a transparent index) instead of being laid on
  // BackgroundColor. The padding and the corners of a rotation stay
  // BackgroundColor either way.
  bool KeepTransparency() const { return keep_transparency_; }
  void SetKeepTransparency(bool v) { keep_transparency_ = v; }
  void SetPipelining(bool v) { pipelining_ = v; }

  // The format table: a new, empty image object for a source extension or for
  // an output extension (which also sets Mime). Throws EInvalidFileType.
  std::unique_ptr<TGraphic> CreateDecoder(const std::string& extension);
  std::unique_ptr<TGraphic> CreateEncoder(const std::string& extension);

 private:
  void RunJob(std::unique_ptr<TGraphic>& result, const std::string& image);
  // SetError with the generic failure text, keeping the exception being
  // handled as ErrorReason. Only inside a catch block.
  void SetFailure(std::int32_t code);
  // Whether this job's result keeps the source's transparency (the setting,
  // a PNG or GIF result).
  bool KeepsAlpha() const;
  // The source decoded again over white, for a job that keeps transparency;
  // null when it shows no transparency (it equals `over_black`).
  std::unique_ptr<TBitmap> DecodeOverWhite(const TBitmap& over_black);
  // Orientation, rotation, then fit or pad: the raster path's steps.
  void Transform(std::unique_ptr<TBitmap>& picture);
  void Validate();
  // Once the source's size is known, before its pixels are: refuses a result
  // above the output limit (EMaxSizeExceeded) and reserves the job's memory
  // estimate from the budget (ESourceTooLarge, EServerBusy).
  void PlanFor(std::uint32_t source_width, std::uint32_t source_height);
  // The result's size for a source of the given size, by the fit and pad
  // rules, without changing the job.
  std::pair<std::int64_t, std::int64_t> PlannedOutput(std::int32_t sw, std::int32_t sh) const;
  // Carries the source's metadata into a JPEG result (the EXIF step).
  void ExifStep(TGraphic* encoder);
  // The lines of the XML result that carry the source's EXIF data.
  std::string ExifFragment() const;

 private:
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::int32_t original_width_ = 0;
  std::int32_t original_height_ = 0;
  std::int32_t compression_ = 0;
  std::int32_t error_code_ = 0;
  std::int32_t max_width_ = 0;
  std::int32_t max_height_ = 0;
  std::int32_t rotation_ = 0;
  std::string image_;
  std::string mime_;
  std::string input_extension_;
  std::string output_;
  std::string error_text_;
  std::string error_reason_;
  bool auto_rotate_ = false;
  bool whitespace_ = false;
  bool exif_loaded_ = false;
  bool process_exif_ = false;
  bool process_binary_ = false;
  std::unique_ptr<TimgData> img_data_;
  TColor background_color_ = 0;
  TJobLimits limits_;
  bool planned_ = false;
  bool streaming_ = true;
  bool pipelining_ = true;
  bool auto_orient_ = false;
  bool keep_transparency_ = false;
  int orientation_ = 1;  // the source's EXIF orientation this job applies
  // Jobs between the start and the end of RunJob, in this process.
  static std::atomic<int> running_jobs_;
  TMemoryBudget::TReservation reservation_;
};

}  // namespace skalo
