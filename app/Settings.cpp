#include "app/Settings.h"

#include <QStringDecoder>
#include <filesystem>

#include "dataset/DbfFileName.h"
#include "platform/CodePage.h"
#include "platform/IntConv.h"

namespace tavrin::app {
namespace {
constexpr const char* kOptions = "Options";
constexpr const char* kDefaults = "Defaults";
// Stands for a missing key: no value read from the file holds a line break.
constexpr const char* kAbsent = "\n";

bool IsUtf8(const std::string& text) {
  QStringDecoder decoder(QStringDecoder::Utf8);
  [[maybe_unused]] const QString decoded = decoder.decode(QByteArrayView(text.data(), std::ssize(text)));
  return !decoder.hasError();
}

std::string ReadText(const platform::ProfileFile& ini, const char* section, const char* key,
                     const std::string& fallback) {
  const std::string value = ini.ReadString(section, key, fallback);
  return IsUtf8(value) ? value : platform::AnsiToUtf8(value);
}

std::string InHome(const std::string& dir, const std::string& home) {
  if (dir == "~" || dir.rfind("~/", 0) == 0) return home + dir.substr(1);
  return dir;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// File names are shown as they are, or as 8-bit text when they are not UTF-8.
std::string FileNameToAnsi(const std::string& path) {
  return IsUtf8(path) ? platform::Utf8ToAnsi(path) : path;
}
}  // namespace

Settings& AppSettings() {
  static Settings settings;
  return settings;
}

void LoadSettings(Settings& s, const SettingsPlaces& places) {
  const platform::ProfileFile ini(places.settingsFile);
  s.Dir = InHome(ini.ReadString(kOptions, "Dir", places.homeDir + defaults::kTableFolder),
                 places.homeDir);
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

std::optional<std::string> SaveSettings(const Settings& s, const SettingsPlaces& places) {
  platform::ProfileFile ini(places.settingsFile);
  std::vector<platform::ProfileEntry> changed;
  for (platform::ProfileEntry entry : {platform::ProfileEntry{kOptions, "SenderName", s.SenderName},
                                       {kOptions, "ReturnEmail", s.ReturnEmail},
                                       {kOptions, "ServerName", s.ServerName},
                                       {kOptions, "ServerPort", s.ServerPort},
                                       {kDefaults, "To", s.To}}) {
    // A value whose text is already in the file stays as it was written there, 8-bit or not.
    if (ReadText(ini, entry.section.c_str(), entry.key.c_str(), kAbsent) != entry.value)
      changed.push_back(std::move(entry));
  }
  if (changed.empty() || ini.WriteStrings(changed)) return std::nullopt;
  return ini.Error();
}

bool SaveSettings(const Settings& s, const SettingsPlaces& places, platform::Dialogs& dialogs) {
  const auto problem = SaveSettings(s, places);
  if (problem)
    dialogs.ShowMessage("The settings could not be saved to " +
                        FileNameToAnsi(places.settingsFile) + ": " + *problem);
  return !problem;
}

std::string TableFilePath(const Settings& s) {
  const std::string path = dataset::NormalizeDbfFileName(s.Dir + "/" + s.TableName);
  if (EndsWith(path, ".DBF") && !IsFile(path)) {
    const std::string twin = path.substr(0, path.size() - 3) + "dbf";
    if (IsFile(twin)) return twin;
  }
  return path;
}

std::optional<int> ServerPortNumber(Settings& s, platform::Dialogs& dialogs) {
  const auto port = platform::StrToInt(s.ServerPort);
  if (port && *port >= kLowestPort && *port <= kHighestPort) return *port;
  if (s.ReportedServerPort != s.ServerPort) {
    s.ReportedServerPort = s.ServerPort;
    dialogs.ShowMessage((port ? "The server port in the settings file is not a number from 1 to "
                                "65535: "
                              : "The server port in the settings file is not a valid integer: ") +
                        SettingToAnsi(s.ServerPort));
  }
  return std::nullopt;
}

bool IsPlainAddress(const std::string& address) {
  for (const QChar c : SettingToQString(address)) {
    if (c.isSpace() || c.unicode() < 0x20 || c.unicode() == 0x7F) return false;
    if (c == u'"' || c == u',' || c == u'<' || c == u'>') return false;
  }
  return true;
}

QString SettingToQString(const std::string& value) {
  return QString::fromUtf8(value.data(), std::ssize(value));
}

std::string QStringToSetting(const QString& text) { return text.toStdString(); }

std::string SettingToAnsi(const std::string& value) { return platform::Utf8ToAnsi(value); }

bool FitsWindows1252(const std::string& value) {
  return IsUtf8(value) && platform::AnsiToUtf8(platform::Utf8ToAnsi(value)) == value;
}

}  // namespace tavrin::app
