// Size decisions of the resize job: fit the working raster to the wanted box,
// pad it onto a canvas of exactly that box, or only measure what the pad
// would give.
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "engine/row_pipe.h"
#include "engine/skalo.h"
#include "imaging/bitmap.h"
#include "imaging/checked.h"
#include "imaging/png.h"
#include "imaging/resample.h"
#include "imaging/rows.h"

namespace skalo {

namespace {

// a * b div c with truncating division, the shape of every size rule. The
// product is formed in 64 bits, so it cannot overflow; a quotient outside the
// 32-bit range cannot be a size and is refused. A divisor of 0 (a raster side
// of 0) raises EDivByZero instead of dividing.
std::int32_t MulDiv(std::int32_t a, std::int32_t b, std::int32_t c) {
  if (c == 0) throw EDivByZero("Division by zero");
  const std::int64_t q = std::int64_t{a} * b / c;
  if (q < std::numeric_limits<std::int32_t>::min() || q > std::numeric_limits<std::int32_t>::max())
    ThrowOutOfResources();
  return static_cast<std::int32_t>(q);
}

// A computed side of 0 (a source much wider than tall, or the reverse, in a
// small box) would give an empty picture: it becomes 1.
std::int32_t Computed(std::int32_t side) {
  return side == 0 ? 1 : side;
}

// A side handed to the resampler or the canvas. A negative one (a wanted side
// below -1, or one computed from it) would be read as a huge unsigned size.
std::uint32_t Side(std::int32_t side) {
  if (side < 0) ThrowOutOfResources();
  return static_cast<std::uint32_t>(side);
}

void ResampleTo(TBitmap& bitmap, std::int32_t width, std::int32_t height) {
  Resample(Side(width), Side(height), ResampleFilter::Lanczos3, 0, bitmap);
}

// The sides FitImage decides for a source of sw x sh: the wanted ones, a
// missing side following from the aspect ratio. `turned`: the result takes
// them the other way round (Height across, Width down).
struct FitDecision {
  std::int32_t width, height;
  bool turned;
};

FitDecision DecideFit(const TSkalo& job, std::int32_t sw, std::int32_t sh) {
  FitDecision d{job.Width(), job.Height(), job.AutoRotate() && sw < sh};
  if (d.turned) {
    if (d.width == -1)
      d.width = Computed(MulDiv(sh, d.height, sw));
    else if (d.height == -1)
      d.height = Computed(MulDiv(sw, d.width, sh));
  } else {
    if (d.width == -1)
      d.width = Computed(MulDiv(sw, d.height, sh));
    else if (d.height == -1)
      d.height = Computed(MulDiv(sh, d.width, sw));
  }
  return d;
}

}  // namespace

// With AutoRotate a source taller than wide reads the box turned: Width
// bounds the result's height and Height its width. A missing side follows
// from the source's aspect ratio; two given sides are used as they are.
void TSkalo::FitImage(TBitmap& bitmap) {
  const auto [width, height] = FitSize(bitmap.Width(), bitmap.Height());
  ResampleTo(bitmap, width, height);
}

std::pair<std::int32_t, std::int32_t> TSkalo::FitSize(std::int32_t sw, std::int32_t sh) {
  const FitDecision d = DecideFit(*this, sw, sh);
  SetWidth(d.width);
  SetHeight(d.height);
  if (d.turned) return {Height(), Width()};
  return {Width(), Height()};
}

std::pair<std::int64_t, std::int64_t> TSkalo::PlannedOutput(std::int32_t sw,
                                                            std::int32_t sh) const {
  if (Whitespace()) return {Width(), Height()};  // the canvas is the box
  const FitDecision d = DecideFit(*this, sw, sh);
  return {d.width, d.height};
}

// Scales to the largest size inside the box with the source's aspect ratio,
// centres that on a 24-bit canvas of the box's size painted exactly in
// BackgroundColor, and leaves the picture's size (not the canvas's) in Width
// and Height.
void TSkalo::PadImage(TBitmap& bitmap) {
  const std::int32_t box_w = Width(), box_h = Height();
  const auto [width, height] = PadSize(bitmap.Width(), bitmap.Height());
  ResampleTo(bitmap, width, height);
  DrawOnCanvas(bitmap, box_w, box_h);
}

std::pair<std::int32_t, std::int32_t> TSkalo::PadSize(std::int32_t sw, std::int32_t sh) {
  // The width binds when the height it implies stays below the box's.
  if (MulDiv(sh, Width(), sw) < Height())
    SetHeight(Computed(MulDiv(sh, Width(), sw)));
  else
    SetWidth(Computed(MulDiv(sw, Height(), sh)));
  return {Width(), Height()};
}

void TSkalo::DrawOnCanvas(TBitmap& bitmap, std::int32_t box_w, std::int32_t box_h) {
  TBitmap canvas;
  canvas.SetPixelFormat(TPixelFormat::Bgr24);
  canvas.SetSize(static_cast<int>(Side(box_w)), static_cast<int>(Side(box_h)));
  canvas.Canvas().Brush().SetColor(BackgroundColor());
  canvas.Canvas().FillRect(canvas.Canvas().ClipRect());
  // Both differences are >= 0: the picture fits inside the box.
  const auto left = static_cast<int>((std::int64_t{box_w} - Width()) / 2);
  const auto top = static_cast<int>((std::int64_t{box_h} - Height()) / 2);
  canvas.Canvas().Draw(left, top, bitmap);
  bitmap.Assign(canvas);
}

bool TSkalo::StreamResize(TGraphic& decoder, TBitmap& picture) {
  // The sizes follow from the rows' own size, as they would from the
  // decoded raster's.
  class Consumer final : public TRowConsumer {
   public:
    explicit Consumer(TSkalo& job) : job_(job) {}
    void Begin(const TRowLayout& layout) override {
      try {
        box_ = {job_.Width(), job_.Height()};
        const auto [w, h] = job_.Whitespace() ? job_.PadSize(layout.width, layout.height)
                                              : job_.FitSize(layout.width, layout.height);
        target_.SetPixelFormat(TPixelFormat::Bgr24);
        target_.SetSize(static_cast<int>(Side(w)), static_cast<int>(Side(h)));
        const float radius = DefaultFilterRadius(ResampleFilter::Lanczos3);
        stream_ = std::make_unique<TStreamResampler>(ResampleFilter::Lanczos3, radius, target_);
        stream_->Begin(layout);
      } catch (...) {
        failed_ = true;
        throw;
      }
    }
    void Rows(int first, const std::uint8_t* const* rows, int count) override {
      try {
        if (!stream_) throw EGraphicError(kScanLineRangeText);
        stream_->Rows(first, rows, count);
      } catch (...) {
        failed_ = true;
        throw;
      }
    }
    TBitmap& Finish() {
      if (!stream_) throw EGraphicError(kScanLineRangeText);
      stream_->Finish();
      return target_;
    }
    bool Failed() const { return failed_; }
    std::pair<std::int32_t, std::int32_t> Box() const { return box_; }

   private:
    TSkalo& job_;
    TBitmap target_;
    std::unique_ptr<TStreamResampler> stream_;
    std::pair<std::int32_t, std::int32_t> box_{0, 0};
    bool failed_ = false;
  };

  Consumer consumer(*this);
  // Alone on a machine of several cores, the job decodes on this thread and
  // resamples on another; under load every core has a job of its own.
  std::optional<TRowPipe> pipe;
  if (pipelining_ && running_jobs_.load() == 1 && std::thread::hardware_concurrency() > 1)
    pipe.emplace(consumer);
  try {
    if (pipe) {
      decoder.DecodeRows(*pipe);
      pipe->Finish();
    } else {
      decoder.DecodeRows(consumer);
    }
  } catch (...) {
    // Decoders that once decoded while loading fail as loading fails.
    if (consumer.Failed() || !dynamic_cast<TPNGObject*>(&decoder)) throw;
    SetFailure(2004);
    return false;
  }
  picture.Assign(consumer.Finish());
  if (Whitespace()) DrawOnCanvas(picture, consumer.Box().first, consumer.Box().second);
  return true;
}

// The size PadImage would give; nothing is decoded or resampled, the
// decoder's own size is the source's. With one side not given (possible when
// no image is produced and sizes go unchecked) it reports what FitImage would
// decide instead, and with neither given the source's size.
void TSkalo::MeasureImage(TGraphic& source) {
  MeasureSize(source.Width(), source.Height());
}

void TSkalo::MeasureSize(std::int32_t sw, std::int32_t sh) {
  if (Width() == -1 && Height() == -1) {
    SetWidth(sw);
    SetHeight(sh);
    return;
  }
  if (Width() == -1 || Height() == -1) {
    const bool turned = AutoRotate() && sw < sh;
    if (Width() == -1)
      SetWidth(Computed(turned ? MulDiv(sh, Height(), sw) : MulDiv(sw, Height(), sh)));
    else
      SetHeight(Computed(turned ? MulDiv(sw, Width(), sh) : MulDiv(sh, Width(), sw)));
    return;
  }
  if (MulDiv(sh, Width(), sw) < Height())
    SetHeight(Computed(MulDiv(sh, Width(), sw)));
  else
    SetWidth(Computed(MulDiv(sw, Height(), sh)));
}

}  // namespace skalo
