// Peak resident memory of the test process, for tests that prove a hostile
// input is refused without allocating for what it claims.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace skalo::testing {

// Starts a new peak: VmHWM falls back to the current resident size.
inline void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// VmHWM in bytes (0 when it cannot be read).
inline std::uint64_t PeakMemoryBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// Current resident size in bytes (0 when it cannot be read).
inline std::uint64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

}  // namespace skalo::testing
