// Command line of skalo-httpd and the start-up checks that turn it into a
// SiteMap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/url_map.h"

namespace skalo::host {

inline constexpr std::string_view kDefaultMount = "/skalo";
inline constexpr unsigned kMaxWorkerThreads = 1024;
inline constexpr unsigned long kMaxConnectionsOption = 1000000;
inline constexpr unsigned kMaxTimeoutSeconds = 86400;

struct AliasOption {
  std::string prefix;  // normalised by NormaliseUrlPrefix
  std::string dir;     // as given
};

struct HostOptions {
  std::string listen_host;  // without the brackets of an IPv6 literal
  std::uint16_t listen_port = 0;
  std::string root;
  std::string mount{kDefaultMount};
  std::vector<AliasOption> aliases;
  std::string module;    // "" when not given: skalo.so beside the program
  unsigned threads = 0;  // 0 when not given
  // 0 when not given: as many as the open-file limit allows.
  std::size_t max_connections = 0;
  unsigned header_timeout = 0;  // seconds; 0 when not given
  unsigned send_timeout = 0;    // seconds; 0 when not given
  std::string access_log;       // "" when off; "-" for stdout
  std::string metrics_path;     // URL path of the metrics page; "" when off
  std::string healthz_path;     // URL path of the health check; "" when off
};

struct ParsedArgs {
  bool help = false;  // --help: print the usage and stop
  std::string error;  // set when the arguments are unusable
  HostOptions options;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=" ("--root DIR" or "--root=DIR"); single-valued
// options may appear once, --alias any number of times.
ParsedArgs ParseHostArgs(const std::vector<std::string>& args);

std::string UsageText();

// Splits "HOST:PORT" or "[V6]:PORT". nullopt when malformed.
struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
};
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// Number of module worker threads when --threads is not given.
unsigned DefaultWorkerThreads();

// Makes the root and alias folders absolute (realpath) and checks that they are
// folders. On failure answers nullopt and describes the problem in *error.
std::optional<SiteMap> ResolveSite(const HostOptions& options, std::string* error);

// skalo.so in the folder of `program` (an absolute path such as
// /proc/self/exe's target).
std::string ModuleBesideProgram(std::string_view program);

// A path dlopen takes as a file rather than as a name to search the library
// path for: "skalo.so" becomes "./skalo.so".
std::string PathForDlopen(std::string_view path);

}  // namespace skalo::host
