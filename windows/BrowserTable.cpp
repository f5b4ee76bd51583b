#include "windows/BrowserTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "windows/Centring.h"
#include "dbf/Errors.h"

namespace tavrin::app {

int BrowserColumnWidth(int dataWidth) { return HalfRoundedToEven(dataWidth) - 10; }

bool TableWritable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) return true;
  return errno != EACCES && errno != EPERM && errno != EROFS;
}

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
    tblDatabase.SetReadOnly(!Writable(tblDatabase.DbfFileName()));
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
  if (!tblDatabase.ReadOnly())
    PackMarked();  // nothing was marked here, and the file is not ours to change
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

bool TBrowserTable::FindNext(const std::string& nameField, const std::string& emailField,
                             const std::string& text) {
  if (text.empty() || !tblDatabase.Active()) return false;
  tblDatabase.CheckBrowseMode();
  const std::int32_t here = tblDatabase.IsEmpty() ? 0 : tblDatabase.RecNo();
  auto firstFrom = [&](std::int32_t from) {
    std::int32_t best = 0;
    for (const std::string& field : {nameField, emailField}) {
      const std::int32_t r = tblDatabase.FindContaining(field, text, from);
      if (r != 0 && (best == 0 || r < best)) best = r;
    }
    return best;
  };
  std::int32_t found = firstFrom(here + 1);
  if (found == 0 && here > 0)
    found = firstFrom(1);  // round from the start, the current record last
  if (found == 0) return false;
  if (found != here) tblDatabase.SetRecNo(found);
  return true;
}

}  // namespace tavrin::app
