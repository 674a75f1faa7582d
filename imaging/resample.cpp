#include "imaging/resample.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

#include "imaging/checked.h"

namespace skalo {

namespace {

// Pi to the 64-bit mantissa of long double.
constexpr long double kPi = 3.141592653589793238462643383279502884L;

float Sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float y = static_cast<float>(kPi * x);
  return static_cast<float>(std::sin(static_cast<double>(y)) / y);
}

}  // namespace

float FilterValue(ResampleFilter filter, float x) {
  const long double a = std::fabs(x);
  switch (filter) {
    case ResampleFilter::Box:
      return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f;
    case ResampleFilter::Triangle:
      return a < 1 ? static_cast<float>(1 - a) : 0.0f;
    case ResampleFilter::Hermite:
      return a < 1 ? static_cast<float>((2 * a - 3) * a * a + 1) : 0.0f;
    case ResampleFilter::Bell:
      if (a < 0.5L) return static_cast<float>(0.75L - a * a);
      if (a < 1.5L) return static_cast<float>(0.5L * (a - 1.5L) * (a - 1.5L));
      return 0.0f;
    case ResampleFilter::Spline:
      if (a < 1) return static_cast<float>(0.5L * a * a * a - a * a + 2.0L / 3);
      if (a < 2) return static_cast<float>((2 - a) * (2 - a) * (2 - a) / 6);
      return 0.0f;
    case ResampleFilter::Lanczos3:
      if (a < 3) {
        const float s1 = Sinc(static_cast<float>(a));
        const float s2 = Sinc(static_cast<float>(a / 3));
        return static_cast<float>(static_cast<double>(s1) * s2);
      }
      return 0.0f;
    case ResampleFilter::Mitchell:
      if (a < 1) return static_cast<float>((7 * a * a * a - 12 * a * a + 16.0L / 3) / 6);
      if (a < 2)
        return static_cast<float>((-(7.0L / 3) * a * a * a + 12 * a * a - 20 * a + 32.0L / 3) / 6);
      return 0.0f;
  }
  return 0.0f;
}

float DefaultFilterRadius(ResampleFilter filter) {
  switch (filter) {
    case ResampleFilter::Box:
      return 0.5f;
    case ResampleFilter::Triangle:
    case ResampleFilter::Hermite:
      return 1.0f;
    case ResampleFilter::Bell:
      return 1.5f;
    case ResampleFilter::Spline:
    case ResampleFilter::Mitchell:
      return 2.0f;
    case ResampleFilter::Lanczos3:
      return 3.0f;
  }
  throw EGraphicError("Invalid resample filter");
}

float ResampleScale(int source_length, int target_length) {
  if (source_length == 1 || target_length == 1)
    return static_cast<float>(static_cast<long double>(target_length) / source_length);
  return static_cast<float>(static_cast<long double>(target_length - 1) / (source_length - 1));
}

namespace {

// Round half to even. Adding and removing 1.5 * 2^63 leaves no fraction bits
// in the 64-bit mantissa, so the addition itself rounds, to nearest even.
std::int32_t RoundEven(long double v) {
  constexpr long double kShift = 0x1.8p63L;
  if (std::fabs(v) >= 0x1p62L) return static_cast<std::int32_t>(std::llrint(v));
  // Integral now; going through double avoids an x87 rounding-mode switch.
  return static_cast<std::int32_t>(static_cast<double>((v + kShift) - kShift));
}

void CheckRadius(float radius) {
  if (!std::isfinite(radius) || radius < 0) throw EGraphicError("Invalid filter radius");
}

// Work bound for one list: kernel evaluations beyond this mean a radius far
// outside any sensible use.
constexpr long double kMaxKernelEvaluations = 0x1p28L;

}  // namespace

TContributorList BuildContributorList(int source_length, int target_length, ResampleFilter filter,
                                      float radius) {
  CheckRadius(radius);
  if (target_length <= 0) return {};
  if (source_length <= 0) return TContributorList(static_cast<std::size_t>(target_length));
  const int S = source_length;
  const float scale = ResampleScale(S, target_length);
  const bool shrink = scale < 1.0f;
  // Half-width of the window in source pixels.
  const float width =
      shrink ? static_cast<float>(static_cast<long double>(radius) / scale) : radius;

  TContributorList list(static_cast<std::size_t>(target_length));
  // When shrinking, each weight is Round(f * scale * 256) with |f| <= 1, so at
  // a scale of 1/512 or below every weight rounds to 0 and every entry stays
  // empty; skipping the window also bounds the work for extreme ratios.
  if (shrink && static_cast<long double>(scale) * 256 <= 0.5L) return list;
  if ((2.0L * width + 3) * target_length > kMaxKernelEvaluations) ThrowOutOfResources();

  std::uint64_t stored = 0;
  for (int i = 0; i < target_length; ++i) {
    const float centre = static_cast<float>(static_cast<long double>(i) / scale);
    const auto first =
        static_cast<std::int64_t>(std::floor(static_cast<long double>(centre) - width));
    const auto last =
        static_cast<std::int64_t>(std::ceil(static_cast<long double>(centre) + width));
    TContributors& out = list[static_cast<std::size_t>(i)].p;
    out.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::int64_t j = first; j <= last; ++j) {
      const long double offset = static_cast<long double>(centre) - j;
      const std::int32_t weight =
          shrink ? RoundEven(static_cast<long double>(
                                 FilterValue(filter, static_cast<float>(offset * scale))) *
                             scale * 256)
                 : RoundEven(
                       static_cast<long double>(FilterValue(filter, static_cast<float>(offset))) *
                       256);
      if (weight == 0) continue;
      // Mirror at the edges: on the left the edge pixel is not repeated (-1
      // reads 1), on the right it is (S reads S - 1). Lines too short for the
      // window are clamped into 0..S-1 after mirroring.
      std::int64_t pixel = j < 0 ? -j : (j >= S ? 2 * std::int64_t{S} - 1 - j : j);
      pixel = std::clamp<std::int64_t>(pixel, 0, S - 1);
      out.push_back({weight, static_cast<std::int32_t>(pixel)});
    }
    stored += out.size();
    CheckAllocation(stored * sizeof(TContributor));
  }
  return list;
}

// ---------------------------------------------------------------- core

namespace {

// One output channel from its weighted sum and the entry's weight total, both
// 32-bit with two's-complement wrap-around.
inline std::uint8_t Normalize(std::int32_t sum, std::int32_t total) noexcept {
  std::int64_t v;
  if (total != 0)
    v = std::int64_t{sum} / total;
  else
    v = static_cast<std::uint32_t>(sum) >> 8;
  return static_cast<std::uint8_t>(std::clamp<std::int64_t>(v, 0, 255));
}

std::int32_t EntryTotal(const TContributorEntry& e) noexcept {
  std::uint32_t total = 0;
  for (const TContributor& c : e.p)
    total += static_cast<std::uint32_t>(c.weight);
  return static_cast<std::int32_t>(total);
}

// Rows of interleaved blue, green, red bytes: the intermediate raster of the
// core. Contents start undefined. Each row carries at least 4 bytes of
// padding, which takes the overhang of the horizontal pass's 16-byte stores,
// so a row's computation never touches the next row (in the ring, that row
// may still be in use).
struct Plane {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t stride = 0;
  std::uint8_t* Row(int y) { return bytes.get() + static_cast<std::size_t>(y) * stride; }
  const std::uint8_t* Row(int y) const {
    return bytes.get() + static_cast<std::size_t>(y) * stride;
  }
};

Plane MakePlane(int width, int height) {
  Plane plane;
  plane.stride = (3 * static_cast<std::size_t>(width) + 4 + 3) / 4 * 4;
  const std::uint64_t size = MulOrThrow(plane.stride, static_cast<std::uint64_t>(height));
  CheckAllocation(size);
  try {
    plane.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    ThrowOutOfResources();
  }
  return plane;
}

// Rows of a raster or plane: base pointer and stride.
struct Rows {
  const std::uint8_t* base;
  std::ptrdiff_t stride;
  const std::uint8_t* operator[](int y) const { return base + y * stride; }
};
struct MutableRows {
  std::uint8_t* base;
  std::ptrdiff_t stride;
  std::uint8_t* operator[](int y) const { return base + y * stride; }
};

// ---- Reference: the per-channel formulation with column caches ----

void ReferenceCore(Rows src, int sw, int sh, MutableRows dst, int tw, int th, ResampleFilter filter,
                   float radius) {
  Plane work = MakePlane(tw, sh);
  std::vector<std::int32_t> red, green, blue;
  auto pixel = [&](const TContributorEntry& e, std::uint8_t* out) {
    std::uint32_t r = 0, g = 0, b = 0, total = 0;
    for (const TContributor& c : e.p) {
      const auto w = static_cast<std::uint32_t>(c.weight);
      r += w * static_cast<std::uint32_t>(red[static_cast<std::size_t>(c.pixel)]);
      g += w * static_cast<std::uint32_t>(green[static_cast<std::size_t>(c.pixel)]);
      b += w * static_cast<std::uint32_t>(blue[static_cast<std::size_t>(c.pixel)]);
      total += w;
    }
    const auto t = static_cast<std::int32_t>(total);
    out[0] = Normalize(static_cast<std::int32_t>(b), t);
    out[1] = Normalize(static_cast<std::int32_t>(g), t);
    out[2] = Normalize(static_cast<std::int32_t>(r), t);
  };
  {
    const TContributorList list = BuildContributorList(sw, tw, filter, radius);
    red.assign(static_cast<std::size_t>(sw), 0);
    green.assign(static_cast<std::size_t>(sw), 0);
    blue.assign(static_cast<std::size_t>(sw), 0);
    for (int y = 0; y < sh; ++y) {
      const std::uint8_t* row = src[y];
      for (int x = 0; x < sw; ++x) {
        blue[static_cast<std::size_t>(x)] = row[3 * x];
        green[static_cast<std::size_t>(x)] = row[3 * x + 1];
        red[static_cast<std::size_t>(x)] = row[3 * x + 2];
      }
      for (int i = 0; i < tw; ++i)
        pixel(list[static_cast<std::size_t>(i)], work.Row(y) + 3 * i);
    }
  }
  const TContributorList list = BuildContributorList(sh, th, filter, radius);
  red.assign(static_cast<std::size_t>(sh), 0);
  green.assign(static_cast<std::size_t>(sh), 0);
  blue.assign(static_cast<std::size_t>(sh), 0);
  for (int x = 0; x < tw; ++x) {
    for (int y = 0; y < sh; ++y) {
      const std::uint8_t* p = work.Row(y) + 3 * x;
      blue[static_cast<std::size_t>(y)] = p[0];
      green[static_cast<std::size_t>(y)] = p[1];
      red[static_cast<std::size_t>(y)] = p[2];
    }
    for (int j = 0; j < th; ++j)
      pixel(list[static_cast<std::size_t>(j)], dst[j] + 3 * x);
  }
}

// ---- Tables of the fast engines ----

// Horizontal table. Target columns whose taps are consecutive source pixels
// (all but those mirrored at an edge) get a dense run of a common number of
// 4-tap groups, zero weights filling the gaps and the ends; the vector loop
// then runs a fixed trip count four columns at a time. The other columns use
// their sparse contributor lists.
struct HTable {
  std::size_t size = 0;
  std::vector<std::int32_t> total;
  std::vector<std::size_t> begin, end;  // sparse lists in `sparse`
  std::vector<TContributor> sparse;
  // Vector columns: first pixel of the run, its weights at column * groups,
  // and per column 4 copies each of limit (256 * total - 1) and reciprocal.
  std::vector<std::uint8_t> vector;
  // quad[i]: columns i..i+3 are all vector columns.
  std::vector<std::uint8_t> quad;
  std::vector<std::int32_t> start;
  std::int32_t groups = 0;
  // Per group 16 int16: w0 w1 w0 w1 w0 w1 0 0 | w2 w3 w2 w3 w2 w3 0 0, the
  // layout the shuffled pixel pairs are multiplied with.
  std::vector<std::int16_t> dense;
  std::vector<std::int32_t> limit4;
  std::vector<float> recip4;
  bool identity = true;  // every target pixel copies its own source pixel
};

HTable BuildHTable(const TContributorList& list, int source_length, bool vector) {
  HTable t;
  const std::size_t n = list.size();
  t.size = n;
  t.total.resize(n);
  t.begin.resize(n);
  t.end.resize(n);
  t.vector.assign(n, 0);
  t.quad.assign(n, 0);
  t.start.assign(n, 0);
  std::vector<bool> candidate(n, false);
  std::int64_t groups = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const TContributors& c = list[i].p;
    t.total[i] = EntryTotal(list[i]);
    t.begin[i] = t.sparse.size();
    t.sparse.insert(t.sparse.end(), c.begin(), c.end());
    t.end[i] = t.sparse.size();
    t.identity = t.identity && c.size() == 1 && c[0].pixel == static_cast<std::int32_t>(i) &&
                 c[0].weight == t.total[i] && t.total[i] > 0;
    if (!vector || c.empty() || t.total[i] <= 0 || t.total[i] > kMaxVectorTotal) continue;
    bool ascending = true;
    for (std::size_t k = 1; k < c.size(); ++k)
      ascending = ascending && c[k].pixel > c[k - 1].pixel;
    if (!ascending) continue;  // mirrored at an edge
    candidate[i] = true;
    groups = std::max<std::int64_t>(groups, (c.back().pixel - c.front().pixel + 4) / 4);
  }
  if (groups == 0 || 3 * std::int64_t{source_length} < 16) return t;
  // Highest run start whose last 16-byte load stays inside the row's pixels.
  const std::int64_t start_max = (3 * std::int64_t{source_length} - 16) / 3 - 4 * (groups - 1);
  t.groups = static_cast<std::int32_t>(groups);
  t.dense.assign(n * static_cast<std::size_t>(groups) * 16, 0);
  t.limit4.assign(4 * n, 0);
  t.recip4.assign(4 * n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    if (!candidate[i]) continue;
    const TContributors& c = list[i].p;
    const std::int64_t start = std::min<std::int64_t>(c.front().pixel, start_max);
    if (start < 0 || c.back().pixel >= start + 4 * groups) continue;
    t.vector[i] = 1;
    t.start[i] = static_cast<std::int32_t>(start);
    std::int16_t* block = &t.dense[i * static_cast<std::size_t>(groups) * 16];
    for (const TContributor& k : c) {
      const std::int64_t tap = k.pixel - start;
      const auto w = static_cast<std::int16_t>(k.weight);
      // Tap 4g + m sits in group g, lane m / 2, pair slot m % 2 of each channel.
      std::int16_t* lane = block + 16 * (tap / 4) + 8 * ((tap % 4) / 2) + (tap % 2);
      lane[0] = lane[2] = lane[4] = w;
    }
    for (int k = 0; k < 4; ++k) {
      t.limit4[4 * i + k] = 256 * t.total[i] - 1;
      t.recip4[4 * i + k] = VectorReciprocal(t.total[i]);
    }
  }
  for (std::size_t i = 0; i + 4 <= n; ++i)
    t.quad[i] = t.vector[i] && t.vector[i + 1] && t.vector[i + 2] && t.vector[i + 3];
  return t;
}

// Vertical table: per target row its taps as (weight, source row) pairs,
// padded to an even count with a zero weight so they can be taken two by two.
struct VEntry {
  std::int32_t total = 0;
  std::int32_t limit = 0;
  float recip = 0;
  bool vector = false;
  std::size_t begin = 0, end = 0;
};

struct VTable {
  std::vector<VEntry> entries;
  std::vector<TContributor> taps;
  bool identity = true;
};

VTable BuildVTable(const TContributorList& list) {
  VTable t;
  t.entries.resize(list.size());
  for (std::size_t j = 0; j < list.size(); ++j) {
    const TContributors& c = list[j].p;
    VEntry& e = t.entries[j];
    e.total = EntryTotal(list[j]);
    e.begin = t.taps.size();
    t.taps.insert(t.taps.end(), c.begin(), c.end());
    if (c.size() % 2) t.taps.push_back({0, c.back().pixel});
    e.end = t.taps.size();
    t.identity = t.identity && c.size() == 1 && c[0].pixel == static_cast<std::int32_t>(j) &&
                 c[0].weight == e.total && e.total > 0;
    e.vector = e.total > 0 && e.total <= kMaxVectorTotal;
    if (e.vector) {
      e.limit = 256 * e.total - 1;
      e.recip = VectorReciprocal(e.total);
    }
  }
  return t;
}

// ---- Scalar engine ----

// One target pixel from the sparse list over interleaved source pixels.
inline void SparsePixel(const TContributor* c, const TContributor* end, std::int32_t total,
                        const std::uint8_t* src, std::uint8_t* out) {
  std::uint32_t b = 0, g = 0, r = 0;
  for (; c != end; ++c) {
    const std::uint8_t* p = src + 3 * static_cast<std::size_t>(c->pixel);
    const auto w = static_cast<std::uint32_t>(c->weight);
    b += w * p[0];
    g += w * p[1];
    r += w * p[2];
  }
  out[0] = Normalize(static_cast<std::int32_t>(b), total);
  out[1] = Normalize(static_cast<std::int32_t>(g), total);
  out[2] = Normalize(static_cast<std::int32_t>(r), total);
}

void HorizontalRowScalar(const HTable& t, const std::uint8_t* src, std::uint8_t* dst) {
  const TContributor* sparse = t.sparse.data();
  for (std::size_t i = 0; i < t.size; ++i)
    SparsePixel(sparse + t.begin[i], sparse + t.end[i], t.total[i], src, dst + 3 * i);
}

// Bytes [from, to) of one target row from its taps' intermediate rows
// (`rows[k]` belongs to taps[k]).
void VerticalBytesScalar(const TContributor* taps, const std::uint8_t* const* rows,
                         std::size_t count, std::int32_t total, std::uint8_t* dst, std::size_t from,
                         std::size_t to, std::vector<std::uint32_t>& acc) {
  acc.assign(to - from, 0);
  for (std::size_t k = 0; k < count; ++k) {
    const auto w = static_cast<std::uint32_t>(taps[k].weight);
    const std::uint8_t* row = rows[k];
    for (std::size_t x = from; x < to; ++x)
      acc[x - from] += w * row[x];
  }
  for (std::size_t x = from; x < to; ++x)
    dst[x] = Normalize(static_cast<std::int32_t>(acc[x - from]), total);
}

// ---- AVX2 engine ----

__attribute__((target("avx2"))) inline __m256i NormalizeAvx2(__m256i sum, __m256i limit,
                                                             __m256 recip) {
  sum = _mm256_min_epi32(_mm256_max_epi32(sum, _mm256_setzero_si256()), limit);
  return _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(sum), recip));
}

// acc + four taps of each channel: the pixels at p (bytes p[0..11]) paired
// by the shuffle and multiplied with one group of weights.
__attribute__((target("avx2"), always_inline)) inline __m256i AddTaps(__m256i acc,
                                                                      const std::uint8_t* p,
                                                                      __m256i shuffle,
                                                                      __m256i weights) {
  const __m256i pixels =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  return _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(pixels, shuffle), weights));
}

// Folds the accumulators of four columns (two lanes each), normalises them
// and stores the columns' 12 bytes, plus 4 bytes of overhang, at dst.
__attribute__((target("avx2"), always_inline)) inline void StoreFour(
    __m256i a0, __m256i a1, __m256i a2, __m256i a3, __m256i limit01, __m256i limit23,
    __m256 recip01, __m256 recip23, std::uint8_t* dst) {
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  // [column i | column i+1] and [column i+2 | column i+3].
  const __m256i s01 = _mm256_add_epi32(_mm256_permute2x128_si256(a0, a1, 0x20),
                                       _mm256_permute2x128_si256(a0, a1, 0x31));
  const __m256i s23 = _mm256_add_epi32(_mm256_permute2x128_si256(a2, a3, 0x20),
                                       _mm256_permute2x128_si256(a2, a3, 0x31));
  const __m256i q01 = NormalizeAvx2(s01, limit01, recip01);
  const __m256i q23 = NormalizeAvx2(s23, limit23, recip23);
  // Bytes per lane: [i, i+2 | i+1, i+3] as b g r 0; interleave and drop the 0s.
  const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(q01, q23), _mm256_setzero_si256());
  const __m128i ordered =
      _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(ordered, compact));
}

// Computes two intermediate rows (from source rows src0 and src1) at once,
// sharing each weight load between them. Columns are written in increasing
// order; each vector step stores 16 bytes for four columns, whose 4-byte
// overhang the following columns (or the plane row's padding) take.
// kGroups is the table's group count when it is small (the loop is then
// unrolled), 0 for any count.
template <int kGroups>
__attribute__((target("avx2"))) void HorizontalRowsAvx2(const HTable& t, const std::uint8_t* src0,
                                                        const std::uint8_t* src1,
                                                        std::uint8_t* dst0, std::uint8_t* dst1) {
  // Pixels p, p+1 into the low lane and p+2, p+3 into the high lane as
  // 16-bit pairs (b0 b1 g0 g1 r0 r1 0 0), so one multiply-add per lane sums
  // two taps of each channel.
  const __m256i shuffle =
      _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                       6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  const TContributor* sparse = t.sparse.data();
  const std::size_t stride = kGroups ? kGroups : static_cast<std::size_t>(t.groups);
  const auto* dense = reinterpret_cast<const __m256i*>(t.dense.data());
  std::size_t i = 0;
  while (i < t.size) {
    if (!t.quad[i]) {
      SparsePixel(sparse + t.begin[i], sparse + t.end[i], t.total[i], src0, dst0 + 3 * i);
      SparsePixel(sparse + t.begin[i], sparse + t.end[i], t.total[i], src1, dst1 + 3 * i);
      ++i;
      continue;
    }
    const std::size_t o0 = 3 * static_cast<std::size_t>(t.start[i]);
    const std::size_t o1 = 3 * static_cast<std::size_t>(t.start[i + 1]);
    const std::size_t o2 = 3 * static_cast<std::size_t>(t.start[i + 2]);
    const std::size_t o3 = 3 * static_cast<std::size_t>(t.start[i + 3]);
    const __m256i* w = dense + i * stride;
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    __m256i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
    for (std::size_t g = 0; g < stride; ++g) {
      const std::size_t off = 12 * g;
      const __m256i w0 = _mm256_loadu_si256(w + g);
      const __m256i w1 = _mm256_loadu_si256(w + stride + g);
      const __m256i w2 = _mm256_loadu_si256(w + 2 * stride + g);
      const __m256i w3 = _mm256_loadu_si256(w + 3 * stride + g);
      a0 = AddTaps(a0, src0 + o0 + off, shuffle, w0);
      b0 = AddTaps(b0, src1 + o0 + off, shuffle, w0);
      a1 = AddTaps(a1, src0 + o1 + off, shuffle, w1);
      b1 = AddTaps(b1, src1 + o1 + off, shuffle, w1);
      a2 = AddTaps(a2, src0 + o2 + off, shuffle, w2);
      b2 = AddTaps(b2, src1 + o2 + off, shuffle, w2);
      a3 = AddTaps(a3, src0 + o3 + off, shuffle, w3);
      b3 = AddTaps(b3, src1 + o3 + off, shuffle, w3);
    }
    const auto* limits = reinterpret_cast<const __m256i*>(&t.limit4[4 * i]);
    const __m256i limit01 = _mm256_loadu_si256(limits), limit23 = _mm256_loadu_si256(limits + 1);
    const __m256 recip01 = _mm256_loadu_ps(&t.recip4[4 * i]);
    const __m256 recip23 = _mm256_loadu_ps(&t.recip4[4 * i + 8]);
    StoreFour(a0, a1, a2, a3, limit01, limit23, recip01, recip23, dst0 + 3 * i);
    StoreFour(b0, b1, b2, b3, limit01, limit23, recip01, recip23, dst1 + 3 * i);
    i += 4;
  }
}

// One target row: 32 bytes at a time, two taps per multiply-add.
__attribute__((target("avx2"))) void VerticalRowAvx2(const VEntry& e, const TContributor* taps,
                                                     const std::uint8_t* const* rows,
                                                     std::uint8_t* dst, std::size_t bytes,
                                                     std::vector<std::uint32_t>& acc) {
  const std::size_t count = e.end - e.begin;
  const std::size_t full = e.vector ? bytes / 32 * 32 : 0;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i limit = _mm256_set1_epi32(e.limit);
  const __m256 recip = _mm256_set1_ps(e.recip);
  for (std::size_t x = 0; x < full; x += 32) {
    __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    for (std::size_t k = 0; k < count; k += 2) {
      const __m256i w = _mm256_set1_epi32(
          static_cast<std::int32_t>((static_cast<std::uint32_t>(taps[k + 1].weight) << 16) |
                                    (static_cast<std::uint32_t>(taps[k].weight) & 0xFFFF)));
      const __m256i ra = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + x));
      const __m256i rb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + x));
      // Interleave the two rows bytewise, widen to 16 bits: (a, b) pairs.
      const __m256i lo = _mm256_unpacklo_epi8(ra, rb);
      const __m256i hi = _mm256_unpackhi_epi8(ra, rb);
      a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
      a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
      a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
      a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
    }
    // The unpacks and packs work within 128-bit lanes in mirrored order, so
    // the bytes come back in place.
    const __m256i q01 =
        _mm256_packs_epi32(NormalizeAvx2(a0, limit, recip), NormalizeAvx2(a1, limit, recip));
    const __m256i q23 =
        _mm256_packs_epi32(NormalizeAvx2(a2, limit, recip), NormalizeAvx2(a3, limit, recip));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), _mm256_packus_epi16(q01, q23));
  }
  if (full < bytes) VerticalBytesScalar(taps, rows, count, e.total, dst, full, bytes, acc);
}

using HorizontalRowsFn = void (*)(const HTable&, const std::uint8_t*, const std::uint8_t*,
                                  std::uint8_t*, std::uint8_t*);

template <int... kCounts>
HorizontalRowsFn PickHorizontalRows(int groups, std::integer_sequence<int, kCounts...>) {
  HorizontalRowsFn fn = HorizontalRowsAvx2<0>;
  ((fn = groups == kCounts ? HorizontalRowsAvx2<kCounts> : fn), ...);
  return fn;
}

bool DetectAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// The tables of the last few axes, shared between jobs: a site resizes its
// pictures to a handful of sizes, and building a table costs a kernel
// evaluation per tap.
template <typename Table>
class TableCache {
 public:
  struct Key {
    int source, target;
    ResampleFilter filter;
    float radius;
    bool vector;
    bool operator==(const Key&) const = default;
  };
  template <typename Build>
  std::shared_ptr<const Table> Get(const Key& key, Build build) {
    {
      std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->first == key) {
          auto table = it->second;
          entries_.splice(entries_.begin(), entries_, it);
          return table;
        }
    }
    auto table = std::make_shared<const Table>(build());
    // Only small tables are kept: a huge axis is rare and would pin its memory.
    if (TableBytes(*table) > kMaxCachedTableBytes) return table;
    std::lock_guard lock(mutex_);
    entries_.emplace_front(key, table);
    if (entries_.size() > kEntries) entries_.pop_back();
    return table;
  }

 private:
  static constexpr std::size_t kEntries = 16;
  static constexpr std::size_t kMaxCachedTableBytes = 4 << 20;
  static std::size_t TableBytes(const HTable& t) {
    return t.sparse.size() * sizeof(TContributor) + t.dense.size() * 2 + t.size * 48;
  }
  static std::size_t TableBytes(const VTable& t) {
    return t.taps.size() * sizeof(TContributor) + t.entries.size() * sizeof(VEntry);
  }
  std::mutex mutex_;
  std::list<std::pair<Key, std::shared_ptr<const Table>>> entries_;
};

std::shared_ptr<const HTable> CachedHTable(int source, int target, ResampleFilter filter,
                                           float radius, bool vector) {
  static TableCache<HTable> cache;
  return cache.Get({source, target, filter, radius, vector}, [&] {
    return BuildHTable(BuildContributorList(source, target, filter, radius), source, vector);
  });
}

std::shared_ptr<const VTable> CachedVTable(int source, int target, ResampleFilter filter,
                                           float radius) {
  static TableCache<VTable> cache;
  return cache.Get({source, target, filter, radius, false}, [&] {
    return BuildVTable(BuildContributorList(source, target, filter, radius));
  });
}

// Strong shrinks. The exact weights are Round(f * scale * 256): below a
// peak weight of kMinPeakWeight they are too coarse to filter (measured on
// noise and on smooth pictures against exact real-valued Lanczos3: the mean
// error stays near the 0.5 of the final truncation down to a peak of 8, then
// grows, reaching 1.7 levels at 5 and 5 to 35 levels at 3 and below, and at
// a scale of 1/512 every weight is 0). Such an axis is first box-shrunk by a
// whole factor that leaves the filter a ratio of 4 to 8; every other axis is
// filtered exactly as it always was.
constexpr std::int32_t kMinPeakWeight = 8;
constexpr int kBoxLeavesRatio = 4;

int BoxFactor(int source, int target) {
  if (source <= 0 || target <= 0 || target >= source) return 1;
  const float scale = ResampleScale(source, target);
  if (RoundEven(static_cast<long double>(scale) * 256) >= kMinPeakWeight) return 1;
  return std::max(1, source / (kBoxLeavesRatio * target));
}

// Averages blocks of kx x ky source pixels (fewer at the right and bottom
// edges), rounding halves up: Bgr rows in, one Bgr row out per ky rows.
class BoxShrink {
 public:
  BoxShrink(int sw, int sh, int kx, int ky)
      : sw_(sw), sh_(sh), kx_(kx), ky_(ky), ow_((sw + kx - 1) / kx), oh_((sh + ky - 1) / ky) {
    CheckAllocation(MulOrThrow(3 * static_cast<std::uint64_t>(ow_), sizeof(std::uint64_t)));
    sums_.assign(3 * static_cast<std::size_t>(ow_), 0);
    out_.resize(3 * static_cast<std::size_t>(ow_));
  }
  int Width() const { return ow_; }
  int Height() const { return oh_; }

  // Adds the next source row; true when an output row is ready in Out().
  bool Add(const std::uint8_t* bgr) {
    for (int i = 0; i < ow_; ++i) {
      const int end = std::min(sw_, (i + 1) * kx_);
      std::uint64_t b = 0, g = 0, r = 0;
      for (int x = i * kx_; x < end; ++x) {
        b += bgr[3 * x];
        g += bgr[3 * x + 1];
        r += bgr[3 * x + 2];
      }
      std::uint64_t* sum = &sums_[3 * static_cast<std::size_t>(i)];
      sum[0] += b;
      sum[1] += g;
      sum[2] += r;
    }
    ++rows_;
    ++received_;
    if (rows_ < ky_ && received_ < sh_) return false;
    for (int i = 0; i < ow_; ++i) {
      const std::uint64_t n = static_cast<std::uint64_t>(std::min(sw_, (i + 1) * kx_) - i * kx_) *
                              static_cast<std::uint64_t>(rows_);
      for (int c = 0; c < 3; ++c) {
        const std::size_t k = 3 * static_cast<std::size_t>(i) + static_cast<std::size_t>(c);
        out_[k] = static_cast<std::uint8_t>((sums_[k] + n / 2) / n);
        sums_[k] = 0;
      }
    }
    rows_ = 0;
    return true;
  }
  const std::uint8_t* Out() const { return out_.data(); }

 private:
  int sw_, sh_, kx_, ky_, ow_, oh_;
  int rows_ = 0, received_ = 0;
  std::vector<std::uint64_t> sums_;
  std::vector<std::uint8_t> out_;
};

}  // namespace

// Horizontal pass into a ring of intermediate rows, each row computed once,
// as its source row arrives (the vector engine computes two at a time); the
// vertical pass reads the ring and writes each target row as soon as the
// last intermediate row under its window exists. The ring holds as many rows
// as one target row's window spans, counted from the highest row computed so
// far, plus the one row a pair may run ahead, so neither the source nor the
// intermediate raster ever needs to exist whole.
struct TStreamResampler::State {
  State(std::shared_ptr<const HTable> ht, std::shared_ptr<const VTable> vt)
      : h_table(std::move(ht)), v_table(std::move(vt)) {}
  std::shared_ptr<const HTable> h_table;
  std::shared_ptr<const VTable> v_table;
  const HTable& h = *h_table;
  const VTable& v = *v_table;
  HorizontalRowsFn rows_avx2 = nullptr;
  bool avx2 = false;
  int sw = 0, sh = 0, tw = 0, th = 0;
  MutableRows dst{nullptr, 0};
  std::int64_t ring = 1;
  Plane work;
  std::vector<std::int32_t> need;  // per target row: intermediate rows it needs
  std::unique_ptr<TBgrRowReader> convert;
  std::vector<std::uint8_t> converted;  // two converted source rows
  std::vector<std::uint8_t> held;       // a source row waiting for its pair
  bool holding = false;
  int received = 0;  // source rows received
  int computed = 0;  // intermediate rows computed
  int emitted = 0;   // target rows written
  std::vector<std::uint32_t> acc;
  std::vector<const std::uint8_t*> rows;

  std::uint8_t* Slot(std::int64_t row) { return work.Row(static_cast<int>(row % ring)); }
  std::size_t SourceBytes() const { return 3 * static_cast<std::size_t>(sw); }
  std::size_t TargetBytes() const { return 3 * static_cast<std::size_t>(tw); }

  void Emit() {
    const std::size_t bytes = TargetBytes();
    while (emitted < th && need[static_cast<std::size_t>(emitted)] <= computed) {
      const VEntry& e = v.entries[static_cast<std::size_t>(emitted)];
      const TContributor* taps = v.taps.data() + e.begin;
      const std::size_t count = e.end - e.begin;
      rows.clear();
      for (std::size_t k = 0; k < count; ++k)
        rows.push_back(Slot(taps[k].pixel));
      if (v.identity)
        std::memcpy(dst[emitted], rows[0], bytes);
      else if (avx2)
        VerticalRowAvx2(e, taps, rows.data(), dst[emitted], bytes, acc);
      else
        VerticalBytesScalar(taps, rows.data(), count, e.total, dst[emitted], 0, bytes, acc);
      ++emitted;
    }
  }

  void One(const std::uint8_t* src) {
    if (h.identity)
      std::memcpy(Slot(computed), src, TargetBytes());
    else
      HorizontalRowScalar(h, src, Slot(computed));
    ++computed;
    Emit();
  }

  void Pair(const std::uint8_t* src0, const std::uint8_t* src1) {
    rows_avx2(h, src0, src1, Slot(computed), Slot(computed + 1));
    computed += 2;
    Emit();
  }

  bool Paired() const { return avx2 && !h.identity; }

  const std::uint8_t* Bgr(const std::uint8_t* row, int which) {
    if (!convert) return row;
    std::uint8_t* out = converted.data() + static_cast<std::size_t>(which) * SourceBytes();
    convert->Read(row, sw, out);
    return out;
  }

  void Push(const std::uint8_t* const* src, int count) {
    int k = 0;
    while (k < count) {
      if (!Paired()) {
        One(Bgr(src[k], 0));
        ++received;
        ++k;
      } else if (holding) {
        Pair(held.data(), Bgr(src[k], 0));
        holding = false;
        ++received;
        ++k;
      } else if (received + 1 >= sh) {
        One(Bgr(src[k], 0));  // the last row of an odd count
        ++received;
        ++k;
      } else if (k + 1 < count) {
        const std::uint8_t* a = Bgr(src[k], 0);
        Pair(a, Bgr(src[k + 1], 1));
        received += 2;
        k += 2;
      } else {
        // Its pair comes with the next batch.
        std::memcpy(held.data(), Bgr(src[k], 0), SourceBytes());
        holding = true;
        ++received;
        ++k;
      }
    }
  }
};

struct TStreamResampler::Box {
  Box(const TRowLayout& layout, int kx, int ky)
      : shrink(layout.width, layout.height, kx, ky),
        convert(layout.sample),
        width(layout.width),
        row(3 * static_cast<std::size_t>(layout.width)) {}
  BoxShrink shrink;
  TBgrRowReader convert;
  int width;
  std::vector<std::uint8_t> row;
};

TStreamResampler::TStreamResampler(ResampleFilter filter, float radius, TBitmap& target,
                                   ResampleEngine engine)
    : filter_(filter), radius_(radius), target_(target), engine_(engine) {
  CheckRadius(radius);
  DefaultFilterRadius(filter);  // rejects a filter outside the table
  if (target.BitsPerPixel() != 24) throw EGraphicError(kInvalidPixelFormatText);
}

TStreamResampler::~TStreamResampler() = default;

void TStreamResampler::Begin(const TRowLayout& layout) {
  state_.reset();
  started_ = true;
  const int tw = target_.Width(), th = target_.Height();
  expected_ = layout.height;
  received_ = 0;
  box_.reset();
  // Any side of 0: the target keeps its content.
  if (layout.width == 0 || layout.height == 0 || tw == 0 || th == 0) return;
  const int kx = BoxFactor(layout.width, tw), ky = BoxFactor(layout.height, th);
  TRowLayout filtered;
  if (kx > 1 || ky > 1) {
    box_ = std::make_unique<Box>(layout, kx, ky);
    filtered.width = box_->shrink.Width();
    filtered.height = box_->shrink.Height();
    filtered.sample.SetPixelFormat(TPixelFormat::Bgr24);
  }
  const TRowLayout& input = box_ ? filtered : layout;
  const int sw = input.width, sh = input.height;
  const bool avx2 = engine_ != ResampleEngine::Scalar && ResampleAvx2Available();
  auto s = std::make_unique<State>(CachedHTable(sw, tw, filter_, radius_, avx2),
                                   CachedVTable(sh, th, filter_, radius_));
  s->avx2 = avx2;
  s->rows_avx2 = PickHorizontalRows(s->h.groups, std::make_integer_sequence<int, 17>());
  s->sw = sw;
  s->sh = sh;
  s->tw = tw;
  s->th = th;
  std::int64_t ring = 1, highest = -1;
  s->need.resize(static_cast<std::size_t>(th));
  for (std::size_t j = 0; j < s->v.entries.size(); ++j) {
    const VEntry& e = s->v.entries[j];
    std::int32_t own = -1;
    for (std::size_t k = e.begin; k < e.end; ++k) {
      highest = std::max<std::int64_t>(highest, s->v.taps[k].pixel);
      own = std::max(own, s->v.taps[k].pixel);
    }
    s->need[j] = own + 1;
    for (std::size_t k = e.begin; k < e.end; ++k)
      ring = std::max(ring, highest - s->v.taps[k].pixel + 1);
  }
  s->ring = std::min<std::int64_t>(ring + 1, sh);
  s->work = MakePlane(tw, static_cast<int>(s->ring));
  s->dst = MutableRows{target_.Row(0), target_.RowStride()};
  TBgrRowReader reader(input.sample);
  if (!reader.Identity()) {
    s->convert = std::make_unique<TBgrRowReader>(input.sample);
    s->converted.resize(2 * s->SourceBytes());
  }
  if (s->Paired()) s->held.resize(s->SourceBytes());
  state_ = std::move(s);
}

void TStreamResampler::Rows(int first, const std::uint8_t* const* rows, int count) {
  if (!started_ || first != received_ || count < 0 || count > expected_ - received_)
    throw EGraphicError(kScanLineRangeText);
  received_ += count;
  if (!state_) return;
  if (!box_) return state_->Push(rows, count);
  for (int k = 0; k < count; ++k) {
    box_->convert.Read(rows[k], box_->width, box_->row.data());
    if (box_->shrink.Add(box_->row.data())) {
      const std::uint8_t* out = box_->shrink.Out();
      state_->Push(&out, 1);
    }
  }
}

void TStreamResampler::Finish() {
  if (!started_ || received_ != expected_) throw EGraphicError(kScanLineRangeText);
  state_.reset();
  box_.reset();
}

namespace {

// The fast engines over a whole raster: its rows handed to the streaming
// resampler.
void FastCore(const TBitmap& source, TBitmap& target, ResampleFilter filter, float radius,
              ResampleEngine engine) {
  TStreamResampler stream(filter, radius, target, engine);
  DeliverRows(source, stream);
  stream.Finish();
}

}  // namespace

// The reciprocal is 1 / total rounded up by about 2^-21. The bump keeps exact
// multiples from landing below their quotient; the limits keep every other
// sum below the next integer, since the bump's error, at most 256 * 2^-20,
// stays under 1 / total.
float VectorReciprocal(std::int32_t total) {
  return static_cast<float>(1.0 / total * (1.0 + 0x1p-21));
}

bool ResampleAvx2Available() {
  static const bool available = DetectAvx2();
  return available;
}

void ResampleCore(ResampleFilter filter, const TBitmap& source, TBitmap& target, float radius,
                  ResampleEngine engine) {
  CheckRadius(radius);
  DefaultFilterRadius(filter);  // rejects a filter outside the table
  if (target.BitsPerPixel() != 24) throw EGraphicError(kInvalidPixelFormatText);
  const int sw = source.Width(), sh = source.Height(), tw = target.Width(), th = target.Height();
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (engine != ResampleEngine::Reference) return FastCore(source, target, filter, radius, engine);

  TBitmap converted;
  const TBitmap* from = &source;
  if (source.BitsPerPixel() != 24) {
    converted.Assign(source);
    converted.SetPixelFormat(TPixelFormat::Bgr24);
    from = &converted;
  }
  const int kx = BoxFactor(sw, tw), ky = BoxFactor(sh, th);
  TBitmap boxed;
  if (kx > 1 || ky > 1) {
    BoxShrink box(sw, sh, kx, ky);
    boxed.SetPixelFormat(TPixelFormat::Bgr24);
    boxed.SetSize(box.Width(), box.Height());
    for (int y = 0, out = 0; y < sh; ++y)
      if (box.Add(from->ConstRow(y)))
        std::memcpy(boxed.Row(out++), box.Out(), 3 * static_cast<std::size_t>(box.Width()));
    from = &boxed;
  }
  const Rows src{from->ConstRow(0), from->RowStride()};
  const MutableRows dst{target.Row(0), target.RowStride()};
  ReferenceCore(src, from->Width(), from->Height(), dst, tw, th, filter, radius);
}

void Resample(std::uint32_t new_width, std::uint32_t new_height, ResampleFilter filter,
              float radius, TBitmap& source) {
  if (radius == 0) radius = DefaultFilterRadius(filter);
  CheckRadius(radius);
  if (new_width > INT_MAX || new_height > INT_MAX) ThrowOutOfResources();
  TBitmap target;
  target.SetPixelFormat(TPixelFormat::Bgr24);
  target.SetSize(static_cast<int>(new_width), static_cast<int>(new_height));
  ResampleCore(filter, source, target, radius);
  source.Assign(target);
}

}  // namespace skalo
