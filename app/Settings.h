// The program's ten user settings and the settings file they live in.
//
// `Settings` holds the values named after their keys, plus the first-run flag and the temporary file
// name. Text values are UTF-8, kept without loss from file to window to file; `Dir` and `TableName`
// are file system bytes. The program keeps one process-wide instance (AppSettings()); the functions
// below read and write it through a ProfileFile. GUI thread only.
#pragma once

#include <QString>
#include <optional>
#include <string>

#include "platform/Dialogs.h"
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
  // The unusable ServerPort value the user was last told about, so it is told once.
  std::optional<std::string> ReportedServerPort;
};

// The process-wide settings.
Settings& AppSettings();

// Where the program's folders are; filled from the platform at start, by hand in tests.
struct SettingsPlaces {
  std::string settingsFile;  // the settings file beside the executable
  std::string homeDir;       // the user's home folder, for the default table folder and "~/"
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
// computes TempFileName. A `Dir` starting with "~/" is in the home folder. A text value that is not
// UTF-8 (written by hand in an 8-bit editor) is read as Windows-1252 text.
void LoadSettings(Settings& settings, const SettingsPlaces& places);
// Writes the five keys the user can change, all in one replacement of the file; the other five
// reach the file only by hand. Returns why the file could not be written, or nothing.
std::optional<std::string> SaveSettings(const Settings& settings, const SettingsPlaces& places);
// The same, and when it fails says "The settings could not be saved to <file>: <reason>" once.
bool SaveSettings(const Settings& settings, const SettingsPlaces& places,
                  platform::Dialogs& dialogs);

// The recipients table file: Dir + "/" + TableName in the dataset's normal form (".DBF" added to a
// name without extension), or its ".dbf" twin when only that one exists.
std::string TableFilePath(const Settings& settings);

// The port numbers ServerPort may hold.
inline constexpr int kLowestPort = 1;
inline constexpr int kHighestPort = 65535;

// ServerPort as a port number, when it is an integer from 1 to 65535. Any other value is reported
// in a message box, once per value, and gives nothing.
std::optional<int> ServerPortNumber(Settings& settings, platform::Dialogs& dialogs);

// True when `address` is one plain mailbox: no blanks or control characters, no quotes, commas or
// angle brackets that would make a From header name another address or start another header.
bool IsPlainAddress(const std::string& address);

// ---- the text of the settings at the program's boundaries ----

// A setting shown in a widget, and a widget's text kept as a setting: both lossless.
QString SettingToQString(const std::string& value);
std::string QStringToSetting(const QString& text);
// A setting as the program's 8-bit Windows-1252 text; a character that code page lacks becomes '?'.
std::string SettingToAnsi(const std::string& value);
// True when every character of the UTF-8 `value` exists in Windows-1252, so that SettingToAnsi
// keeps it whole and it can go out in an 8-bit message.
bool FitsWindows1252(const std::string& value);

}  // namespace tavrin::app
