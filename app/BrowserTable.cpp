#include "app/BrowserTable.h"

#include <exception>

#include "app/Centring.h"
#include "dbf/Errors.h"

namespace tavrin::app {

int BrowserColumnWidth(int gridWidth) { return HalfRoundedToEven(gridWidth) - 10; }

TBrowserTable::TBrowserTable(platform::Dialogs& dialogs) : dialogs_(dialogs) {
  tblDatabase.SetDialogs(&dialogs_);
  tblDatabase.SetHideDeletedRecs(true);
  tblDatabase.SetTableLanguage(dataset::TXbTableLanguage::tlOem);
  tblDatabase.SetReadOnly(false);
  tblDatabase.SetCreateIfNotFound(false);
  tblDatabase.SetExclusive(false);
  // A write another program's lock refuses is raised, not dropped: the dataset then keeps the
  // user's values in the edit, and whoever asked for the post shows why it did not happen.
  tblDatabase.OnRLockFailedOnPost = [](dataset::TDataSet&, bool&) {
    throw dbf::EDbfError("Lock failed [Post]");
  };
  // A refused delete must stop the delete too: otherwise it ends as if it had happened, and the
  // close would report records "marked" that never were.
  tblDatabase.OnRLockFailedOnDelete = [](dataset::TDataSet&, bool&) {
    throw dbf::EDbfError("Lock failed [Delete]");
  };
  tblDatabase.OnALockFailedOnInsert = [](dataset::TDataSet&, bool&) {
    throw dbf::EDbfError("Lock failed [Insert]");
  };
  tblDatabase.AfterDelete = [this](dataset::TDataSet&) { deletedSinceOpen_ = true; };
}

TBrowserTable::~TBrowserTable() {
  DataSource.SetDataSet(nullptr);
  try {
    tblDatabase.Close();
  } catch (const std::exception&) {
    // The program is ending; the work area is given back either way.
  }
}

bool TBrowserTable::Open(const std::string& path) {
  deletedSinceOpen_ = false;
  try {
    tblDatabase.Close();
    tblDatabase.SetDbfFileName(path);
    tblDatabase.Open();
    return true;
  } catch (const std::exception& e) {
    dialogs_.ShowMessage(e.what());
    return false;
  }
}

bool TBrowserTable::Close() {
  if (!tblDatabase.Active()) return true;
  try {
    tblDatabase.CheckBrowseMode();
  } catch (const std::exception& e) {
    dialogs_.ShowMessage(e.what());
    return false;
  }
  PackMarked();
  try {
    tblDatabase.Close();
  } catch (const std::exception& e) {
    dialogs_.ShowMessage(e.what());  // the work area is given back all the same
  }
  return true;
}

// Marked records are removed whoever marked them; the user hears of a refused pack only when it
// leaves behind records deleted here (a table with nothing to pack refuses too).
void TBrowserTable::PackMarked() {
  try {
    if (!tblDatabase.Pack() && deletedSinceOpen_) dialogs_.ShowMessage(kPackRefusedMessage);
  } catch (const std::exception& e) {
    dialogs_.ShowMessage(e.what());
  }
  deletedSinceOpen_ = false;
}

}  // namespace tavrin::app
