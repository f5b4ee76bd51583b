// One open table file: its header values, field table, record buffer and update state, with the
// open-and-validate, create, header update and raw record I/O routines. Owned by a work area
// (WorkArea.h); lives on the engine's thread. Layout: doc/dbf_format.md.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf/Engine.h"
#include "dbf/File.h"
#include "platform/TextPage.h"

namespace tavrin::dbf {

struct FieldInfo {
  std::string name;  // up to 10 characters, upper case
  char type = 'C';
  int length = 0;
  int decimals = 0;
  int offset = 0;               // within the record (the flag byte is offset 0)
  std::size_t valueOffset = 0;  // within the field value area
  std::size_t valueSize = 0;
};

enum class UpdateState { Clean, Modified, Appended };

// How the table file is opened: access and the share-mode sentinel lock taken on it.
struct OpenMode {
  bool write = true;
  bool exclusive = false;  // write lock on the sentinel (else a read lock)
  bool shareLock = true;   // take the sentinel lock at all (off when locking is disabled)
};

struct Table {
  std::string fileName;  // as opened, used in every message
  std::unique_ptr<File> file;
  std::array<std::uint8_t, 32> prolog{};  // first 32 header bytes (version 2: the first 8)
  std::uint8_t version = 0;
  std::string lastUpdate;  // "MM/DD/YY"
  std::int32_t recCount = 0;
  std::uint16_t headerLen = 0;
  std::uint16_t recLen = 0;
  bool hasMemo = false;
  std::vector<FieldInfo> fields;
  std::vector<char> record;  // exactly recLen bytes
  UpdateState state = UpdateState::Clean;
  // The memo file to open when it is not the one beside the table: a reader of a table whose
  // pack is not finished reads the packed memo file under its new name.
  std::string memoPath;

  std::int64_t RecordOffset(std::int32_t n) const {
    return static_cast<std::int64_t>(headerLen) + static_cast<std::int64_t>(n - 1) * recLen;
  }
};

// Adds ".DBF" when the last path component has no extension; prefers an existing lower-case twin.
std::string WithDefaultExtension(const std::string& name, const char* upperExt);
// The file name with its extension replaced by `upperExt` (case following the old extension).
std::string ReplaceExtension(const std::string& name, const char* upperExt);

// Opens and validates a table file; reports every failure (Errors.h) and answers false.
bool OpenDbf(const std::string& fileName, const OpenMode& mode, std::unique_ptr<Table>* out);
// Takes the share-mode sentinel lock for `mode` on an open file: 0 or 32.
int TakeShareLock(File& file, const OpenMode& mode);

// Record count implied by the file size: (size - header length) / record length; -1 on failure
// with the code in *code.
std::int32_t CountFromFileSize(Table& table, int* code);

// A record starts with a blank (live) or '*' (deleted). Any other first byte, most often the NUL of a
// zero-filled or sparse stretch of file, is not a record: the table is damaged.
inline bool IsRecordFlag(char flag) { return flag == ' ' || flag == '*'; }
// The message for record `n` whose first byte is not a record flag; `where` names the routine.
std::string DamagedRecordMessage(const Table& table, std::int32_t n, const char* where);
// At open, the records where damage shows first: record 1, the last one the header counts, the
// first one past it and the last one the file size holds (a file grown by zeros, or cut and grown
// again, shows it there). A handful of one-byte reads whatever the table's size; the records in
// between are checked as they are read. Reports 210 and answers false on the first bad flag.
bool CheckRecordFlagsAtOpen(Table& table, std::int32_t headerCount, std::int32_t fileCount);

// Writes version, today's date and the count into the first 8 bytes (without `writeCount`, only
// version and date); with `writeEof` writes 0x1A after the last record. Sets the state clean.
// Answers 0 or an I/O code.
int HeaderUpdate(Table& table, bool writeEof, bool writeCount = true);

// Whether the header update has something to write: a change is pending, or the header's count
// is not the table's (a writer that died before it could update it).
bool HeaderIsBehind(const Table& table);

// Raw record I/O on table.record; answer 0 or an engine code (213 for a short read).
int ReadRecordAt(Table& table, std::int32_t n);
int WriteRecordAt(Table& table, std::int32_t n);

// The code page of the table's text, from its language-driver byte (the older fixed layout has
// none: code page 437). Translation to and from the program's text goes by it.
inline platform::TextPage TextPageOf(const Table& t) {
  return (t.version & 7) == 3 ? platform::PageOfLanguageDriver(t.prolog[29])
                              : platform::TextPage::Oem437;
}

// Builds a table file from field definitions (validated as CreateDbf says) and its memo file.
void CreateTableFile(const std::string& fileName, const std::vector<FieldDef>& fields,
                     std::uint8_t languageDriver);

}  // namespace tavrin::dbf
