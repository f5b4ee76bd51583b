// The program's user settings and the settings file they live in.
//
// `Settings` holds the values named after their keys, plus the first-run flag and the temporary file
// name. The keys for the connection's security and the account came later: a file without them
// means a plain connection without sign-in, and stays without them until the user changes one. Text values are UTF-8, kept without loss from file to window to file; `Dir` and `TableName`
// are file system bytes. The program keeps one process-wide instance (AppSettings()); the functions
// below read and write it through a ProfileFile. GUI thread only.
#pragma once

#include <QString>
#include <optional>
#include <string>

#include "platform/Dialogs.h"
#include "platform/ProfileFile.h"
#include "send/MessageAssembly.h"  // IsPlainAddress, which the settings window checks

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
  // How the connection is protected, as written: "None", "STARTTLS" or "TLS" in any case. Any
  // other value is kept as it is and refuses every send until it is corrected.
  std::string Security;
  // The account to sign in with; empty: no sign-in. The password is never a setting.
  std::string UserName;
  // A limit of our own on recipients per message, as written by hand; never written back.
  std::string RecipientsPerMessage;
  // The logical field of the recipients table that marks a recipient who asked for no more mail;
  // empty: none.
  std::string OptOutField;
  // The List-Unsubscribe target every message carries (a mailto: address or an https URL, which
  // may hold placeholders); empty: no such header.
  std::string ListUnsubscribe;
  // The address replies go to when not the sender's; empty: no Reply-To header.
  std::string ReplyTo;
  // The provider's limits the send keeps to, as whole numbers: recipients per minute and per
  // rolling 24 hours; "0" (or anything not a whole number of 0 or more): no limit.
  std::string RecipientsPerMinute;
  std::string RecipientsPerDay;

  // First-run mode: set when ReturnEmail is found empty; nothing clears it while the program runs.
  bool FirstRun = false;
  // "temp.out" in the system temp folder; every attachment is encoded into it.
  std::string TempFileName;
  // The unusable ServerPort value the user was last told about, so it is told once.
  std::optional<std::string> ReportedServerPort;
  std::optional<std::string> ReportedSecurity;
  std::optional<std::string> ReportedRecipientsPerMessage;
};

// How the connection is protected; defined with the send dialogue that acts on it.
enum class Security;

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
inline constexpr const char* kSecurity = "None";
inline constexpr const char* kUserName = "";
inline constexpr const char* kRecipientsPerMessage = "";  // no limit of our own
inline constexpr const char* kRecipientsPerMinute = "0";  // no limit
inline constexpr const char* kRecipientsPerDay = "0";
inline constexpr const char* kOptOutField = "";
inline constexpr const char* kListUnsubscribe = "";
inline constexpr const char* kReplyTo = "";
inline constexpr const char* kTableFolder = "/Tavrin";  // appended to the home folder
}  // namespace defaults

// Reads the keys (defaults for the missing ones), sets FirstRun when ReturnEmail is empty, and
// computes TempFileName. A `Dir` starting with "~/" is in the home folder. A text value that is not
// UTF-8 (written by hand in an 8-bit editor) is read as Windows-1252 text.
void LoadSettings(Settings& settings, const SettingsPlaces& places);
// Writes the keys the user can change (the five kept since the first version, then Security,
// UserName, OptOutField, ListUnsubscribe and ReplyTo), all in one replacement of the file, and only
// those whose meaning differs from the file's: the later keys are not added to a file that lacks
// them while they keep their defaults. The other keys reach the file only by hand. Returns why the file could not be written, or nothing.
std::optional<std::string> SaveSettings(const Settings& settings, const SettingsPlaces& places);
// What to tell the user when lines of the settings file hold bytes that are no text and were
// skipped (the other lines' values are used, and the file is never rewritten); nothing when none.
std::optional<std::string> UnreadSettingsText(const SettingsPlaces& places);
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

// The Security value `text` names, read without regard to case; nothing for any other text.
std::optional<Security> ParseSecurity(const std::string& text);
// "None", "STARTTLS" or "TLS": how the program writes `security`.
const char* SecurityName(Security security);
// What Send and the start-up say about a Security value it does not know.
std::string UnknownSecurityMessage(const std::string& value);
// Security as the connection setting it names. An unknown value is reported in a message box,
// once per value, and gives nothing: nothing may be sent until it is corrected.
std::optional<Security> SecurityChoice(Settings& settings, platform::Dialogs& dialogs);
// The most recipients per message; 0: no limit of our own. A value that is not an integer of 0 or
// more is reported in a message box, once per value, and counts as 0.
int RecipientsPerMessageLimit(Settings& settings, platform::Dialogs& dialogs);
// A pacing limit's setting as a number: 0 (no limit) unless a whole number of 0 or more.
int PacingLimit(const std::string& setting);

// ---- the text of the settings at the program's boundaries ----

// A setting shown in a widget, and a widget's text kept as a setting: both lossless.
QString SettingToQString(const std::string& value);
std::string QStringToSetting(const QString& text);
// A setting as the program's 8-bit Windows-1252 text; a character that code page lacks becomes '?'.
std::string SettingToAnsi(const std::string& value);
// A file name or a message of the system (in the user's language) as 8-bit text: UTF-8 is
// converted, anything else (a name in an 8-bit code page) is kept as it is.
std::string SystemTextToAnsi(const std::string& text);
// True when every character of the UTF-8 `value` exists in Windows-1252, so that SettingToAnsi
// keeps it whole and it can go out in an 8-bit message.
bool FitsWindows1252(const std::string& value);

}  // namespace tavrin::app
