// The web application: the pool of module instances and the run of one request
// from the server's call to its answer, with the two error pages.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/isapi.h"
#include "service/webmodule.h"

namespace skalo {

inline constexpr std::size_t kMaxModuleInstances = 32;

class TWebApplication {
 public:
  using ModuleFactory = std::function<std::unique_ptr<TWebModule>()>;

  explicit TWebApplication(ModuleFactory factory, std::size_t max_instances = kMaxModuleInstances);
  TWebApplication(const TWebApplication&) = delete;
  TWebApplication& operator=(const TWebApplication&) = delete;

  // Runs one request to completion on the calling thread. Answers
  // HSE_STATUS_SUCCESS when an action handled it, HSE_STATUS_ERROR otherwise.
  DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb);

  // Instances created so far, and those serving a request right now.
  std::size_t InstanceCount() const;
  std::size_t ActiveCount() const;

 private:
  TWebModule* Acquire();
  void Release(TWebModule* module);

  ModuleFactory factory_;
  const std::size_t max_instances_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<TWebModule>> instances_;
  std::deque<TWebModule*> idle_;
  std::size_t active_ = 0;
};

// The page that replaces the response when an action fails.
std::string ApplicationErrorPage(const std::string& message, const std::string& path_info);
// Written straight to the server when no module instance could serve the request.
void SendFallbackPage(EXTENSION_CONTROL_BLOCK* ecb, const std::string& class_name,
                      const std::string& message);

}  // namespace skalo
