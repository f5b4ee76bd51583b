#include "send/DatasetRecipientTable.h"

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

}  // namespace tavrin::app
