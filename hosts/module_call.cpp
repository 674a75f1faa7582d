#include "hosts/module_call.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

#include "base/http_fields.h"
#include "base/text.h"

namespace skalo::host {
namespace {

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

// Fields that describe the message framing or the connection: the host sets
// those itself.
bool IsHostOwnedField(std::string_view name) {
  static constexpr std::array<std::string_view, 8> kOwned = {
      "content-length",   "transfer-encoding", "connection", "keep-alive",
      "proxy-connection", "upgrade",           "te",         "trailer"};
  return std::any_of(kOwned.begin(), kOwned.end(),
                     [name](std::string_view owned) { return SameText(name, owned); });
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  if (value.empty() || value.size() > 18) return std::nullopt;
  std::uint64_t length = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return length;
}

}  // namespace

std::optional<StatusText> ParseStatusText(std::string_view text) {
  if (text.size() < 3) return std::nullopt;
  unsigned code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    code = code * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (code < 200 || code > 599) return std::nullopt;
  std::string_view rest = text.substr(3);
  if (!rest.empty() && rest.front() != ' ') return std::nullopt;
  if (!rest.empty()) rest.remove_prefix(1);
  StatusText status{code, std::string(rest)};
  for (char& c : status.reason) {
    if (IsControl(c) || c == '\t') c = ' ';
  }
  return status;
}

std::vector<HeaderField> ParseHeaderBlock(std::string_view block) {
  std::vector<HeaderField> fields;
  while (!block.empty()) {
    const std::size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
    if (line.empty()) break;  // end of the block

    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) continue;
    const std::string_view value = TrimHttpSpace(line.substr(colon + 1));
    if (std::any_of(value.begin(), value.end(), IsControl)) continue;
    fields.push_back({std::string(name), std::string(value)});
  }
  return fields;
}

std::optional<FileBody> TakeFileBody(int fd, std::uint64_t offset, std::uint64_t size) {
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int mode = fcntl(fd, F_GETFL);
  if (mode < 0 || (mode & O_ACCMODE) == O_WRONLY) return std::nullopt;
  const auto length = static_cast<std::uint64_t>(info.st_size);
  if (offset > length || size > length - offset) return std::nullopt;
  FileBody body{UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0)), offset, size};
  if (!body.fd) return std::nullopt;
  return body;
}

ModuleCall::ModuleCall(ModuleRequest request, const SiteMap& site)
    : ModuleCall(std::move(request),
                 [&site](std::string_view url) { return host::MapUrlToPath(url, site); }) {}

ModuleCall::ModuleCall(ModuleRequest request, UrlMapper map_url)
    : request_(std::move(request)), map_url_(std::move(map_url)) {
  ecb_.cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  ecb_.dwVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  ecb_.ConnID = this;
  ecb_.dwHttpStatusCode = 0;
  ecb_.lpszMethod = request_.method.c_str();
  ecb_.lpszQueryString = request_.query.c_str();
  ecb_.lpszPathInfo = request_.path_info.c_str();
  ecb_.GetServerVariable = &ModuleCall::GetServerVariable;
  ecb_.MapUrlToPath = &ModuleCall::MapUrlToPath;
  ecb_.SendResponseHeaders = &ModuleCall::SendResponseHeaders;
  ecb_.WriteClient = &ModuleCall::WriteClient;
  ecb_.TransmitFile = &ModuleCall::TransmitFile;
}

DWORD ModuleCall::Run(PFN_HTTPEXTENSIONPROC proc) {
  try {
    return proc(&ecb_);
  } catch (...) {
    return HSE_STATUS_ERROR;
  }
}

const std::string* ModuleCall::Variable(std::string_view name) const {
  if (name == "SCRIPT_NAME") return &request_.script_name;
  if (name == "HTTP_HOST") return &request_.host;
  if (name == "SERVER_PROTOCOL") return &request_.protocol;
  if (name == "REQUEST_METHOD") return &request_.method;
  if (name == "QUERY_STRING") return &request_.query;
  if (name == "PATH_INFO") return &request_.path_info;
  if (name == "HTTP_IF_NONE_MATCH" && !request_.if_none_match.empty())
    return &request_.if_none_match;
  if (name == "HTTP_IF_MODIFIED_SINCE" && !request_.if_modified_since.empty())
    return &request_.if_modified_since;
  return nullptr;
}

BOOL ModuleCall::GetServerVariable(HCONN conn, const char* name, char* buffer, DWORD* size) {
  if (conn == nullptr || name == nullptr || size == nullptr) return 0;
  const auto* self = static_cast<const ModuleCall*>(conn);
  const std::string* value = self->Variable(name);
  if (value == nullptr) {
    *size = 0;
    return 0;
  }
  const auto needed = static_cast<DWORD>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return 0;
  }
  std::memcpy(buffer, value->c_str(), needed);
  *size = needed;
  return 1;
}

BOOL ModuleCall::MapUrlToPath(HCONN conn, char* buffer, DWORD* size) {
  if (conn == nullptr || buffer == nullptr || size == nullptr || *size == 0) return 0;
  const auto* self = static_cast<const ModuleCall*>(conn);
  const DWORD capacity = *size;
  const void* terminator = std::memchr(buffer, '\0', capacity);
  std::string mapped;
  if (terminator != nullptr) {
    const auto length = static_cast<std::size_t>(static_cast<const char*>(terminator) - buffer);
    // Nothing may be thrown back through the module's C interface.
    try {
      mapped = self->map_url_(std::string_view(buffer, length));
    } catch (...) {
      mapped.clear();
    }
  }
  if (mapped.empty() || mapped.size() + 1 > capacity) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, mapped.c_str(), mapped.size() + 1);
  *size = static_cast<DWORD>(mapped.size() + 1);
  return 1;
}

bool ModuleCall::TakeHeaders(const char* status, const char* headers) {
  if (output_.headers_sent) return false;
  auto parsed = ParseStatusText(status != nullptr ? status : "200 OK");
  if (!parsed) return false;
  output_.headers_sent = true;
  output_.status = parsed->code;
  output_.reason = std::move(parsed->reason);
  output_.headers = ParseHeaderBlock(headers != nullptr ? headers : "");
  return true;
}

BOOL ModuleCall::SendResponseHeaders(HCONN conn, const char* status, const char* headers) {
  if (conn == nullptr) return 0;
  return static_cast<ModuleCall*>(conn)->TakeHeaders(status, headers) ? 1 : 0;
}

BOOL ModuleCall::TransmitFile(HCONN conn, const HSE_TF_INFO* info) {
  if (conn == nullptr || info == nullptr) return 0;
  auto* self = static_cast<ModuleCall*>(conn);
  if (self->output_.headers_sent) return 0;
  auto file = TakeFileBody(info->hFile, info->Offset, info->BytesToWrite);
  if (!file || !self->TakeHeaders(info->pszStatusCode, info->pszHeaders)) return 0;
  self->output_.file = std::move(file);
  return 1;
}

BOOL ModuleCall::WriteClient(HCONN conn, const void* buffer, DWORD* bytes) {
  if (conn == nullptr || bytes == nullptr) return 0;
  auto* self = static_cast<ModuleCall*>(conn);
  const DWORD count = *bytes;
  *bytes = 0;
  if (!self->output_.headers_sent) return 0;  // the status line must come first
  if (self->output_.file) return 0;           // the file is the whole body
  if (count == 0) return 1;
  if (buffer == nullptr) return 0;
  std::string& body = self->output_.body;
  if (count > kMaxModuleBody - body.size()) {
    self->output_.body_overflow = true;
    return 0;
  }
  body.append(static_cast<const char*>(buffer), count);
  *bytes = count;
  return 1;
}

HostAnswer HostError(unsigned status, std::string_view reason, bool head_request) {
  HostAnswer answer;
  answer.status = status;
  answer.reason = std::string(reason);
  answer.headers.push_back({"Content-Type", "text/plain; charset=utf-8"});
  const std::string body = std::to_string(status) + " " + std::string(reason) + "\n";
  answer.content_length = body.size();
  if (!head_request) answer.body = body;
  return answer;
}

HostAnswer FinishModuleAnswer(ModuleOutput output, DWORD proc_result, bool head_request) {
  if (!output.headers_sent || output.body_overflow) {
    return HostError(500, "Internal Server Error", head_request);
  }
  if (proc_result != HSE_STATUS_SUCCESS && output.status < 400) {
    return HostError(500, "Internal Server Error", head_request);
  }

  HostAnswer answer;
  answer.status = output.status;
  answer.reason = std::move(output.reason);
  std::optional<std::uint64_t> declared_length;
  for (HeaderField& field : output.headers) {
    if (SameText(field.name, "content-length")) {
      declared_length = ParseContentLength(field.value);
    }
    if (!IsHostOwnedField(field.name)) answer.headers.push_back(std::move(field));
  }

  if (answer.status == 204 || answer.status == 304) return answer;  // never a body
  if (head_request) {
    if (declared_length) {
      answer.content_length = declared_length;
    } else if (output.file) {
      answer.content_length = output.file->size;
    } else if (!output.body.empty()) {
      answer.content_length = output.body.size();
    }
    return answer;
  }
  if (output.file) {
    answer.content_length = output.file->size;
    answer.file = std::move(output.file);
    return answer;
  }
  answer.content_length = output.body.size();
  answer.body = std::move(output.body);
  return answer;
}

}  // namespace skalo::host
