// The record cursor: record buffer <-> field value area, record reads and writes, and the moves.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dbf/DateText.h"
#include "dbf/Errors.h"
#include "dbf/FieldConv.h"
#include "dbf/Format.h"
#include "dbf/WorkArea.h"
#include "platform/CodePage.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Recounts a shared table only when `n` lies past the known count: a shared table only grows
// while it is open (packing needs exclusive use), so a record at or below the count exists.
bool RecountIfPast(WorkArea& a, std::int32_t n) { return n <= a.t().recCount || Recount(a); }

void MarkEnd(WorkArea& a, bool bothFlags) {
  Blank(a);
  a.recNo = a.t().recCount + 1;
  a.eof = true;
  if (bothFlags) a.bof = true;
}

void GoTopIn(WorkArea& a) {
  if (!Recount(a) || a.t().recCount < 1) return;
  if (!GetDbfRecord(a, 1)) return;
  while (IsHidden(a) && !a.eof) {
    const std::int32_t n = a.recNo + 1;
    if (!RecountIfPast(a, n)) return;
    if (n > a.t().recCount) {
      MarkEnd(a, true);
    } else if (!GetDbfRecord(a, n)) {
      return;
    }
  }
}

void SkipForward(WorkArea& a, std::int32_t k) {
  std::int32_t visible = 0;
  std::int32_t n = a.recNo;
  while (visible < k) {
    ++n;
    if (!RecountIfPast(a, n)) return;
    if (n > a.t().recCount) {
      MarkEnd(a, false);
      return;
    }
    if (!GetDbfRecord(a, n)) return;
    if (!IsHidden(a)) ++visible;
  }
}

void SkipBackward(WorkArea& a, std::int64_t k) {
  std::int64_t visible = 0;
  std::int32_t n = std::min(a.recNo, a.t().recCount + 1);
  while (visible < k) {
    if (n <= 1) {
      GoTopIn(a);
      a.bof = true;
      if (a.eof) Blank(a);
      return;
    }
    --n;
    if (!GetDbfRecord(a, n)) return;
    if (!IsHidden(a)) ++visible;
  }
}

bool MayWriteEof(const WorkArea& a) {
  return a.exclusive || !Engine().settings.lockingEnabled || a.lockState == LockState::Append;
}

}  // namespace

std::size_t ValueItemSize(const FieldInfo& f) {
  switch (f.type) {
    case 'C': return 1 + static_cast<std::size_t>(f.length);
    case 'D': return static_cast<std::size_t>(std::max(f.length, 8)) + 3;
    case 'N':
    case 'F': return f.decimals > 0 ? sizeof(double) : sizeof(std::int32_t);
    case 'L': return 1;
    case 'M': return sizeof(std::int32_t);
    default: return 0;
  }
}

void LayOutValues(Table& t, std::size_t* total) {
  std::size_t at = 1;
  for (FieldInfo& f : t.fields) {
    f.valueOffset = at;
    f.valueSize = ValueItemSize(f);
    at += f.valueSize;
  }
  *total = at;
}

void Load(WorkArea& a) {
  a.storedText.clear();
  a.memoToFree.clear();
  const Table& t = a.t();
  const char* rec = t.record.data();
  std::uint8_t* v = a.values;
  v[0] = rec[0] == fmt::kDeletedFlag ? 1 : 0;
  for (const FieldInfo& f : t.fields) {
    std::uint8_t* item = v + f.valueOffset;
    const std::string_view text(rec + f.offset, static_cast<std::size_t>(f.length));
    switch (f.type) {
      case 'C':
        item[0] = static_cast<std::uint8_t>(f.length);
        std::memcpy(item + 1, text.data(), text.size());
        break;
      case 'D': {
        const std::string d = StoredToDateText(text);
        const std::size_t n = std::min(d.size(), f.valueSize - 1);
        item[0] = static_cast<std::uint8_t>(n);
        std::memcpy(item + 1, d.data(), n);
        break;
      }
      case 'N':
      case 'F':
        if (f.decimals > 0) {
          const double d = ParseDouble(text);
          std::memcpy(item, &d, sizeof d);
        } else {
          const std::int32_t i = ParseInt32(text);
          std::memcpy(item, &i, sizeof i);
        }
        break;
      case 'L':
        item[0] =
            (!text.empty() && std::strchr("TtYy", text[0]) != nullptr && text[0] != 0) ? 1 : 0;
        break;
      case 'M': {
        const std::int32_t i = ParseInt32(text);
        std::memcpy(item, &i, sizeof i);
        break;
      }
      default: break;
    }
  }
}

void Blank(WorkArea& a) {
  a.storedText.clear();
  a.memoToFree.clear();
  std::uint8_t* v = a.values;
  v[0] = 0;
  const std::string blankDate = BlankDateText();
  for (const FieldInfo& f : a.t().fields) {
    std::uint8_t* item = v + f.valueOffset;
    std::memset(item, 0, f.valueSize);
    if (f.type == 'C') {
      item[0] = static_cast<std::uint8_t>(f.length);
      std::memset(item + 1, ' ', static_cast<std::size_t>(f.length));
    } else if (f.type == 'D') {
      const std::size_t n = std::min(blankDate.size(), f.valueSize - 1);
      item[0] = static_cast<std::uint8_t>(n);
      std::memcpy(item + 1, blankDate.data(), n);
    }
  }
}

namespace {

void PutText(char* dst, int length, const std::string& text) {
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(length));
  std::memcpy(dst, text.data(), n);
  std::memset(dst + n, ' ', static_cast<std::size_t>(length) - n);
}

}  // namespace

void Store(WorkArea& a) {
  Table& t = a.t();
  char* rec = t.record.data();
  const std::uint8_t* v = a.values;
  rec[0] = v[0] ? fmt::kDeletedFlag : fmt::kLiveFlag;
  for (const FieldInfo& f : t.fields) {
    const std::uint8_t* item = v + f.valueOffset;
    char* dst = rec + f.offset;
    switch (f.type) {
      case 'C': {
        const std::size_t n = std::min<std::size_t>(item[0], static_cast<std::size_t>(f.length));
        PutText(dst, f.length, std::string(reinterpret_cast<const char*>(item + 1), n));
        break;
      }
      case 'D': {
        const std::size_t n = std::min<std::size_t>(item[0], f.valueSize - 1);
        PutText(dst, f.length,
                DateTextToStored(std::string_view(reinterpret_cast<const char*>(item + 1), n)));
        break;
      }
      case 'N':
      case 'F':
        if (f.decimals > 0) {
          double d = 0;
          std::memcpy(&d, item, sizeof d);
          PutText(dst, f.length, FormatFixed(d, f.length, f.decimals));
        } else {
          std::int32_t i = 0;
          std::memcpy(&i, item, sizeof i);
          PutText(dst, f.length, FormatInteger(i, f.length));
        }
        break;
      case 'L': PutText(dst, f.length, item[0] ? "T" : "F"); break;
      case 'M': {
        std::int32_t i = 0;
        std::memcpy(&i, item, sizeof i);
        PutText(dst, f.length, i == 0 ? std::string() : FormatInteger(i, f.length));
        break;
      }
      default: break;
    }
  }
  for (const auto& [n, text] : a.storedText) {
    const FieldInfo& f = t.fields[static_cast<std::size_t>(n - 1)];
    PutText(rec + f.offset, f.length, text);
  }
}

bool IsHidden(const WorkArea& a) {
  return Engine().settings.hideDeleted && a.table->record[0] == fmt::kDeletedFlag;
}

bool Recount(WorkArea& a) {
  if (a.exclusive || (a.lockState == LockState::Append && a.countHeld)) return true;
  int code = 0;
  const std::int32_t n = CountFromFileSize(a.t(), &code);
  if (code != 0) {
    Report(code, "File:  " + a.name() + " [RecCount]");
    return false;
  }
  a.t().recCount = n;
  a.countHeld = a.lockState == LockState::Append;
  return true;
}

bool GetDbfRecord(WorkArea& a, std::int32_t n) {
  Table& t = a.t();
  if (n > t.recCount || n <= 0) {
    Report(err::kBeyondRange, "Invalid record number = " + std::to_string(n) + " (" + t.fileName +
                                  ")  [GetDbfRecord]");
    return false;
  }
  a.eof = a.bof = false;
  const int code = ReadRecordAt(t, n);
  if (code != 0) {
    Report(code, "File:  " + t.fileName + "  [GetDbfRecord]");
    return false;
  }
  if (!IsRecordFlag(t.record[0])) {
    Report(err::kNotADatabase, DamagedRecordMessage(t, n, "[GetDbfRecord]"));
    return false;
  }
  a.recNo = n;
  if (t.recLen > 1) {
    if (a.readProc) a.readProc(t.record.data() + 1, t.recLen - 1u);
    if (a.oem) platform::TableToAnsi(TextPageOf(t), t.record.data() + 1, t.recLen - 1u);
  }
  Load(a);
  return true;
}

namespace {

// What a failed append puts back: the file's size before it and the bytes the new record was to
// cover up to that end (the end marker, or the stub of a record someone was cut short in).
struct AppendUndo {
  std::int64_t size = -1;
  std::vector<char> tail;
};

int RememberEnd(Table& t, std::int32_t n, AppendUndo* u) {
  int code = t.file->Size(&u->size);
  const std::int64_t at = t.RecordOffset(n);
  if (code != 0 || u->size <= at) return code;
  u->tail.resize(static_cast<std::size_t>(std::min<std::int64_t>(u->size - at, t.recLen)));
  std::size_t got = 0;
  code = t.file->ReadAt(u->tail.data(), u->tail.size(), at, &got);
  u->tail.resize(got);
  return code;
}

// Cuts off whatever part of the record reached the file (a full disk takes part of a write) and
// puts back the bytes it covered, so no reader finds a fragment after the last whole record.
// Best effort: the caller reports the append's own failure.
void UndoAppend(Table& t, std::int32_t n, const AppendUndo& u) {
  if (u.size < 0) return;
  t.file->Truncate(u.size);
  if (!u.tail.empty()) t.file->WriteAt(u.tail.data(), u.tail.size(), t.RecordOffset(n));
}

// In shared use every append is counted in the header before the append lock goes: a program that
// trusts the header (and appends where it says the table ends) must not write over the record,
// and a kill right after the append must not leave the record uncounted.
bool CountsEachAppend(const WorkArea& a) {
  return !a.exclusive && Engine().settings.lockingEnabled && a.lockState == LockState::Append;
}

}  // namespace

bool PutDbfRecord(WorkArea& a, std::int32_t n) {
  Table& t = a.t();
  const bool appended = n > t.recCount;
  if (appended) n = t.recCount + 1;
  AppendUndo undo;
  int code = appended ? RememberEnd(t, n, &undo) : 0;
  if (code != 0) {
    Report(code, "File:  " + t.fileName + " [Replace/Append/PutDbfRecord]");
    return false;
  }
  char* body = t.record.data() + 1;
  const std::size_t bodyLen = t.recLen - 1u;
  if (a.oem) platform::AnsiToTable(TextPageOf(t), body, bodyLen);
  if (a.writeProc) {
    std::vector<char> out(t.record);
    a.writeProc(out.data() + 1, bodyLen);
    code = t.file->WriteAt(out.data(), out.size(), t.RecordOffset(n));
  } else {
    code = WriteRecordAt(t, n);
  }
  if (a.oem) platform::TableToAnsi(TextPageOf(t), body, bodyLen);
  const bool counted = appended && code == 0 && CountsEachAppend(a);
  if (counted) {
    t.recCount = n;
    code = HeaderUpdate(t, false);  // count and date; the state becomes clean
    if (code != 0) t.recCount = n - 1;
  }
  if (code != 0) {
    if (appended) UndoAppend(t, n, undo);
    Report(code, "File:  " + t.fileName + " [Replace/Append/PutDbfRecord]");
    return false;
  }
  a.unstoredMemoBlock = 0;  // the record may refer to it now: the file decides from here on
  if (counted) {
    a.recNo = n;
    // The record is saved and counted; a marker the disk refuses is owed to the close.
    const std::uint8_t eof = fmt::kEofMarker;
    if (t.file->WriteAt(&eof, 1, t.RecordOffset(n + 1)) != 0) t.state = UpdateState::Appended;
  } else if (appended) {
    t.recCount = n;
    a.recNo = n;
    t.state = UpdateState::Appended;
  } else if (t.state != UpdateState::Appended) {
    t.state = UpdateState::Modified;
  }
  return FlushIfWriteThrough(a, appended && !counted);
}

bool FlushIfWriteThrough(WorkArea& a, bool appended) {
  if (!Engine().settings.writeThrough) return true;
  Table& t = a.t();
  int code = 0;
  if (appended) code = HeaderUpdate(t, MayWriteEof(a));
  if (code == 0) code = t.file->Sync();
  if (code != 0) {
    Report(code, "Unable to flush file [FlushFile]");
    return false;
  }
  return true;
}

void FlushFile() {
  WorkArea* a = RequireOpen("FlushFile");
  if (a == nullptr) return;
  Table& t = a->t();
  int code = 0;
  if (t.state != UpdateState::Clean && !a->readOnly) code = UpdateHeaderOf(*a);
  if (code == 0 && !a->readOnly) code = t.file->Sync();
  if (code != 0) Report(code, "Unable to flush file [FlushFile]");
}

void UpdateHeader() {
  WorkArea* a = RequireOpen("UpdateHeader");
  if (a == nullptr || a->t().state == UpdateState::Clean || a->readOnly) return;
  if (const int code = UpdateHeaderOf(*a)) Report(code, "File:  " + a->name() + " [UpdateHeader]");
}

void GoTop() {
  WorkArea* a = RequireOpen("GoTop");
  if (a != nullptr) GoTopIn(*a);
}

void GoBottom() {
  WorkArea* a = RequireOpen("GoBottom");
  if (a == nullptr || !Recount(*a) || a->t().recCount < 1) return;
  if (!GetDbfRecord(*a, a->t().recCount)) return;
  while (IsHidden(*a)) {
    const std::int32_t n = a->recNo - 1;
    if (n < 1) {
      MarkEnd(*a, true);
      return;
    }
    if (!GetDbfRecord(*a, n)) return;
  }
}

void GO(std::int32_t n) {
  WorkArea* a = RequireOpen("GO()");
  if (a == nullptr) return;
  if (n > a->t().recCount && !Recount(*a)) return;
  const std::string message = "Invalid record number = " + std::to_string(n) + " " + "Database " +
                              Quoted(a->name()) + " [GO]";
  if (a->t().recCount < 1) {
    a->eof = a->bof = true;
    Blank(*a);
    Report(err::kBeyondRange, message);
    return;
  }
  a->eof = a->bof = false;
  if (n >= 1 && n <= a->t().recCount) {
    GetDbfRecord(*a, n);
    return;
  }
  a->recNo = a->t().recCount + 1;
  a->eof = true;
  Report(err::kBeyondRange, message);
}

void SKIP(std::int32_t k) {
  WorkArea* a = RequireOpen("SKIP()");
  if (a == nullptr) return;
  if (k == 0) {
    if (a->t().recCount < 1 || a->eof) {
      Blank(*a);
    } else {
      GetDbfRecord(*a, a->recNo);
    }
    return;
  }
  if (k > 0 && a->eof) {
    Report(err::kBeyondRange, "Database " + Quoted(a->name()) + " is past EOF." + " [SKIP]");
    return;
  }
  if (a->t().recCount < 1 && !Recount(*a)) return;
  if (a->t().recCount < 1) {
    a->eof = a->bof = true;
    Report(err::kBeyondRange, "Database " + Quoted(a->name()) + " is empty." + " [SKIP]");
    return;
  }
  if (k < 0 && a->bof) return;
  a->eof = a->bof = false;
  if (k > 0) {
    SkipForward(*a, k);
  } else {
    SkipBackward(*a, -static_cast<std::int64_t>(k));
  }
}

bool dEOF() {
  WorkArea* a = RequireOpen("dEOF");
  if (a == nullptr) return true;
  if (a->recNo > a->t().recCount && Recount(*a) && a->recNo > a->t().recCount) a->eof = true;
  return a->eof;
}

bool dBOF() {
  WorkArea* a = RequireOpen("dBOF");
  return a == nullptr || a->bof;
}

std::string_view RecordBytes() {
  WorkArea* a = RequireOpen("RecordBytes");
  if (a == nullptr) return {};
  return std::string_view(a->t().record.data(), a->t().record.size());
}

std::int32_t RecNo() {
  WorkArea* a = RequireOpen("RecNo");
  return a == nullptr ? 0 : a->recNo;
}

std::int32_t RecCount() {
  WorkArea* a = RequireOpen("RecCount");
  if (a == nullptr || !Recount(*a)) return 0;
  return a->t().recCount;
}

int RecSize() {
  WorkArea* a = RequireOpen("RecSize");
  return a == nullptr ? 0 : a->t().recLen;
}

bool Deleted() {
  WorkArea* a = RequireOpen("Deleted");
  return a != nullptr && a->values[0] != 0;
}

void ClearRecord() {
  WorkArea* a = RequireOpen("ClearRecord");
  if (a != nullptr) Blank(*a);
}

}  // namespace tavrin::dbf
