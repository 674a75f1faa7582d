#include "tests/hosts/httpd_harness.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace skalo::host::testing {
namespace {

// Only a guard against hanging forever when something is badly broken.
constexpr int kSafetyTimeoutMs = 60000;

const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& e : extra)
      replaced = replaced || e.starts_with(std::string(name) + "=");
    if (!replaced) env.emplace_back(text);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Starts `program`; `out_fd`/`err_fd` (when >= 0) become its stdout/stderr.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env, int out_fd, int err_fd) {
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = Environment(env);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);

  FileActions actions;
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(actions.get(), out_fd, STDOUT_FILENO);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(actions.get(), err_fd, STDERR_FILENO);
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  return pid;
}

// Starts `program` as the leader of a new process group (whose ID is its PID)
// with `out_fd` as its stdout and stderr. It gets SIGTERM when the calling
// thread ends, so that a test dying on the way leaves no server (and its
// children) behind.
pid_t SpawnServer(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, int out_fd) {
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = Environment(env);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);
  const char* path = program.c_str();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program + ": fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(out_fd, STDOUT_FILENO);
    dup2(out_fd, STDERR_FILENO);
    execve(path, argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (read >= 0) close(read);
    CloseWrite();
  }
  void CloseWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
  int TakeRead() {
    const int fd = read;
    read = -1;
    return fd;
  }
};

int Milliseconds(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("connect failed");
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;  // the server may close early (e.g. after refusing the request)
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string ReceiveAll(int fd) {
  std::string data;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyTimeoutMs);
  char chunk[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, Milliseconds(deadline)) <= 0) return data + "<no end>";
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return data;  // closed (or reset after the answer)
    data.append(chunk, static_cast<std::size_t>(got));
  }
}

// Sends `signal` to `pid` and waits for it. The process is watched through a
// pidfd, so that one that does not stop is killed (and shows up as killed)
// rather than hanging the test; `kill_group` kills its whole process group
// then. Answers the wait status.
int SignalAndWait(pid_t pid, int signal, bool kill_group) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  kill(pid, signal);
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    while (poll(&p, 1, kSafetyTimeoutMs) < 0 && errno == EINTR) {
    }
    if (p.revents == 0) kill(kill_group ? -pid : pid, SIGKILL);
    close(pidfd);
  }
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string BuildDir() {
  const char* dir = std::getenv("SKALO_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("SKALO_BUILD_DIR is not set");
  return dir;
}

std::string HttpdPath() {
  return BuildDir() + "/skalo-httpd";
}

bool Finished::Exited(int code) const {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

Finished RunToExit(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env) {
  Pipe out, err;
  const pid_t pid = Spawn(program, args, env, out.write, err.write);
  out.CloseWrite();
  err.CloseWrite();

  Finished finished;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyTimeoutMs);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out.read : -1, POLLIN, 0}, {err_open ? err.read : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, Milliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      kill(pid, SIGKILL);
      finished.err += "<killed: still running>";
      break;
    }
    char chunk[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? finished.out : finished.err).append(chunk, static_cast<std::size_t>(got));
      }
    }
  }
  while (waitpid(pid, &finished.wait_status, 0) < 0 && errno == EINTR) {
  }
  return finished;
}

HttpdProcess::HttpdProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& program) {
  Pipe out;
  pid_ = Spawn(program, args, env, out.write, -1);
  out.CloseWrite();
  stdout_fd_ = out.TakeRead();

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyTimeoutMs);
  std::string line;
  for (;;) {
    pollfd p{stdout_fd_, POLLIN, 0};
    const int ready = poll(&p, 1, Milliseconds(deadline));
    if (ready < 0 && errno == EINTR) continue;
    char c = 0;
    if (ready <= 0 || read(stdout_fd_, &c, 1) != 1) {
      const int status = Stop(SIGKILL);
      throw std::runtime_error("skalo-httpd ended before it was ready (wait status " +
                               std::to_string(status) + "), printed \"" + line + "\"");
    }
    if (c == '\n') break;
    line += c;
  }
  ready_line_ = line;
  // "... http://HOST:PORT/"
  const std::size_t slash = line.rfind('/');
  const std::size_t colon = line.rfind(':', slash);
  if (slash == std::string::npos || colon == std::string::npos) {
    Stop(SIGKILL);
    throw std::runtime_error("no port in ready line \"" + line + "\"");
  }
  port_ = std::atoi(line.substr(colon + 1, slash - colon - 1).c_str());
}

HttpdProcess::~HttpdProcess() {
  if (pid_ > 0) Stop(SIGKILL);
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

std::string HttpdProcess::Url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

void HttpdProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int HttpdProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  const int status = SignalAndWait(pid_, signal, /*kill_group=*/false);
  pid_ = -1;
  return status;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  close(fd);
  if (!bound) throw std::runtime_error("no free loopback port");
  return ntohs(address.sin_port);
}

PidFileServer::PidFileServer(const Launch& launch, int port) : port_(port) {
  const int out = open(launch.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) throw std::runtime_error("cannot create " + launch.output_file);
  try {
    pid_ = SpawnServer(launch.program, launch.args, launch.env, out);
  } catch (...) {
    close(out);
    throw;
  }
  close(out);

  // The PID file is written after the port is bound, so that the port
  // answering is known to be this server's.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyTimeoutMs);
  const std::string pid_text = std::to_string(pid_);
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error(launch.name + " ended before it was ready (wait status " +
                               std::to_string(status) + "):\n" + ReadWholeFile(launch.output_file) +
                               ReadWholeFile(launch.error_log));
    }
    std::string written = ReadWholeFile(launch.pid_file);
    while (!written.empty() && (written.back() == '\n' || written.back() == '\r'))
      written.pop_back();
    if (written == pid_text && CanConnect(port_)) return;
    if (std::chrono::steady_clock::now() > deadline) {
      Stop();
      throw std::runtime_error(launch.name + " did not get ready:\n" +
                               ReadWholeFile(launch.output_file) + ReadWholeFile(launch.error_log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

PidFileServer::~PidFileServer() {
  Stop();
}

std::string PidFileServer::Url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

int PidFileServer::Stop() {
  if (pid_ <= 0) return -1;
  const int status = SignalAndWait(pid_, SIGTERM, /*kill_group=*/true);
  pid_ = -1;
  return status;
}

ApacheProcess::ApacheProcess(const Files& files, int port, const std::vector<std::string>& env)
    : PidFileServer({"apache2",
                     files.program,
                     {"-f", files.config, "-DFOREGROUND"},
                     env,
                     files.pid_file,
                     files.output_file,
                     files.error_log},
                    port) {}

NginxProcess::NginxProcess(const Files& files, int port)
    : PidFileServer({"nginx",
                     files.program,
                     {"-p", files.prefix, "-c", files.config, "-e", files.error_log},
                     {},
                     files.pid_file,
                     files.output_file,
                     files.error_log},
                    port) {}

std::string Reply::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return {};
}

int Reply::HeaderCount(std::string_view name) const {
  int count = 0;
  for (const auto& entry : headers) {
    count += strcasecmp(entry.first.c_str(), std::string(name).c_str()) == 0 ? 1 : 0;
  }
  return count;
}

namespace {

std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* reply) {
  static_cast<Reply*>(reply)->body.append(data, size * count);
  return size * count;
}

std::size_t CollectHeader(char* data, std::size_t size, std::size_t count, void* target) {
  auto* reply = static_cast<Reply*>(target);
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    // A new status line (after an interim 100 Continue, too): start over.
    reply->headers.clear();
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    reply->reason = second == std::string_view::npos ? "" : std::string(line.substr(second + 1));
  } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
      value.remove_prefix(1);
    reply->headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return size * count;
}

}  // namespace

Client::Client() : curl_(curl_ready ? curl_easy_init() : nullptr) {
  if (curl_ == nullptr) throw std::runtime_error("curl_easy_init failed");
}

Client::~Client() {
  curl_easy_cleanup(curl_);
}

Reply Client::Fetch(const std::string& url, const Request& request) {
  CURL* curl = curl_;
  Reply reply;
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);  // send "..", "%2e" and friends unchanged
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(kSafetyTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CollectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  if (request.head) curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (request.http10) curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  if (!request.body.empty() || request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  }
  if (!request.method.empty())
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  curl_slist* headers = nullptr;
  for (const std::string& header : request.headers)
    headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) reply.error = curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

long Client::new_connections() const {
  long count = -1;
  curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &count);
  return count;
}

long Client::local_port() const {
  long port = -1;
  curl_easy_getinfo(curl_, CURLINFO_LOCAL_PORT, &port);
  return port;
}

std::string RawExchange(int port, std::string_view bytes) {
  RawConnection connection(port);
  connection.Send(bytes);
  return connection.ReadToEnd();
}

bool CanConnect(int port) {
  try {
    RawConnection connection(port);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

RawConnection::RawConnection(int port) : fd_(Connect(port)) {}

RawConnection::~RawConnection() {
  close(fd_);
}

bool RawConnection::Send(std::string_view bytes) {
  return SendAll(fd_, bytes);
}

std::string RawConnection::ReadToEnd() {
  return ReceiveAll(fd_);
}

bool RawConnection::ClosedWithin(std::chrono::milliseconds wait, std::string* received) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + wait;
  for (;;) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<milliseconds::rep>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;  // an end or a reset
    if (received != nullptr) received->append(chunk, static_cast<std::size_t>(got));
  }
}

std::string RawConnection::ReadUntil(std::string_view end, std::chrono::milliseconds wait) {
  using namespace std::chrono;
  std::string received;
  const auto deadline = steady_clock::now() + wait;
  while (!received.ends_with(end) && steady_clock::now() < deadline) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    if (ClosedWithin(std::min(left, milliseconds(10)), &received)) break;
  }
  return received;
}

}  // namespace skalo::host::testing
