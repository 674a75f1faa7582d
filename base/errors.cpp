#include "base/errors.h"

#include <cstring>

namespace skalo {

std::string SysErrorMessage(int err) {
  char buf[256];
  // GNU strerror_r may answer a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

}  // namespace skalo
