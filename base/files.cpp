#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"
#include "base/unique_fd.h"

namespace skalo {

namespace {

bool NamesAFile(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

}  // namespace

std::vector<std::uint8_t> ReadWholeFile(const std::string& path, std::uint64_t max_bytes) {
  const UniqueFd f(NamesAFile(path) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
  const int open_err = NamesAFile(path) ? errno : ENOENT;
  struct stat st {};
  if (!f || ::fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = !f ? open_err : (S_ISDIR(st.st_mode) ? EISDIR : errno);
    throw EFOpenError("Cannot open file \"" + path + "\". " + SysErrorMessage(err));
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_bytes)
    throw EFileTooLarge("Source image too large");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  for (;;) {
    // A file that grew since fstat is read on, within the same cap.
    if (done == bytes.size()) {
      if (bytes.size() >= max_bytes) {
        std::uint8_t probe;
        const ssize_t more = ::read(f.get(), &probe, 1);
        if (more > 0) throw EFileTooLarge("Source image too large");
        if (more < 0 && errno == EINTR) continue;
        break;
      }
      bytes.resize(std::min<std::uint64_t>(max_bytes, bytes.size() + 65536));
    }
    const ssize_t n = ::read(f.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EFOpenError("Cannot open file \"" + path + "\". " + SysErrorMessage(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const std::string& shown_name) {
  const UniqueFd f(
      NamesAFile(path) ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1);
  if (!f) {
    const int err = NamesAFile(path) ? errno : ENOENT;
    throw EFCreateError("Cannot create file \"" + (shown_name.empty() ? path : shown_name) +
                        "\". " + SysErrorMessage(err));
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(f.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Stream write error");
    }
    done += static_cast<std::size_t>(n);
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return NamesAFile(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return NamesAFile(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExtractFileName(const std::string& path) {
  const std::size_t sep = path.find_last_of("/\\:");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string ExtractFileExt(const std::string& path) {
  const std::size_t at = path.find_last_of(".\\/:");
  return at != std::string::npos && path[at] == '.' ? path.substr(at) : std::string();
}

}  // namespace skalo
