// Opening the files the host serves from its document folders, and the HTTP
// rules for answering them: validators, conditional requests, byte ranges.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace skalo::host {

struct StaticFile {
  UniqueFd fd;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // modification time, nanoseconds since the epoch
  std::string name;           // file name served (index.html for a folder), for its type
  bool folder = false;        // the path named a folder and this is its index.html
};

// Opens the regular file at `path` for reading; for a folder, its index.html.
// nullopt for anything else (missing, unreadable, a device, a pipe, a folder
// without index.html). Never blocks on special files.
std::optional<StaticFile> OpenStaticFile(const std::string& path);

// Content-Type for a file name, by its extension (any case); text types carry
// charset=utf-8.
std::string_view ContentTypeFor(std::string_view file_name);

// The strong entity tag of a file, quotes included: "<hex mtime-ns>-<hex size>".
std::string EntityTag(const StaticFile& file);

// The request fields that decide how a static file is answered; nullopt for
// an absent field.
struct StaticConditions {
  bool get = true;  // GET; false for HEAD, which ignores Range
  std::optional<std::string_view> if_none_match;
  std::optional<std::string_view> if_modified_since;
  std::optional<std::string_view> range;
  std::optional<std::string_view> if_range;
  std::time_t now = 0;  // dates later than this are not trusted
};

// How to answer: 200 (the whole file), 206 (`length` bytes from `offset`),
// 304 (not modified) or 416 (range not satisfiable).
struct StaticPlan {
  unsigned status = 200;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Applies the conditional request rules (If-None-Match before
// If-Modified-Since, with weak comparison and "*") and then a single byte
// range of Range (when If-Range, if sent, still names this file). Several
// ranges, or a Range that cannot be parsed, get the whole file.
StaticPlan PlanStaticAnswer(const StaticFile& file, const StaticConditions& request);

}  // namespace skalo::host
