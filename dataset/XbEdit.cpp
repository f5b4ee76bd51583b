// TXbDataSet: the write side. A field that is set is copied into the engine's field value area;
// a post of an edit writes only the fields that were set, over the record as the file holds it then.
#include <algorithm>

#include "dataset/XbDataSet.h"
#include "dbf/Engine.h"
#include "dbf/FieldConv.h"

namespace tavrin::dataset {
namespace {

constexpr char kDeletedFlag = '*';

}  // namespace

bool TXbDataSet::RecordDeleted() {
  const TRecordBuffer* b = ActiveBuffer();
  return b != nullptr && !b->data.empty() && b->data[0] == kDeletedFlag;
}

void TXbDataSet::SetRecordDeleted(bool deleted) {
  if (RecordDeleted() == deleted) return;
  CheckActive();
  if (State() == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (deleted) {
    if (!IsEmpty()) Delete();
    return;
  }
  DataEvent(TDataEvent::deCheckBrowseMode);
  Fire(BeforeRestore);
  UpdateCursorPos(true);
  RestoreWithLock();
  SetState(TDataSetState::dsBrowse);
  Resync();
  Fire(AfterRestore);
}

void TXbDataSet::InternalInitRecord(TRecordBuffer& buffer) {
  // A new record reads as the engine will store an untouched one: blank texts and dates, zero
  // numbers, false logicals, no memo.
  buffer.data.assign(recordSize_, ' ');
  for (const FieldProps& p : snapshot_) {
    std::string text;
    if (p.type == 'N' || p.type == 'F')
      text = p.decimals > 0 ? dbf::FormatFixed(0, p.length, p.decimals)
                            : dbf::FormatInteger(0, p.length);
    else if (p.type == 'L')
      text = "F";
    std::copy(text.begin(), text.end(), buffer.data.begin() + p.offset);
  }
  buffer.bookmark = 0;
}

void TXbDataSet::InternalEdit() {
  // The record as the file holds it now: the edit starts from another program's latest changes.
  EngineScope engine(*this, "s_Skip");
  EngineToActive();
  dbf::SKIP(0);
  engine.Check();
  if (TRecordBuffer* b = ActiveBuffer(); b != nullptr && dbf::RecNo() == b->bookmark)
    ReadRecord(*b);
  touched_.clear();
  writtenMemoBlock_ = 0;
  ++editCount_;
}

void TXbDataSet::InternalInsert() {
  EngineScope engine(*this, "s_ClearRecord");
  dbf::ClearRecord();
  engine.Check();
  touched_.clear();
  writtenMemoBlock_ = 0;
  ++editCount_;
}

void TXbDataSet::CopyFieldToEngine(const FieldProps& p, int number, std::string_view stored) {
  switch (p.type) {
    case 'C': dbf::SetString(number, stored); break;
    case 'D': dbf::SetString(number, dbf::StoredToDateText(stored)); break;
    case 'N':
    case 'F':
      if (p.decimals > 0) {
        dbf::SetDouble(number, dbf::ParseDouble(stored));
      } else {
        dbf::SetInteger(number, dbf::ParseInt32(stored));
      }
      break;
    case 'L':
      dbf::SetLogical(number, !stored.empty() && std::string_view("TtYy").find(stored[0]) !=
                                                     std::string_view::npos);
      break;
    case 'M': dbf::SetInteger(number, dbf::ParseInt32(stored)); break;
    default: break;
  }
}

void TXbDataSet::CopyToEngine(const std::vector<int>& fields) {
  const TRecordBuffer* b = ActiveBuffer();
  if (b == nullptr) return;
  auto copy = [&](int number) {
    const FieldProps& p = snapshot_.at(static_cast<std::size_t>(number - 1));
    CopyFieldToEngine(
        p, number, std::string_view(b->data.data() + p.offset, static_cast<std::size_t>(p.length)));
  };
  if (fields.empty()) {
    for (std::size_t i = 0; i < snapshot_.size(); ++i) copy(static_cast<int>(i + 1));
  } else {
    for (int n : fields) copy(n);
  }
}

void TXbDataSet::FieldValueSet(TField& field) {
  EngineScope engine(*this, "SetFieldData");
  CopyToEngine({field.FieldNo()});
  engine.Check();
  if (std::find(touched_.begin(), touched_.end(), field.FieldNo()) == touched_.end())
    touched_.push_back(field.FieldNo());
}

void TXbDataSet::InternalPost() {
  if (State() == TDataSetState::dsEdit) {
    if (!touched_.empty()) ReplaceWithLock();
  } else {
    {
      EngineScope engine(*this, "s_AppendWithLock");
      dbf::ClearRecord();
      CopyToEngine({});
      dbf::SetDeleted(false);
      engine.Check();
    }
    AppendWithLock();
  }
  touched_.clear();
}

void TXbDataSet::InternalDelete() { DeleteWithLock(); }

}  // namespace tavrin::dataset
