// Comparing two Bgr24 rasters pixel for pixel, row padding aside.
#pragma once

#include <cstddef>
#include <cstring>

#include "imaging/bitmap.h"

namespace skalo::testing {

inline bool SamePixels(const TBitmap& a, const TBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ConstRow(y), b.ConstRow(y), 3 * static_cast<std::size_t>(a.Width())) != 0)
      return false;
  return true;
}

}  // namespace skalo::testing
