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

// $XDG_CONFIG_HOME, or HomeDir() + "/.config" when it is unset, empty or not an absolute path.
std::string ConfigHomeDir();
// True when this process may create files in `dir`: the folder exists, its file system is not
// mounted read-only, and its permission bits grant us writing. The bits are judged for root too,
// so a folder made read-only on purpose is treated as such by every user.
bool FolderWritable(const std::string& dir);
// True when something (a file, a folder, even a dangling link) is at `path`.
bool PathExists(const std::string& path);
// Creates `dir` and its missing parents (mode 0700 for new ones); true when it exists afterwards.
bool MakeFolders(const std::string& dir);

}  // namespace tavrin::platform
