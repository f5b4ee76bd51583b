// TXbDataSet and TXbCDataSet: the dataset's record source over one engine work area.
//
// TXbDataSet owns the work area while open (one per dataset; several datasets may share a table
// file, each in its own area). Before every engine call it selects its area and hands the engine
// its HideDeletedRecs and table language, so it never relies on the engine's current area. Its
// record buffers hold the record's bytes as the file stores them (translated), so a field nobody
// sets is written back exactly as it was. Engine failures are raised as EDbfError carrying the
// engine's text; they never end the program. TXbCDataSet adds the file name and the calls the send
// loop and the browser make (GoFirst, SkipBy, GetField, Pack, Locate). GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset/DataSet.h"

namespace tavrin::dataset {

enum class TXbTableLanguage { tlOem, tlAnsi };

class TXbDataSet : public TDataSet {
 public:
  explicit TXbDataSet(std::string name);
  ~TXbDataSet() override;

  // The component name: part of messages and the table's alias.
  const std::string& Name() const { return name_; }

  // Records that carry the deletion mark are skipped by navigation (from the next move on; Refresh
  // applies a change at once).
  bool HideDeletedRecs() const { return hideDeletedRecs_; }
  void SetHideDeletedRecs(bool on) { hideDeletedRecs_ = on; }
  TXbTableLanguage TableLanguage() const { return tableLanguage_; }
  void SetTableLanguage(TXbTableLanguage language) { tableLanguage_ = language; }
  // Opened read-only; every write is refused.
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  bool CanModify() const override { return !readOnly_; }

  // Every record of the file, marked or not, whatever HideDeletedRecs says.
  std::int32_t RecordTotal();
  // The deletion mark of the current record; setting false restores a marked record, true deletes.
  bool RecordDeleted();
  void SetRecordDeleted(bool deleted);

  // The record number of the current record (the engine's while controls are disabled); setting
  // it goes there, or to the next visible record when that one is hidden, else the previous one.
  std::int32_t RecNo() override;
  void SetRecNo(std::int32_t record) override;
  // Valid: 1..RecordTotal and, when hiding, not marked. Never moves the engine.
  bool BookmarkValid(TBookmark bookmark) override;

  // Brings the window in line with wherever the engine's cursor now is (after Pack, Locate).
  void ResyncWithEngine();

  TDataSetNotify BeforeRestore, AfterRestore;

 protected:
  friend class TXbBlobStream;
  // Selects this dataset's work area and its engine switches for one operation, with the engine's
  // failure reporting turned into values (stop-on-error off, so the raise switch does not matter);
  // Check() raises a reported failure as EDbfError.
  class EngineScope {
   public:
    EngineScope(TXbDataSet& dataSet, const char* operation);
    ~EngineScope();
    EngineScope(const EngineScope&) = delete;
    EngineScope& operator=(const EngineScope&) = delete;
    void Check() const;

   private:
    bool previousStop_;
  };
  // Raises EDbfError with the engine's text for `code` and `detail`.
  [[noreturn]] static void Fail(int code, const std::string& detail);

  // The file step of opening: open the table into the current work area; false on failure (the
  // engine's failure stays reported).
  virtual bool OpenTableFile() = 0;
  // The locked writes (the file dataset supplies them).
  virtual void AppendWithLock() {}
  virtual void DeleteWithLock() {}
  virtual void RestoreWithLock() {}
  virtual void ReplaceWithLock() {}

  void SelectArea(const char* operation);
  // The engine to the dataset's active record (the engine's cursor may have moved on while the
  // window filled or a move failed at an end).
  void EngineToActive();
  // Field numbers the user set since the edit or insert began.
  const std::vector<int>& TouchedFields() const { return touched_; }
  // Copies fields of the active buffer into the engine's field value area (all when `fields` is empty).
  void CopyToEngine(const std::vector<int>& fields);
  int WorkArea() const { return workArea_; }
  // Counts the opens, so look-ups kept across calls know when the table may have changed.
  int OpenGeneration() const { return openGeneration_; }

  // ---- TDataSet
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return cursorOpen_; }
  std::size_t RecordSize() const override { return recordSize_; }
  TGetResult GetRecord(TRecordBuffer& buffer, TGetMode mode) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalSetToRecord(const TRecordBuffer& buffer) override;
  void InternalGotoBookmark(TBookmark bookmark) override;
  void InternalInitRecord(TRecordBuffer& buffer) override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  void FieldValueSet(TField& field) override;
  void ControlsEnabled() override;

  // The memo block this edit's last memo write gave (0: none). A write may reuse only this block:
  // the one the stored record refers to keeps its text until the record is posted.
  std::int32_t writtenMemoBlock_ = 0;
  // Counts the edits and inserts begun, so a memo stream knows whether its edit is still going on.
  int editCount_ = 0;

  // Engine field names that must exist, checked at open.
  std::vector<std::string> requiredFields_;

 private:
  struct FieldProps {
    std::string name;
    char type;
    int length;
    int decimals;
    int offset;  // in the record bytes
  };

  void TakeSnapshot();
  void BuildFields();
  void CheckRequiredFields();
  bool HasRecords();
  void ReadRecord(TRecordBuffer& buffer);
  bool Hidden(const TRecordBuffer& buffer) const;
  TGetResult GetNext(TRecordBuffer& buffer);
  TGetResult GetPrior(TRecordBuffer& buffer);
  void GoTopWhile();
  void GoBottomWhile();
  void Go(std::int32_t record);
  void CopyFieldToEngine(const FieldProps& props, int number, std::string_view stored);

  std::string name_;
  bool hideDeletedRecs_ = false;
  TXbTableLanguage tableLanguage_ = TXbTableLanguage::tlOem;
  bool readOnly_ = false;
  int workArea_ = 0;
  int openGeneration_ = 0;
  bool cursorOpen_ = false;
  bool hasRecords_ = false;
  bool pendingResync_ = false;
  std::size_t recordSize_ = 0;
  std::vector<FieldProps> snapshot_;
  std::vector<int> touched_;
};

class TXbCDataSet : public TXbDataSet {
 public:
  using TXbDataSet::TXbDataSet;

  // The table file's path, normalised: blanks at both ends removed, ".DBF" added when the name has
  // no extension. Setting it on an open dataset closes and reopens it.
  const std::string& DbfFileName() const { return dbfFileName_; }
  void SetDbfFileName(const std::string& name);

  // Field names the table must have; a missing one fails the open with the engine's text.
  void SetRequiredFieldNames(std::vector<std::string> names) { requiredFields_ = std::move(names); }

  // The send loop's vocabulary: first visible record, a relative move (returns records moved),
  // and the end and start flags (any successful move clears both).
  void GoFirst() { First(); }
  int SkipBy(int count) { return MoveBy(count); }
  bool AtEnd() const { return Eof(); }
  bool AtStart() const { return Bof(); }

  // The text of the named field (first 10 characters count, case ignored) of the current record as
  // the engine gives it: a character field untrimmed, a number at its width, a date in the date
  // format, a logical "Y"/"N", a memo "none"/"MEMO"/"BLOB". A name the table lacks raises EDbfError.
  std::string GetField(const std::string& name);

  // Removes the marked records (needs the table for itself) and resynchronises; the engine's answer.
  bool Pack();
  // Searches one field for `value` from the first record; on a match that record becomes current.
  bool Locate(const std::string& field, const std::string& value, bool caseInsensitive = false,
              bool partial = true);
  // The first record from `fromRecord` on whose field `field` holds `value` anywhere in its text,
  // without regard to case, passing over records hidden as deleted; 0 when none. Only looks: the
  // current record stays current and the engine is put back on it.
  std::int32_t FindContaining(const std::string& field, const std::string& value,
                              std::int32_t fromRecord);

 private:
  int FieldNumber(std::string_view name);

  std::string dbfFileName_;
  std::vector<std::pair<std::string, int>> fieldNumbers_;  // GetField's look-ups of this open
  int fieldNumbersGeneration_ = -1;
};

}  // namespace tavrin::dataset
