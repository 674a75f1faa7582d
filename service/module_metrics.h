// Counters of this module that a host may publish: the host looks up
// SkaloReportMetrics in the module and calls it on each scrape, from one of
// its I/O threads, so it only reads counters and never blocks for long.
#pragma once

#include <cstdint>

namespace skalo {

// The sink a host hands over: one call per sample, `type` "counter" or
// "gauge".
using SkaloMetricSink = void (*)(void* context, const char* name, const char* type, double value);

void CountCacheHit() noexcept;
void CountCacheMiss() noexcept;
void CountFailedJob() noexcept;

}  // namespace skalo

extern "C" void SkaloReportMetrics(skalo::SkaloMetricSink sink, void* context);
