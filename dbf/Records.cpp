// Record changes (Replace, Append, DeleteRec, RecallRec), raw field access (Peek, Poke), Locate.
#include <algorithm>
#include <cstring>

#include "dbf/Errors.h"
#include "dbf/Format.h"
#include "dbf/Memo.h"
#include "dbf/WorkArea.h"
#include "platform/CodePage.h"
#include "platform/Trim.h"

namespace tavrin::dbf {
namespace fmt = format;
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

bool HoldsRecordLock(const WorkArea& a, std::int32_t n) {
  return a.exclusive || std::find(a.recLocks.begin(), a.recLocks.end(), n) != a.recLocks.end();
}

// Writes the flag byte of the current record (DeleteRec / RecallRec).
void WriteFlag(const char* op, bool deleted) {
  WorkArea* a = RequireOpen(op);
  if (a == nullptr) return;
  const std::string opName = std::string("[") + op + "]";
  if (!HoldsRecordLock(*a, a->recNo)) {
    Report(err::kRecordNotLocked, a->name() + " " + "Record not locked " + opName);
    return;
  }
  Table& t = a->t();
  if (a->recNo < 1 || a->recNo > t.recCount) {
    Report(err::kInvalidOperation, a->name() + " at EOF " + opName);
    return;
  }
  a->values[0] = deleted ? 1 : 0;
  t.record[0] = deleted ? fmt::kDeletedFlag : fmt::kLiveFlag;
  const int code = t.file->WriteAt(t.record.data(), 1, t.RecordOffset(a->recNo));
  if (code != 0) {
    Report(code, "File:  " + a->name() + " [DeleteRec/RecallRec]");
    return;
  }
  if (t.state != UpdateState::Appended) t.state = UpdateState::Modified;
  FlushIfWriteThrough(*a, false);
}

bool ValidFieldRecord(WorkArea& a, int field, std::int32_t record) {
  if (field < 0 || field > static_cast<int>(a.t().fields.size())) return false;
  if (record > a.t().recCount && !Recount(a)) return false;
  return record >= 1 && record <= a.t().recCount;
}

void FieldSpan(const Table& t, int field, std::int64_t* offset, std::size_t* len) {
  if (field == 0) {
    *offset = 0;
    *len = 1;
  } else {
    *offset = t.fields[static_cast<std::size_t>(field - 1)].offset;
    *len = static_cast<std::size_t>(t.fields[static_cast<std::size_t>(field - 1)].length);
  }
}

struct LocateQuery {
  int field = 0;
  bool nocase = false;
  bool exact = false;
  bool contained = false;
};

bool RemoveWord(std::string* s, const std::string& word) {
  bool removed = false;
  std::size_t pos;
  while ((pos = s->find(word)) != std::string::npos) {
    s->erase(pos, word.size());
    removed = true;
  }
  return removed;
}

bool Matches(std::string text, const std::string& value, const LocateQuery& q) {
  if (!q.exact && !q.contained && text.size() > value.size()) text.resize(value.size());
  if (q.nocase) text = platform::AnsiUpper(text);
  if (q.contained) return text.find(value) != std::string::npos;
  return text == value;
}

bool MemoMatches(const std::string& memo, const std::string& value, const LocateQuery& q) {
  std::size_t start = 0;
  while (start <= memo.size()) {
    std::size_t end = memo.find_first_of("\r\n", start);
    if (end == std::string::npos) end = memo.size();
    if (Matches(memo.substr(start, end - start), value, q)) return true;
    if (end == memo.size()) break;
    start = end + 1;
  }
  return false;
}

// The current area when its current record may be replaced; reports why not otherwise.
WorkArea* ReplaceableArea() {
  WorkArea* a = RequireOpen("Replace");
  if (a == nullptr) return nullptr;
  if (a->recNo < 1) {
    Report(err::kBeyondRange, "Database " + Quoted(a->name()) + " is empty." + " [REPLACE]");
    return nullptr;
  }
  if (a->recNo > a->t().recCount) {
    Report(err::kBeyondRange, "Database " + Quoted(a->name()) + " is at EOF." + " [REPLACE]");
    return nullptr;
  }
  if (!HoldsRecordLock(*a, a->recNo)) {
    Report(err::kRecordNotLocked,
           "Record #" + std::to_string(a->recNo) + " in " + a->name() + " [REPLACE]");
    return nullptr;
  }
  return a;
}

// Writes the record buffer under the record lock the caller holds, then frees the memo texts the
// record left behind.
void PutStoredRecord(WorkArea& a) {
  // Under the record lock: only texts the record in the file still refers to are this area's to free.
  std::erase_if(a.memoToFree, [&a](std::int32_t block) { return !FileRecordRefersTo(a, block); });
  if (!PutDbfRecord(a, a.recNo)) return;
  FreeReplacedMemos(a);
  Load(a);
}

}  // namespace

void Replace() {
  WorkArea* a = ReplaceableArea();
  if (a == nullptr) return;
  Store(*a);
  PutStoredRecord(*a);
}

void ReplaceFields(const std::vector<int>& fields) {
  WorkArea* a = ReplaceableArea();
  if (a == nullptr) return;
  Table& t = a->t();
  std::vector<bool> named(t.fields.size(), false);
  for (int n : fields) {
    if (n < 1 || n > static_cast<int>(t.fields.size())) {
      Report(err::kInvalidParameter, FieldNumberMessage("ReplaceFields", n));
      return;
    }
    named[static_cast<std::size_t>(n - 1)] = true;
  }
  const std::vector<std::uint8_t> mine(a->values, a->values + a->valuesSize);
  std::vector<std::int32_t> toFree = a->memoToFree;  // the re-read below forgets them
  if (!GetDbfRecord(*a, a->recNo)) return;           // the record as the file holds it now
  const std::vector<char> stored(t.record);
  for (int n : fields) {
    const FieldInfo& f = t.fields[static_cast<std::size_t>(n - 1)];
    std::memcpy(a->values + f.valueOffset, mine.data() + f.valueOffset, f.valueSize);
  }
  Store(*a);
  // Every byte but the named fields' goes back as it was stored: the flag and the other fields.
  t.record[0] = stored[0];
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    if (named[i]) continue;
    const FieldInfo& f = t.fields[i];
    std::memcpy(t.record.data() + f.offset, stored.data() + f.offset,
                static_cast<std::size_t>(f.length));
  }
  a->memoToFree = std::move(toFree);
  PutStoredRecord(*a);
}

void Append() {
  WorkArea* a = RequireOpen("Append");
  if (a == nullptr) return;
  if (!a->exclusive && Engine().settings.lockingEnabled && a->lockState != LockState::Append) {
    Report(err::kAccessDenied, "File must be locked to append: " + a->name() + " [APPEND]");
    return;
  }
  if (!Recount(*a)) return;
  if (a->t().recCount >= fmt::kMaxRecords) {
    Report(err::kBeyondRange, "Database " + Quoted(a->name()) + " is full." + " [APPEND]");
    return;
  }
  Store(*a);
  if (!PutDbfRecord(*a, a->t().recCount + 1)) {
    a->countHeld = false;  // the file may have grown by part of a record
    return;
  }
  Load(*a);
  a->eof = a->bof = false;
}

void DeleteRec() { WriteFlag("DeleteRec", true); }
void RecallRec() { WriteFlag("RecallRec", false); }

std::string Peek(int field, std::int32_t record) {
  WorkArea* a = RequireOpen("Peek");
  if (a == nullptr || !ValidFieldRecord(*a, field, record)) return {};
  std::int64_t offset = 0;
  std::size_t len = 0;
  FieldSpan(a->t(), field, &offset, &len);
  std::string out(len, ' ');
  std::size_t got = 0;
  const int code = a->t().file->ReadAt(out.data(), len, a->t().RecordOffset(record) + offset, &got);
  if (code != 0) {
    Report(code, "File:  " + a->name() + " [Peek]");
    return {};
  }
  out.resize(got);
  return out;
}

void Poke(std::string_view text, int field, std::int32_t record) {
  WorkArea* a = RequireOpen("Poke");
  if (a == nullptr) return;
  if (Engine().settings.lockingEnabled && !HoldsRecordLock(*a, record)) {
    Report(err::kRecordNotLocked,
           "Record not locked " + ("[Poke(" + std::string(text) + "," + std::to_string(field) +
                                   "," + std::to_string(record) + ")]"));
    return;
  }
  if (!ValidFieldRecord(*a, field, record)) return;
  std::int64_t offset = 0;
  std::size_t len = 0;
  FieldSpan(a->t(), field, &offset, &len);
  len = std::min(len, text.size());
  const int code = a->t().file->WriteAt(text.data(), len, a->t().RecordOffset(record) + offset);
  if (code != 0) Report(code, "File:  " + a->name() + " [Poke]");
}

int Locate(std::string_view fieldQuery, std::string_view valueText, std::int32_t fromRecord) {
  WorkArea* a = RequireOpen("Locate/Count/Sum");
  if (a == nullptr) return 0;
  std::string name = platform::AnsiUpper(std::string(fieldQuery));
  LocateQuery ls;
  ls.nocase = RemoveWord(&name, " NOCASE");
  ls.exact = RemoveWord(&name, " EXACT");
  ls.contained = RemoveWord(&name, " CONTAINED");
  std::size_t b = name.find_first_not_of(" \t");
  name = b == std::string::npos ? std::string() : name.substr(b);
  while (!name.empty() && static_cast<unsigned char>(name.back()) <= 32) name.pop_back();
  if (name.empty()) {
    Report(err::kInvalidParameter, "No field name specified [Locate/Count/Sum]");
    return 0;
  }
  ls.field = FieldNo(name);
  if (ls.field == 0) {
    Report(err::kInvalidParameter,
           "Unrecognized field name [Locate/Count/Sum(" + std::string(fieldQuery) + ")]");
    return 0;
  }
  std::string value(valueText);
  if (!ls.exact) value = std::string(platform::TrimRight(value, " "));
  if (ls.nocase) value = platform::AnsiUpper(value);
  const bool memo = a->t().fields[static_cast<std::size_t>(ls.field - 1)].type == 'M';
  const std::int32_t count = RecCount();
  for (std::int32_t r = std::max(fromRecord, 1); r <= count; ++r) {
    bool hit = false;
    if (memo) {
      GO(r);
      hit = MemoMatches(ReadMemo(ls.field), value, ls);
    } else {
      std::string text = Peek(ls.field, r);
      if (a->oem) platform::TableToAnsi(TextPageOf(a->t()), text.data(), text.size());
      hit = Matches(text, value, ls);
    }
    if (ErrorCode() != 0) return ls.field;
    if (hit) {
      GO(r);
      return ls.field;
    }
  }
  GoBottom();
  if (a->t().recCount > 0 && !a->eof) SKIP(1);
  return ls.field;
}

}  // namespace tavrin::dbf
