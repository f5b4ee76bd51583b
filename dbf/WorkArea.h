// The engine's process-wide state: the 33 work areas, the current area and the settings, and the
// internal routines that the cursor, record, lock and memo files share. Engine thread only.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dbf/Engine.h"
#include "dbf/MemoFile.h"
#include "dbf/Table.h"

namespace tavrin::dbf {

enum class LockState { None, Append, Records };

struct WorkArea {
  int number = 0;
  std::unique_ptr<Table> table;
  std::int32_t recNo = 0;
  bool eof = true;
  bool bof = true;
  std::string alias;
  bool exclusive = false;  // opened exclusively, or locking was disabled at open
  bool readOnly = false;
  bool oem = true;
  TranslateProc readProc;
  TranslateProc writeProc;
  std::vector<std::uint8_t> ownedValues;  // the field value area when the engine owns it
  std::uint8_t* values = nullptr;         // the field value area (owned or caller's)
  std::size_t valuesSize = 0;
  std::vector<std::uint8_t> swap;
  LockState lockState = LockState::None;
  // While this area holds the append lock only its own appends can change the record count, so the
  // count taken from the file size once under the lock stays right until the lock goes.
  bool countHeld = false;
  std::deque<std::int32_t> recLocks;  // newest first
  std::unique_ptr<MemoFile> memo;
  MemoStream stream;
  // Block of the last text this area wrote and no record of the file refers to yet: nobody else
  // can take it, so a second write of the same field may reuse it. Cleared when a record is written.
  std::int32_t unstoredMemoBlock = 0;
  // Blocks of saved texts that this area's record referred to when a new text was written for it:
  // the new text never goes over them, and they are freed once Replace has written the record
  // without them. Forgotten at the next Load or Blank (the record then still refers to them).
  std::vector<std::int32_t> memoToFree;
  // Field texts set with SetStoredText (field number, bytes) for the next Store; emptied by every
  // Load and Blank.
  std::vector<std::pair<int, std::string>> storedText;

  Table& t() { return *table; }
  const std::string& name() const { return table->fileName; }
};

struct EngineState {
  std::array<std::unique_ptr<WorkArea>, kWorkAreaCount + 1> areas;  // [0] unused
  int current = 1;
  EngineSettings settings;
};
EngineState& Engine();

// The current area's work area when a table is open there; otherwise reports 215 for `op`
// ("No database in use [op]  WorkArea = n") and answers nullptr. Clears the error code first.
WorkArea* RequireOpen(const char* op);
WorkArea* CurrentOrNull();

// Size of each field's item in the field value area, and the whole area.
std::size_t ValueItemSize(const FieldInfo& f);
void LayOutValues(Table& t, std::size_t* total);

// Record buffer <-> field value area.
void Load(WorkArea& a);
void Blank(WorkArea& a);
void Store(WorkArea& a);
bool IsHidden(const WorkArea& a);  // hide-deleted switch and the record's flag byte

// Shared tables take the count from the file size; exclusive ones keep theirs. False on I/O failure.
bool Recount(WorkArea& a);

// Reads record n into the record buffer (translated) and loads it; reports 212/213/I/O.
bool GetDbfRecord(WorkArea& a, std::int32_t n);
// Writes the record buffer as record n (appending past the count); reports I/O with `where`. A
// shared append also writes the count and the end marker (the caller holds the append lock); a
// failed append cuts the file back to its size before it.
bool PutDbfRecord(WorkArea& a, std::int32_t n);
// Header update after a write when write-through is on.
bool FlushIfWriteThrough(WorkArea& a, bool appended);

// OS lock helpers for the current lock regions.
bool UsesOsLocks(const WorkArea& a);
std::int64_t RecordLockOffset(const Table& t, std::int32_t n);
// Unlock for one area (used by Unlock and by close).
void ReleaseLocks(WorkArea& a);

// Header update of an area (flush and close). A shared table is recounted under the append lock
// (taken here unless the area holds it), so the count covers every program's appends and the end
// marker is written only where no one can be appending; when the lock is refused only the date is
// written. Answers 0 or an I/O code.
int UpdateHeaderOf(WorkArea& a);

// Closes the table in area `n` (header update, memo, locks) and empties the slot.
void CloseArea(int n);

// Memo open/close for a work area; answer 0 or the memo code.
int OpenMemoFor(WorkArea& a);
// A failure kept for reporting later (code 0 = none).
struct Failure {
  int code = 0;
  std::string message;
};

std::string FieldNumberMessage(const char* op, int n);

// Whether the current record, as it stands in the file now, refers to `block` in a memo field.
// Another program may have moved this record's text since it was read here, and its old blocks
// may hold someone else's text by now: only a reference the file still holds is this area's.
bool FileRecordRefersTo(WorkArea& a, std::int32_t block);
// After Replace wrote the current record: frees the saved texts it let go of (memoToFree).
void FreeReplacedMemos(WorkArea& a);

}  // namespace tavrin::dbf
