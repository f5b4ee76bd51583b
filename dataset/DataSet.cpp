// The generic dataset: data links and sources, opening and closing, the buffer window and moves.
#include "dataset/DataSet.h"

#include <algorithm>

namespace tavrin::dataset {

// ---- TDataLink

TDataLink::~TDataLink() {
  SetDataSource(nullptr);
  *alive_ = false;  // a notification of this link may still be running
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == source_) return;
  TDataSet* old = DataSet();
  if (source_ != nullptr) std::erase(source_->links_, this);
  source_ = source;
  if (source_ != nullptr) source_->links_.push_back(this);
  const bool alive =
      SyncFlags();  // ActiveChanged first, then any DataSetChanged of a larger window
  if (old != nullptr) old->UpdateBufferCount();
  if (!alive) return;
  if (TDataSet* ds = DataSet(); ds != nullptr && ds != old) ds->UpdateBufferCount();
}

TDataSet* TDataLink::DataSet() const { return source_ != nullptr ? source_->dataSet_ : nullptr; }

void TDataLink::SetBufferCount(int count) {
  count = std::max(count, 1);
  if (count == bufferCount_) return;
  bufferCount_ = count;
  if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
}

int TDataLink::RecordCount() const {
  const TDataSet* ds = DataSet();
  return (ds != nullptr && active_) ? std::min(ds->recordCount_, bufferCount_) : 0;
}

int TDataLink::ActiveRecord() const {
  const TDataSet* ds = DataSet();
  return (ds != nullptr && active_) ? ds->activeRecord_ : 0;
}

void TDataLink::SetActiveRecord(int row) {
  TDataSet* ds = DataSet();
  if (ds == nullptr || ds->recordCount_ == 0) return;
  ds->activeRecord_ = std::clamp(row, 0, ds->recordCount_ - 1);
}

bool TDataLink::Edit() {
  TDataSet* ds = DataSet();
  if (ds == nullptr || !ds->Active()) return false;
  ds->Edit();
  return ds->State() == TDataSetState::dsEdit || ds->State() == TDataSetState::dsInsert;
}

void TDataLink::DataEvent(TDataEvent event, std::intptr_t info) {
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange: RecordChanged(reinterpret_cast<TField*>(info)); break;
    case TDataEvent::deDataSetChange: DataSetChanged(); break;
    case TDataEvent::deDataSetScroll: DataSetScrolled(static_cast<int>(info)); break;
    case TDataEvent::deLayoutChange: LayoutChanged(); break;
    case TDataEvent::deUpdateRecord: UpdateData(); break;
    case TDataEvent::deUpdateState: SyncFlags(); break;
    case TDataEvent::deCheckBrowseMode: CheckBrowseMode(); break;
  }
}

bool TDataLink::SyncFlags() {
  // The handlers may close the dataset or destroy this link: nothing of the link is touched after
  // it went, and the editing flag is taken from the state the active handler left.
  const std::shared_ptr<bool> alive = alive_;
  const TDataSet* ds = DataSet();
  const bool active = ds != nullptr && ds->Active();
  if (active != active_) {
    active_ = active;
    ActiveChanged();
    if (!*alive) return false;
  }
  ds = DataSet();
  const bool editing =
      active_ && ds != nullptr &&
      (ds->State() == TDataSetState::dsEdit || ds->State() == TDataSetState::dsInsert);
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
  return *alive;
}

// ---- TDataSource

// Runs `f` for every link attached now that is still attached when its turn comes (a link may
// detach or destroy itself or another one while it is told).
template <typename F>
void TDataSource::EachLink(F f) {
  for (TDataLink* link : std::vector<TDataLink*>(links_))
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) f(link);
}

TDataSource::~TDataSource() {
  EachLink([](TDataLink* link) { link->SetDataSource(nullptr); });
  SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  TDataSet* old = dataSet_;
  if (old != nullptr) std::erase(old->sources_, this);
  dataSet_ = dataSet;
  if (dataSet_ != nullptr) dataSet_->sources_.push_back(this);
  if (old != nullptr) old->UpdateBufferCount();
  if (dataSet_ != nullptr) dataSet_->UpdateBufferCount();
  EachLink([](TDataLink* link) { link->SyncFlags(); });
}

TDataSetState TDataSource::State() const {
  return dataSet_ != nullptr ? dataSet_->State() : TDataSetState::dsInactive;
}

void TDataSource::DataEvent(TDataEvent event, std::intptr_t info) {
  EachLink([event, info](TDataLink* link) { link->DataEvent(event, info); });
}

// ---- TDataSet: life

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  for (TDataSource* source : std::vector<TDataSource*>(sources_)) source->SetDataSet(nullptr);
}

void TDataSet::CheckActive() const {
  if (!Active()) throw EDbfError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) throw EDbfError("Cannot modify a read-only dataset");
}

void TDataSet::CheckEditing() const {
  if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert)
    throw EDbfError("Dataset not in edit or insert mode");
}

void TDataSet::ShowMessage(const std::string& text) const {
  if (dialogs_ != nullptr) dialogs_->ShowMessage(text);
}

std::string TDataSet::BlobText(TField&) { return {}; }

void TDataSet::SetBlobText(TField& field, const std::string&) {
  throw EDbfError("Field '" + field.FieldName() + "' cannot take a memo text");
}

void TDataSet::SetActive(bool on) {
  if (on == Active()) return;
  if (on) {
    DoOpen();
  } else {
    DoClose();
  }
}

void TDataSet::DoOpen() {
  Fire(BeforeOpen);
  fields_.clear();
  InternalOpen();
  try {
    for (std::size_t i = 0; i < calcDefs_.size(); ++i) {
      const CalcDef& d = calcDefs_[i];
      TField* f = CreateField(d.name, d.type, 0, 0, d.size, d.decimals);
      f->calcIndex_ = static_cast<int>(i);
    }
    buffers_.clear();
    bufferCount_ = 0;
    UpdateBufferCount();
    ClearBuffers();
    InternalFirst();
    if (GetNextRecord()) GetNextRecords();
  } catch (...) {
    InternalClose();
    fields_.clear();
    throw;
  }
  bof_ = true;
  SetState(TDataSetState::dsBrowse);
  UpdateCursorPos(true);
  Fire(AfterOpen);
}

void TDataSet::DoClose() {
  Fire(BeforeClose);
  ClearBuffers();
  SetState(TDataSetState::dsInactive);
  try {
    InternalClose();
  } catch (...) {
    fields_.clear();
    throw;
  }
  fields_.clear();
  Fire(AfterClose);
}

void TDataSet::SetState(TDataSetState state) {
  if (state == state_) return;
  state_ = state;
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
}

void TDataSet::DataEvent(TDataEvent event, std::intptr_t info) {
  if (disableCount_ > 0) {
    if (event == TDataEvent::deUpdateState) activeChangedWhileDisabled_ = true;
    return;
  }
  // A source may be detached while its links are told: each one still attached hears it once.
  for (TDataSource* source : std::vector<TDataSource*>(sources_))
    if (std::find(sources_.begin(), sources_.end(), source) != sources_.end())
      source->DataEvent(event, info);
}

void TDataSet::DisableControls() { ++disableCount_; }

void TDataSet::EnableControls() {
  if (disableCount_ == 0 || --disableCount_ > 0) return;
  ControlsEnabled();
  if (activeChangedWhileDisabled_) {
    activeChangedWhileDisabled_ = false;
    DataEvent(TDataEvent::deUpdateState);
  }
  if (Active()) DataEvent(TDataEvent::deDataSetChange);
}

// ---- The window

TRecordBuffer* TDataSet::ActiveBuffer() {
  if (state_ == TDataSetState::dsCalcFields) return calcBuffer_;
  if (recordCount_ == 0 || buffers_.empty()) return nullptr;
  return &buffers_[static_cast<std::size_t>(activeRecord_)];
}

void TDataSet::UpdateBufferCount() {
  int count = 1;
  for (const TDataSource* s : sources_)
    for (const TDataLink* l : s->links_) count = std::max(count, l->bufferCount_);
  if (!IsCursorOpen()) {
    bufferCount_ = count;
    return;
  }
  if (count == bufferCount_ && !buffers_.empty()) return;
  if (recordCount_ > count) {  // keep the active record inside the smaller window
    const int dropFront = std::max(0, activeRecord_ - (count - 1));
    buffers_.erase(buffers_.begin(), buffers_.begin() + dropFront);
    activeRecord_ -= dropFront;
    recordCount_ = std::min(recordCount_ - dropFront, count);
  }
  TRecordBuffer fresh;
  fresh.data.assign(RecordSize(), ' ');
  fresh.calc.assign(calcDefs_.size(), std::nullopt);
  buffers_.resize(static_cast<std::size_t>(count) + 1, fresh);
  const bool grew = count > bufferCount_ && bufferCount_ > 0;
  bufferCount_ = count;
  CursorPosChanged();
  if (state_ == TDataSetState::dsBrowse && grew && recordCount_ > 0) {
    GetNextRecords();
    GetPriorRecords();
    UpdateCursorPos(true);
  }
  if (Active()) DataEvent(TDataEvent::deDataSetChange);
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = eof_ = true;
}

void TDataSet::ActivateBuffers() {
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = 0;
  bof_ = eof_ = false;
}

void TDataSet::DoCalcFields(TRecordBuffer& buffer) {
  if (calcDefs_.empty()) return;
  buffer.calc.assign(calcDefs_.size(), std::nullopt);
  if (!OnCalcFields) return;
  const TDataSetState saved = state_;
  TRecordBuffer* savedCalc = calcBuffer_;
  state_ = TDataSetState::dsCalcFields;
  calcBuffer_ = &buffer;
  try {
    OnCalcFields(*this);
  } catch (...) {
    state_ = saved;
    calcBuffer_ = savedCalc;
    throw;
  }
  state_ = saved;
  calcBuffer_ = savedCalc;
}

void TDataSet::SetCurrentRecord(int index) {
  if (currentRecord_ == index) return;
  const TRecordBuffer& b = buffers_.at(static_cast<std::size_t>(index));
  switch (b.flag) {
    case TBookmarkFlag::bfBOF: InternalFirst(); break;
    case TBookmarkFlag::bfEOF: InternalLast(); break;
    default: InternalSetToRecord(b); break;
  }
  currentRecord_ = index;
}

void TDataSet::UpdateCursorPos(bool force) {
  if (recordCount_ == 0) return;
  if (force) currentRecord_ = -1;
  SetCurrentRecord(activeRecord_);
}

bool TDataSet::GetNextRecord() {
  if (recordCount_ > 0) SetCurrentRecord(recordCount_ - 1);
  TRecordBuffer& scratch = buffers_[static_cast<std::size_t>(recordCount_)];
  if (GetRecord(scratch, TGetMode::gmNext) != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  DoCalcFields(scratch);
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else if (recordCount_ < bufferCount_) {
    ++recordCount_;
  } else {  // the window is full: the first record leaves it
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.begin() + recordCount_ + 1);
    activeRecord_ = std::max(activeRecord_ - 1, 0);
  }
  currentRecord_ = recordCount_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (recordCount_ > 0) SetCurrentRecord(0);
  TRecordBuffer& scratch = buffers_[static_cast<std::size_t>(recordCount_)];
  if (GetRecord(scratch, TGetMode::gmPrior) != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  DoCalcFields(scratch);
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else {  // the new record goes first; with a full window the last one leaves it
    std::rotate(buffers_.begin(), buffers_.begin() + recordCount_,
                buffers_.begin() + recordCount_ + 1);
    if (recordCount_ < bufferCount_) ++recordCount_;
    activeRecord_ = std::min(activeRecord_ + 1, recordCount_ - 1);
  }
  currentRecord_ = 0;
  return true;
}

void TDataSet::GetNextRecords() {
  while (recordCount_ > 0 && recordCount_ < bufferCount_ && GetNextRecord()) {
  }
}

void TDataSet::GetPriorRecords() {
  while (recordCount_ > 0 && recordCount_ < bufferCount_ && GetPriorRecord()) {
  }
}

// ---- Moves

void TDataSet::First() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  ClearBuffers();
  InternalFirst();
  if (GetNextRecord()) GetNextRecords();
  bof_ = true;
  UpdateCursorPos();
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterScroll);
}

void TDataSet::Last() {
  CheckBrowseMode();
  Fire(BeforeScroll);
  ClearBuffers();
  InternalLast();
  if (GetPriorRecord()) GetPriorRecords();
  eof_ = true;
  UpdateCursorPos();
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterScroll);
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if (!((distance > 0 && !eof_) || (distance < 0 && !bof_))) return 0;
  Fire(BeforeScroll);
  bof_ = eof_ = false;
  const int oldCount = recordCount_;
  int scroll = 0;
  for (; distance > 0; --distance, ++moved) {
    if (activeRecord_ < recordCount_ - 1) {
      ++activeRecord_;
      continue;
    }
    const bool full = recordCount_ >= bufferCount_;
    if (!GetNextRecord()) {
      eof_ = true;
      break;
    }
    activeRecord_ = recordCount_ - 1;
    if (full) ++scroll;
  }
  for (; distance < 0; ++distance, --moved) {
    if (activeRecord_ > 0) {
      --activeRecord_;
      continue;
    }
    const bool full = recordCount_ >= bufferCount_;
    if (!GetPriorRecord()) {
      bof_ = true;
      break;
    }
    activeRecord_ = 0;
    if (full) --scroll;
  }
  UpdateCursorPos();
  if (recordCount_ != oldCount) {
    DataEvent(TDataEvent::deDataSetChange);
  } else {
    DataEvent(TDataEvent::deDataSetScroll, scroll);
  }
  Fire(AfterScroll);
  return moved;
}

void TDataSet::Resync(bool exact, bool center) {
  TRecordBuffer& scratch = buffers_[static_cast<std::size_t>(recordCount_)];
  if (exact) {
    CursorPosChanged();
    if (GetRecord(scratch, TGetMode::gmCurrent) != TGetResult::grOK)
      throw EDbfError("Record not found");
  } else if (GetRecord(scratch, TGetMode::gmCurrent) != TGetResult::grOK &&
             GetRecord(scratch, TGetMode::gmNext) != TGetResult::grOK &&
             GetRecord(scratch, TGetMode::gmPrior) != TGetResult::grOK) {
    ClearBuffers();
    DataEvent(TDataEvent::deDataSetChange);
    return;
  }
  DoCalcFields(scratch);
  int before = center ? (bufferCount_ - 1) / 2 : std::min(activeRecord_, bufferCount_ - 1);
  std::swap(buffers_[0], scratch);
  ActivateBuffers();
  while (before > 0 && GetPriorRecord()) --before;
  GetNextRecords();
  GetPriorRecords();
  UpdateCursorPos();
  DataEvent(TDataEvent::deDataSetChange);
}

// ---- Fields

TField* TDataSet::CreateField(const std::string& name, TFieldType type, int fieldNo, int offset,
                              int size, int decimals) {
  std::unique_ptr<TField> f;
  switch (type) {
    case TFieldType::ftString: f = std::make_unique<TStringField>(*this, name, type); break;
    case TFieldType::ftInteger: f = std::make_unique<TIntegerField>(*this, name, type); break;
    case TFieldType::ftFloat: f = std::make_unique<TFloatField>(*this, name, type); break;
    case TFieldType::ftBoolean: f = std::make_unique<TBooleanField>(*this, name, type); break;
    case TFieldType::ftDate: f = std::make_unique<TXbDateField>(*this, name, type); break;
    case TFieldType::ftMemo: f = std::make_unique<TMemoField>(*this, name, type); break;
  }
  f->fieldNo_ = fieldNo;
  f->offset_ = offset;
  f->size_ = size;
  f->decimals_ = decimals;
  fields_.push_back(std::move(f));
  return fields_.back().get();
}

TField* TDataSet::FindField(const std::string& name) const {
  auto same = [&name](const std::string& other) {
    if (other.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
      if (std::toupper(static_cast<unsigned char>(name[i])) !=
          std::toupper(static_cast<unsigned char>(other[i])))
        return false;
    return true;
  };
  for (const auto& f : fields_)
    if (same(f->FieldName())) return f.get();
  return nullptr;
}

TField* TDataSet::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (f == nullptr) throw EDbfError("Field '" + name + "' not found");
  return f;
}

void TDataSet::AddCalculatedField(const std::string& name, TFieldType type, int size,
                                  int decimals) {
  if (Active()) throw EDbfError("Cannot add a field to an open dataset");
  calcDefs_.push_back({name, type, size, decimals});
}

}  // namespace tavrin::dataset
