// The host's logs: one Combined Log Format line per answered request, and its
// own errors on stderr, one timestamped line per event.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"

namespace skalo::host {

struct AccessRecord {
  std::string_view client;        // the peer's address
  std::time_t when = 0;           // when the request arrived
  std::string_view request_line;  // "GET /a?b HTTP/1.1"; "" when none could be read
  unsigned status = 0;
  std::uint64_t bytes = 0;  // body bytes sent
  std::string_view referer;
  std::string_view user_agent;
};

// host ident authuser [date] "request line" status bytes "referer" "user-agent"
// with "-" for what is unknown or empty. In the quoted parts a quote or a
// backslash gets a backslash before it, and control bytes and bytes past
// ASCII are written \xHH. Ends with a newline.
std::string CombinedLogLine(const AccessRecord& record);

// Writes log lines to a file (appending) or to stdout, from a thread of its
// own: callers only append to a buffer under a lock, which is written out
// once a second, or sooner when much has gathered.
class AccessLog {
 public:
  // `path` "-" is stdout. Throws std::runtime_error when the file cannot be
  // opened.
  explicit AccessLog(const std::string& path);
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;
  // Writes what is pending.
  ~AccessLog();

  // Adds one line. Lines past a bound while the file cannot keep up are
  // dropped, and counted on stderr.
  void Add(std::string_view line);

 private:
  void Run();

  UniqueFd file_;  // empty for stdout
  int fd_ = -1;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string pending_;
  std::uint64_t dropped_ = 0;
  bool stop_ = false;
  std::thread writer_;
};

// Writes "[date] skalo-httpd: MESSAGE" to stderr in one piece.
void LogError(std::string_view message);

}  // namespace skalo::host
