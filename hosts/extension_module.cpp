#include "hosts/extension_module.h"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>

#include "hosts/host_options.h"

namespace skalo::host {
namespace {

template <class Function>
Function Resolve(void* handle, const char* name, const std::string& path) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    throw std::runtime_error("module " + path + " does not export " + name);
  }
  return reinterpret_cast<Function>(symbol);
}

}  // namespace

void ExtensionModule::Unloader::operator()(void* handle) const {
  dlclose(handle);
}

ExtensionModule::ExtensionModule(const std::string& path) {
  dlerror();
  handle_.reset(dlopen(PathForDlopen(path).c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle_) {
    const char* reason = dlerror();
    throw std::runtime_error("cannot load module " + path + ": " +
                             (reason != nullptr ? reason : "unknown error"));
  }
  auto get_version = Resolve<PFN_GETEXTENSIONVERSION>(handle_.get(), "GetExtensionVersion", path);
  proc_ = Resolve<PFN_HTTPEXTENSIONPROC>(handle_.get(), "HttpExtensionProc", path);
  terminate_ = Resolve<PFN_TERMINATEEXTENSION>(handle_.get(), "TerminateExtension", path);
  Resolve<PFN_DLLREGISTERSERVER>(handle_.get(), "DllRegisterServer", path);
  report_metrics_ =
      reinterpret_cast<SkaloReportMetricsFunction>(dlsym(handle_.get(), kReportMetricsSymbol));

  HSE_VERSION_INFO info{};
  if (!get_version(&info)) {
    throw std::runtime_error("module " + path + " refused to start (GetExtensionVersion failed)");
  }
  version_ = info.dwExtensionVersion;
  description_.assign(info.lpszExtensionDesc,
                      strnlen(info.lpszExtensionDesc, sizeof info.lpszExtensionDesc));
}

ExtensionModule::~ExtensionModule() {
  Terminate();
}

void ExtensionModule::Terminate() {
  if (terminated_ || terminate_ == nullptr) return;
  terminated_ = true;
  terminate_(0);
}

}  // namespace skalo::host
