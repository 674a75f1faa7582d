// Request and response objects of the web front. The request reads everything
// from the server's extension control block; the response collects status,
// headers and body and sends them once through the same block.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/http_fields.h"
#include "base/unique_fd.h"
#include "imaging/framework.h"
#include "service/isapi.h"

namespace skalo {

// Ordered list of decoded query fields, each normally "name=value".
class TFieldList {
 public:
  // Splits a raw query into fields and decodes each one. Throws Exception with
  // the decoding messages for a bad "%" escape.
  static TFieldList FromQuery(std::string_view query);

  // Value of the first entry whose name (text before its first "=") equals
  // `name` without regard to letter case; empty when there is none.
  std::string Value(std::string_view name) const;
  // Replaces the first entry named `name` by "name=value", or appends it; an
  // empty value removes that entry instead.
  void SetValue(std::string_view name, std::string_view value);
  // Every entry followed by CR LF.
  std::string Text() const;
  // The name of the first entry whose name or value holds a control byte
  // (such fields are refused before anything runs), control bytes shown as
  // "%XX"; nullopt when every field is clean.
  std::optional<std::string> FirstInvalidField() const;

  const std::vector<std::string>& Entries() const { return entries_; }
  std::size_t Count() const { return entries_.size(); }

 private:
  std::vector<std::string>::iterator Find(std::string_view name);
  std::vector<std::string> entries_;
};

// Splits a raw query into its undecoded fields (quotes, CR/LF and "&" rules).
std::vector<std::string> SplitQueryFields(std::string_view query);
// Decodes one field: "+" to blank, "%XX" to its byte, "%%" to "%".
std::string DecodeQueryField(std::string_view field);

// An open file answered as a body: its descriptor, closed with the object, and
// the body's length, from the file's start.
class TContentFile {
 public:
  TContentFile() = default;
  TContentFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  TContentFile(TContentFile&& other) noexcept
      : fd_(std::move(other.fd_)), size_(std::exchange(other.size_, 0)) {}
  TContentFile& operator=(TContentFile&& other) noexcept;
  TContentFile(const TContentFile&) = delete;
  TContentFile& operator=(const TContentFile&) = delete;

  // Opens the regular file at `path`, its whole length as the body. An empty
  // object when no regular file is there; EFOpenError "Cannot open file ..."
  // when one is there but cannot be opened.
  static TContentFile Open(const std::string& path);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int Fd() const { return fd_.get(); }
  std::uint64_t Size() const { return size_; }
  // Reads up to `count` bytes at `offset` without moving the descriptor's
  // offset; answers how many were read (fewer only at the file's end).
  // Throws EStreamError "Stream read error" when the system fails.
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const;

 private:
  UniqueFd fd_;
  std::uint64_t size_ = 0;
};

class TWebRequest {
 public:
  explicit TWebRequest(EXTENSION_CONTROL_BLOCK* ecb);

  const std::string& Method() const { return method_; }
  const std::string& PathInfo() const { return path_info_; }
  const std::string& Query() const { return query_; }
  const std::string& ScriptName() const { return script_name_; }
  const std::string& Host() const { return host_; }
  const std::string& ProtocolVersion() const { return protocol_; }

  // The decoded query fields, built on first use (decoding errors raise here).
  TFieldList& ContentFields();

  // Maps a URL path to the file-system path the server would serve for it;
  // empty when the mapping fails (inputs that do not fit 1024 bytes included).
  std::string TranslateURI(const std::string& url) const;

  EXTENSION_CONTROL_BLOCK* Ecb() const { return ecb_; }

  // A server variable ("HTTP_IF_NONE_MATCH", ...); empty when the host does
  // not know it.
  std::string ServerVariable(const char* name) const;

 private:
  EXTENSION_CONTROL_BLOCK* ecb_;
  std::string method_;
  std::string path_info_;
  std::string query_;
  std::string script_name_;
  std::string host_;
  std::string protocol_;
  std::optional<TFieldList> fields_;
};

class TWebResponse {
 public:
  explicit TWebResponse(TWebRequest& request);

  int StatusCode() const { return status_code_; }
  void SetStatusCode(int code) { status_code_ = code; }
  const std::string& ContentType() const { return content_type_; }
  void SetContentType(const std::string& type) { content_type_ = type; }

  // Sets a custom header; an existing name (any letter case) keeps its place.
  void SetCustomHeader(const std::string& name, const std::string& value);
  const std::vector<std::pair<std::string, std::string>>& CustomHeaders() const { return headers_; }

  const std::string& Content() const { return content_; }
  void SetContent(std::string text);
  // Appends to the content text.
  void AppendContent(std::string_view text);
  // The stream replaces the content text (and any file) as body; the response
  // owns it.
  void SetContentStream(std::unique_ptr<TStream> stream);
  TStream* ContentStream() const { return stream_.get(); }
  // The file replaces the content text (and any stream) as body; the response
  // owns it. The host sends it by itself when it offers TransmitFile;
  // otherwise (or when the host refuses it) it is read and written through
  // WriteClient.
  void SetContentFile(TContentFile file);
  const TContentFile& ContentFile() const { return file_; }
  std::uint64_t ContentLength() const { return content_length_; }

  bool Sent() const { return sent_; }
  // Sends status line, headers and body once; later calls do nothing.
  void SendResponse();

  // The header block as it is sent (each line with CR LF, then an empty line).
  std::string HeaderBlock() const;
  // "200 OK", "500 Internal Server Error", ...
  std::string StatusText() const;

 private:
  TWebRequest& request_;
  int status_code_ = 200;
  std::string content_type_ = "text/html";
  std::vector<std::pair<std::string, std::string>> headers_;
  std::string content_;
  std::unique_ptr<TStream> stream_;
  TContentFile file_;
  std::uint64_t content_length_ = 0;
  bool sent_ = false;
};

// Replaces CR and LF by blanks, so that a header value cannot start a new line.
std::string HeaderSafe(std::string_view text);
// The reason phrase of an HTTP status code ("OK" for 200).
const char* ReasonPhrase(int code);

}  // namespace skalo
