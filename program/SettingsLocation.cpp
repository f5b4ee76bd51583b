#include "program/SettingsLocation.h"

#include "platform/Paths.h"

namespace tavrin::app {
namespace {
// The system's own program folders: writable there only for the administrator (or a root run), and
// a settings file written there would be everyone's.
bool IsSystemFolder(const std::string& dir) {
  for (const char* root : {"/usr", "/bin", "/sbin", "/lib", "/opt", "/snap"}) {
    const std::string r = root;
    if (dir == r || dir.rfind(r + "/", 0) == 0) return true;
  }
  return false;
}
}  // namespace

std::string ChooseSettingsFile(const std::string& executableDir, const std::string& configHome) {
  const std::string beside = executableDir + "/" + kSettingsFileName;
  if (platform::PathExists(beside) ||
      (platform::FolderWritable(executableDir) && !IsSystemFolder(executableDir)))
    return beside;
  const std::string folder = configHome + "/Tavrin";
  // A folder that cannot be made shows up later, when the first save says why it failed.
  platform::MakeFolders(folder);
  return folder + "/" + kSettingsFileName;
}

}  // namespace tavrin::app
