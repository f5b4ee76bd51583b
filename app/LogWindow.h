// TfrmLog: the window that shows the log of a completed send.
//
// A fixed-size window with the log in a fixed-pitch memo (the user may edit it), a button that copies
// the memo's whole text to the clipboard through Dialogs, every character kept, and Close (also Esc). One instance per
// completed send, shown modally and destroyed when closed. GUI thread.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

class QPlainTextEdit;
class QPushButton;

namespace tavrin::app {

class TfrmLog : public QDialog {
  Q_OBJECT
 public:
  // `dialogs` must outlive the window.
  TfrmLog(platform::Dialogs& dialogs, QWidget* owner = nullptr);

  // The log's lines, UTF-8 (as TSendLog makes them).
  void SetLines(const std::vector<std::string>& lines);
  void btnCopyToClipboardClick();
  void btnCloseClick();

  QPlainTextEdit* reLog;
  QPushButton* btnCopyToClipboard;
  QPushButton* btnClose;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  platform::Dialogs& dialogs_;
};

}  // namespace tavrin::app
