// Counters of the host, shown in the Prometheus text exposition format
// (version 0.0.4).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace skalo::host {

// The module's own figures on the host's metrics page (cache hits, jobs
// waiting, memory reserved: what only the module knows). A module that has
// them exports
//   extern "C" void SkaloReportMetrics(SkaloMetricSink sink, void* context);
// which the host calls on each scrape, from an I/O thread, so it must only
// read counters and never block. It calls `sink` once per sample: `name` a
// metric name of its choosing ([a-zA-Z_:][a-zA-Z0-9_:]*, no labels), `type`
// "counter" or "gauge", and the value. Samples that break these rules, or
// repeat a name already shown, are left out. Pointers are only valid during
// the call.
using SkaloMetricSink = void (*)(void* context, const char* name, const char* type, double value);
using SkaloReportMetricsFunction = void (*)(SkaloMetricSink sink, void* context);
inline constexpr const char* kReportMetricsSymbol = "SkaloReportMetrics";

// Labels of answers that did not go to the module.
inline constexpr std::string_view kStaticAction = "static";
inline constexpr std::string_view kMetricsAction = "metrics";
inline constexpr std::string_view kHealthAction = "healthz";
// An answer given before the request could be routed (malformed, too large).
inline constexpr std::string_view kHostAction = "host";
// Module paths that have no label of their own (see RecordRequest).
inline constexpr std::string_view kOtherAction = "other";

class HostMetrics {
 public:
  // Module path infos that get a label of their own, at most.
  static constexpr std::size_t kMaxModuleActions = 32;
  static constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1,    2.5,   5,    10};

  void ConnectionOpened() { connections_.fetch_add(1, std::memory_order_relaxed); }
  void ConnectionClosed() { connections_.fetch_sub(1, std::memory_order_relaxed); }
  void ModuleCallQueued() { queued_.fetch_add(1, std::memory_order_relaxed); }
  void ModuleCallStarted();
  void ModuleCallFinished() { running_.fetch_sub(1, std::memory_order_relaxed); }

  // One answer: `action` is a label above or, when `module` is set, the
  // module's path info ("/bin", "/xml"). A path info gets a label of its own
  // once the module has answered it below 400, for the first
  // kMaxModuleActions such paths (short printable ones only), so that
  // clients asking for made-up paths cannot grow the list; the others count
  // as "other". `bytes` are the body bytes sent.
  void RecordRequest(std::string_view action, bool module, unsigned status, std::uint64_t bytes,
                     double seconds);

  // The exposition text, with the module's samples when `module` is set.
  std::string Exposition(SkaloReportMetricsFunction module = nullptr) const;

 private:
  std::atomic<std::int64_t> connections_{0};
  std::atomic<std::int64_t> queued_{0};
  std::atomic<std::int64_t> running_{0};

  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> module_actions_;
  std::map<std::pair<std::string, unsigned>, std::uint64_t> requests_;
  std::array<std::uint64_t, kBuckets.size()> bucket_counts_{};  // not cumulative
  std::uint64_t request_count_ = 0;
  double seconds_sum_ = 0;
  std::uint64_t bytes_sent_ = 0;
};

}  // namespace skalo::host
