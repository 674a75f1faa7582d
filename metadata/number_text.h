// Number text for rendered metadata values, independent of the process
// locale: decimal point ".", no grouping. Fixed-point output follows printf's
// "%W.Pf" in the "C" locale (correctly rounded, ties to even on exact
// binary values).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skalo {

// The value as "%<width>.<precision>f": at least `width` characters, blanks
// in front.
std::string FormatFixed(double value, int width, int precision);

// Applies a display pattern made of a prefix, one "%[width][.precision]f"
// conversion and a suffix ("%5.2f mm", "F%0.1f") to `value`. "%%" stands
// for "%". A pattern without such a conversion is returned as it is.
std::string ApplyNumericPattern(std::string_view pattern, double value);

// Parses a decimal integer: blanks around it, an optional sign, digits.
// Nothing for anything else or a value outside 32 bits.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// Rounds to the nearest integer, halves to even; nothing when the result
// does not fit 64 bits (or for NaN).
std::optional<std::int64_t> RoundHalfEven(double value);
// The same, saturated to the 32-bit range (NaN gives 0).
std::int32_t RoundToInt32(double value);

// Removes leading and trailing characters up to and including the blank
// (code <= 32).
std::string_view TrimControl(std::string_view text);
// Removes leading and trailing blanks only.
std::string_view TrimBlanks(std::string_view text);

}  // namespace skalo
