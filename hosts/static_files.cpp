#include "hosts/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "base/http_fields.h"
#include "base/text.h"

namespace skalo::host {
namespace {

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens `name` relative to `dir` (AT_FDCWD for an absolute path); answers the
// descriptor and its status.
std::optional<std::pair<UniqueFd, struct stat>> OpenAt(int dir, const char* name) {
  UniqueFd fd(openat(dir, name, kOpenFlags));
  if (!fd) return std::nullopt;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return std::nullopt;
  return std::make_pair(std::move(fd), info);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Digits as a number, saturating at the largest value instead of wrapping;
// nullopt when empty or not all digits.
std::optional<std::uint64_t> ParsePosition(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  return value;
}

// The answer for a Range field on a file of `size` bytes (RFC 7233, section
// 2.1); nullopt when the whole file is sent instead: a field that cannot be
// parsed, another unit, or several ranges.
std::optional<StaticPlan> PlanRange(std::string_view field, std::uint64_t size) {
  field = TrimHttpSpace(field);
  if (!StartsWithText(field, "bytes=")) return std::nullopt;
  std::string_view item_range;
  int count = 0;
  for (std::string_view rest = field.substr(6); !rest.empty();) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = TrimHttpSpace(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (item.empty()) continue;
    item_range = item;
    ++count;
  }
  if (count != 1) return std::nullopt;
  const std::size_t dash = item_range.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const StaticPlan unsatisfiable{416, 0, 0};
  if (dash == 0) {  // the last N bytes
    const auto suffix = ParsePosition(item_range.substr(1));
    if (!suffix) return std::nullopt;
    if (*suffix == 0 || size == 0) return unsatisfiable;
    const std::uint64_t length = std::min(*suffix, size);
    return StaticPlan{206, size - length, length};
  }
  const auto first = ParsePosition(item_range.substr(0, dash));
  if (!first) return std::nullopt;
  std::uint64_t last = UINT64_MAX;
  if (dash + 1 < item_range.size()) {
    const auto given = ParsePosition(item_range.substr(dash + 1));
    if (!given || *given < *first) return std::nullopt;
    last = *given;
  }
  if (*first >= size) return unsatisfiable;
  last = std::min(last, size - 1);
  return StaticPlan{206, *first, last - *first + 1};
}

}  // namespace

std::optional<StaticFile> OpenStaticFile(const std::string& path) {
  auto opened = OpenAt(AT_FDCWD, path.c_str());
  if (!opened) return std::nullopt;
  std::string name = path.substr(path.rfind('/') + 1);
  bool folder = false;
  if (S_ISDIR(opened->second.st_mode)) {
    opened = OpenAt(opened->first.get(), "index.html");
    if (!opened) return std::nullopt;
    name = "index.html";
    folder = true;
  }
  if (!S_ISREG(opened->second.st_mode)) return std::nullopt;
  const struct stat& info = opened->second;
  StaticFile file;
  file.fd = std::move(opened->first);
  file.size = static_cast<std::uint64_t>(info.st_size);
  file.mtime_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                  static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  file.name = std::move(name);
  file.folder = folder;
  return file;
}

std::string_view ContentTypeFor(std::string_view file_name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 26> kTypes = {{
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"mjs", "text/javascript; charset=utf-8"},
      {"txt", "text/plain; charset=utf-8"},
      {"xml", "text/xml"},
      {"json", "application/json"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"bmp", "image/bmp"},
      {"tga", "image/x-tga"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"svg", "image/svg+xml"},
      {"webp", "image/webp"},
      {"avif", "image/avif"},
      {"ico", "image/x-icon"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"pdf", "application/pdf"},
      {"wasm", "application/wasm"},
      {"map", "application/json"},
      {"webmanifest", "application/manifest+json"},
  }};
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string_view::npos && file_name.find('/', dot) == std::string_view::npos) {
    const std::string_view extension = file_name.substr(dot + 1);
    for (const auto& [known, type] : kTypes) {
      if (SameText(extension, known)) return type;
    }
  }
  return "application/octet-stream";
}

std::string EntityTag(const StaticFile& file) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "\"%" PRIx64 "-%" PRIx64 "\"",
                                   static_cast<std::uint64_t>(file.mtime_ns), file.size);
  return std::string(text, static_cast<std::size_t>(length));
}

StaticPlan PlanStaticAnswer(const StaticFile& file, const StaticConditions& request) {
  StaticPlan whole{200, 0, file.size};
  const std::string tag = EntityTag(file);
  const std::time_t modified = static_cast<std::time_t>(file.mtime_ns / 1000000000);

  // RFC 7232, section 6: If-None-Match decides alone when sent.
  if (request.if_none_match) {
    if (EntityTagListMatches(*request.if_none_match, tag)) return {304, 0, 0};
  } else if (request.if_modified_since) {
    const auto since = ParseHttpDate(*request.if_modified_since);
    if (since && *since <= request.now && modified <= *since) return {304, 0, 0};
  }

  if (!request.get || !request.range) return whole;
  if (request.if_range) {
    const std::string_view validator = TrimHttpSpace(*request.if_range);
    if (validator.starts_with('"') || validator.starts_with("W/")) {
      // Strong comparison: a weak tag never matches.
      if (validator != tag) return whole;
    } else {
      const auto date = ParseHttpDate(validator);
      if (!date || *date != modified) return whole;
    }
  }
  return PlanRange(*request.range, file.size).value_or(whole);
}

}  // namespace skalo::host
