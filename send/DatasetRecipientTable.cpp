#include "send/DatasetRecipientTable.h"

#include "dataset/Fields.h"
#include "dbf/Errors.h"

namespace tavrin::app {

void TDatasetRecipientTable::Open() {
  table_.Close();
  table_.SetCreateIfNotFound(
      false);  // a send only reads: a missing table is an error, not a new one
  table_.SetHideDeletedRecs(false);
  table_.SetReadOnly(true);  // nor does it need to write: a table the user may only read is sent to
  table_.SetTableLanguage(dataset::TXbTableLanguage::tlOem);
  table_.Open();
}

void TDatasetRecipientTable::Close() {
  try {
    table_.Close();
  } catch (const std::exception&) {
    // Closing ends a send that is already over; there is no one left to tell.
  }
}

namespace {

dataset::TField& NamedField(dataset::TXbDbf& table, const std::string& name) {
  dataset::TField* field = table.FindField(name);
  if (field == nullptr) throw dbf::EDbfError("The recipients table has no field " + name);
  return *field;
}

}  // namespace

std::string TDatasetRecipientTable::FieldText(const std::string& name) {
  dataset::TField& field = NamedField(table_, name);
  switch (field.DataType()) {
    case dataset::TFieldType::ftMemo: return field.AsString();
    case dataset::TFieldType::ftBoolean: {
      // The letter as stored (T, F, Y or N), not the locale's word for it.
      const auto stored = field.Stored();
      return stored && !field.IsNull() ? std::string(1, stored->front()) : std::string();
    }
    default: return TrimmedBlanks(field.DisplayText());
  }
}

char TDatasetRecipientTable::FieldType(const std::string& name) {
  const dataset::TField* field = table_.FindField(name);
  if (field == nullptr) return '\0';
  switch (field->DataType()) {
    case dataset::TFieldType::ftString: return 'C';
    case dataset::TFieldType::ftInteger: return 'N';
    case dataset::TFieldType::ftFloat: return 'F';
    case dataset::TFieldType::ftBoolean: return 'L';
    case dataset::TFieldType::ftDate: return 'D';
    case dataset::TFieldType::ftMemo: return 'M';
  }
  return 'C';
}

}  // namespace tavrin::app
