#include "hosts/host_options.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <thread>

namespace skalo::host {
namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<unsigned long> ParseNumber(std::string_view text) {
  if (!AllDigits(text) || text.size() > 9) return std::nullopt;
  unsigned long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::string> ResolveDir(const std::string& dir, std::string_view option,
                                      std::string* error) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(dir, ec);
  if (ec) {
    *error = std::string(option) + " " + dir + ": " + ec.message();
    return std::nullopt;
  }
  if (!std::filesystem::is_directory(resolved, ec)) {
    *error = std::string(option) + " " + dir + ": not a folder";
    return std::nullopt;
  }
  return resolved.string();
}

}  // namespace

std::string UsageText() {
  return "usage: skalo-httpd --listen HOST:PORT --root DIR [--mount /skalo]\n"
         "                   [--alias /URLPREFIX=DIR]... [--module FILE] [--threads N]\n"
         "                   [--max-connections N] [--header-timeout SECONDS]\n"
         "                   [--send-timeout SECONDS] [--access-log FILE]\n"
         "                   [--metrics /PATH] [--healthz /PATH]\n"
         "\n"
         "  --listen HOST:PORT    address to serve on; port 0 picks a free port\n"
         "  --root DIR            folder of the static files\n"
         "  --mount /PREFIX       URL prefix answered by the module (default /skalo)\n"
         "  --alias /PREFIX=DIR   serve URLs under /PREFIX from DIR (repeatable)\n"
         "  --module FILE         module to load (default: skalo.so beside this program)\n"
         "  --threads N           threads for module calls (default: max(2, CPU count))\n"
         "  --max-connections N   open connections at most (default and upper bound:\n"
         "                        what the open-file limit allows); when all are taken,\n"
         "                        idle ones are closed to make room\n"
         "  --header-timeout S    seconds a client may take over a request head, from\n"
         "                        its first byte (default 10)\n"
         "  --send-timeout S      seconds a client may take to receive one whole answer\n"
         "                        (default 60)\n"
         "  --access-log FILE     one line per answer, Combined Log Format, appended to\n"
         "                        FILE (- for stdout; default: none)\n"
         "  --metrics /PATH       counters in the Prometheus text format at /PATH\n"
         "                        (default: none)\n"
         "  --healthz /PATH       answers 200 \"ok\" at /PATH while serving, 503 while\n"
         "                        stopping (default: none)\n"
         "  --help                show this text\n";
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view port;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    address.host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(0, colon));
    // An unbracketed IPv6 literal is ambiguous.
    if (address.host.find(':') != std::string::npos) return std::nullopt;
    port = text.substr(colon + 1);
  }
  if (address.host.empty()) return std::nullopt;
  const auto number = ParseNumber(port);
  if (!number || *number > 65535) return std::nullopt;
  address.port = static_cast<std::uint16_t>(*number);
  return address;
}

ParsedArgs ParseHostArgs(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  HostOptions& options = parsed.options;
  bool seen_listen = false, seen_root = false, seen_mount = false, seen_module = false,
       seen_threads = false, seen_max_connections = false, seen_header_timeout = false,
       seen_send_timeout = false, seen_access_log = false, seen_metrics = false,
       seen_healthz = false;
  auto fail = [&parsed](std::string message) {
    parsed.error = std::move(message);
    return parsed;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "--help" || name == "-h") {
      if (value) return fail("--help takes no value");
      parsed.help = true;
      continue;
    }
    const bool known = name == "--listen" || name == "--root" || name == "--mount" ||
                       name == "--alias" || name == "--module" || name == "--threads" ||
                       name == "--max-connections" || name == "--header-timeout" ||
                       name == "--send-timeout" || name == "--access-log" || name == "--metrics" ||
                       name == "--healthz";
    if (!known) return fail("unknown argument: " + args[i]);
    if (!value) {
      if (i + 1 >= args.size()) return fail(name + " needs a value");
      value = args[++i];
    }
    auto once = [&](bool& seen) {
      const bool first = !seen;
      seen = true;
      return first;
    };

    if (name == "--listen") {
      if (!once(seen_listen)) return fail("--listen given twice");
      const auto address = ParseListenAddress(*value);
      if (!address) return fail("--listen wants HOST:PORT, got \"" + *value + "\"");
      options.listen_host = address->host;
      options.listen_port = address->port;
    } else if (name == "--root") {
      if (!once(seen_root)) return fail("--root given twice");
      if (value->empty()) return fail("--root needs a folder");
      options.root = *value;
    } else if (name == "--mount") {
      if (!once(seen_mount)) return fail("--mount given twice");
      const auto mount = NormaliseUrlPrefix(*value);
      if (!mount) return fail("--mount wants a URL prefix like /skalo, got \"" + *value + "\"");
      options.mount = *mount;
    } else if (name == "--alias") {
      const std::size_t eq = value->find('=');
      if (eq == std::string::npos)
        return fail("--alias wants /URLPREFIX=DIR, got \"" + *value + "\"");
      const auto prefix = NormaliseUrlPrefix(std::string_view(*value).substr(0, eq));
      const std::string dir = value->substr(eq + 1);
      if (!prefix || dir.empty()) {
        return fail("--alias wants /URLPREFIX=DIR, got \"" + *value + "\"");
      }
      for (const AliasOption& alias : options.aliases) {
        if (alias.prefix == *prefix) return fail("--alias " + *prefix + " given twice");
      }
      options.aliases.push_back({*prefix, dir});
    } else if (name == "--module") {
      if (!once(seen_module)) return fail("--module given twice");
      if (value->empty()) return fail("--module needs a file");
      options.module = *value;
    } else if (name == "--threads") {
      if (!once(seen_threads)) return fail("--threads given twice");
      const auto count = ParseNumber(*value);
      if (!count || *count < 1 || *count > kMaxWorkerThreads) {
        return fail("--threads wants a number from 1 to " + std::to_string(kMaxWorkerThreads) +
                    ", got \"" + *value + "\"");
      }
      options.threads = static_cast<unsigned>(*count);
    } else if (name == "--max-connections") {
      if (!once(seen_max_connections)) return fail("--max-connections given twice");
      const auto count = ParseNumber(*value);
      if (!count || *count < 1 || *count > kMaxConnectionsOption) {
        return fail("--max-connections wants a number from 1 to " +
                    std::to_string(kMaxConnectionsOption) + ", got \"" + *value + "\"");
      }
      options.max_connections = *count;
    } else if (name == "--header-timeout" || name == "--send-timeout") {
      const bool header = name == "--header-timeout";
      if (!once(header ? seen_header_timeout : seen_send_timeout))
        return fail(name + " given twice");
      const auto seconds = ParseNumber(*value);
      if (!seconds || *seconds < 1 || *seconds > kMaxTimeoutSeconds) {
        return fail(name + " wants seconds from 1 to " + std::to_string(kMaxTimeoutSeconds) +
                    ", got \"" + *value + "\"");
      }
      (header ? options.header_timeout : options.send_timeout) = static_cast<unsigned>(*seconds);
    } else if (name == "--access-log") {
      if (!once(seen_access_log)) return fail("--access-log given twice");
      if (value->empty()) return fail("--access-log needs a file, or - for stdout");
      options.access_log = *value;
    } else if (name == "--metrics" || name == "--healthz") {
      const bool metrics = name == "--metrics";
      if (!once(metrics ? seen_metrics : seen_healthz)) return fail(name + " given twice");
      const auto path = NormaliseUrlPrefix(*value);
      if (!path || *path == "/") {
        return fail(name + " wants a URL path like /" + name.substr(2) + ", got \"" + *value +
                    "\"");
      }
      (metrics ? options.metrics_path : options.healthz_path) = *path;
    }
  }

  if (parsed.help) return parsed;
  if (!seen_listen) return fail("--listen is required");
  if (!seen_root) return fail("--root is required");
  if (!options.metrics_path.empty() && options.metrics_path == options.healthz_path) {
    return fail("--metrics and --healthz need different paths");
  }
  return parsed;
}

unsigned DefaultWorkerThreads() {
  return std::max(2u, std::thread::hardware_concurrency());
}

std::optional<SiteMap> ResolveSite(const HostOptions& options, std::string* error) {
  SiteMap site;
  auto root = ResolveDir(options.root, "--root", error);
  if (!root) return std::nullopt;
  site.root = std::move(*root);
  for (const AliasOption& alias : options.aliases) {
    auto dir = ResolveDir(alias.dir, "--alias " + alias.prefix, error);
    if (!dir) return std::nullopt;
    site.aliases.push_back({alias.prefix, std::move(*dir)});
  }
  return site;
}

std::string ModuleBesideProgram(std::string_view program) {
  const std::size_t slash = program.rfind('/');
  if (slash == std::string_view::npos) return "skalo.so";
  return std::string(program.substr(0, slash + 1)) + "skalo.so";
}

std::string PathForDlopen(std::string_view path) {
  if (path.find('/') != std::string_view::npos) return std::string(path);
  return "./" + std::string(path);
}

}  // namespace skalo::host
