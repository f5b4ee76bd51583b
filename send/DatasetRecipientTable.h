// TDatasetRecipientTable: the recipients a send walks, read through the table dataset.
//
// Wraps the window's recipients dataset (which must outlive it): opens it shared for the send,
// never creates a missing table, shows marked records so the send can skip them itself, and
// closes it again. The dataset raises EDbfError on every engine failure, so nothing here can halt
// the program. GUI thread.
#pragma once

#include "send/RecipientTable.h"
#include "dataset/XbDbf.h"

namespace tavrin::app {

class TDatasetRecipientTable final : public TRecipientTable {
 public:
  explicit TDatasetRecipientTable(dataset::TXbDbf& table) : table_(table) {}

  void Open() override;
  void Close() override;
  bool IsOpen() const override { return table_.Active(); }
  bool HasField(const std::string& name) override { return table_.FindField(name) != nullptr; }
  std::int32_t RecordTotal() override { return table_.RecordTotal(); }
  void GoFirst() override { table_.GoFirst(); }
  void SkipBy(std::int32_t count) override { table_.SkipBy(count); }
  bool AtEnd() override { return table_.AtEnd(); }
  bool RecordDeleted() override { return table_.RecordDeleted(); }
  std::string GetField(const std::string& name) override { return table_.GetField(name); }
  std::string FieldText(const std::string& name) override;
  char FieldType(const std::string& name) override;

 private:
  dataset::TXbDbf& table_;
};

}  // namespace tavrin::app
