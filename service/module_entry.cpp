// The exported entry points of the module file skalo.so.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "service/application.h"
#include "service/isapi.h"

namespace {

std::mutex g_lock;
std::shared_ptr<skalo::TWebApplication> g_application;

// The application object, created when the module is first used and destroyed
// by TerminateExtension. Requests in flight keep their reference alive.
std::shared_ptr<skalo::TWebApplication> Application() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_application) {
    // Every instance of the pool reads one settings snapshot.
    auto settings = std::make_shared<skalo::TSettingsStore>();
    g_application = std::make_shared<skalo::TWebApplication>(
        [settings] { return std::make_unique<skalo::TWebModule1>(settings); });
  }
  return g_application;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  if (!version) return 0;
  try {
    Application();
  } catch (...) {
    return 0;
  }
  version->dwExtensionVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  // The description is the application title, which the service leaves empty.
  std::memset(version->lpszExtensionDesc, 0, sizeof version->lpszExtensionDesc);
  return 1;
}

__attribute__((visibility("default"))) DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  std::shared_ptr<skalo::TWebApplication> application;
  try {
    application = Application();
  } catch (...) {
    if (ecb) skalo::SendFallbackPage(ecb, "EOutOfMemory", "Out of memory");
    return HSE_STATUS_ERROR;
  }
  return application->HttpExtensionProc(ecb);
}

__attribute__((visibility("default"))) BOOL TerminateExtension(DWORD /*flags*/) {
  std::shared_ptr<skalo::TWebApplication> application;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    application.swap(g_application);
  }
  return 1;
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer(void) {
  // There is no message box here: the text goes where the registering tool shows it.
  std::fputs(
      "Skalo Resizer is an ISAPI dll and can't be registered as a COM object. Please refer to "
      "the documentation for instrunctions on installing Skalo Resizer.\n",
      stderr);
  return SKALO_E_FAIL;
}

}  // extern "C"
