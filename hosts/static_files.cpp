#include "hosts/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

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

}  // namespace

std::optional<StaticFile> OpenStaticFile(const std::string& path) {
  auto opened = OpenAt(AT_FDCWD, path.c_str());
  if (!opened) return std::nullopt;
  std::string name = path.substr(path.rfind('/') + 1);
  if (S_ISDIR(opened->second.st_mode)) {
    opened = OpenAt(opened->first.get(), "index.html");
    if (!opened) return std::nullopt;
    name = "index.html";
  }
  if (!S_ISREG(opened->second.st_mode)) return std::nullopt;
  StaticFile file;
  file.fd = std::move(opened->first);
  file.size = static_cast<std::uint64_t>(opened->second.st_size);
  file.name = std::move(name);
  return file;
}

std::string_view ContentTypeFor(std::string_view file_name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kTypes = {{
      {"html", "text/html"},
      {"htm", "text/html"},
      {"css", "text/css"},
      {"js", "text/javascript"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"bmp", "image/bmp"},
      {"tga", "image/x-tga"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"xml", "text/xml"},
      {"txt", "text/plain"},
      {"svg", "image/svg+xml"},
      {"ico", "image/x-icon"},
  }};
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string_view::npos && file_name.find('/', dot) == std::string_view::npos) {
    std::string extension(file_name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; });
    for (const auto& [known, type] : kTypes) {
      if (extension == known) return type;
    }
  }
  return "application/octet-stream";
}

}  // namespace skalo::host
