// The HTTP side of skalo-httpd: accepts connections, reads requests, serves
// static files, and hands requests under the mount to the module on a worker
// pool, so that slow image work never holds up other connections.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include "hosts/url_map.h"
#include "service/isapi.h"

namespace skalo::host {

struct ServerConfig {
  SiteMap site;
  std::string mount;
  PFN_HTTPEXTENSIONPROC proc = nullptr;
  // Connections beyond this many are closed as soon as they are accepted.
  std::size_t max_connections = 1024;
  // Longest wait for a client: for the next request on a connection (headers
  // and body together) and for each response to be taken.
  std::chrono::seconds io_timeout{30};
  std::uint32_t header_limit = 16 * 1024;
  std::uint64_t body_limit = std::uint64_t{1} << 20;
};

class Session;

class HttpServer {
 public:
  // Requests are read and answered on `ioc`; module calls run on `workers`.
  HttpServer(boost::asio::io_context& ioc, boost::asio::thread_pool& workers, ServerConfig config);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Opens the listening socket; answers the bound address (with the port the
  // system chose for port 0). Throws boost::system::system_error.
  boost::asio::ip::tcp::endpoint Listen(const boost::asio::ip::tcp::endpoint& endpoint);
  void Start();
  // Stops accepting, drops idle connections and lets busy ones finish their
  // current answer before closing. Module calls not started yet are answered
  // 503. Safe from any thread; later calls do nothing.
  void Stop();

  const ServerConfig& config() const { return config_; }
  boost::asio::thread_pool& workers() { return workers_; }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }

 private:
  friend class Session;

  // Adds a new connection; false when stopping or full.
  bool Register(const std::shared_ptr<Session>& session);
  void Unregister(const Session* session);
  void Accept();
  void OnAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

  boost::asio::io_context& ioc_;
  boost::asio::thread_pool& workers_;
  const ServerConfig config_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;

  std::mutex mutex_;
  std::unordered_map<const Session*, std::weak_ptr<Session>> sessions_;
  std::atomic<bool> stopping_{false};
};

}  // namespace skalo::host
