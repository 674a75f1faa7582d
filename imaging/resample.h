// Separable filter resize of a TBitmap: a horizontal pass from the source into
// an intermediate 24-bit raster (target width x source height), then a
// vertical pass into the target. Weights are integers with 8 fractional bits,
// sums 32-bit integers, and each output channel is the weighted sum divided
// by the sum of the weights actually used, clamped to 0..255 after each pass.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/rows.h"

namespace skalo {

enum class ResampleFilter { Box, Triangle, Hermite, Bell, Spline, Lanczos3, Mitchell };

// The filter kernel f(x), in single precision; 0 outside its support. Every
// kernel stays within -1..1.
float FilterValue(ResampleFilter filter, float x);
// Support radius used when Resample is given a radius of 0.
float DefaultFilterRadius(ResampleFilter filter);

// Resizes `source` in place to new_width x new_height with `filter`; a radius
// of exactly 0 selects the filter's default. Afterwards `source` is Bgr24 and
// not transparent. A side of 0 gives an empty raster; an empty source gives a
// white raster of the new size. Failures: EOutOfResources for a target (or a
// table) above kMaxPixelStoreBytes, EGraphicError for a negative or
// non-finite radius. On failure `source` still holds its picture, possibly
// already converted to Bgr24.
void Resample(std::uint32_t new_width, std::uint32_t new_height, ResampleFilter filter,
              float radius, TBitmap& source);

// ---- The pieces below are exposed for tests and benchmarks. ----

// One source pixel's share of a target pixel: weight (8 fractional bits) and
// source index, already brought into 0..S-1.
struct TContributor {
  std::int32_t weight = 0;
  std::int32_t pixel = 0;
};
using TContributors = std::vector<TContributor>;
// The contributors of one target pixel, in increasing filter position; zero
// weights are left out.
struct TContributorEntry {
  TContributors p;
};
// One entry per target column (horizontal) or target row (vertical).
using TContributorList = std::vector<TContributorEntry>;

// Scale of one axis, in single precision: target / source when either length
// is 1, else (target - 1) / (source - 1), so that the first and last pixels
// of a line map onto the first and last source pixels.
float ResampleScale(int source_length, int target_length);

// Builds the contributor list of one axis: one entry per target pixel (none
// for a target length <= 0, all empty for a source length <= 0). Indices past
// the line's ends are mirrored (-1 reads 1, S reads S - 1) and, where
// mirroring is not enough for very short lines, clamped. EGraphicError for a
// negative or non-finite radius; EOutOfResources when the list would exceed
// the allocation cap or an absurd amount of work.
TContributorList BuildContributorList(int source_length, int target_length, ResampleFilter filter,
                                      float radius);

// Which inner loops the core runs. All give the same bytes: Reference is the
// plain per-channel formulation (column caches, one division per channel),
// Scalar the portable interleaved loops, Avx2 the vector loops (falls back to
// Scalar on processors without AVX2), Auto the fastest available.
enum class ResampleEngine { Auto, Reference, Scalar, Avx2 };
bool ResampleAvx2Available();

// The resampler fed row by row: source rows arrive top to bottom (Begin,
// then Rows) in any raster layout, converted one at a time as SetPixelFormat
// would convert them into Bgr24; each target row is written as soon as the
// source rows under its window have arrived, and only a ring of intermediate
// rows is kept. The bytes are exactly those ResampleCore gives for the same
// source as a raster. A source or target with a side of 0 leaves the target
// unchanged. `target` (Bgr24, already at the target size, else
// EGraphicError) must outlive the object; rows out of order raise
// EGraphicError, and so does Finish unless every row arrived.
class TStreamResampler final : public TRowConsumer {
 public:
  TStreamResampler(ResampleFilter filter, float radius, TBitmap& target,
                   ResampleEngine engine = ResampleEngine::Auto);
  ~TStreamResampler() override;
  void Begin(const TRowLayout& layout) override;
  void Rows(int first, const std::uint8_t* const* rows, int count) override;
  void Finish();

 private:
  struct State;
  struct Box;  // the box stage of strong shrinks
  ResampleFilter filter_;
  float radius_;
  TBitmap& target_;
  ResampleEngine engine_;
  std::unique_ptr<State> state_;
  std::unique_ptr<Box> box_;
  bool started_ = false;
  int expected_ = 0;
  int received_ = 0;
};

// The two-raster core: fills `target` (Bgr24, already at the target size)
// from `source`, which is left unchanged; a source in another format is read
// through a converted copy. If any side of either raster is 0 the target
// keeps its content. EGraphicError when the target is not Bgr24.
void ResampleCore(ResampleFilter filter, const TBitmap& source, TBitmap& target, float radius,
                  ResampleEngine engine = ResampleEngine::Auto);

// The vector engines divide a weighted sum by its weight total through a
// reciprocal: for 0 < total <= kMaxVectorTotal and 0 <= sum < 256 * total,
// trunc(float(sum) * VectorReciprocal(total)) equals sum / total.
inline constexpr std::int32_t kMaxVectorTotal = 1024;
float VectorReciprocal(std::int32_t total);

}  // namespace skalo
