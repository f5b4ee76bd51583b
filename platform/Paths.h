// The folders the program finds itself in: its executable's folder, the system temp folder, home.
// Each returns a path without a trailing '/'. GUI thread (needs the application object for the first).
#pragma once

#include <string>

namespace tavrin::platform {

std::string ExecutableDir();
std::string TempDir();
std::string HomeDir();

}  // namespace tavrin::platform
