// TfrmBrowser: the window in which the recipients table is browsed and edited.
//
// Created hidden at start and kept until the program ends; its title follows the program caption
// once the settings are applied again. Each show opens its own dataset on the table and builds the
// Name and E-mail columns afresh; every way of closing it (Close, Esc, the title bar) posts what is
// pending, packs and closes the table first, and a post that fails keeps the window open. The grid
// takes all the height the window gives it, its two columns share the width it can show; a table
// that may not be changed is shown read-only under a line that says so. Ctrl+F opens a find field
// over the name and e-mail fields; Enter or F3 goes to the next record holding the text.
// GUI thread.
#pragma once

#include <QDialog>

#include "program/AppServices.h"
#include "windows/BrowserTable.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tavrin::controls {
class TXbGrid;
class TXbNavigator;
}  // namespace tavrin::controls

namespace tavrin::app {

inline constexpr const char* kBrowserDesignTitle = "Database Browser";

class TfrmBrowser : public QDialog {
  Q_OBJECT
 public:
  // `services` must outlive the window.
  explicit TfrmBrowser(AppServices& services, QWidget* parent = nullptr);
  ~TfrmBrowser() override;

  void btnCloseClick();
  TBrowserTable& Table() { return table_; }

  QFrame* ToolBar = nullptr;
  QPushButton* btnClose = nullptr;
  QLabel* FindLabel = nullptr;
  QLineEdit* FindField = nullptr;
  QLabel* FindResult = nullptr;  // "Not found" after a search that found nothing
  QLabel* ReadOnlyLine = nullptr;
  controls::TXbGrid* Grid = nullptr;
  controls::TXbNavigator* Nav = nullptr;

  // Ctrl+F: shows the find field and puts the focus in it.
  void ShowFind();
  // Enter in the find field, F3: the next record holding the find text (the field first when empty).
  void FindNext();

 public slots:
  // Every close of a dialog comes through here; the table is put away first.
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormShow();
  void FormResize();
  void BuildColumns();
  void FitColumns();
  void HideFind();

  AppServices& services_;
  TBrowserTable table_;
};

}  // namespace tavrin::app
