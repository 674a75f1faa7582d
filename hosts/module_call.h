// One call of the module's request procedure: the extension control block the
// host hands over, its callbacks, and the HTTP answer made from what the
// module sent through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "hosts/url_map.h"
#include "service/isapi.h"

namespace skalo::host {

// Most body bytes a module may write for one request.
inline constexpr std::size_t kMaxModuleBody = std::size_t{256} << 20;

struct ModuleRequest {
  std::string method;       // "GET", "POST", ...
  std::string query;        // raw, undecoded; "" when none
  std::string path_info;    // decoded remainder after the mount; may be ""
  std::string script_name;  // the mount
  std::string host;         // Host header; "" when absent
  std::string protocol;     // "HTTP/1.1"
  // Validators of a conditional request; "" when absent.
  std::string if_none_match;
  std::string if_modified_since;
};

struct HeaderField {
  std::string name;
  std::string value;
  bool operator==(const HeaderField&) const = default;
};

// A body the host sends from an open file: `size` bytes from `offset`.
struct FileBody {
  UniqueFd fd;  // the host's own reference to the file the module handed over
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Takes a reference of the host's own to the file open as `fd`, when it is a
// readable regular file holding `size` bytes from `offset`; nullopt otherwise.
std::optional<FileBody> TakeFileBody(int fd, std::uint64_t offset, std::uint64_t size);

// What the module handed over through the callbacks.
struct ModuleOutput {
  bool headers_sent = false;
  unsigned status = 0;
  std::string reason;
  std::vector<HeaderField> headers;
  std::string body;
  std::optional<FileBody> file;  // the body, when the module answered with a file
  bool body_overflow = false;    // the module tried to write more than kMaxModuleBody
};

struct StatusText {
  unsigned code = 0;
  std::string reason;
};

// Parses a module status such as "200 OK" or "500 Some long message": three
// digits (200-599; interim 1xx answers are not final responses) optionally
// followed by a space and the reason phrase, which is kept as given except
// that control characters become spaces. nullopt when malformed.
std::optional<StatusText> ParseStatusText(std::string_view text);

// Parses a header block: lines "Name: value" each ended by CR LF, up to an
// empty line. Lines without a colon, with a name that is not an HTTP token, or
// with control characters (a lone CR or LF among them) in the value are
// dropped. Values lose surrounding blanks.
std::vector<HeaderField> ParseHeaderBlock(std::string_view block);

// Maps a URL path (percent-decoded) for the module's MapUrlToPath callback: the
// file-system path the host serves for it, or "" when it cannot be mapped.
using UrlMapper = std::function<std::string(std::string_view url)>;

class ModuleCall {
 public:
  // Maps URLs through host::MapUrlToPath on `site`, which must outlive the call.
  ModuleCall(ModuleRequest request, const SiteMap& site);
  ModuleCall(ModuleRequest request, UrlMapper map_url);
  ModuleCall(const ModuleCall&) = delete;
  ModuleCall& operator=(const ModuleCall&) = delete;

  // Calls the module's request procedure with this call's control block and
  // answers its result; an exception escaping the module counts as an error.
  DWORD Run(PFN_HTTPEXTENSIONPROC proc);

  EXTENSION_CONTROL_BLOCK& ecb() { return ecb_; }
  const ModuleOutput& output() const { return output_; }
  ModuleOutput TakeOutput() { return std::move(output_); }

 private:
  static BOOL GetServerVariable(HCONN conn, const char* name, char* buffer, DWORD* size);
  static BOOL MapUrlToPath(HCONN conn, char* buffer, DWORD* size);
  static BOOL SendResponseHeaders(HCONN conn, const char* status, const char* headers);
  static BOOL WriteClient(HCONN conn, const void* buffer, DWORD* bytes);
  static BOOL TransmitFile(HCONN conn, const HSE_TF_INFO* info);
  bool TakeHeaders(const char* status, const char* headers);

  const std::string* Variable(std::string_view name) const;

  ModuleRequest request_;
  UrlMapper map_url_;
  EXTENSION_CONTROL_BLOCK ecb_{};
  ModuleOutput output_;
};

// The HTTP answer sent for a module call.
struct HostAnswer {
  unsigned status = 500;
  std::string reason;
  std::vector<HeaderField> headers;  // without framing or connection fields
  std::string body;                  // what goes on the wire after the header
  std::optional<FileBody> file;      // or, instead, the bytes of this file
  // The Content-Length to announce; nullopt for none (204, 304, or a HEAD
  // answer whose length the module did not tell).
  std::optional<std::uint64_t> content_length;
};

// Turns what the module sent, and what its request procedure answered, into
// the HTTP answer:
//  - no headers sent, or more body than allowed: 500;
//  - the procedure reported an error after a status below 400: 500, so a
//    failure never reaches the client as a success;
//  - otherwise the module's status, reason and headers, with Content-Length,
//    Transfer-Encoding and connection fields left to the host, which frames
//    the body it collected;
//  - a HEAD request gets no body; its Content-Length is the module's own when
//    valid, else the length of the body the module wrote or of its file, if any;
//  - a file the module answered with stays a file, for the host to send.
HostAnswer FinishModuleAnswer(ModuleOutput output, DWORD proc_result, bool head_request);

// A plain-text answer made by the host itself (errors).
HostAnswer HostError(unsigned status, std::string_view reason, bool head_request);

}  // namespace skalo::host
