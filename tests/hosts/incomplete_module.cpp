// A module that lacks two of the four entry points: hosts must refuse it.
#include "service/isapi.h"

extern "C" {

__attribute__((visibility("default"))) BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_MAKE_VERSION(HSE_VERSION_MAJOR, HSE_VERSION_MINOR);
  version->lpszExtensionDesc[0] = '\0';
  return 1;
}

__attribute__((visibility("default"))) DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_ERROR;
}

}  // extern "C"
