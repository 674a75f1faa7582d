// Running skalo-httpd as a child process and talking HTTP to it over loopback.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skalo::host::testing {

// The build folder holding skalo-httpd (SKALO_BUILD_DIR).
std::string BuildDir();
std::string HttpdPath();

// How a finished process ended, and what it printed.
struct Finished {
  int wait_status = -1;  // as from waitpid
  std::string out;
  std::string err;
  bool Exited(int code) const;
};

// Runs `program` with `args` until it exits (killing it if it has not within a
// minute), with `env` ("NAME=value") added to this process's environment.
Finished RunToExit(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});

// A running skalo-httpd. The constructor returns once the ready line is out,
// and throws when the process ends before that. The destructor kills a
// process that was not stopped.
class HttpdProcess {
 public:
  explicit HttpdProcess(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {},
                        const std::string& program = HttpdPath());
  HttpdProcess(const HttpdProcess&) = delete;
  HttpdProcess& operator=(const HttpdProcess&) = delete;
  ~HttpdProcess();

  const std::string& ready_line() const { return ready_line_; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + target.
  std::string Url(std::string_view target) const;

  // Sends `signal` without waiting.
  void Signal(int signal);
  // Sends `signal` and waits for the process; answers the wait status.
  int Stop(int signal = SIGTERM);

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  std::string ready_line_;
  int port_ = 0;
};

// A loopback port that nothing listens on right now.
int FreeLoopbackPort();

// A server started in the foreground, in a process group of its own, with
// `env` ("NAME=value") added to this process's environment and its stdout and
// stderr going to `output_file`, which writes `pid_file` once it accepts
// connections. The constructor returns once the file holds its PID and `port`
// accepts connections, and throws (with the output and `error_log`) when it
// ends before that. Stop, or the destructor, stops it by its PID.
class PidFileServer {
 public:
  struct Launch {
    std::string name;  // for messages
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string pid_file;
    std::string output_file;
    std::string error_log;
  };
  PidFileServer(const Launch& launch, int port);
  PidFileServer(const PidFileServer&) = delete;
  PidFileServer& operator=(const PidFileServer&) = delete;
  ~PidFileServer();

  int port() const { return port_; }
  std::string Url(std::string_view target) const;

  // SIGTERM, on which the server stops its children and then itself; a group
  // that has not ended within a minute is killed. Answers the wait status.
  int Stop();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// Apache httpd: `program` -f `config` -DFOREGROUND.
class ApacheProcess : public PidFileServer {
 public:
  struct Files {
    std::string program;
    std::string config;
    std::string pid_file;
    std::string output_file;
    std::string error_log;
  };
  ApacheProcess(const Files& files, int port, const std::vector<std::string>& env = {});
};

// nginx: `program` -p `prefix` -c `config` -e `error_log`; the configuration
// keeps it in the foreground ("daemon off") and names `pid_file`.
class NginxProcess : public PidFileServer {
 public:
  struct Files {
    std::string program;
    std::string prefix;
    std::string config;
    std::string pid_file;
    std::string output_file;
    std::string error_log;
  };
  NginxProcess(const Files& files, int port);
};

struct Reply {
  long status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string error;  // curl's complaint when the transfer failed

  // Value of the first header named `name` (any case); "" when absent.
  std::string Header(std::string_view name) const;
  int HeaderCount(std::string_view name) const;
};

struct Request {
  std::string method;  // "" for GET
  std::string body;
  bool head = false;
  bool http10 = false;
  std::vector<std::string> headers;  // "Name: value"
};

// One libcurl handle: consecutive requests reuse its connection when they can.
class Client {
 public:
  Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

  Reply Fetch(const std::string& url, const Request& request = {});
  // Whether the last Fetch opened a new connection, and its local port.
  long new_connections() const;
  long local_port() const;

 private:
  void* curl_;
};

// Sends `bytes` on a new loopback connection to `port` and answers all that
// comes back until the server closes the connection.
std::string RawExchange(int port, std::string_view bytes);

// Whether a connection to `port` on loopback is accepted.
bool CanConnect(int port);

// A loopback connection that stays open until destroyed.
class RawConnection {
 public:
  explicit RawConnection(int port);
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  ~RawConnection();
  // False when the server closed the connection before taking all bytes.
  bool Send(std::string_view bytes);
  // Reads until the server closes the connection.
  std::string ReadToEnd();
  // Reads what arrives within `wait`; true when the server closed the
  // connection meanwhile (what arrived goes to `received`).
  bool ClosedWithin(std::chrono::milliseconds wait, std::string* received = nullptr);
  // Reads until what arrived ends with `end`, or for at most `wait`.
  std::string ReadUntil(std::string_view end, std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
};

}  // namespace skalo::host::testing
