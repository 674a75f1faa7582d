#include "base/text.h"

#include <algorithm>

namespace skalo {

char LowerCaseAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithText(a, b);
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (LowerCaseAscii(text[i]) != LowerCaseAscii(prefix[i])) return false;
  return true;
}

std::string LowerCaseAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = LowerCaseAscii(c);
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool HasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return IsControlByte(c); });
}

std::string ShowControlBytes(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!IsControlByte(c)) {
      out += c;
      continue;
    }
    const auto b = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

PercentDecoded PercentDecode(std::string_view text, PercentForm form) {
  PercentDecoded result;
  std::string& out = result.text;
  out.reserve(text.size());
  const bool query = form == PercentForm::kQuery;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && query) {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else if (query && i + 1 < text.size() && text[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (text.size() - i < 3) {
      result.fault = PercentDecoded::Fault::kTruncated;
      result.at = i;
      return result;
    } else {
      const int hi = HexDigitValue(text[i + 1]);
      const int lo = HexDigitValue(text[i + 2]);
      if (hi < 0 || lo < 0) {
        result.fault = PercentDecoded::Fault::kBadDigits;
        result.at = i;
        return result;
      }
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return result;
}

}  // namespace skalo
