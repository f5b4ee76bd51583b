#include "program/Settings.h"

#include <QStringDecoder>
#include <filesystem>
#include <tuple>

#include "send/SendDialogue.h"
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
  [[maybe_unused]] const QString decoded =
      decoder.decode(QByteArrayView(text.data(), std::ssize(text)));
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

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return SettingToQString(a).compare(SettingToQString(b), Qt::CaseInsensitive) == 0;
}

bool IsFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
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
  s.Security = ReadText(ini, kOptions, "Security", defaults::kSecurity);
  s.UserName = ReadText(ini, kOptions, "UserName", defaults::kUserName);
  s.RecipientsPerMessage =
      ReadText(ini, kOptions, "RecipientsPerMessage", defaults::kRecipientsPerMessage);
  s.OptOutField = ReadText(ini, kOptions, "OptOutField", defaults::kOptOutField);
  s.ListUnsubscribe = ReadText(ini, kOptions, "ListUnsubscribe", defaults::kListUnsubscribe);
  s.ReplyTo = ReadText(ini, kOptions, "ReplyTo", defaults::kReplyTo);
  s.RecipientsPerMinute =
      ReadText(ini, kOptions, "RecipientsPerMinute", defaults::kRecipientsPerMinute);
  s.RecipientsPerDay = ReadText(ini, kOptions, "RecipientsPerDay", defaults::kRecipientsPerDay);
  if (s.ReturnEmail.empty()) s.FirstRun = true;
  s.TempFileName = places.tempDir + "/temp.out";
}

std::optional<std::string> SaveSettings(const Settings& s, const SettingsPlaces& places) {
  platform::ProfileFile ini(places.settingsFile);
  // In a file with unreadable lines, a key that could not be read keeps its default unchanged:
  // that is no change, and the file, which cannot be written whole, is left alone.
  const bool damaged = !ini.UnreadableLines().empty();
  std::vector<platform::ProfileEntry> changed;
  for (auto [entry, fallback] :
       {std::pair{platform::ProfileEntry{kOptions, "SenderName", s.SenderName},
                  defaults::kSenderName},
        {{kOptions, "ReturnEmail", s.ReturnEmail}, defaults::kReturnEmail},
        {{kOptions, "ServerName", s.ServerName}, defaults::kServerName},
        {{kOptions, "ServerPort", s.ServerPort}, defaults::kServerPort},
        {{kDefaults, "To", s.To}, defaults::kTo}}) {
    // A value whose text is already in the file stays as it was written there, 8-bit or not.
    const std::string inFile = ReadText(ini, entry.section.c_str(), entry.key.c_str(), kAbsent);
    if (inFile == entry.value || (damaged && inFile == kAbsent && entry.value == fallback))
      continue;
    changed.push_back(std::move(entry));
  }
  // The later keys count as present with their defaults, so a file from before gains nothing, and
  // "starttls" written by hand stays as written.
  if (!SameIgnoringCase(ReadText(ini, kOptions, "Security", defaults::kSecurity), s.Security))
    changed.push_back({kOptions, "Security", s.Security});
  for (auto [key, value, fallback] :
       {std::tuple{"UserName", &s.UserName, defaults::kUserName},
        {"OptOutField", &s.OptOutField, defaults::kOptOutField},
        {"ListUnsubscribe", &s.ListUnsubscribe, defaults::kListUnsubscribe},
        {"ReplyTo", &s.ReplyTo, defaults::kReplyTo},
        {"RecipientsPerMinute", &s.RecipientsPerMinute, defaults::kRecipientsPerMinute},
        {"RecipientsPerDay", &s.RecipientsPerDay, defaults::kRecipientsPerDay}})
    if (ReadText(ini, kOptions, key, fallback) != *value)
      changed.push_back({kOptions, key, *value});
  if (changed.empty() || ini.WriteStrings(changed)) return std::nullopt;
  return ini.Error();
}

bool SaveSettings(const Settings& s, const SettingsPlaces& places, platform::Dialogs& dialogs) {
  const auto problem = SaveSettings(s, places);
  if (problem)
    dialogs.ShowMessage("The settings could not be saved to " +
                        SystemTextToAnsi(places.settingsFile) + ": " + SystemTextToAnsi(*problem));
  return !problem;
}

std::optional<std::string> UnreadSettingsText(const SettingsPlaces& places) {
  const std::vector<int> lines = platform::ProfileFile(places.settingsFile).UnreadableLines();
  if (lines.empty()) return std::nullopt;
  std::string numbers;
  for (std::size_t i = 0; i < lines.size() && i < 10; ++i)
    numbers += (i == 0 ? "" : ", ") + std::to_string(lines[i]);
  if (lines.size() > 10) numbers += " and " + std::to_string(lines.size() - 10) + " more";
  return "Some lines of the settings file " + SystemTextToAnsi(places.settingsFile) +
         " could not be read and were skipped (" + (lines.size() == 1 ? "line " : "lines ") +
         numbers + "). The settings of the other lines are used; the file is left as it is.";
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

std::optional<Security> ParseSecurity(const std::string& text) {
  for (const Security security : {Security::kNone, Security::kStartTls, Security::kTls})
    if (SameIgnoringCase(text, SecurityName(security))) return security;
  return std::nullopt;
}

const char* SecurityName(Security security) {
  switch (security) {
    case Security::kNone: return "None";
    case Security::kStartTls: return "STARTTLS";
    case Security::kTls: return "TLS";
  }
  return "None";
}

std::string UnknownSecurityMessage(const std::string& value) {
  return "The connection security in the settings file is not None, STARTTLS or TLS: \"" +
         SettingToAnsi(value) + "\". Nothing is sent until it is chosen in Properties.";
}

std::optional<Security> SecurityChoice(Settings& s, platform::Dialogs& dialogs) {
  const auto security = ParseSecurity(s.Security);
  if (!security && s.ReportedSecurity != s.Security) {
    s.ReportedSecurity = s.Security;
    dialogs.ShowMessage(UnknownSecurityMessage(s.Security));
  }
  return security;
}

int PacingLimit(const std::string& setting) {
  const auto limit = platform::StrToInt(setting);
  return limit && *limit > 0 ? *limit : 0;
}

int RecipientsPerMessageLimit(Settings& s, platform::Dialogs& dialogs) {
  if (s.RecipientsPerMessage.empty()) return 0;
  const auto limit = platform::StrToInt(s.RecipientsPerMessage);
  if (limit && *limit >= 0) return *limit;
  if (s.ReportedRecipientsPerMessage != s.RecipientsPerMessage) {
    s.ReportedRecipientsPerMessage = s.RecipientsPerMessage;
    dialogs.ShowMessage(
        "The recipients per message in the settings file are not a whole number "
        "of 0 or more, so there is no limit: " +
        SettingToAnsi(s.RecipientsPerMessage));
  }
  return 0;
}

QString SettingToQString(const std::string& value) {
  return QString::fromUtf8(value.data(), std::ssize(value));
}

std::string QStringToSetting(const QString& text) { return text.toStdString(); }

std::string SettingToAnsi(const std::string& value) { return platform::Utf8ToAnsi(value); }

std::string SystemTextToAnsi(const std::string& text) {
  return IsUtf8(text) ? platform::Utf8ToAnsi(text) : text;
}

bool FitsWindows1252(const std::string& value) {
  return IsUtf8(value) && platform::AnsiToUtf8(platform::Utf8ToAnsi(value)) == value;
}

}  // namespace tavrin::app
