// A temporary folder for a test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace skalo::host::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "skalo-host-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    // Canonical, so that tests can compare with what the host resolves.
    path_ = std::filesystem::canonical(pattern);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

  // Writes `content` to the relative path `name`, creating folders on the way.
  std::filesystem::path Write(const std::string& name, std::string_view content) const {
    const std::filesystem::path file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
    return file;
  }

  std::filesystem::path MakeDir(const std::string& name) const {
    std::filesystem::create_directories(path_ / name);
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace skalo::host::testing
