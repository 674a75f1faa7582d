#include "engine/rotate.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/checked.h"

namespace skalo {

namespace {

// Pi to the 64-bit mantissa of long double (slightly above pi).
constexpr long double kPi = 3.141592653589793238462643383279502884L;

// Round half to even for |v| < 2^62: adding and removing 1.5 * 2^63 leaves no
// fraction bits in the 64-bit mantissa, so the addition rounds.
inline std::int64_t RoundEven(long double v) {
  constexpr long double kShift = 0x1.8p63L;
  return static_cast<std::int64_t>(static_cast<double>((v + kShift) - kShift));
}

// A result side: Round(a), refused when it cannot be a raster side.
int Side(long double a) {
  if (!(a < 0x1p62L)) ThrowOutOfResources();
  const std::int64_t side = RoundEven(a);
  if (side > INT_MAX) ThrowOutOfResources();
  return static_cast<int>(side);
}

}  // namespace

std::unique_ptr<TBitmap> RotateBitmap(TBitmap& source, TColor color, long double angle) {
  if (!std::isfinite(angle)) throw EGraphicError("Invalid rotation angle");
  // Into [0, 360): the exact remainder, which is what subtracting or adding
  // 360 step by step gives (every step is exact for any angle a job can ask
  // for), without looping.
  long double a = angle;
  if (a >= 360) a = std::fmod(a, 360.0L);
  if (a < 0) {
    a = std::fmod(a, 360.0L);
    a = a < 0 ? a + 360 : 0.0L;
  }
  const long double theta = a * kPi / 180;
  const long double sn = std::sin(theta);
  const long double cs = std::cos(theta);

  const int w = source.Width(), h = source.Height();
  const int rw = Side(w * std::fabs(cs) + h * std::fabs(sn));
  const int rh = Side(w * std::fabs(sn) + h * std::fabs(cs));

  auto result = std::make_unique<TBitmap>();
  result->SetPixelFormat(TPixelFormat::Bgr24);
  result->Canvas().Brush().SetColor(color);  // new pixels take the brush colour
  result->SetSize(rw, rh);
  source.SetPixelFormat(TPixelFormat::Bgr24);
  if (result->Empty() || source.Empty()) return result;

  // Centres. Source pixel (cxs, cys) lands on result pixel (cxd, cyd); the
  // source centre moves one pixel back on an axis whose cosine or sine
  // is negative, which keeps quarter turns of even sides in place.
  const int cxd = rw / 2, cyd = rh / 2;
  const int cxs = w / 2 - (cs < 0 ? 1 : 0);
  const int cys = h / 2 - (sn < 0 ? 1 : 0);

  // dx * cs and dx * sn per result column, the same products the per-pixel
  // formula forms.
  std::vector<long double> xcs(static_cast<std::size_t>(rw)), xsn(static_cast<std::size_t>(rw));
  for (int x = 0; x < rw; ++x) {
    const long double dx = x - cxd;
    xcs[static_cast<std::size_t>(x)] = dx * cs;
    xsn[static_cast<std::size_t>(x)] = dx * sn;
  }
  const std::uint8_t* src = source.ConstRow(0);
  const std::ptrdiff_t src_stride = source.RowStride();
  std::uint8_t* dst = result->Row(0);
  const std::ptrdiff_t dst_stride = result->RowStride();
  for (int y = 0; y < rh; ++y, dst += dst_stride) {
    const long double dy = y - cyd;
    const long double ysn = dy * sn, ycs = dy * cs;
    for (int x = 0; x < rw; ++x) {
      const std::int64_t sx = RoundEven(xcs[static_cast<std::size_t>(x)] - ysn) + cxs;
      const std::int64_t sy = RoundEven(xsn[static_cast<std::size_t>(x)] + ycs) + cys;
      if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
      std::memcpy(dst + 3 * static_cast<std::ptrdiff_t>(x), src + sy * src_stride + 3 * sx, 3);
    }
  }
  return result;
}

}  // namespace skalo
