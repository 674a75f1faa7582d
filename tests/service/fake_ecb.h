// An in-memory server connection for driving the front without a host.
#pragma once

#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "service/isapi.h"

namespace skalo::testing {

struct FakeConnection {
  std::string method = "GET";
  std::string query;
  std::string path_info;
  std::map<std::string, std::string> variables = {
      {"SCRIPT_NAME", "/skalo"}, {"HTTP_HOST", "example.test"}, {"SERVER_PROTOCOL", "HTTP/1.1"}};
  std::function<std::string(const std::string&)> map_url;  // empty result: failure

  int header_calls = 0;
  std::string status;
  std::string headers;
  std::string body;
  int write_calls = 0;
  std::size_t largest_write = 0;
  // Offers TransmitFile, which takes the file's bytes into `body` at once, or
  // refuses every file.
  bool transmit_file = false;
  bool refuse_transmit = false;
  int transmit_calls = 0;

  EXTENSION_CONTROL_BLOCK ecb{};

  FakeConnection() { Rebind(); }
  FakeConnection(const FakeConnection&) = delete;

  // Points the control block at this object's current texts.
  EXTENSION_CONTROL_BLOCK* Ecb() {
    Rebind();
    return &ecb;
  }

  // The whole answer as a client would see it.
  std::string Wire() const { return status + "\r\n" + headers + body; }

 private:
  void Rebind() {
    ecb.cbSize = sizeof ecb;
    ecb.dwVersion = HSE_MAKE_VERSION(2, 0);
    ecb.ConnID = this;
    ecb.lpszMethod = method.c_str();
    ecb.lpszQueryString = query.c_str();
    ecb.lpszPathInfo = path_info.c_str();
    ecb.GetServerVariable = &GetVariable;
    ecb.MapUrlToPath = &MapUrl;
    ecb.SendResponseHeaders = &SendHeaders;
    ecb.WriteClient = &Write;
    ecb.TransmitFile = transmit_file ? &Transmit : nullptr;
  }
  static FakeConnection& Self(HCONN conn) { return *static_cast<FakeConnection*>(conn); }
  static BOOL GetVariable(HCONN conn, const char* name, char* buffer, DWORD* size) {
    const auto& vars = Self(conn).variables;
    const auto it = vars.find(name);
    if (it == vars.end()) return 0;
    const DWORD need = static_cast<DWORD>(it->second.size() + 1);
    if (*size < need) {
      *size = need;
      return 0;
    }
    std::memcpy(buffer, it->second.c_str(), need);
    *size = need;
    return 1;
  }
  static BOOL MapUrl(HCONN conn, char* buffer, DWORD* size) {
    FakeConnection& self = Self(conn);
    if (!self.map_url) return 0;
    const std::string path = self.map_url(buffer);
    if (path.empty() || path.size() + 1 > *size) return 0;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    *size = static_cast<DWORD>(path.size() + 1);
    return 1;
  }
  static BOOL SendHeaders(HCONN conn, const char* status, const char* headers) {
    FakeConnection& self = Self(conn);
    ++self.header_calls;
    self.status = status;
    self.headers = headers;
    return 1;
  }
  static BOOL Write(HCONN conn, const void* data, DWORD* bytes) {
    FakeConnection& self = Self(conn);
    ++self.write_calls;
    self.largest_write = std::max<std::size_t>(self.largest_write, *bytes);
    self.body.append(static_cast<const char*>(data), *bytes);
    return 1;
  }
  static BOOL Transmit(HCONN conn, const HSE_TF_INFO* info) {
    FakeConnection& self = Self(conn);
    ++self.transmit_calls;
    if (self.refuse_transmit) return 0;
    self.status = info->pszStatusCode;
    self.headers = info->pszHeaders;
    std::string bytes(info->BytesToWrite, '\0');
    if (pread(info->hFile, bytes.data(), bytes.size(), static_cast<off_t>(info->Offset)) !=
        static_cast<ssize_t>(bytes.size()))
      return 0;
    self.body += bytes;
    return 1;
  }
};

}  // namespace skalo::testing
