#include "app/Settings.h"

#include "platform/CodePage.h"

namespace tavrin::app {
namespace {
constexpr const char* kOptions = "Options";
constexpr const char* kDefaults = "Defaults";

bool IsUtf8(const std::string& text) {
  return platform::AnsiToUtf8(platform::Utf8ToAnsi(text)) == text;
}

// The settings file is UTF-8 text, like any text file on this system; the program's own text is
// 8-bit. A value that is not valid UTF-8 (written by hand in an 8-bit editor) is taken as it is.
// Folder and file names are file system bytes and are never converted.
std::string ReadText(const platform::ProfileFile& ini, const char* section, const char* key,
                     const std::string& fallback) {
  const std::string value = ini.ReadString(section, key, fallback);
  return IsUtf8(value) ? platform::Utf8ToAnsi(value) : value;
}

bool WriteText(platform::ProfileFile& ini, const char* section, const char* key,
               const std::string& value) {
  return ini.WriteString(section, key, platform::AnsiToUtf8(value));
}
}  // namespace

Settings& AppSettings() {
  static Settings settings;
  return settings;
}

void LoadSettings(Settings& s, const SettingsPlaces& places) {
  const platform::ProfileFile ini(places.settingsFile);
  s.Dir = ini.ReadString(kOptions, "Dir", places.homeDir + defaults::kTableFolder);
  s.TableName = ini.ReadString(kOptions, "TableName", defaults::kTableName);
  s.NameFieldname = ReadText(ini, kOptions, "NameFieldname", defaults::kNameFieldname);
  s.EmailFieldname = ReadText(ini, kOptions, "EmailFieldname", defaults::kEmailFieldname);
  s.ProgramCaption = ReadText(ini, kOptions, "ProgramCaption", defaults::kProgramCaption);
  s.SenderName = ReadText(ini, kOptions, "SenderName", defaults::kSenderName);
  s.ReturnEmail = ReadText(ini, kOptions, "ReturnEmail", defaults::kReturnEmail);
  s.ServerName = ReadText(ini, kOptions, "ServerName", defaults::kServerName);
  s.ServerPort = ReadText(ini, kOptions, "ServerPort", defaults::kServerPort);
  s.To = ReadText(ini, kDefaults, "To", defaults::kTo);
  if (s.ReturnEmail.empty()) s.FirstRun = true;
  s.TempFileName = places.tempDir + "/temp.out";
}

bool SaveSettings(const Settings& s, const SettingsPlaces& places) {
  platform::ProfileFile ini(places.settingsFile);
  bool ok = WriteText(ini, kOptions, "SenderName", s.SenderName);
  ok = WriteText(ini, kOptions, "ReturnEmail", s.ReturnEmail) && ok;
  ok = WriteText(ini, kOptions, "ServerName", s.ServerName) && ok;
  ok = WriteText(ini, kOptions, "ServerPort", s.ServerPort) && ok;
  ok = WriteText(ini, kDefaults, "To", s.To) && ok;
  return ok;
}

}  // namespace tavrin::app
