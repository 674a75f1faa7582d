#include "metadata/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace skalo {

std::string FormatFixed(double value, int width, int precision) {
  // A double's integer part has at most 309 digits; precision is capped so
  // the buffer always suffices.
  char buf[400];
  precision = precision < 0 ? 0 : (precision > 40 ? 40 : precision);
  const auto result =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
  std::string text = result.ec == std::errc() ? std::string(buf, result.ptr) : std::string();
  if (width > 0 && text.size() < static_cast<std::size_t>(width))
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

namespace {

// Reads up to two digits; patterns come from our own tables, so large field
// widths are not wanted.
int ReadSmallNumber(std::string_view text, std::size_t& i) {
  int n = 0;
  for (int digits = 0; i < text.size() && digits < 2 && text[i] >= '0' && text[i] <= '9';
       ++digits, ++i)
    n = n * 10 + (text[i] - '0');
  return n;
}

}  // namespace

std::string ApplyNumericPattern(std::string_view pattern, double value) {
  std::string out;
  bool converted = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    const int width = ReadSmallNumber(pattern, j);
    int precision = 6;
    if (j < pattern.size() && pattern[j] == '.') {
      ++j;
      precision = ReadSmallNumber(pattern, j);
    }
    if (converted || j >= pattern.size() || pattern[j] != 'f') return std::string(pattern);
    out += FormatFixed(value, width, precision);
    converted = true;
    i = j;
  }
  return converted ? out : std::string(pattern);
}

std::optional<std::int32_t> ParseInt32(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::int32_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> RoundHalfEven(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double r = std::nearbyint(value);  // default rounding mode: to nearest, ties to even
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (r >= 9223372036854775808.0 || r < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

std::int32_t RoundToInt32(double value) {
  if (std::isnan(value)) return 0;
  const auto r = RoundHalfEven(value);
  if (!r)
    return value > 0 ? std::numeric_limits<std::int32_t>::max()
                     : std::numeric_limits<std::int32_t>::min();
  if (*r > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (*r < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(*r);
}

std::string_view TrimControl(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
    text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
    text.remove_suffix(1);
  return text;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

}  // namespace skalo
