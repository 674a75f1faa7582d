#include "service/module_metrics.h"

#include <atomic>

#include "engine/memory_budget.h"

namespace skalo {

namespace {

std::atomic<std::uint64_t> cache_hits{0};
std::atomic<std::uint64_t> cache_misses{0};
std::atomic<std::uint64_t> failed_jobs{0};

}  // namespace

void CountCacheHit() noexcept {
  cache_hits.fetch_add(1, std::memory_order_relaxed);
}
void CountCacheMiss() noexcept {
  cache_misses.fetch_add(1, std::memory_order_relaxed);
}
void CountFailedJob() noexcept {
  failed_jobs.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace skalo

extern "C" void SkaloReportMetrics(skalo::SkaloMetricSink sink, void* context) {
  using skalo::TMemoryBudget;
  if (sink == nullptr) return;
  const auto value = [](const std::atomic<std::uint64_t>& n) {
    return static_cast<double>(n.load(std::memory_order_relaxed));
  };
  sink(context, "skalo_cache_hits_total", "counter", value(skalo::cache_hits));
  sink(context, "skalo_cache_misses_total", "counter", value(skalo::cache_misses));
  sink(context, "skalo_jobs_failed_total", "counter", value(skalo::failed_jobs));
  TMemoryBudget& budget = TMemoryBudget::Process();
  sink(context, "skalo_jobs_waiting", "gauge", static_cast<double>(budget.Waiting()));
  sink(context, "skalo_memory_reserved_bytes", "gauge", static_cast<double>(budget.InUse()));
}
