// Where the settings file lives.
//
// Beside the executable when that folder can be written (and is not one of the system's program
// folders, /usr/bin and the like, which only root can write) or already holds a settings file (so a
// program run from its build folder, or an existing setup, keeps its file); otherwise in the
// user's configuration folder, $XDG_CONFIG_HOME/Tavrin/Tavrin.ini, whose folder is created then.
// Pure apart from the folder checks and the creation; any thread.
#pragma once

#include <string>

namespace tavrin::app {

inline constexpr const char* kSettingsFileName = "Tavrin.ini";

// `executableDir` and `configHome` without a trailing '/'.
std::string ChooseSettingsFile(const std::string& executableDir, const std::string& configHome);

}  // namespace tavrin::app
