#include "app/Settings.h"

namespace tavrin::app {
namespace {
constexpr const char* kOptions = "Options";
constexpr const char* kDefaults = "Defaults";
}  // namespace

Settings& AppSettings() {
  static Settings settings;
  return settings;
}

void LoadSettings(Settings& s, const SettingsPlaces& places) {
  const platform::ProfileFile ini(places.settingsFile);
  s.Dir = ini.ReadString(kOptions, "Dir", places.homeDir + defaults::kTableFolder);
  s.TableName = ini.ReadString(kOptions, "TableName", defaults::kTableName);
  s.NameFieldname = ini.ReadString(kOptions, "NameFieldname", defaults::kNameFieldname);
  s.EmailFieldname = ini.ReadString(kOptions, "EmailFieldname", defaults::kEmailFieldname);
  s.ProgramCaption = ini.ReadString(kOptions, "ProgramCaption", defaults::kProgramCaption);
  s.SenderName = ini.ReadString(kOptions, "SenderName", defaults::kSenderName);
  s.ReturnEmail = ini.ReadString(kOptions, "ReturnEmail", defaults::kReturnEmail);
  s.ServerName = ini.ReadString(kOptions, "ServerName", defaults::kServerName);
  s.ServerPort = ini.ReadString(kOptions, "ServerPort", defaults::kServerPort);
  s.To = ini.ReadString(kDefaults, "To", defaults::kTo);
  if (s.ReturnEmail.empty()) s.FirstRun = true;
  s.TempFileName = places.tempDir + "/temp.out";
}

bool SaveSettings(const Settings& s, const SettingsPlaces& places) {
  platform::ProfileFile ini(places.settingsFile);
  bool ok = ini.WriteString(kOptions, "SenderName", s.SenderName);
  ok = ini.WriteString(kOptions, "ReturnEmail", s.ReturnEmail) && ok;
  ok = ini.WriteString(kOptions, "ServerName", s.ServerName) && ok;
  ok = ini.WriteString(kOptions, "ServerPort", s.ServerPort) && ok;
  ok = ini.WriteString(kDefaults, "To", s.To) && ok;
  return ok;
}

}  // namespace tavrin::app
