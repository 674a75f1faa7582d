// The module file a host serves requests with: loaded with dlopen, initialised
// with GetExtensionVersion, and shut down with TerminateExtension and dlclose.
#pragma once

#include <memory>
#include <string>

#include "hosts/metrics.h"
#include "service/isapi.h"

namespace skalo::host {

class ExtensionModule {
 public:
  // Loads the module at `path`, resolves its four entry points and calls
  // GetExtensionVersion. Throws std::runtime_error naming the file and the
  // problem when any step fails.
  explicit ExtensionModule(const std::string& path);
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;
  // Terminates the module (when not done yet) and unloads it.
  ~ExtensionModule();

  PFN_HTTPEXTENSIONPROC proc() const { return proc_; }
  DWORD version() const { return version_; }
  const std::string& description() const { return description_; }
  // The module's SkaloReportMetrics (see hosts/metrics.h); null when it has none.
  SkaloReportMetricsFunction report_metrics() const { return report_metrics_; }

  // Calls TerminateExtension once; later calls do nothing. No request may be
  // running or start afterwards.
  void Terminate();

 private:
  struct Unloader {
    void operator()(void* handle) const;
  };

  std::unique_ptr<void, Unloader> handle_;
  PFN_HTTPEXTENSIONPROC proc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_ = nullptr;
  SkaloReportMetricsFunction report_metrics_ = nullptr;
  DWORD version_ = 0;
  std::string description_;
  bool terminated_ = false;
};

}  // namespace skalo::host
