// Rotation of a raster by an arbitrary angle about its centre.
#pragma once

#include <memory>

#include "imaging/bitmap.h"

namespace skalo {

// Turns `source` by `angle` degrees about its centre onto a new Bgr24 raster
// just large enough for the turned picture; pixels the picture does not cover
// take `color`. A positive angle turns the picture counter-clockwise on the
// screen. Sampling is nearest-neighbour: every result pixel is a copy of one
// source pixel or `color`.
//
// `source` is converted to Bgr24 in place as a side effect and is otherwise
// left alone; the caller owns the result. The angle is normalised into
// [0, 360) first; all angle arithmetic is in long double (64-bit mantissa),
// rounding half to even.
//
// Failures: EGraphicError for an angle that is not finite; EOutOfResources
// when the result would exceed the allocation cap.
std::unique_ptr<TBitmap> RotateBitmap(TBitmap& source, TColor color, long double angle);

}  // namespace skalo
