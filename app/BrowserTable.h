// TBrowserTable: the browser window's own dataset and what happens to it as the window opens and
// closes, with the rules of the window's size and columns.
//
// Opens the recipients table shared, beside the send's dataset. Closing posts what the user typed
// and did not post, packs the marked records away, then closes; a post that
// fails keeps everything open, and a pack another program prevents is told, not hidden. Keeps the
// dialogs it is given (they must outlive it). GUI thread.
#pragma once

#include <QSize>
#include <string>

#include "dataset/XbDbf.h"
#include "platform/Dialogs.h"

namespace tavrin::app {

inline constexpr const char* kPackRefusedMessage =
    "The deleted records could not be removed from the table now, because another program has it "
    "open. They stay in the file, marked as deleted, until the browser is closed again while the "
    "table is free.";

// The smallest client size the browser allows.
inline constexpr QSize kBrowserMinimumClient{200, 150};

// The width of each of the two columns in a grid `gridWidth` pixels wide: half of it, rounded half
// to even, less 10.
int BrowserColumnWidth(int gridWidth);

class TBrowserTable {
 public:
  explicit TBrowserTable(platform::Dialogs& dialogs);
  ~TBrowserTable();
  TBrowserTable(const TBrowserTable&) = delete;
  TBrowserTable& operator=(const TBrowserTable&) = delete;

  // Opens the table at `path`; false (the reason shown) when it cannot be.
  bool Open(const std::string& path);
  // Posts an unposted edit or new record, packs and closes. False when
  // the post failed (shown): the dataset stays open with the user's values.
  bool Close();

  dataset::TXbDbf tblDatabase{"tblDatabase"};
  dataset::TDataSource DataSource{&tblDatabase};

 private:
  void PackMarked();

  platform::Dialogs& dialogs_;
  bool deletedSinceOpen_ = false;
};

}  // namespace tavrin::app
