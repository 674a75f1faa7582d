#include "hosts/url_map.h"

#include <algorithm>

#include "base/text.h"

namespace skalo::host {
namespace {

// True when `path` equals `prefix` or continues it with a "/".
bool UnderPrefix(std::string_view path, std::string_view prefix) {
  if (!path.starts_with(prefix)) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

// Characters allowed literally in a configured URL prefix: RFC 3986 pchar
// without percent-encoding, plus "/".
bool IsPrefixChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

}  // namespace

bool HasEncodedSeparator(std::string_view text) {
  for (std::size_t i = 0; i + 2 < text.size(); ++i) {
    if (text[i] != '%') continue;
    const char a = text[i + 1];
    const char b = LowerCaseAscii(text[i + 2]);
    if ((a == '2' && (b == 'e' || b == 'f')) || (a == '5' && b == 'c') || (a == '0' && b == '0')) {
      return true;
    }
  }
  return false;
}

std::optional<std::vector<std::string_view>> NormalisePath(std::string_view path) {
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "..") {
      if (segments.empty()) return std::nullopt;
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  return segments;
}

std::optional<std::string> NormaliseMapUrl(std::string_view url) {
  if (url.size() >= kMapBufferSize) return std::nullopt;
  if (url.find('\0') != std::string_view::npos) return std::nullopt;
  if (HasEncodedSeparator(url)) return std::nullopt;
  const auto segments = NormalisePath(url);
  if (!segments) return std::nullopt;

  std::string normal;
  for (const std::string_view segment : *segments) {
    normal += '/';
    normal += segment;
  }
  if (normal.empty()) normal.push_back('/');
  return normal;
}

std::string MapUrlToPath(std::string_view url, const SiteMap& site) {
  const auto normalised = NormaliseMapUrl(url);
  if (!normalised) return {};
  const std::string& normal = *normalised;

  const AliasDir* alias = nullptr;
  for (const AliasDir& candidate : site.aliases) {
    if (UnderPrefix(normal, candidate.prefix) &&
        (alias == nullptr || candidate.prefix.size() > alias->prefix.size())) {
      alias = &candidate;
    }
  }

  std::string_view dir = site.root;
  std::string_view rest = normal == "/" ? std::string_view() : std::string_view(normal);
  if (alias != nullptr) {
    dir = alias->dir;
    rest = std::string_view(normal).substr(alias->prefix.size());
  }
  if (dir.empty()) return {};

  std::string result;
  if (rest.empty()) {
    result = dir;
  } else if (dir.back() == '/') {
    result.append(dir.substr(0, dir.size() - 1)).append(rest);
  } else {
    result.append(dir).append(rest);
  }
  if (result.size() >= kMapBufferSize) return {};
  return result;
}

std::optional<std::string> DecodeUrlPath(std::string_view raw) {
  PercentDecoded decoded = PercentDecode(raw, PercentForm::kPath);
  if (decoded.fault != PercentDecoded::Fault::kNone) return std::nullopt;
  if (decoded.text.find('\0') != std::string::npos) return std::nullopt;
  return std::move(decoded.text);
}

std::optional<RequestTarget> SplitTarget(std::string_view target) {
  std::string_view rest = target;
  if (!rest.starts_with('/')) {
    std::size_t scheme_end = 0;
    if (StartsWithText(rest, "http://")) {
      scheme_end = 7;
    } else if (StartsWithText(rest, "https://")) {
      scheme_end = 8;
    } else {
      return std::nullopt;
    }
    const std::size_t path_start = rest.find_first_of("/?#", scheme_end);
    if (path_start == scheme_end) return std::nullopt;  // no authority
    if (path_start == std::string_view::npos || rest[path_start] != '/') {
      // "http://host" or "http://host?q": the path is "/".
      RequestTarget parts{"/", {}};
      if (path_start != std::string_view::npos && rest[path_start] == '?') {
        parts.query = rest.substr(path_start + 1);
      }
      return parts;
    }
    rest = rest.substr(path_start);
  }
  RequestTarget parts;
  const std::size_t question = rest.find('?');
  parts.path = rest.substr(0, question);
  if (question != std::string_view::npos) parts.query = rest.substr(question + 1);
  return parts;
}

std::optional<std::string_view> PathUnderMount(std::string_view path, std::string_view mount) {
  if (mount.empty() || !UnderPrefix(path, mount)) return std::nullopt;
  return path.substr(mount.size());
}

std::optional<std::string> NormaliseUrlPrefix(std::string_view text) {
  std::string prefix;
  if (!text.starts_with('/')) prefix = "/";
  prefix.append(text);
  if (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix == "/") return std::nullopt;
  if (!std::all_of(prefix.begin(), prefix.end(), IsPrefixChar)) return std::nullopt;
  // Every segment after the leading "/" must be a plain name.
  std::size_t start = 1;
  while (start <= prefix.size()) {
    std::size_t end = prefix.find('/', start);
    if (end == std::string::npos) end = prefix.size();
    const std::string_view segment = std::string_view(prefix).substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return std::nullopt;
    start = end + 1;
  }
  return prefix;
}

}  // namespace skalo::host
