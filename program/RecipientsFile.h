// The recipients table as a file: creating an empty one, checking that one opens, counting its
// recipients, writing it out as CSV, and making a table the program's recipients table.
//
// Each step opens the table in a work area of its own (never one of the datasets'), untranslated:
// the text is converted here between UTF-8 and the code page the table's header names (437 for the
// tables made here). The engine's failures
// come back as RecipientsError with the engine's words; the area is given back before any step
// returns. Reading (CheckTable, CountRecipients, ExportRecipients) never changes the table.
// GUI thread (the engine's one thread).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "program/Settings.h"
#include "platform/Dialogs.h"

namespace tavrin::app {

class RecipientsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The question asked when the recipients table is missing, with its path (8-bit text).
std::string MissingTablePrompt(const std::string& path);
// The question when something that is no file (a folder, a pipe, a device) has the table's name.
std::string NotATablePrompt(const std::string& path);

// Creates an empty recipients table at `path` (".dbf" added to a name without extension), with the
// fields of the sample table: NAME C 40 and EMAIL C 60, text in code page 437. Creates its folder
// when missing. Never replaces a file: an existing one is refused. Returns the path created.
std::string CreateRecipientsTable(const std::string& path);

// Opens the table read-only and closes it again; throws RecipientsError when it cannot be read as
// a table.
void CheckTable(const std::string& path);

// The records of the table not marked deleted; nothing when it cannot be read.
std::optional<std::int32_t> CountRecipients(const std::string& path);

// Writes the live records of the table at `tablePath` to `csvPath` as UTF-8 CSV (a header row of
// the field names, then one row per record, CR LF line ends). The file is written beside its place
// and renamed over it at the end, so a failure or a kill leaves any file that was there whole.
// Returns the number of records written.
std::int64_t ExportRecipients(const std::string& tablePath, const std::string& csvPath);

// Makes `path` the recipients table of this run (Dir and TableName); with `remember`, writes them
// to the settings file too, saying so when that fails. False when the settings file could not be
// written (the table is used all the same).
bool UseRecipientsTable(const std::string& path, const SettingsPlaces& places,
                        platform::Dialogs& dialogs, bool remember);

// A work area of its own with the table open in it, untranslated, failures thrown; the area is
// closed and the engine's switches and current area restored when it goes.
class OwnTableArea {
 public:
  enum class Mode { kRead, kShared };
  OwnTableArea(const std::string& path, Mode mode);
  ~OwnTableArea();
  OwnTableArea(const OwnTableArea&) = delete;
  OwnTableArea& operator=(const OwnTableArea&) = delete;

 private:
  void Restore() noexcept;

  int previousArea_ = 0;
  int area_ = 0;
  bool raise_ = false;
  bool stop_ = true;
  bool noTranslation_ = false;
  bool hideDeleted_ = false;
};

}  // namespace tavrin::app
