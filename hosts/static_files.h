// Opening the files the host serves from its document folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skalo::host {

// An open file descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

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
