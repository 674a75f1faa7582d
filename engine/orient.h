// Turning a stored raster upright by its EXIF orientation.
#pragma once

#include "imaging/bitmap.h"

namespace skalo {

// Rewrites `bitmap` so that it shows the picture as a viewer that honours
// the EXIF Orientation tag (EXIF 2.2 section 4.6.4, tag 0x0112) would show
// it: 1 unchanged, 2 mirrored left to right, 3 turned 180 degrees, 4
// mirrored top to bottom, 5 transposed (mirrored about the main diagonal),
// 6 turned 90 degrees clockwise, 7 transversed (mirrored about the other
// diagonal), 8 turned 90 degrees counter-clockwise. For 5 to 8 width and
// height swap.
//
// Any orientation outside 2..8 leaves the raster alone. Otherwise it is
// converted to Bgr24 first; 2 to 4 are done in place, 5 to 8 through a new
// store that `bitmap` then holds (its canvas and transparency are kept).
// Every pixel is a copy of one stored pixel; nothing is resampled.
//
// Failures: EOutOfResources when the turned raster cannot be allocated
// (`bitmap` is then Bgr24 but otherwise unchanged).
void ApplyExifOrientation(TBitmap& bitmap, int orientation);

}  // namespace skalo
