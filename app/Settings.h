// The program's ten user settings and the settings file they live in.
//
// `Settings` holds the values as 8-bit text named after their keys, plus the first-run flag and the
// temporary file name. The program keeps one process-wide instance (AppSettings()); the functions
// below read and write it through a ProfileFile. GUI thread only.
#pragma once

#include <string>

#include "platform/ProfileFile.h"

namespace tavrin::app {

struct Settings {
  std::string Dir;
  std::string TableName;
  std::string NameFieldname;
  std::string EmailFieldname;
  std::string ProgramCaption;
  std::string SenderName;
  std::string ReturnEmail;
  std::string ServerName;
  std::string ServerPort;
  std::string To;

  // First-run mode: set when ReturnEmail is found empty; nothing clears it while the program runs.
  bool FirstRun = false;
  // "temp.out" in the system temp folder; every attachment is encoded into it.
  std::string TempFileName;
};

// The process-wide settings.
Settings& AppSettings();

// Where the program's folders are; filled from the platform at start, by hand in tests.
struct SettingsPlaces {
  std::string settingsFile;  // the settings file beside the executable
  std::string homeDir;       // the user's home folder, for the default table folder
  std::string tempDir;       // the system temp folder, for TempFileName
};

namespace defaults {
inline constexpr const char* kTableName = "tavrin.dbf";
inline constexpr const char* kNameFieldname = "NAME";
inline constexpr const char* kEmailFieldname = "EMAIL";
inline constexpr const char* kProgramCaption = "My Email Program";
inline constexpr const char* kSenderName = "John Doe";
inline constexpr const char* kReturnEmail = "sender@example.com";
inline constexpr const char* kServerName = "smtp.example.com";
inline constexpr const char* kServerPort = "25";
inline constexpr const char* kTo = "Everyone on the mailing list";
inline constexpr const char* kTableFolder = "/Tavrin";  // appended to the home folder
}  // namespace defaults

// Reads the ten keys (defaults for the missing ones), sets FirstRun when ReturnEmail is empty, and
// computes TempFileName.
void LoadSettings(Settings& settings, const SettingsPlaces& places);
// Writes the five keys the user can change; the other five reach the file only by hand.
// Returns false when the file could not be written.
bool SaveSettings(const Settings& settings, const SettingsPlaces& places);

}  // namespace tavrin::app
