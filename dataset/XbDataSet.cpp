// TXbDataSet: opening, closing, reading records and moving the engine's cursor.
#include "dataset/XbDataSet.h"

#include <algorithm>
#include <cstring>

#include "dbf/Engine.h"

namespace tavrin::dataset {
namespace {

constexpr char kDeletedFlag = '*';

TFieldType MappedType(char type, int decimals) {
  switch (type) {
    case 'D': return TFieldType::ftDate;
    case 'N':
    case 'F': return decimals > 0 ? TFieldType::ftFloat : TFieldType::ftInteger;
    case 'L': return TFieldType::ftBoolean;
    case 'M': return TFieldType::ftMemo;
    default: return TFieldType::ftString;
  }
}

}  // namespace

// ---- EngineScope

TXbDataSet::EngineScope::EngineScope(TXbDataSet& dataSet, const char* operation)
    : previousStop_(dbf::SetStopOnError(false)) {
  if (dbf::LastReportedCode() != 0) dbf::TakeDetail();  // a failure someone else left unread
  try {
    dataSet.SelectArea(operation);
  } catch (...) {
    dbf::SetStopOnError(previousStop_);
    throw;
  }
}

TXbDataSet::EngineScope::~EngineScope() { dbf::SetStopOnError(previousStop_); }

void TXbDataSet::EngineScope::Check() const {
  if (dbf::LastReportedCode() != 0) throw EDbfError(dbf::GetErrorText());
}

void TXbDataSet::Fail(int code, const std::string& detail) {
  throw EDbfError(dbf::CodeText(code) + "\r\n" + detail);
}

// ---- Life

TXbDataSet::TXbDataSet(std::string name) : name_(std::move(name)) {}

TXbDataSet::~TXbDataSet() {
  try {
    Close();
  } catch (const EDbfError&) {
    // The work area is given back either way; a failed header update has nobody left to tell.
  }
}

void TXbDataSet::SelectArea(const char* operation) {
  if (workArea_ == 0) Fail(1103, "Database is not open [" + name_ + "." + operation + "]");
  if (dbf::CurrentArea() != workArea_) dbf::Select(workArea_);
  dbf::EngineSettings& s = dbf::Settings();
  s.hideDeleted = hideDeletedRecs_;
  s.noTranslation = tableLanguage_ == TXbTableLanguage::tlAnsi;
}

void TXbDataSet::InternalOpen() {
  snapshot_.clear();
  dbf::ErrorSilencer quiet;
  dbf::TakeDetail();
  const int remembered = dbf::CurrentArea();
  dbf::Select(workArea_);
  if (dbf::LastReportedCode() != 0) {
    const std::string text = dbf::GetErrorText();
    dbf::Select(remembered);
    throw EDbfError(text);
  }
  dbf::Settings().noTranslation = tableLanguage_ == TXbTableLanguage::tlAnsi;
  if (!OpenTableFile() || dbf::LastReportedCode() != 0) {
    const std::string text = dbf::GetErrorText();
    throw EDbfError(text.empty()
                        ? dbf::CodeText(1103) + "\r\nThe table could not be opened [" + name_ + "]"
                        : text);
  }
  workArea_ = dbf::CurrentArea();
  cursorOpen_ = true;
  ++openGeneration_;
  hasRecords_ = false;
  try {
    TakeSnapshot();
    CheckRequiredFields();
  } catch (...) {
    InternalClose();
    throw;
  }
  BuildFields();
}

void TXbDataSet::TakeSnapshot() {
  const int count = dbf::FieldCount();
  int offset = 1;
  for (int n = 1; n <= count; ++n) {
    FieldProps p{dbf::Field(n), dbf::FieldType(n), dbf::FieldLen(n), dbf::FieldDec(n), offset};
    offset += p.length;
    snapshot_.push_back(std::move(p));
  }
  recordSize_ = static_cast<std::size_t>(dbf::RecSize());
  if (dbf::LastReportedCode() != 0) throw EDbfError(dbf::GetErrorText());
  if (static_cast<std::size_t>(offset) > recordSize_)
    Fail(210, "Field layout exceeds the record [" + name_ + "]");
}

void TXbDataSet::CheckRequiredFields() {
  for (const std::string& wanted : requiredFields_) {
    if (dbf::FieldNo(wanted.substr(0, 10)) == 0)
      Fail(220, "Field '" + wanted + "' not in '" + dbf::DbfName() + "' [Open]");
  }
}

void TXbDataSet::BuildFields() {
  for (std::size_t i = 0; i < snapshot_.size(); ++i) {
    const FieldProps& p = snapshot_[i];
    if (p.name.empty()) continue;
    CreateField(p.name, MappedType(p.type, p.decimals), static_cast<int>(i + 1), p.offset, p.length,
                p.decimals);
  }
}

void TXbDataSet::InternalClose() {
  if (workArea_ == 0) return;
  dbf::ErrorSilencer quiet;
  dbf::TakeDetail();
  dbf::Select(workArea_);
  dbf::USE("");
  workArea_ = 0;
  cursorOpen_ = false;
  snapshot_.clear();
  touched_.clear();
  if (dbf::LastReportedCode() != 0) throw EDbfError(dbf::GetErrorText());
}

// ---- Records

bool TXbDataSet::HasRecords() {
  // A shared table only grows while it is open (packing needs it alone), so once seen, records stay
  // for the moves that follow; a program that ignores the locks may still empty the file, so every
  // start from an end and every refresh looks again.
  if (!hasRecords_) hasRecords_ = dbf::RecCount() > 0;
  return hasRecords_;
}

void TXbDataSet::ReadRecord(TRecordBuffer& buffer) {
  const std::string_view bytes = dbf::RecordBytes();
  buffer.data.assign(bytes.begin(), bytes.end());
  buffer.data.resize(recordSize_, ' ');
  buffer.bookmark = dbf::RecNo();
  buffer.flag = TBookmarkFlag::bfCurrent;
}

bool TXbDataSet::Hidden(const TRecordBuffer& buffer) const {
  return hideDeletedRecs_ && !buffer.data.empty() && buffer.data[0] == kDeletedFlag;
}

TGetResult TXbDataSet::GetRecord(TRecordBuffer& buffer, TGetMode mode) {
  EngineScope engine(*this, "GetRecord");
  TGetResult result = TGetResult::grError;
  switch (mode) {
    case TGetMode::gmCurrent:
      if (!HasRecords() || (dbf::dEOF() && dbf::dBOF())) break;
      dbf::SKIP(dbf::dEOF() ? -1 : 0);
      engine.Check();
      ReadRecord(buffer);
      result = Hidden(buffer) ? TGetResult::grError : TGetResult::grOK;
      break;
    case TGetMode::gmNext: result = GetNext(buffer); break;
    case TGetMode::gmPrior: result = GetPrior(buffer); break;
  }
  engine.Check();
  return result;
}

TGetResult TXbDataSet::GetNext(TRecordBuffer& buffer) {
  do {
    if (!HasRecords()) return TGetResult::grEOF;
    if (Bof() && Eof()) {
      GoTopWhile();
    } else if (!dbf::dEOF()) {
      dbf::SKIP(1);
    }
    if (dbf::LastReportedCode() != 0 || dbf::dEOF()) return TGetResult::grEOF;
    ReadRecord(buffer);
  } while (Hidden(buffer));
  return TGetResult::grOK;
}

TGetResult TXbDataSet::GetPrior(TRecordBuffer& buffer) {
  do {
    if (!HasRecords()) return TGetResult::grBOF;
    if (!dbf::dBOF()) dbf::SKIP(-1);
    if (dbf::LastReportedCode() != 0 || dbf::dBOF()) return TGetResult::grBOF;
    ReadRecord(buffer);
  } while (Hidden(buffer));
  return TGetResult::grOK;
}

void TXbDataSet::GoTopWhile() {
  if (!HasRecords()) return;
  dbf::GoTop();
  if (dbf::dEOF()) dbf::ClearRecord();  // every record hidden
}

void TXbDataSet::GoBottomWhile() {
  if (!HasRecords()) return;
  dbf::GoBottom();
  if (dbf::dEOF()) dbf::ClearRecord();
}

void TXbDataSet::InternalFirst() {
  EngineScope engine(*this, "s_GoTopWhile");
  hasRecords_ = false;
  GoTopWhile();
  if (HasRecords() && !dbf::dBOF() && !dbf::dEOF()) dbf::SKIP(-1);
  engine.Check();
}

void TXbDataSet::InternalLast() {
  EngineScope engine(*this, "s_GoBottomWhile");
  hasRecords_ = false;
  GoBottomWhile();
  if (HasRecords() && !dbf::dEOF()) dbf::SKIP(1);
  engine.Check();
}

void TXbDataSet::Go(std::int32_t record) {
  // A buffer without a record number (a new record) never sends the engine to record 0.
  if (record < 1 || !HasRecords()) return;
  if (record == dbf::RecNo() && !dbf::dEOF()) return;
  dbf::GO(record);
}

void TXbDataSet::InternalSetToRecord(const TRecordBuffer& buffer) {
  EngineScope engine(*this, "s_Go");
  Go(buffer.bookmark);
  engine.Check();
}

void TXbDataSet::InternalGotoBookmark(TBookmark bookmark) {
  EngineScope engine(*this, "s_Go");
  if (bookmark < 1)
    Fail(212, "Invalid record number = " + std::to_string(bookmark) + " [" + name_ + "]");
  Go(bookmark);
  engine.Check();
}

void TXbDataSet::InternalRefresh() { hasRecords_ = false; }

void TXbDataSet::EngineToActive() {
  TRecordBuffer* b = ActiveBuffer();
  if (b != nullptr && b->flag == TBookmarkFlag::bfCurrent) Go(b->bookmark);
}

// ---- Record numbers, bookmarks, counts

std::int32_t TXbDataSet::RecordTotal() {
  EngineScope engine(*this, "s_RecCount");
  const std::int32_t n = dbf::RecCount();
  engine.Check();
  return n;
}

std::int32_t TXbDataSet::RecNo() {
  if (!Active()) return 0;
  if (ControlsDisabled()) {
    EngineScope engine(*this, "s_RecNo");
    return dbf::RecNo();
  }
  const TRecordBuffer* b = ActiveBuffer();
  return b != nullptr ? b->bookmark : 0;
}

void TXbDataSet::SetRecNo(std::int32_t record) {
  CheckBrowseMode();
  Fire(BeforeScroll);
  {
    EngineScope engine(*this, "s_Go");
    if (record < 1 || record > dbf::RecCount())
      Fail(212, "Invalid record number = " + std::to_string(record) + " [" + name_ + "]");
    Go(record);
    engine.Check();
  }
  // A hidden record gives way to the next visible one, else the previous one.
  Resync(false, true);
  Fire(AfterScroll);
}

bool TXbDataSet::BookmarkValid(TBookmark bookmark) {
  if (!Active() || bookmark < 1) return false;
  try {
    EngineScope engine(*this, "BookmarkValid");
    if (bookmark > dbf::RecCount()) return false;
    const std::string flag = dbf::Peek(0, bookmark);
    if (dbf::LastReportedCode() != 0 || flag.size() != 1) return false;
    return !(hideDeletedRecs_ && flag[0] == kDeletedFlag);
  } catch (const EDbfError&) {
    return false;
  }
}

void TXbDataSet::ResyncWithEngine() {
  CheckActive();
  bool bothEnds = false;
  {
    EngineScope engine(*this, "ResyncWithEngine");
    if (ControlsDisabled() || dbf::ErrorCode() != 0) {
      pendingResync_ = true;
      return;
    }
    hasRecords_ = false;
    bothEnds = !HasRecords() || (dbf::dEOF() && dbf::dBOF());
    if (bothEnds) dbf::ClearRecord();
    engine.Check();
  }
  pendingResync_ = false;
  if (bothEnds) {
    ClearBuffers();
    DataEvent(TDataEvent::deDataSetChange);
  } else if (State() == TDataSetState::dsEdit || State() == TDataSetState::dsInsert) {
    Cancel();
  } else {
    Resync();
  }
}

void TXbDataSet::ControlsEnabled() {
  if (pendingResync_ && Active()) ResyncWithEngine();
}

}  // namespace tavrin::dataset
