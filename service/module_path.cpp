#include "service/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace skalo {

namespace {

// Any address inside this module; dladdr names the file that contains it.
void Anchor() {}

}  // namespace

std::string ModuleFileName() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&Anchor), &info) || !info.dli_fname) return std::string();
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

std::string ModuleDirectory() {
  const std::string name = ModuleFileName();
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

}  // namespace skalo
