// The folders the program finds itself in: its executable's folder, the system temp folder, home.
// Each returns a path without a trailing '/'. GUI thread (needs the application object for the first).
//
// File names are kept in the file system's own bytes (UTF-8), not in the program's 8-bit text, so a
// folder with letters outside Windows-1252 still opens; NativePath converts a widget's text.
#pragma once

#include <QString>
#include <string>

namespace tavrin::platform {

std::string NativePath(const QString& path);
std::string ExecutableDir();
std::string TempDir();
std::string HomeDir();

}  // namespace tavrin::platform
