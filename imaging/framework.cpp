#include "imaging/framework.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace skalo {

std::string SysErrorMessage(int err) {
  char buf[256];
  // GNU strerror_r may answer a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (pos_ >= data_.size()) return 0;
  const std::size_t n = std::min(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  if (data_.size() - pos_ < count) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
}

void TMemoryStream::SetPosition(std::uint64_t pos) {
  pos_ = static_cast<std::size_t>(std::min<std::uint64_t>(pos, data_.size()));
}

std::vector<std::uint8_t> TMemoryStream::TakeBytes() noexcept {
  pos_ = 0;
  return std::move(data_);
}

void TMemoryStream::Clear() noexcept {
  data_.clear();
  pos_ = 0;
}

namespace {

// Closes a descriptor on every path.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  FileDescriptor f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = f.fd < 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : errno);
    throw EFOpenError("Cannot open file \"" + path + "\". " + SysErrorMessage(err));
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(f.fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EFOpenError("Cannot open file \"" + path + "\". " + SysErrorMessage(errno));
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    const std::string& shown_name) {
  FileDescriptor f;
  f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (f.fd < 0) {
    throw EFCreateError("Cannot create file \"" + (shown_name.empty() ? path : shown_name) +
                        "\". " + SysErrorMessage(errno));
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(f.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Stream write error");
    }
    done += static_cast<std::size_t>(n);
  }
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string LowerCaseAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

std::string ExtractFileName(const std::string& path) {
  const std::size_t sep = path.find_last_of("/\\:");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string ExtractFileExt(const std::string& path) {
  const std::size_t at = path.find_last_of(".\\/:");
  return at != std::string::npos && path[at] == '.' ? path.substr(at) : std::string();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace skalo
