#include "engine/orient.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace skalo {

namespace {

constexpr int kBytesPerPixel = 3;  // Bgr24
// Side of the square tiles of the transposing copies, in pixels: a tile
// reads 32 source rows of 96 bytes, which stay in the first-level cache
// while the 32 destination rows are written.
constexpr int kTile = 32;

inline void SwapPixels(std::uint8_t* a, std::uint8_t* b) noexcept {
  std::uint8_t t[kBytesPerPixel];
  std::memcpy(t, a, kBytesPerPixel);
  std::memcpy(a, b, kBytesPerPixel);
  std::memcpy(b, t, kBytesPerPixel);
}

// Reverses the order of the `w` pixels of one row.
void MirrorRow(std::uint8_t* row, int w) {
  for (int l = 0, r = w - 1; l < r; ++l, --r)
    SwapPixels(row + kBytesPerPixel * l, row + kBytesPerPixel * r);
}

// Orientations 2, 3 and 4, which keep the raster's size: pixels swap places
// inside the store.
void FlipInPlace(TBitmap& bitmap, bool mirror, bool flip) {
  const int w = bitmap.Width(), h = bitmap.Height();
  std::uint8_t* const base = bitmap.Row(0);  // a private store from here on
  const std::ptrdiff_t stride = bitmap.RowStride();
  const auto row = [&](int y) { return base + y * stride; };
  const std::size_t row_bytes = static_cast<std::size_t>(w) * kBytesPerPixel;
  if (!flip) {
    for (int y = 0; y < h; ++y)
      MirrorRow(row(y), w);
    return;
  }
  for (int top = 0, bottom = h - 1; top < bottom; ++top, --bottom) {
    std::uint8_t* a = row(top);
    std::uint8_t* b = row(bottom);
    if (!mirror) {
      std::swap_ranges(a, a + row_bytes, b);
      continue;
    }
    // A half turn: pixel x of the top row trades with pixel w - 1 - x of
    // the bottom row.
    for (int x = 0; x < w; ++x)
      SwapPixels(a + kBytesPerPixel * x, b + kBytesPerPixel * (w - 1 - x));
  }
  if (mirror && h % 2 == 1) MirrorRow(row(h / 2), w);
}

// Orientations 5 to 8: result pixel (X, Y) of the h x w result is source
// pixel (sx, sy) with sx = Y or w - 1 - Y and sy = X or h - 1 - X, so each
// result row is one source column read downwards or upwards. The copy runs
// tile by tile so that the source rows a tile reads stay cached.
void Transpose(TBitmap& bitmap, bool reverse_columns, bool reverse_rows) {
  const int w = bitmap.Width(), h = bitmap.Height();
  TBitmap turned;
  turned.SetPixelFormat(TPixelFormat::Bgr24);
  turned.SetSize(h, w);
  const std::uint8_t* const src = bitmap.ConstRow(0);
  const std::ptrdiff_t src_stride = bitmap.RowStride();
  std::uint8_t* const dst = turned.Row(0);
  const std::ptrdiff_t dst_stride = turned.RowStride();
  // Offsets rather than pointers: stepping upwards must not form a pointer
  // before the store.
  const std::ptrdiff_t step = reverse_rows ? -src_stride : src_stride;

  for (int y0 = 0; y0 < w; y0 += kTile) {
    const int y1 = std::min(y0 + kTile, w);
    for (int x0 = 0; x0 < h; x0 += kTile) {
      const int x1 = std::min(x0 + kTile, h);
      const std::ptrdiff_t first_row = reverse_rows ? h - 1 - x0 : x0;
      for (int y = y0; y < y1; ++y) {
        const std::ptrdiff_t sx = reverse_columns ? w - 1 - y : y;
        std::ptrdiff_t in = first_row * src_stride + kBytesPerPixel * sx;
        std::uint8_t* out = dst + y * dst_stride + kBytesPerPixel * x0;
        for (int x = x0; x < x1; ++x, in += step, out += kBytesPerPixel)
          std::memcpy(out, src + in, kBytesPerPixel);
      }
    }
  }
  turned.SetTransparent(bitmap.Transparent());
  turned.SetTransparentColor(bitmap.TransparentColor());
  bitmap.Assign(turned);
}

}  // namespace

void ApplyExifOrientation(TBitmap& bitmap, int orientation) {
  if (orientation < 2 || orientation > 8) return;
  bitmap.SetPixelFormat(TPixelFormat::Bgr24);
  const bool transposes = orientation >= 5;
  if (bitmap.Empty()) {
    if (transposes) bitmap.SetSize(bitmap.Height(), bitmap.Width());
    return;
  }
  switch (orientation) {
    case 2:
      FlipInPlace(bitmap, /*mirror=*/true, /*flip=*/false);
      break;
    case 3:
      FlipInPlace(bitmap, /*mirror=*/true, /*flip=*/true);
      break;
    case 4:
      FlipInPlace(bitmap, /*mirror=*/false, /*flip=*/true);
      break;
    case 5:
      Transpose(bitmap, /*reverse_columns=*/false, /*reverse_rows=*/false);
      break;
    case 6:
      Transpose(bitmap, /*reverse_columns=*/false, /*reverse_rows=*/true);
      break;
    case 7:
      Transpose(bitmap, /*reverse_columns=*/true, /*reverse_rows=*/true);
      break;
    default:  // 8
      Transpose(bitmap, /*reverse_columns=*/true, /*reverse_rows=*/false);
      break;
  }
}

}  // namespace skalo
