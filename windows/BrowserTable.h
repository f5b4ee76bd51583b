// TBrowserTable: the browser window's own dataset and what happens to it as the window opens and
// closes, with the rules of the window's size and columns.
//
// Opens the recipients table shared, beside the send's dataset; a table this program may not change
// is opened read-only (shown, never edited) instead of failing. Closing posts what the user typed
// and did not post, packs the marked records away, then closes; a post that
// fails keeps everything open, and a pack another program prevents is told, not hidden. Finds a
// text in the name or e-mail field from the record after the current one, round to the start.
// Keeps the dialogs it is given (they must outlive it). GUI thread.
#pragma once

#include <QSize>
#include <functional>
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

inline constexpr const char* kReadOnlyTableLine =
    "This table is read-only: changes cannot be saved.";

// The width of each of the two columns in a grid whose data area is `dataWidth` pixels wide: half of
// it, rounded half to even, less 10 (so both, the indicator and the lines fit beside each other).
int BrowserColumnWidth(int dataWidth);

// Whether the table at `path` may be changed: the system would let this process open it for
// writing (a read-only mount refuses even the superuser), and its mode leaves a write permission
// to someone (a file made read-only, mode 444, is read-only to the superuser too). A file that
// cannot be examined counts as writable, so that the open itself tells why it fails.
bool TableWritable(const std::string& path);

class TBrowserTable {
 public:
  explicit TBrowserTable(platform::Dialogs& dialogs);
  ~TBrowserTable();
  TBrowserTable(const TBrowserTable&) = delete;
  TBrowserTable& operator=(const TBrowserTable&) = delete;

  // Opens the table at `path`, read-only when TableWritable (or the Writable seam) says no; false
  // (the reason shown) when it cannot be opened at all.
  bool Open(const std::string& path);
  bool ReadOnly() const { return tblDatabase.ReadOnly(); }
  // Moves to the next record, after the current one and round from the first, whose name or e-mail
  // field holds `text` (without regard to case); false, not moving, when none does. A record being
  // edited is posted first (a refused post is raised).
  bool FindNext(const std::string& nameField, const std::string& emailField,
                const std::string& text);

  // The writability test; tests replace it to stand for a table the system will not let be written.
  std::function<bool(const std::string&)> Writable = TableWritable;
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
