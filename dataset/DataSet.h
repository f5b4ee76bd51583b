// The generic buffered dataset: states, a window of record buffers, the active record, navigation,
// editing, bookmarks, field objects, data sources and data links.
//
// A subclass supplies the records (GetRecord and the Internal* operations); this class keeps the
// window of buffers that its clients look at and tells every attached data link what changed.
// Failures raise EDbfError carrying only their message. Not thread-safe: the GUI thread only.
//
// Notifications, in the order a link receives them (each goes to every link of every data source):
//   open        ActiveChanged (the window is already filled and on the first record)
//   close       ActiveChanged (the window is already empty), then EditingChanged when editing
//   First, Last, Refresh, Resync, GotoBookmark, a new window size, and a move that changed the
//               number of buffered records: DataSetChanged
//   any other move, also one that only finds the end or the start: DataSetScrolled(rows the
//               window moved, positive forwards)
//   Edit        EditingChanged, RecordChanged(nullptr)
//   a field set RecordChanged(field)
//   Insert, Append: EditingChanged, DataSetChanged
//   Post        UpdateData, CheckBrowseMode, EditingChanged, DataSetChanged
//   Cancel      CheckBrowseMode, EditingChanged, DataSetChanged
//   Delete, restore: CheckBrowseMode, DataSetChanged
// Moves, First, Last, Insert and Append begin with CheckBrowseMode; a pending edit is then posted
// (or cancelled when nothing changed) and its notifications come first. While controls are
// disabled nothing is sent; the last EnableControls sends one DataSetChanged (after ActiveChanged
// or EditingChanged when those changed meanwhile).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset/Fields.h"
#include "dbf/Errors.h"
#include "platform/Dialogs.h"

namespace tavrin::dataset {

using dbf::EDbfError;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert, dsCalcFields };
enum class TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode
};
enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };

// A bookmark is the record's number; 0 is no bookmark.
using TBookmark = std::int32_t;

// One buffered record: the record's stored bytes (the subclass's layout), its bookmark and the
// values of calculated fields (stored text, absent = null).
struct TRecordBuffer {
  std::vector<char> data;
  TBookmark bookmark = 0;
  TBookmarkFlag flag = TBookmarkFlag::bfCurrent;
  std::vector<std::optional<std::string>> calc;
};

class TDataSet;
class TDataSource;

// An observer of one dataset through a data source. The link must be detached (or destroyed)
// before its data source is destroyed; a data source detaches its links when it goes first.
// A grid sets BufferCount to the rows it shows, and on DataSetChanged or DataSetScrolled paints
// rows 0..RecordCount()-1, each inside a TRowScope, marking row ActiveRecord() as current.
// A handler may close the dataset, or detach or destroy its own link or another one; every link
// still attached when its turn comes hears a notification once.
class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  void SetDataSource(TDataSource* source);  // nullptr detaches
  TDataSource* DataSource() const { return source_; }
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }

  // Rows this client shows; the dataset's window holds as many buffers as its largest client.
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // Buffered records (at most the window size) and the active one's row in the window.
  int RecordCount() const;
  int ActiveRecord() const;
  // Makes `row` the dataset's active record for reading its fields (painting a grid row);
  // restore the previous row afterwards. Moves nothing and sends nothing.
  void SetActiveRecord(int row);
  // Starts editing the current record (a control about to change a field); false when refused.
  bool Edit();

  // Notifications (see DataSet.h's opening comment for their order).
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() {}
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}

 private:
  friend class TDataSource;
  friend class TDataSet;
  void DataEvent(TDataEvent event, std::intptr_t info);
  // Brings Active and Editing in line with the dataset, telling the link of each change; false when
  // the link was destroyed by a handler meanwhile.
  bool SyncFlags();

  TDataSource* source_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // false once destroyed
  int bufferCount_ = 1;
  bool active_ = false;
  bool editing_ = false;
};

// Makes `row` of a link's window the dataset's active record for the scope's life (reading its
// fields to paint it), then puts the previous one back.
class TRowScope {
 public:
  TRowScope(TDataLink& link, int row) : link_(link), saved_(link.ActiveRecord()) {
    link.SetActiveRecord(row);
  }
  ~TRowScope() { link_.SetActiveRecord(saved_); }
  TRowScope(const TRowScope&) = delete;
  TRowScope& operator=(const TRowScope&) = delete;

 private:
  TDataLink& link_;
  int saved_;
};

// Connects data links to one dataset. Must not outlive the dataset unless detached first
// (SetDataSet(nullptr)); the dataset detaches its sources when it is destroyed.
class TDataSource {
 public:
  explicit TDataSource(TDataSet* dataSet = nullptr) { SetDataSet(dataSet); }
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  void SetDataSet(TDataSet* dataSet);
  TDataSet* DataSet() const { return dataSet_; }
  TDataSetState State() const;

 private:
  friend class TDataLink;
  friend class TDataSet;
  void DataEvent(TDataEvent event, std::intptr_t info);
  template <typename F>
  void EachLink(F f);

  TDataSet* dataSet_ = nullptr;
  std::vector<TDataLink*> links_;
};

class TDataSet {
 public:
  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  using TDataSetNotify = std::function<void(TDataSet&)>;
  TDataSetNotify BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeScroll, AfterScroll,
      BeforeEdit, AfterEdit, BeforeInsert, AfterInsert, BeforePost, AfterPost, BeforeCancel,
      AfterCancel, BeforeDelete, AfterDelete, OnNewRecord, OnCalcFields;

  // ---- Opening and closing
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  // Opening positions on the first record; closing drops unposted changes.
  void SetActive(bool on);
  TDataSetState State() const { return state_; }

  // ---- Navigation over the records the subclass presents
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by `distance` records; returns the number moved (negative backwards). A forward move
  // that finds no further record sets Eof and keeps the last record current; backwards, Bof.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return recordCount_ == 0 && state_ != TDataSetState::dsInsert; }

  // ---- Editing
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  void Refresh();
  // Posts a pending edit or insert; does nothing in the browse state.
  void CheckBrowseMode();
  // Asks every link to hand its pending control value to the fields.
  void UpdateRecord();
  virtual bool CanModify() const { return true; }
  bool Modified() const { return modified_; }

  // ---- Bookmarks and record numbers
  TBookmark GetBookmark() const;
  void GotoBookmark(TBookmark bookmark);
  virtual bool BookmarkValid(TBookmark bookmark) { return bookmark > 0; }
  virtual int CompareBookmarks(const TBookmark* a, const TBookmark* b) const;
  virtual std::int32_t RecNo() { return 0; }
  virtual void SetRecNo(std::int32_t) {}

  // ---- Controls: suspend notifications for bulk work; one DataSetChanged on the last enable.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }

  // Rereads the active record and refills the window around it (centred when asked).
  void Resync(bool exact = false, bool center = false);

  // ---- Fields
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField* Field(int index) const { return fields_.at(static_cast<std::size_t>(index)).get(); }
  TField* FindField(const std::string& name) const;    // case-insensitive; nullptr when absent
  TField* FieldByName(const std::string& name) const;  // raises "Field 'x' not found"
  // A calculated field, made at the next open (after the data fields); OnCalcFields sets its value.
  void AddCalculatedField(const std::string& name, TFieldType type, int size = 0, int decimals = 0);

  // ---- Messages: shown through the dialogs the owner hands over (kept, not owned; they must
  // outlive the dataset). Without dialogs a message is not shown.
  void SetDialogs(platform::Dialogs* dialogs) { dialogs_ = dialogs; }
  platform::Dialogs* Dialogs() const { return dialogs_; }
  void ShowMessage(const std::string& text) const;

  // ---- Memo texts of the active record (memo fields read and write through these).
  virtual std::string BlobText(TField& field);
  virtual void SetBlobText(TField& field, const std::string& text);

  // ---- The window, for data links
  int BufferCount() const { return bufferCount_; }
  int ActiveRecordIndex() const { return activeRecord_; }
  // The buffer fields read: the active buffer, or the calculation buffer in dsCalcFields.
  TRecordBuffer* ActiveBuffer();

 protected:
  // ---- The record source (subclasses)
  virtual void InternalOpen() = 0;  // opens and builds the field list (CreateField)
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual std::size_t RecordSize() const = 0;  // bytes of TRecordBuffer::data
  virtual TGetResult GetRecord(TRecordBuffer& buffer, TGetMode mode) = 0;
  virtual void InternalFirst() = 0;  // cursor before the first record
  virtual void InternalLast() = 0;   // cursor after the last record
  virtual void InternalSetToRecord(const TRecordBuffer& buffer) = 0;
  virtual void InternalGotoBookmark(TBookmark bookmark) = 0;
  virtual void InternalInitRecord(TRecordBuffer& buffer) = 0;
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalPost() = 0;
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() {}
  // A data field's value was set: the subclass copies it on (the record's buffer already holds it).
  virtual void FieldValueSet(TField& field) { (void)field; }

  TField* CreateField(const std::string& name, TFieldType type, int fieldNo, int offset, int size,
                      int decimals);
  void SetState(TDataSetState state);
  void DataEvent(TDataEvent event, std::intptr_t info = 0);
  void ClearBuffers();
  // Puts the subclass's cursor on the active record (always when forced, else when it moved).
  void UpdateCursorPos(bool force = false);
  void CursorPosChanged() { currentRecord_ = -1; }
  TRecordBuffer& Buffer(int index) { return buffers_.at(static_cast<std::size_t>(index)); }
  void CheckActive() const;
  void CheckCanModify() const;
  void CheckEditing() const;
  void DoCalcFields(TRecordBuffer& buffer);
  void Fire(const TDataSetNotify& event) {
    if (event) event(*this);
  }
  // Runs when the last DisableControls is undone, before the links hear DataSetChanged.
  virtual void ControlsEnabled() {}

 private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;

  void DoOpen();
  void DoClose();
  void UpdateBufferCount();
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  void GetNextRecords();
  void GetPriorRecords();
  void SetCurrentRecord(int index);
  void SetFieldStored(TField& field, std::optional<std::string> stored);
  void BeginInsertAppend();
  void EndInsertAppend();

  TDataSetState state_ = TDataSetState::dsInactive;
  std::vector<TRecordBuffer> buffers_;  // bufferCount_ + 1: the last is scratch
  TRecordBuffer* calcBuffer_ = nullptr;
  int bufferCount_ = 0;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  int disableCount_ = 0;
  bool activeChangedWhileDisabled_ = false;
  std::vector<TDataSource*> sources_;
  std::vector<std::unique_ptr<TField>> fields_;
  struct CalcDef {
    std::string name;
    TFieldType type;
    int size;
    int decimals;
  };
  std::vector<CalcDef> calcDefs_;
  platform::Dialogs* dialogs_ = nullptr;
};

}  // namespace tavrin::dataset
