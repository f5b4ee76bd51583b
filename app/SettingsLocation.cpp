#include "app/SettingsLocation.h"

#include "platform/Paths.h"

namespace tavrin::app {

std::string ChooseSettingsFile(const std::string& executableDir, const std::string& configHome) {
  const std::string beside = executableDir + "/" + kSettingsFileName;
  if (platform::PathExists(beside) || platform::FolderWritable(executableDir)) return beside;
  const std::string folder = configHome + "/Tavrin";
  // A folder that cannot be made shows up later, when the first save says why it failed.
  platform::MakeFolders(folder);
  return folder + "/" + kSettingsFileName;
}

}  // namespace tavrin::app
