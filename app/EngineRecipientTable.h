// TEngineRecipientTable: the recipients table read straight through the table engine.
//
// Opens the table shared (other programs may use it at the same time) in a work area of its own,
// selects that area before every call, and turns every engine failure into EDbfError for the
// caller, so a failure during a send never halts the program. Text is converted from the table's
// code page 437 to the program's text. GUI thread; owns its work area while open.
#pragma once

#include <string>

#include "app/RecipientTable.h"

namespace tavrin::app {

class TEngineRecipientTable final : public TRecipientTable {
 public:
  TEngineRecipientTable() = default;
  ~TEngineRecipientTable() override;
  TEngineRecipientTable(const TEngineRecipientTable&) = delete;
  TEngineRecipientTable& operator=(const TEngineRecipientTable&) = delete;

  // The table file; takes effect at the next Open.
  void SetFileName(const std::string& fileName) { fileName_ = fileName; }
  const std::string& FileName() const { return fileName_; }

  void Open() override;
  void Close() override;
  bool IsOpen() const override { return area_ != 0; }
  bool HasField(const std::string& name) override;
  std::int32_t RecordTotal() override;
  void GoFirst() override;
  void SkipBy(std::int32_t count) override;
  bool AtEnd() override;
  bool RecordDeleted() override;
  std::string GetField(const std::string& name) override;

 private:
  void SelectArea();

  std::string fileName_;
  int area_ = 0;  // 0: closed
};

}  // namespace tavrin::app
