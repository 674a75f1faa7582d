// skalo-httpd: a standalone HTTP host for the Skalo module.
//
//   skalo-httpd --listen HOST:PORT --root DIR [--mount /skalo]
//               [--alias /URLPREFIX=DIR]... [--module FILE] [--threads N]
//               [--max-connections N] [--header-timeout SECONDS]
//               [--send-timeout SECONDS] [--access-log FILE]
//               [--metrics /PATH] [--healthz /PATH]
//
// URLs under the mount (default /skalo) are answered by the module (default:
// skalo.so beside this program); every other URL is a static file from the
// root folder or from the folder of the longest matching --alias. Port 0
// listens on a free port. Once listening, one line goes to stdout:
//   skalo-httpd listening on http://127.0.0.1:8080/
// SIGINT or SIGTERM stop the host cleanly (exit code 0); answers still being
// sent get two seconds to finish. Bad arguments print the usage on stderr and
// exit with code 2; start-up failures exit with 1. Errors while serving go to
// stderr, one line each, with the date.
//
// Example: skalo-httpd --listen 127.0.0.1:8080 --root demo/www

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include "hosts/extension_module.h"
#include "hosts/host_options.h"
#include "hosts/http_server.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace skalo::host;

std::string ProgramPath() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

// Raises the open-file limit as far as allowed and answers how many
// connections it leaves room for: each may hold a file being sent, and the
// module opens images and cache files besides.
std::size_t ConnectionsForFileLimit() {
  constexpr rlim_t kReserved = 64;
  // Past this the linear search for an idle connection to close would cost
  // more than the connections are worth.
  constexpr std::size_t kCeiling = std::size_t{1} << 16;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? rlim_t{1} << 20 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return kCeiling;
  if (limit.rlim_cur <= kReserved + 32) return 16;
  return std::min<std::size_t>(static_cast<std::size_t>((limit.rlim_cur - kReserved) / 2),
                               kCeiling);
}

tcp::endpoint ListenEndpoint(net::io_context& ioc, const HostOptions& options) {
  boost::system::error_code ec;
  const auto address = net::ip::make_address(options.listen_host, ec);
  if (!ec) return {address, options.listen_port};
  tcp::resolver resolver(ioc);
  const auto results = resolver.resolve(options.listen_host, std::to_string(options.listen_port),
                                        tcp::resolver::passive, ec);
  if (ec || results.empty()) {
    throw std::runtime_error("cannot resolve --listen host " + options.listen_host + ": " +
                             ec.message());
  }
  return results.begin()->endpoint();
}

std::string EndpointText(const tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().to_string();
  const std::string port = std::to_string(endpoint.port());
  return endpoint.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

void RunIo(net::io_context& ioc) {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception& e) {
      LogError(e.what());
    }
  }
}

int Serve(const HostOptions& options, SiteMap site) {
  const std::string module_path =
      options.module.empty() ? ModuleBesideProgram(ProgramPath()) : options.module;
  ExtensionModule module(module_path);
  // Both outlive the I/O threads, which write to them.
  std::unique_ptr<AccessLog> access_log;
  if (!options.access_log.empty()) access_log = std::make_unique<AccessLog>(options.access_log);
  std::unique_ptr<HostMetrics> metrics;
  if (!options.metrics_path.empty()) metrics = std::make_unique<HostMetrics>();

  ServerConfig config;
  config.access_log = access_log.get();
  config.metrics = metrics.get();
  config.metrics_path = options.metrics_path;
  config.module_metrics = module.report_metrics();
  config.healthz_path = options.healthz_path;
  config.site = std::move(site);
  config.mount = options.mount;
  config.proc = module.proc();
  const std::size_t connections = ConnectionsForFileLimit();
  config.max_connections =
      options.max_connections != 0 ? std::min(options.max_connections, connections) : connections;
  if (options.header_timeout != 0)
    config.header_timeout = std::chrono::seconds(options.header_timeout);
  if (options.send_timeout != 0) config.send_timeout = std::chrono::seconds(options.send_timeout);

  // One io_context per I/O thread, each told that one thread runs it.
  const unsigned lane_count = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
  std::vector<std::unique_ptr<net::io_context>> lanes;
  std::vector<net::io_context*> lane_list;
  for (unsigned i = 0; i < lane_count; ++i) {
    lanes.push_back(std::make_unique<net::io_context>(1));
    lane_list.push_back(lanes.back().get());
  }
  net::io_context& first = *lanes.front();
  net::thread_pool workers(options.threads != 0 ? options.threads : DefaultWorkerThreads());
  HttpServer server(lane_list, workers, std::move(config));
  const tcp::endpoint bound = server.Listen(ListenEndpoint(first, options));

  // The first SIGINT/SIGTERM stops the host cleanly; a second one, while it
  // waits for module calls to finish, ends it at once.
  std::promise<void> stop_requested;
  net::signal_set signals(net::make_strand(first), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    server.Stop();
    stop_requested.set_value();
    if (ec) return;
    signals.async_wait([](const boost::system::error_code& again, int) {
      if (again) return;
      LogError("second signal, stopping at once");
      std::_Exit(1);
    });
  });

  // Keeps the I/O threads alive while module calls may still post answers.
  std::vector<net::executor_work_guard<net::io_context::executor_type>> io_work;
  for (const auto& lane : lanes)
    io_work.push_back(net::make_work_guard(*lane));
  server.Start();
  std::cout << "skalo-httpd listening on http://" << EndpointText(bound) << "/" << std::endl;

  std::vector<std::thread> io_threads;
  for (const auto& lane : lanes) {
    io_threads.emplace_back([&ioc = *lane] { RunIo(ioc); });
  }

  stop_requested.get_future().wait();
  workers.join();  // running module calls finish, queued ones are answered 503
  net::post(signals.get_executor(), [&signals] { signals.cancel(); });
  io_work.clear();
  for (std::thread& thread : io_threads)
    thread.join();
  module.Terminate();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Picture buffers (a source file, decoded rows) are large and short-lived:
  // mapped for each job and unmapped after it, so that worker threads'
  // arenas do not keep a job's peak long after the job.
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedArgs parsed = ParseHostArgs(args);
  if (parsed.help) {
    std::cout << UsageText();
    return 0;
  }
  if (!parsed.error.empty()) {
    std::cerr << "skalo-httpd: " << parsed.error << "\n\n" << UsageText();
    return 2;
  }
  std::string error;
  auto site = ResolveSite(parsed.options, &error);
  if (!site) {
    std::cerr << "skalo-httpd: " << error << "\n\n" << UsageText();
    return 2;
  }

  std::signal(SIGPIPE, SIG_IGN);
  try {
    return Serve(parsed.options, std::move(*site));
  } catch (const std::exception& e) {
    std::cerr << "skalo-httpd: " << e.what() << "\n";
    return 1;
  }
}
