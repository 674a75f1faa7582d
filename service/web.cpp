#include "service/web.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace skalo {

// ---------------------------------------------------------------- texts

std::string HeaderSafe(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\r', ' ');
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

const char* ReasonPhrase(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

// ---------------------------------------------------------------- field list

std::vector<std::string> SplitQueryFields(std::string_view query) {
  std::vector<std::string> fields;
  const std::size_t n = query.size();
  std::size_t pos = 0;
  while (pos < n) {
    // CR and LF at the start of a field are skipped, so CR LF counts as one cut.
    while (pos < n && (query[pos] == '\r' || query[pos] == '\n'))
      ++pos;
    if (pos >= n) break;

    if (query[pos] == '"') {
      // A field that opens with a quote runs to the closing quote; both quotes
      // are dropped. What follows the closing quote starts a field of its own.
      const std::size_t close = query.find('"', pos + 1);
      if (close == std::string_view::npos) {
        fields.emplace_back(query.substr(pos + 1));
        break;
      }
      fields.emplace_back(query.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      continue;
    }

    // Elsewhere quotes stay in the field but still protect separators.
    const std::size_t start = pos;
    bool quoted = false;
    while (pos < n) {
      const char c = query[pos];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && (c == '&' || c == '\r' || c == '\n')) {
        break;
      }
      ++pos;
    }
    fields.emplace_back(query.substr(start, pos - start));
    if (pos < n) ++pos;  // step over the separator that ended the field
  }
  return fields;
}

std::string DecodeQueryField(std::string_view field) {
  PercentDecoded decoded = PercentDecode(field, PercentForm::kQuery);
  switch (decoded.fault) {
    case PercentDecoded::Fault::kNone:
      break;
    case PercentDecoded::Fault::kTruncated:
      throw Exception("Error decoding URL style (%XX) encoded string at position " +
                      std::to_string(decoded.at + 1));
    case PercentDecoded::Fault::kBadDigits:
      throw Exception("Invalid URL encoded character (" + std::string(field.substr(decoded.at, 3)) +
                      ") at position " + std::to_string(decoded.at + 1));
  }
  return std::move(decoded.text);
}

TFieldList TFieldList::FromQuery(std::string_view query) {
  TFieldList list;
  for (const std::string& field : SplitQueryFields(query))
    list.entries_.push_back(DecodeQueryField(field));
  return list;
}

std::vector<std::string>::iterator TFieldList::Find(std::string_view name) {
  return std::find_if(entries_.begin(), entries_.end(), [name](const std::string& entry) {
    const std::size_t eq = entry.find('=');
    return eq != std::string::npos && SameText(std::string_view(entry).substr(0, eq), name);
  });
}

std::string TFieldList::Value(std::string_view name) const {
  for (const std::string& entry : entries_) {
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos && SameText(std::string_view(entry).substr(0, eq), name))
      return entry.substr(eq + 1);
  }
  return std::string();
}

void TFieldList::SetValue(std::string_view name, std::string_view value) {
  const auto it = Find(name);
  if (value.empty()) {
    if (it != entries_.end()) entries_.erase(it);
    return;
  }
  std::string entry = std::string(name) + "=" + std::string(value);
  if (it != entries_.end())
    *it = std::move(entry);
  else
    entries_.push_back(std::move(entry));
}

std::string TFieldList::Text() const {
  std::string text;
  for (const std::string& entry : entries_) {
    text += entry;
    text += "\r\n";
  }
  return text;
}

std::optional<std::string> TFieldList::FirstInvalidField() const {
  for (const std::string& entry : entries_) {
    if (!HasControlByte(entry)) continue;
    return ShowControlBytes(std::string_view(entry).substr(0, entry.find('=')));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- content file

TContentFile& TContentFile::operator=(TContentFile&& other) noexcept {
  if (this != &other) {
    fd_ = std::move(other.fd_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

TContentFile TContentFile::Open(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return {};
  // Non-blocking, so that a pipe in the file's place cannot hold the open up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    if (!FileExists(path)) return {};
    throw EFOpenError("Cannot open file \"" + path + "\". " + SysErrorMessage(err));
  }
  TContentFile file(fd, 0);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  return file;
}

std::size_t TContentFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_.get(), static_cast<char*>(buffer) + done, count - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EStreamError("Stream read error");
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

// ---------------------------------------------------------------- request

TWebRequest::TWebRequest(EXTENSION_CONTROL_BLOCK* ecb) : ecb_(ecb) {
  method_ = ecb->lpszMethod ? ecb->lpszMethod : "";
  path_info_ = ecb->lpszPathInfo ? ecb->lpszPathInfo : "";
  query_ = ecb->lpszQueryString ? ecb->lpszQueryString : "";
  script_name_ = ServerVariable("SCRIPT_NAME");
  host_ = ServerVariable("HTTP_HOST");
  protocol_ = ServerVariable("SERVER_PROTOCOL");
}

std::string TWebRequest::ServerVariable(const char* name) const {
  if (!ecb_->GetServerVariable) return std::string();
  // Most values fit the first buffer, which costs no allocation.
  char first[256];
  std::vector<char> larger;
  char* buffer = first;
  std::size_t capacity = sizeof first;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(capacity);
    if (ecb_->GetServerVariable(ecb_->ConnID, name, buffer, &size))
      return std::string(buffer, strnlen(buffer, capacity));
    // Too small: the host told us the size it needs.
    if (size <= capacity || size > (1u << 20)) break;
    larger.resize(size);
    buffer = larger.data();
    capacity = larger.size();
  }
  return std::string();
}

TFieldList& TWebRequest::ContentFields() {
  if (!fields_) fields_ = TFieldList::FromQuery(query_);
  return *fields_;
}

std::string TWebRequest::TranslateURI(const std::string& url) const {
  char buffer[HSE_MAP_URL_BUFFER];
  // A NUL would cut the text short on its way to the server.
  if (!ecb_->MapUrlToPath || url.size() >= sizeof buffer || url.find('\0') != std::string::npos)
    return std::string();
  std::memcpy(buffer, url.c_str(), url.size() + 1);
  DWORD size = sizeof buffer;
  if (!ecb_->MapUrlToPath(ecb_->ConnID, buffer, &size)) return std::string();
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

// ---------------------------------------------------------------- response

TWebResponse::TWebResponse(TWebRequest& request) : request_(request) {}

void TWebResponse::SetCustomHeader(const std::string& name, const std::string& value) {
  for (auto& header : headers_) {
    if (SameText(header.first, name)) {
      header.second = value;
      return;
    }
  }
  headers_.emplace_back(name, value);
}

void TWebResponse::SetContent(std::string text) {
  content_ = std::move(text);
  if (!stream_ && !file_) content_length_ = content_.size();
}

void TWebResponse::AppendContent(std::string_view text) {
  content_ += text;
  if (!stream_ && !file_) content_length_ = content_.size();
}

void TWebResponse::SetContentStream(std::unique_ptr<TStream> stream) {
  file_ = TContentFile();
  stream_ = std::move(stream);
  content_length_ =
      stream_ ? stream_->Size() - std::min(stream_->Position(), stream_->Size()) : content_.size();
}

void TWebResponse::SetContentFile(TContentFile file) {
  stream_.reset();
  file_ = std::move(file);
  content_length_ = file_ ? file_.Size() : content_.size();
}

std::string TWebResponse::StatusText() const {
  return std::to_string(status_code_) + " " + ReasonPhrase(status_code_);
}

std::string TWebResponse::HeaderBlock() const {
  std::string block;
  for (const auto& [name, value] : headers_)
    block += HeaderSafe(name) + ": " + HeaderSafe(value) + "\r\n";
  if (!content_type_.empty()) block += "Content-Type: " + HeaderSafe(content_type_) + "\r\n";
  if (stream_ || file_ || !content_.empty())
    block += "Content-Length: " + std::to_string(content_length_) + "\r\n";
  block += "\r\n";
  return block;
}

namespace {

// Writes all bytes through the host; false when the client has gone.
bool WriteAll(EXTENSION_CONTROL_BLOCK* ecb, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 8192));
    if (!ecb->WriteClient || !ecb->WriteClient(ecb->ConnID, data, &chunk) || chunk == 0)
      return false;
    data += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace

void TWebResponse::SendResponse() {
  if (sent_) return;
  sent_ = true;
  EXTENSION_CONTROL_BLOCK* ecb = request_.Ecb();
  ecb->dwHttpStatusCode = static_cast<DWORD>(status_code_);
  const std::string status = HeaderSafe(StatusText());
  const std::string headers = HeaderBlock();
  // Frees the body on every way out.
  const TContentFile file = std::move(file_);
  if (file && HSE_ECB_HAS(ecb, TransmitFile)) {
    HSE_TF_INFO info{};
    info.pszStatusCode = status.c_str();
    info.pszHeaders = headers.c_str();
    info.hFile = file.Fd();
    info.Offset = 0;
    info.BytesToWrite = file.Size();
    // A refusal sends nothing: the answer can still go the other way.
    if (ecb->TransmitFile(ecb->ConnID, &info)) return;
  }
  if (!ecb->SendResponseHeaders ||
      !ecb->SendResponseHeaders(ecb->ConnID, status.c_str(), headers.c_str())) {
    stream_.reset();
    return;
  }
  if (file) {
    // A host without TransmitFile gets the file in the same pieces as a stream.
    char piece[8192];
    for (std::uint64_t at = 0; at < file.Size();) {
      const std::size_t n = file.ReadAt(
          at, piece,
          static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, file.Size() - at)));
      if (n == 0 || !WriteAll(ecb, piece, n)) break;
      at += n;
    }
  } else if (stream_) {
    // The stream goes out in pieces of at most 8192 bytes from its position.
    char piece[8192];
    for (;;) {
      const std::size_t n = stream_->Read(piece, sizeof piece);
      if (n == 0 || !WriteAll(ecb, piece, n)) break;
    }
    stream_.reset();
  } else {
    WriteAll(ecb, content_.data(), content_.size());
  }
}

}  // namespace skalo
