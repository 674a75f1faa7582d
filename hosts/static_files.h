// Opening the files the host serves from its document folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hosts/unique_fd.h"

namespace skalo::host {

struct StaticFile {
  UniqueFd fd;
  std::uint64_t size = 0;
  std::string name;  // file name served (index.html for a folder), for its type
};

// Opens the regular file at `path` for reading; for a folder, its index.html.
// nullopt for anything else (missing, unreadable, a device, a pipe, a folder
// without index.html). Never blocks on special files.
std::optional<StaticFile> OpenStaticFile(const std::string& path);

// Content-Type for a file name, by its extension (any case).
std::string_view ContentTypeFor(std::string_view file_name);

}  // namespace skalo::host
