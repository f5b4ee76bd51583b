// TfrmLog: the window that shows the log of a completed send.
//
// A resizable window with the log read-only in a fixed-pitch list that grows with it, where the log
// files were saved, a button that copies the log's whole text to the clipboard through Dialogs, and
// Close (also Esc). The lines are made only as they come into view, so a log of any length opens at
// once. One instance per completed send, shown modally and destroyed when closed. GUI thread.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

class QLabel;
class QListView;
class QPushButton;

namespace tavrin::app {

class TSendLog;
class LogLinesModel;

class TfrmLog : public QDialog {
  Q_OBJECT
 public:
  // `dialogs` must outlive the window.
  TfrmLog(platform::Dialogs& dialogs, QWidget* owner = nullptr);

  // Shows `log`, which must outlive the window or the next Set call, and `saved` (where its files
  // are) under it.
  void SetLog(const TSendLog& log, const std::string& saved);
  // Says where the log's files are (or why they are not).
  void SetSaved(const std::string& saved);
  // Every line shown, joined by "\n": what Copy To Clipboard copies.
  std::string Text() const;
  void btnCopyToClipboardClick();
  void btnCloseClick();

  QListView* reLog;
  QLabel* lblSaved;
  QPushButton* btnCopyToClipboard;
  QPushButton* btnClose;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Show(std::size_t count, std::function<std::string(std::size_t)> line, std::size_t widest);

  platform::Dialogs& dialogs_;
  LogLinesModel* model_;
  std::function<std::string()> text_;
};

}  // namespace tavrin::app
