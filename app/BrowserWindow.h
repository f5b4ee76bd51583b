// TfrmBrowser: the window in which the recipients table is browsed and edited.
//
// Created hidden at start and kept until the program ends; its title follows the program caption
// once the settings are applied again. Each show opens its own dataset on the table and builds the
// Name and E-mail columns afresh; every way of closing it (Close, Esc, the title bar) posts what is
// pending, packs and closes the table first, and a post that fails keeps the window open.
// GUI thread.
#pragma once

#include <QDialog>

#include "app/AppServices.h"
#include "app/BrowserTable.h"

class QFrame;
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

  QFrame* ToolBar;
  QPushButton* btnClose;
  controls::TXbGrid* Grid;
  controls::TXbNavigator* Nav;

 public slots:
  // Every close of a dialog comes through here; the table is put away first.
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormShow();
  void FormResize();
  void BuildColumns();

  AppServices& services_;
  TBrowserTable table_;
};

}  // namespace tavrin::app
