// The table engine's public interface: 33 numbered work areas, the current area, engine-wide
// settings, opening and creating tables, locks, the record cursor, record changes, field queries
// and the text services. Every call acts on the current work area (see Select). Failures go
// through Report (Errors.h). The engine is process-wide and single-threaded: all calls come from
// one thread. File layout: doc/dbf_format.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbf/Errors.h"
#include "platform/TextPage.h"

namespace tavrin::dbf {

constexpr int kWorkAreaCount = 33;

// ---- Engine-wide settings ---------------------------------------------------------------------

enum class OpenOverride { None, ReadOnly };

// Plain values; change them between calls. Start values are the defaults below.
struct EngineSettings {
  bool lockingEnabled =
      true;  // off: no OS locks, every table opened read/write and treated exclusive
  OpenOverride openOverride = OpenOverride::None;  // ReadOnly replaces the mode of every open
  bool noTranslation = false;  // on: tables opened from now on have no OEM translation
  // The count at open always comes from the file size (so records a writer appended without
  // updating the header are never lost); on, a header count that disagrees is also rewritten when
  // the table is closed (off, a table that is only read is left as it was).
  bool recountOnOpen = false;
  bool hideDeleted = false;     // GoTop/GoBottom/SKIP step over records marked '*'
  bool writeThrough = false;    // flush (and header update on append) after every write
  int recordLockLimit = 0;      // 0 = no limit on the number of records RLock may hold
  char decimalSeparator = '.';  // used by FieldText for N/F fields with decimals
  char thousandsSeparator = ',';
  // Asked before Pack when set (the program leaves it empty): true goes on, false cancels.
  std::function<bool(const std::string& text)> confirmPack;
};
EngineSettings& Settings();

// Date format 0..8 (above 8 selects 0): 0 MM/dd/yy, 1 yy.MM.dd, 2 dd/MM/yy, 3 dd-MM-yy,
// 4..8 dd.MM.yy; the century switch makes the year four digits.
void SetDateFormat(int format);
int DateFormat();
void SetCentury(bool on);
bool Century();
// Short date format and separator matching the date format ("MM/dd/yy", '/', ...), for the program's
// own date texts.
std::string ShortDateFormat();
char DateSeparator();
// Century window: a two-digit year below (pivot mod 100) belongs to the century after the pivot's.
// Fixed at engine start to the current year minus 70; settable for tests.
void SetPivotYear(int year);

// ---- Work areas -------------------------------------------------------------------------------

// 1..33 makes that area current; 0 picks the lowest empty area (220 when none is free);
// 34 and above fail with 220 and leave the current area unchanged.
void Select(int area);
int CurrentArea();
bool IsOpen();          // a table is open in the current area
std::string Alias();    // alias of the current area ("" when empty)
std::string DbfName();  // the table's file name as opened ("" when empty)
bool IsExclusive();     // current area opened exclusively (or locking disabled)
// The code page of the current table's text, named by its header's language-driver byte (code page
// 437 when there is no table, or the byte names none known): what translation goes by, and what a
// caller converting the untranslated bytes itself must use.
platform::TextPage TableTextPage();

// Translation procedure given to USE: converts `len` bytes at `buf` in place.
using TranslateProc = std::function<void(char* buf, std::size_t len)>;

// Opens a table into the current area from a command: "<file> [EXCLUSIVE] [ALIAS <name>]".
// Closes what the area held first; an empty command only closes. `buffer`/`size` optionally
// supply the field value area (caller-owned, must outlive the open area; size must equal
// the size of the table's field value area, else 266). On failure the area is left empty and the code is set.
void USE(std::string_view command, void* buffer = nullptr, std::size_t size = 0,
         TranslateProc readProc = {}, TranslateProc writeProc = {});
// Opens the table at `path` into the current area, taking the path whole: no keyword is looked
// for in it and no blank is trimmed, so any file name the file system allows opens as itself.
// ".DBF" is added when the last path component has no extension. Otherwise as USE: closes what the
// area held first (an empty path only closes), same buffer rules, failures and open modes.
struct OpenOptions {
  bool exclusive = false;
  std::string alias;  // "" = the file name without directory and extension, upper case
};
void UseFile(std::string_view path, const OpenOptions& options = {}, void* buffer = nullptr,
             std::size_t size = 0, TranslateProc readProc = {}, TranslateProc writeProc = {});
// Closes every area in order and selects area 1 (engine shutdown).
void Shutdown();

// ---- Creating tables --------------------------------------------------------------------------

struct FieldDef {
  std::string name;  // up to 10 characters kept
  char type = 'C';   // C D F L M N
  int length = 0;    // D, L, M lengths are forced to 8, 1, 10
  int decimals = 0;  // kept for N and F only
};
// Creates (truncates) the table file (".DBF" added when the name has no extension) and, with any
// M field, its memo file; leaves nothing open. Failures: 220 empty name, 211 bad definition, I/O.
void CreateDbf(std::string_view fileName, const std::vector<FieldDef>& fields);
// The same, with the header's language-driver byte (offset 29) set: it names the code page of the
// table's text for other programs (0x01 code page 437, 0x03 Windows-1252; 0 names none).
void CreateDbf(std::string_view fileName, const std::vector<FieldDef>& fields,
               std::uint8_t languageDriver);

// ---- Locks ------------------------------------------------------------------------------------
// One attempt each, never waiting. A refused lock answers false; it is not reported.

bool ALock();  // append lock (the file); false while record locks are held
bool RLock();  // locks the current record; false while the append lock is held
bool IsLocked(std::int32_t record);  // record is in this area's record-lock list
void Unlock();                       // releases every lock of the current area
// n > 0: that record; -3 all; -1 oldest; -2 newest. True when every release succeeded.
bool UnlockRec(std::int32_t n);

// ---- Cursor -----------------------------------------------------------------------------------

void GoTop();
void GoBottom();
void GO(std::int32_t record);
void SKIP(std::int32_t count = 1);  // 0 rereads the current record from the file
bool dEOF();
bool dBOF();
std::int32_t RecNo();
std::int32_t RecCount();  // deleted records included; shared tables recount from the file size
int RecSize();
bool Deleted();  // deletion flag of the field value area
// The bytes of the record last read or written (flag byte first, RecSize() bytes), character data
// translated like the field value area. Valid until the next engine call on this area.
std::string_view RecordBytes();

// ---- Record changes ---------------------------------------------------------------------------
// Shared tables need the record lock (Replace, DeleteRec, RecallRec) or the append lock (Append).

void Replace();  // writes the field value area over the current record
// Writes only the fields numbered in `fields` from the field value area over the current record
// as the file holds it now: the record is reread first, so its flag byte and every other field keep
// their stored bytes. Same needs and failures as Replace; afterwards the area holds the stored record.
void ReplaceFields(const std::vector<int>& fields);
// Adds the field value area as the new last record (made current). In shared use the header's
// count and the end marker are written before it returns, under the append lock; a failed append
// leaves the file as it was.
void Append();
void DeleteRec();    // writes '*' as the current record's flag byte
void RecallRec();    // writes ' ' as the current record's flag byte
void ClearRecord();  // blanks the field value area
// Removes deleted records; needs exclusive use. The memo file is left as it is (kept records keep
// their memo references) unless `memo` is Always or more than half of it is dead: then it is
// compacted as a step of its own. A table that ends inside a record is refused (213): dropping
// the partial record is CutPartialRecord's, on the user's word.
enum class MemoPacking { WhenMostlyDead, Always };
bool Pack(MemoPacking memo = MemoPacking::WhenMostlyDead);
// The bytes a table file holds after its last whole record (an end marker apart).
struct PartialRecord {
  std::int32_t after = 0;  // the whole records before them
  std::int64_t bytes = 0;
};
// True when the current table's file ends inside a record; *tail says where.
bool EndsInsideRecord(PartialRecord* tail);
// Cuts such a partial record off: its bytes are first saved (and flushed) to `savePath`, then the
// table ends after the last whole record with the end marker and that count. Needs exclusive use.
bool CutPartialRecord(const std::string& savePath);
void FlushFile();  // header update if pending, then fsync
// Header update if pending (count, date, end marker, as a close writes them), without the fsync:
// other readers see the count at once; how soon it reaches the disk is left to the system.
void UpdateHeader();

// Searches field `fieldQuery` (name plus optional NOCASE, EXACT, CONTAINED) for `value` from record
// `fromRecord`; on a match the cursor is GO'ne there, else left at end of file.
// Returns the field number (0 when the field is not named or not found).
int Locate(std::string_view fieldQuery, std::string_view value, std::int32_t fromRecord = 1);

// Raw field bytes of any record as stored in the file (no translation, cursor untouched);
// field 0 is the deletion flag. Out-of-range numbers give "".
std::string Peek(int field, std::int32_t record);
// Writes raw bytes over a field of any record; needs exclusive use, locking off or that record's lock.
void Poke(std::string_view text, int field, std::int32_t record);

// ---- Fields -----------------------------------------------------------------------------------

int FieldCount();
std::string Field(int n);            // name, up to 10 characters, upper case
int FieldNo(std::string_view name);  // 0 when not found
char FieldType(int n);               // ' ' on failure
int FieldLen(int n);
int FieldDec(int n);

// The field value area: the current record as typed values, in field order after one leading
// deletion byte. C: length byte + `length` characters; D: length byte + 10 characters (date text);
// N/F with decimals: double; N/F without decimals and M: int32; L: one byte 0/1.
// FieldAddress(0) is the deletion byte. Valid until the area is closed. nullptr on failure.
std::uint8_t* FieldAddress(int n);

// Typed access to the field value area of the current area (field type checked; 220 on a bad
// number or a type that does not fit). Strings are ANSI bytes.
std::string GetString(int n);                   // C: exactly field length; D: the date text
void SetString(int n, std::string_view value);  // C: cut to field length; D: date text (checked)
double GetDouble(int n);                        // N/F (any decimals)
void SetDouble(int n, double value);
std::int32_t GetInteger(int n);  // N/F without decimals, M (block number)
void SetInteger(int n, std::int32_t value);
bool GetLogical(int n);
void SetLogical(int n, bool value);
void SetDeleted(bool deleted);  // the deletion byte of the field value area
// Parses `text` by the field's type into the field value area (C as is; N/F as a number;
// L: T/t/Y/y true; D: a date text in the current format; M: block number). False when it does not parse.
bool SetFieldText(int n, std::string_view text);

// Sets the bytes field `n` is stored as by the next Replace or Append, in place of its typed value:
// for values the field value area cannot hold, such as a whole number beyond 32 bits in a wide N
// field. Cut or padded with spaces to the field length on the right, untranslated (the caller
// aligns numbers). Forgotten at the next move, ClearRecord, Replace or Append.
void SetStoredText(int n, std::string_view text);

// Field text of the field value area: C and D as they stand (C keeps trailing blanks); N/F with
// the field width (and decimals, with the decimal separator); L "Y"/"N"; M "none"/"MEMO"/"BLOB".
std::string FieldText(int n);

// Blank date text of the current format ("  /  /  ", "  .  .    " ...).
std::string BlankDateText();
// Checks and normalises a date text in place; false (text unchanged) when it is not a valid date.
bool DateTextCheck(std::string& text);
// The stored YYYYMMDD form of a date text in the current format (8 spaces for blank or invalid).
std::string DateTextToStored(std::string_view text);
std::string StoredToDateText(std::string_view stored);

// Last-update date of the current table as "MM/DD/YY" (always 8 characters).
std::string LastUpdate();

}  // namespace tavrin::dbf
