#include "hosts/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/http_fields.h"

namespace skalo::host {
namespace {

// How much may gather before the writer is woken early, and at most.
constexpr std::size_t kEagerBytes = std::size_t{64} << 10;
constexpr std::size_t kMaxPendingBytes = std::size_t{16} << 20;
constexpr auto kFlushInterval = std::chrono::seconds(1);

// [10/Dec/2026:13:55:36 +0000]
std::string LogDate(std::time_t when) {
  std::string text(1, '[');
  text.append(LogDateText(when)).push_back(']');
  return text;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  if (text.empty()) out.push_back('-');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out.append(escaped);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

std::string CombinedLogLine(const AccessRecord& record) {
  std::string line;
  line.reserve(160 + record.request_line.size() + record.user_agent.size());
  line.append(record.client.empty() ? "-" : record.client).append(" - - ");
  line.append(LogDate(record.when)).push_back(' ');
  AppendQuoted(line, record.request_line);
  line.append(" ").append(std::to_string(record.status)).append(" ");
  line.append(record.bytes == 0 ? "-" : std::to_string(record.bytes)).push_back(' ');
  AppendQuoted(line, record.referer);
  line.push_back(' ');
  AppendQuoted(line, record.user_agent);
  line.push_back('\n');
  return line;
}

AccessLog::AccessLog(const std::string& path) {
  if (path == "-") {
    fd_ = STDOUT_FILENO;
  } else {
    file_ = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file_) {
      throw std::runtime_error("cannot open --access-log " + path + ": " + std::strerror(errno));
    }
    fd_ = file_.get();
  }
  writer_ = std::thread([this] { Run(); });
}

AccessLog::~AccessLog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void AccessLog::Add(std::string_view line) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (pending_.size() + line.size() > kMaxPendingBytes) {
      ++dropped_;
      return;
    }
    pending_.append(line);
    wake = pending_.size() >= kEagerBytes;
  }
  if (wake) wake_.notify_one();
}

void AccessLog::Run() {
  std::string batch;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, kFlushInterval,
                   [this] { return stop_ || pending_.size() >= kEagerBytes; });
    batch.clear();
    batch.swap(pending_);
    const std::uint64_t dropped = std::exchange(dropped_, 0);
    const bool stop = stop_;
    lock.unlock();
    WriteAll(fd_, batch);
    if (dropped != 0) {
      LogError("access log could not keep up; " + std::to_string(dropped) + " lines dropped");
    }
    lock.lock();
    if (stop && pending_.empty()) return;
  }
}

void LogError(std::string_view message) {
  std::string line = LogDate(std::time(nullptr));
  line.append(" skalo-httpd: ").append(message).push_back('\n');
  WriteAll(STDERR_FILENO, line);
}

}  // namespace skalo::host
