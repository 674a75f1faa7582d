// Text conversions of settings values and query fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace skalo {

// Optional leading blanks, an optional sign, then decimal digits or a
// hexadecimal number introduced by "$", "x", "X", "0x" or "0X", ending right
// after the digits and fitting 32 bits signed. Anything else: no value.
std::optional<std::int32_t> TryStrToInt(std::string_view text);
// TryStrToInt, or `fallback` when the text does not convert.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

// A number (sign, fraction, exponent) is true when not zero; otherwise "True"
// or "False" in any letter case. Throws Exception "'%s' is not a valid boolean
// value" for other texts.
bool StrToBool(std::string_view text);

}  // namespace skalo
