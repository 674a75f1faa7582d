#include "hosts/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace skalo::host {
namespace {

constexpr std::size_t kMaxActionLength = 64;

bool Labellable(std::string_view path) {
  return path.size() <= kMaxActionLength &&
         std::all_of(path.begin(), path.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// A label value, with \ and " escaped (the only characters that need it
// among those Labellable lets through).
void AppendLabel(std::string& out, std::string_view value) {
  for (const char c : value) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
}

// The shortest text that reads back as `value`.
std::string Number(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

bool IsMetricName(std::string_view name) {
  auto allowed = [](char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           (!first && c >= '0' && c <= '9');
  };
  if (name.empty() || name.size() > 200) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!allowed(name[i], i == 0)) return false;
  }
  return true;
}

// Collects what the module reports; see SkaloReportMetrics.
struct ModuleSamples {
  std::string* out;
  std::set<std::string, std::less<>> names;

  static void Take(void* context, const char* name, const char* type, double value) {
    auto& self = *static_cast<ModuleSamples*>(context);
    if (name == nullptr || type == nullptr || !std::isfinite(value)) return;
    const std::string_view metric(name, strnlen(name, 256));
    const std::string_view kind(type);
    if (!IsMetricName(metric) || (kind != "counter" && kind != "gauge")) return;
    if (metric.starts_with("skalo_requests") || metric.starts_with("skalo_request_duration") ||
        metric.starts_with("skalo_response_bytes") || metric == "skalo_open_connections" ||
        metric == "skalo_module_calls" || !self.names.emplace(metric).second) {
      return;
    }
    self.out->append("# TYPE ").append(metric).append(" ").append(kind).push_back('\n');
    self.out->append(metric).append(" ").append(Number(value)).push_back('\n');
  }
};

}  // namespace

void HostMetrics::ModuleCallStarted() {
  queued_.fetch_sub(1, std::memory_order_relaxed);
  running_.fetch_add(1, std::memory_order_relaxed);
}

void HostMetrics::RecordRequest(std::string_view action, bool module, unsigned status,
                                std::uint64_t bytes, double seconds) {
  if (module && action.empty()) action = "/";
  std::lock_guard lock(mutex_);
  if (module && module_actions_.find(action) == module_actions_.end()) {
    if (status < 400 && module_actions_.size() < kMaxModuleActions && Labellable(action)) {
      module_actions_.emplace(action);
    } else {
      action = kOtherAction;
    }
  }
  ++requests_[{std::string(action), status}];
  const auto bucket = std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds);
  if (bucket != kBuckets.end())
    ++bucket_counts_[static_cast<std::size_t>(bucket - kBuckets.begin())];
  ++request_count_;
  seconds_sum_ += seconds;
  bytes_sent_ += bytes;
}

std::string HostMetrics::Exposition(SkaloReportMetricsFunction module) const {
  std::string out;
  if (module) {
    ModuleSamples samples{&out, {}};
    module(&ModuleSamples::Take, &samples);
  }
  std::lock_guard lock(mutex_);
  out.append(
      "# HELP skalo_requests_total Requests answered, by action and status.\n"
      "# TYPE skalo_requests_total counter\n");
  for (const auto& [key, count] : requests_) {
    out.append("skalo_requests_total{action=\"");
    AppendLabel(out, key.first);
    out.append("\",status=\"")
        .append(std::to_string(key.second))
        .append("\"} ")
        .append(std::to_string(count))
        .push_back('\n');
  }
  out.append(
      "# HELP skalo_request_duration_seconds Time from a request's first byte to the end of "
      "its answer.\n"
      "# TYPE skalo_request_duration_seconds histogram\n");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += bucket_counts_[i];
    out.append("skalo_request_duration_seconds_bucket{le=\"")
        .append(Number(kBuckets[i]))
        .append("\"} ")
        .append(std::to_string(cumulative))
        .push_back('\n');
  }
  out.append("skalo_request_duration_seconds_bucket{le=\"+Inf\"} ")
      .append(std::to_string(request_count_))
      .append("\nskalo_request_duration_seconds_sum ")
      .append(Number(seconds_sum_))
      .append("\nskalo_request_duration_seconds_count ")
      .append(std::to_string(request_count_))
      .append(
          "\n# HELP skalo_response_bytes_total Body bytes sent.\n"
          "# TYPE skalo_response_bytes_total counter\n"
          "skalo_response_bytes_total ")
      .append(std::to_string(bytes_sent_))
      .append(
          "\n# HELP skalo_open_connections Client connections open.\n"
          "# TYPE skalo_open_connections gauge\n"
          "skalo_open_connections ")
      .append(std::to_string(connections_.load(std::memory_order_relaxed)))
      .append(
          "\n# HELP skalo_module_calls Module calls waiting for a worker thread, and running.\n"
          "# TYPE skalo_module_calls gauge\n"
          "skalo_module_calls{state=\"queued\"} ")
      .append(std::to_string(queued_.load(std::memory_order_relaxed)))
      .append("\nskalo_module_calls{state=\"running\"} ")
      .append(std::to_string(running_.load(std::memory_order_relaxed)))
      .push_back('\n');
  return out;
}

}  // namespace skalo::host
