// The generic dataset: editing, field values, bookmarks and record numbers.
#include <algorithm>
#include <cstring>

#include "dataset/DataSet.h"

namespace tavrin::dataset {

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::deCheckBrowseMode);
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  UpdateRecord();
  if (modified_) {
    Post();
  } else {
    Cancel();
  }
}

void TDataSet::UpdateRecord() {
  CheckEditing();
  DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::Edit() {
  if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) return;
  CheckActive();
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckCanModify();
  Fire(BeforeEdit);
  UpdateCursorPos(true);
  InternalEdit();
  SetState(TDataSetState::dsEdit);
  DataEvent(TDataEvent::deRecordChange);
  Fire(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  Fire(BeforeScroll);
}

void TDataSet::EndInsertAppend() {
  SetState(TDataSetState::dsInsert);
  try {
    Fire(OnNewRecord);
  } catch (...) {
    UpdateCursorPos(true);
    SetState(TDataSetState::dsBrowse);
    Resync();
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterInsert);
  Fire(AfterScroll);
}

void TDataSet::Insert() {
  BeginInsertAppend();
  const TBookmark before =
      recordCount_ > 0 ? buffers_[static_cast<std::size_t>(activeRecord_)].bookmark : 0;
  // The scratch buffer becomes the new record at the active row; with a full window the last leaves.
  std::rotate(buffers_.begin() + activeRecord_, buffers_.begin() + recordCount_,
              buffers_.begin() + recordCount_ + 1);
  TRecordBuffer& b = buffers_[static_cast<std::size_t>(activeRecord_)];
  InternalInitRecord(b);
  b.calc.assign(calcDefs_.size(), std::nullopt);
  b.bookmark = before;
  b.flag = recordCount_ == 0 ? TBookmarkFlag::bfBOF : TBookmarkFlag::bfInserted;
  if (recordCount_ < bufferCount_) ++recordCount_;
  bof_ = eof_ = false;
  CursorPosChanged();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  TRecordBuffer& b = buffers_[0];
  InternalInitRecord(b);
  b.calc.assign(calcDefs_.size(), std::nullopt);
  b.bookmark = 0;
  b.flag = TBookmarkFlag::bfEOF;
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = eof_ = false;
  GetPriorRecords();
  InternalLast();
  currentRecord_ = activeRecord_;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Post() {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  UpdateRecord();
  DataEvent(TDataEvent::deCheckBrowseMode);
  Fire(BeforePost);
  // An edit writes the record it started on; a new record that cannot be added leaves the cursor
  // where the insert was made, so the window comes back there.
  UpdateCursorPos(true);
  InternalPost();
  SetState(TDataSetState::dsBrowse);
  Resync();
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) return;
  DataEvent(TDataEvent::deCheckBrowseMode);
  Fire(BeforeCancel);
  UpdateCursorPos(true);
  InternalCancel();
  SetState(TDataSetState::dsBrowse);
  Resync();
  Fire(AfterCancel);
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) throw EDbfError("Cannot perform this operation on an empty dataset");
  DataEvent(TDataEvent::deCheckBrowseMode);
  Fire(BeforeDelete);
  Fire(BeforeScroll);
  UpdateCursorPos(true);
  InternalDelete();
  SetState(TDataSetState::dsBrowse);
  Resync();
  Fire(AfterDelete);
  Fire(AfterScroll);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  InternalRefresh();  // first: the record source may look at the file afresh before the cursor moves
  UpdateCursorPos(true);
  Resync();
}

void TDataSet::SetFieldStored(TField& field, std::optional<std::string> stored) {
  if (field.Calculated()) {
    if (state_ != TDataSetState::dsCalcFields) CheckEditing();
    TRecordBuffer* b = ActiveBuffer();
    if (b == nullptr) return;
    b->calc.at(static_cast<std::size_t>(field.calcIndex_)) = std::move(stored);
    if (state_ != TDataSetState::dsCalcFields)
      DataEvent(TDataEvent::deFieldChange, reinterpret_cast<std::intptr_t>(&field));
    return;
  }
  CheckEditing();
  TRecordBuffer* b = ActiveBuffer();
  if (b == nullptr) return;
  std::string bytes = stored ? std::move(*stored) : field.BlankStored();
  bytes.resize(static_cast<std::size_t>(field.size_), ' ');
  std::memcpy(b->data.data() + field.offset_, bytes.data(), bytes.size());
  FieldValueSet(field);
  modified_ = true;
  DoCalcFields(*b);
  DataEvent(TDataEvent::deFieldChange, reinterpret_cast<std::intptr_t>(&field));
}

// ---- Bookmarks and record numbers

TBookmark TDataSet::GetBookmark() const {
  if (recordCount_ == 0) return 0;
  const TRecordBuffer& b = buffers_[static_cast<std::size_t>(activeRecord_)];
  return b.flag == TBookmarkFlag::bfCurrent ? b.bookmark : 0;
}

void TDataSet::GotoBookmark(TBookmark bookmark) {
  CheckBrowseMode();
  Fire(BeforeScroll);
  InternalGotoBookmark(bookmark);
  Resync(true, true);
  Fire(AfterScroll);
}

int TDataSet::CompareBookmarks(const TBookmark* a, const TBookmark* b) const {
  if (a == b) return 0;
  if (a == nullptr || b == nullptr) return 1;
  return *a == *b ? 0 : 1;
}

}  // namespace tavrin::dataset
