// The HTTP side of skalo-httpd: accepts connections, reads requests, serves
// static files, and hands requests under the mount to the module on a worker
// pool, so that slow image work never holds up other connections.
//
// Connections are spread over I/O lanes, each an io_context that one thread
// runs: a connection's work stays on its lane's thread, with no hand-offs
// between I/O threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include "hosts/access_log.h"
#include "hosts/metrics.h"
#include "hosts/url_map.h"
#include "service/isapi.h"

namespace skalo::host {

struct ServerConfig {
  SiteMap site;
  std::string mount;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  // Open connections at most. A connection arriving when all are taken
  // replaces an idle one (see HttpServer::Register) or is closed at once.
  std::size_t max_connections = 1024;
  // Longest wait for a client to send the first byte of its next request, to
  // send the rest of it (head and body together, counted from that first
  // byte), and to take each piece of a response.
  std::chrono::seconds io_timeout{30};
  // Longest time from the first byte of a request to the end of its head,
  // whatever the pace: a client dribbling a byte at a time is dropped too.
  std::chrono::seconds header_timeout{10};
  // Longest time to send one whole response, so that a slow reader cannot
  // hold a connection and its buffers for ever.
  std::chrono::seconds send_timeout{60};
  std::uint32_t header_limit = 16 * 1024;
  std::uint64_t body_limit = std::uint64_t{1} << 20;
  // Each answered request gets a line here, when set.
  AccessLog* access_log = nullptr;
  // Counts requests and connections, when set; its page is served at
  // metrics_path (exact match, before the mount) when that is not empty.
  HostMetrics* metrics = nullptr;
  std::string metrics_path;
  SkaloReportMetricsFunction module_metrics = nullptr;  // the module's own samples
  // Answers 200 "ok" while serving, 503 once stopping, when not empty.
  std::string healthz_path;
};

class Session;

class HttpServer {
 public:
  // Connections are accepted on the first lane and served by each lane in
  // turn; module calls run on `workers`. The lanes (each best run by one
  // thread) must outlive the server; there must be at least one.
  HttpServer(std::vector<boost::asio::io_context*> lanes, boost::asio::thread_pool& workers,
             ServerConfig config);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Opens the listening socket; answers the bound address (with the port the
  // system chose for port 0). Throws boost::system::system_error.
  boost::asio::ip::tcp::endpoint Listen(const boost::asio::ip::tcp::endpoint& endpoint);
  void Start();
  // Stops accepting, drops idle connections and lets busy ones finish their
  // current answer before closing; an answer still being sent after a short
  // grace period is cut off. Module calls not started yet are answered 503.
  // Safe from any thread; later calls do nothing.
  void Stop();

  const ServerConfig& config() const { return config_; }
  boost::asio::thread_pool& workers() { return workers_; }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }

 private:
  friend class Session;

  // Adds a new connection; false when stopping, or when full and no open
  // connection can make room. Room is made by closing, first, the connection
  // that has waited longest for its next request after being answered, then
  // the one that has been sending a request head longest; busy connections
  // are never closed for a newcomer. The closed one is left in *evicted, to
  // be told once the registry is unlocked.
  bool Register(const std::shared_ptr<Session>& session, std::shared_ptr<Session>* evicted);
  void Unregister(Session* session);
  void Accept();
  void OnAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

  std::vector<boost::asio::io_context*> lanes_;
  std::size_t next_lane_ = 0;  // used on the acceptor's strand only
  boost::asio::thread_pool& workers_;
  const ServerConfig config_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;

  std::mutex mutex_;
  std::unordered_map<Session*, std::weak_ptr<Session>> sessions_;
  std::atomic<bool> stopping_{false};
};

}  // namespace skalo::host
