// Where the loaded module file lives: its settings file lies beside it.
#pragma once

#include <string>

namespace skalo {

// Full path of the module file that holds this code (the loaded skalo.so, or
// the executable when the code is linked into one).
std::string ModuleFileName();
// The module file's folder, with a trailing "/".
std::string ModuleDirectory();

}  // namespace skalo
