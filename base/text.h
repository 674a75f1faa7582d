// Byte-text helpers used by every layer: ASCII letter case, markup escaping,
// percent-decoding, and the rule for control bytes in untrusted text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace skalo {

// Comparison without regard to the letter case of A to Z.
bool SameText(std::string_view a, std::string_view b);
// True when `text` begins with `prefix`, letters A to Z compared without case.
bool StartsWithText(std::string_view text, std::string_view prefix);
// Lower-cases the letters A to Z only; every other byte stays.
std::string LowerCaseAscii(std::string_view text);
char LowerCaseAscii(char c);

// Escapes &, <, > and " for HTML and XML text; other text stays as it is.
std::string HtmlEscape(std::string_view text);

// Value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// Control bytes: below 0x20 (NUL, tab, CR, LF ...) and DEL. Untrusted names and
// values holding one are refused before they reach a file name, a cache key
// or a header.
constexpr bool IsControlByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}
bool HasControlByte(std::string_view text);
// The text with every control byte written as "%XX", for messages.
std::string ShowControlBytes(std::string_view text);

// Percent-decoding in its two flavours: query fields ("+" is a blank, "%%" a
// single "%") and URL paths (both stay as they are).
enum class PercentForm { kQuery, kPath };
struct PercentDecoded {
  enum class Fault { kNone, kTruncated, kBadDigits };
  std::string text;
  Fault fault = Fault::kNone;
  std::size_t at = 0;  // offset of the faulty "%" in the input
};
PercentDecoded PercentDecode(std::string_view text, PercentForm form);

}  // namespace skalo
