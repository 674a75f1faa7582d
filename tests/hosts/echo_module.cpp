// A module for testing hosts: it answers with what it received, and has paths
// that misbehave on purpose.
//
//   (any other path)   200, text/plain lines "key=value": method, path_info,
//                      query, script_name, http_host, protocol,
//                      request_method, query_var, path_info_var, and
//                      map=<MapUrlToPath(map parameter)> when ?map= is given
//   /status?code=N&reason=TEXT   answers "N TEXT"
//   /slow?ms=N&mark=FILE         creates FILE (when given), waits N ms, echoes
//   /gate?name=G&mark=FILE  creates FILE (when given), then waits (10 s at
//                      most) until /open?name=G comes
//   /open?name=G       waits (10 s at most) until a /gate?name=G waits, opens it
//   /silent            returns success without answering
//   /fail              sends "200 OK" and some body, then reports an error
//   /error-page        sends "502 Upstream Trouble" and a page, reports an error
//   /headers           sends valid, invalid and host-owned header lines
//   /file?path=P&offset=O&size=N[&replace=Q][&truncate=1]   answers N bytes
//                      of the file P from O through TransmitFile, then
//                      renames Q (when given) over P, or empties P; "refused"
//                      when the host refuses, 501 when it has no TransmitFile
//
// Environment: ECHO_MODULE_REFUSE=1 makes GetExtensionVersion fail;
// ECHO_MODULE_TERMINATE_MARK=FILE makes TerminateExtension create FILE.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "service/isapi.h"

namespace {

constexpr auto kGateWait = std::chrono::seconds(10);

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form decoding of a query value; malformed escapes stay as they are.
std::string Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 &&
               Hex(text[i + 2]) >= 0) {
      out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Value of the query parameter `name`, decoded; "" when absent.
std::string Param(std::string_view query, std::string_view name, bool* found = nullptr) {
  if (found != nullptr) *found = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      if (found != nullptr) *found = true;
      return eq == std::string_view::npos ? std::string() : Decode(pair.substr(eq + 1));
    }
  }
  return {};
}

// Reads a server variable the way a careful module does: asks for the size
// first, then fetches.
std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  DWORD size = 0;
  if (ecb->GetServerVariable(ecb->ConnID, name, nullptr, &size) || size == 0) return "<unknown>";
  std::string value(size, '\0');
  if (!ecb->GetServerVariable(ecb->ConnID, name, value.data(), &size)) return "<failed>";
  value.resize(size - 1);
  return value;
}

DWORD Answer(EXTENSION_CONTROL_BLOCK* ecb, const std::string& status, const std::string& headers,
             const std::string& body, DWORD result = HSE_STATUS_SUCCESS) {
  if (!ecb->SendResponseHeaders(ecb->ConnID, status.c_str(), headers.c_str())) {
    return HSE_STATUS_ERROR;
  }
  DWORD bytes = static_cast<DWORD>(body.size());
  if (!body.empty() && !ecb->WriteClient(ecb->ConnID, body.data(), &bytes)) {
    return HSE_STATUS_ERROR;
  }
  return result;
}

std::string Echo(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string body;
  body += "method=" + std::string(ecb->lpszMethod) + "\n";
  body += "path_info=" + std::string(ecb->lpszPathInfo) + "\n";
  body += "query=" + std::string(ecb->lpszQueryString) + "\n";
  body += "script_name=" + Variable(ecb, "SCRIPT_NAME") + "\n";
  body += "http_host=" + Variable(ecb, "HTTP_HOST") + "\n";
  body += "protocol=" + Variable(ecb, "SERVER_PROTOCOL") + "\n";
  body += "request_method=" + Variable(ecb, "REQUEST_METHOD") + "\n";
  body += "query_var=" + Variable(ecb, "QUERY_STRING") + "\n";
  body += "path_info_var=" + Variable(ecb, "PATH_INFO") + "\n";
  bool has_map = false;
  const std::string map = Param(ecb->lpszQueryString, "map", &has_map);
  if (has_map) {
    char buffer[HSE_MAP_URL_BUFFER] = {};
    std::snprintf(buffer, sizeof buffer, "%s", map.c_str());
    DWORD size = sizeof buffer;
    body += ecb->MapUrlToPath(ecb->ConnID, buffer, &size) ? "map=" + std::string(buffer) + "\n"
                                                          : std::string("map=<failed>\n");
  }
  return body;
}

// Creates the file `path` (when given), telling a test that a call has entered.
void Touch(const std::string& path) {
  if (path.empty()) return;
  if (std::FILE* file = std::fopen(path.c_str(), "w")) std::fclose(file);
}

// Rendezvous points for /gate and /open.
struct Gate {
  bool waiting = false;
  bool open = false;
};
std::mutex gate_mutex;
std::condition_variable gate_changed;
std::map<std::string, Gate> gates;

std::string WaitAtGate(const std::string& name) {
  std::unique_lock lock(gate_mutex);
  gates[name].waiting = true;
  gate_changed.notify_all();
  const bool opened = gate_changed.wait_for(lock, kGateWait, [&] { return gates[name].open; });
  gates.erase(name);
  return opened ? "opened\n" : "timed out\n";
}

std::string OpenGate(const std::string& name) {
  std::unique_lock lock(gate_mutex);
  const bool waiter = gate_changed.wait_for(lock, kGateWait, [&] {
    auto it = gates.find(name);
    return it != gates.end() && it->second.waiting;
  });
  if (!waiter) return "no waiter\n";
  gates[name].open = true;
  gate_changed.notify_all();
  return "opened\n";
}

DWORD TransmitFile(EXTENSION_CONTROL_BLOCK* ecb, std::string_view query) {
  const std::string text = "Content-Type: text/plain\r\n\r\n";
  if (!HSE_ECB_HAS(ecb, TransmitFile)) return Answer(ecb, "501 No TransmitFile", text, "");
  const std::string path = Param(query, "path");
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  HSE_TF_INFO info{"200 OK", "Content-Type: application/x-test\r\nX-File: yes\r\n\r\n", fd,
                   std::strtoull(Param(query, "offset").c_str(), nullptr, 10),
                   std::strtoull(Param(query, "size").c_str(), nullptr, 10)};
  const BOOL sent = ecb->TransmitFile(ecb->ConnID, &info);
  if (fd >= 0) close(fd);
  const std::string replace = Param(query, "replace");
  if (!replace.empty()) std::rename(replace.c_str(), path.c_str());
  if (Param(query, "truncate") == "1") truncate(path.c_str(), 0);
  return sent ? HSE_STATUS_SUCCESS : Answer(ecb, "200 OK", text, "refused\n");
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  const char* refuse = std::getenv("ECHO_MODULE_REFUSE");
  if (refuse != nullptr && std::strcmp(refuse, "1") == 0) return 0;
  version->dwExtensionVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  std::snprintf(version->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN, "echo test module");
  return 1;
}

__attribute__((visibility("default"))) DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string_view path = ecb->lpszPathInfo;
  const std::string_view query = ecb->lpszQueryString;
  const std::string text = "Content-Type: text/plain\r\n\r\n";

  if (path == "/status") {
    return Answer(ecb, Param(query, "code") + " " + Param(query, "reason"), text, "custom\n");
  }
  if (path == "/slow") {
    Touch(Param(query, "mark"));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(Param(query, "ms").c_str())));
    return Answer(ecb, "200 OK", text, Echo(ecb));
  }
  if (path == "/gate") {
    Touch(Param(query, "mark"));
    return Answer(ecb, "200 OK", text, WaitAtGate(Param(query, "name")));
  }
  if (path == "/open") return Answer(ecb, "200 OK", text, OpenGate(Param(query, "name")));
  if (path == "/silent") return HSE_STATUS_SUCCESS;
  if (path == "/file") return TransmitFile(ecb, query);
  if (path == "/fail") return Answer(ecb, "200 OK", text, "partial", HSE_STATUS_ERROR);
  if (path == "/error-page") {
    return Answer(ecb, "502 Upstream Trouble", text, "upstream trouble\n", HSE_STATUS_ERROR);
  }
  if (path == "/headers") {
    return Answer(ecb, "200 OK",
                  "Content-Type: text/plain\r\n"
                  "X-Echo: one\r\n"
                  "X-Echo: two\r\n"
                  "Bad Name: dropped\r\n"
                  ": no name\r\n"
                  "X-Split: a\rb\r\n"
                  "Content-Length: 9999\r\n"
                  "Transfer-Encoding: chunked\r\n"
                  "Connection: close\r\n"
                  "X-Last:   padded value  \r\n"
                  "\r\n",
                  "framed\n");
  }
  return Answer(ecb, "200 OK", text, Echo(ecb));
}

__attribute__((visibility("default"))) BOOL TerminateExtension(DWORD) {
  if (const char* mark = std::getenv("ECHO_MODULE_TERMINATE_MARK")) {
    if (std::FILE* file = std::fopen(mark, "w")) {
      std::fputs("terminated\n", file);
      std::fclose(file);
    }
  }
  return 1;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer(void) {
  return 0;
}

// Figures for the host's metrics page: one good sample, then ones the host
// must leave out.
__attribute__((visibility("default"))) void SkaloReportMetrics(void (*sink)(void*, const char*,
                                                                            const char*, double),
                                                               void* context) {
  sink(context, "echo_module_answers_total", "counter", 42);
  sink(context, "echo_module_answers_total", "counter", 1);
  sink(context, "echo bad name", "gauge", 1);
  sink(context, "echo_module_odd_type", "histogram", 1);
  sink(context, "skalo_open_connections", "gauge", -5);
}

}  // extern "C"
