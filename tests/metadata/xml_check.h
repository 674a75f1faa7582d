// A strict check of the EXIF fragment's shape: "<exifdata>", then triples of
// an opening tag, a text line and the matching closing tag, then
// "</exifdata>". Element names must be XML names made of [a-z0-9_.-]
// (starting with a letter or "_"); text may hold no "<", no "&" outside the
// three entities used, and no control characters but tab, LF and CR
// (XML 1.0, sections 2.2, 2.3 and 2.4).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace skalo::xmlcheck {

inline bool IsName(std::string_view name) {
  if (name.empty() || !((name[0] >= 'a' && name[0] <= 'z') || name[0] == '_')) return false;
  for (const char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'))
      return false;
  return true;
}

inline bool IsText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '<' || (c < 32 && c != '\t' && c != '\n' && c != '\r')) return false;
    if (c == '&') {
      const std::string_view rest = text.substr(i);
      if (rest.rfind("&amp;", 0) != 0 && rest.rfind("&lt;", 0) != 0 && rest.rfind("&gt;", 0) != 0)
        return false;
    }
  }
  return true;
}

inline std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  return s;
}

inline bool WellFormed(const std::vector<std::string>& lines) {
  if (lines.size() < 2 || (lines.size() - 2) % 3 != 0) return false;
  if (lines.front() != "<exifdata>" || Trimmed(lines.back()) != "</exifdata>") return false;
  for (std::size_t i = 1; i + 1 < lines.size(); i += 3) {
    const std::string_view open = Trimmed(lines[i]);
    const std::string_view close = Trimmed(lines[i + 2]);
    if (open.size() < 3 || open.front() != '<' || open.back() != '>') return false;
    const std::string_view name = open.substr(1, open.size() - 2);
    std::string expected_close("</");
    expected_close.append(name).push_back('>');
    if (!IsName(name) || close != expected_close) return false;
    if (!IsText(lines[i + 1])) return false;
  }
  return true;
}

}  // namespace skalo::xmlcheck
