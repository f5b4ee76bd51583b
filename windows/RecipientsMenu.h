// TRecipientsMenu: the recipients table from the main window's File menu, and its name and size in
// the status bar.
//
// New Recipients Table... creates an empty table, Open Recipients Table... (Ctrl+O) takes another;
// either becomes the recipients table and is remembered in the settings file. Import Recipients...
// appends the rows of a CSV file (through TImportDialog, with progress and a report at the end);
// Export Recipients... writes the table as UTF-8 CSV. Nothing here acts while a send is under way.
// Every question goes through the services' dialogs. A child of the main window; GUI thread.
#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <string>

#include "program/AppServices.h"

class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QWidget;

namespace tavrin::app {

class TImportDialog;

// The open-file request for choosing a recipients table, at start and from the menu.
platform::OpenFileRequest OpenTableRequest();

class TRecipientsMenu : public QObject {
  Q_OBJECT
 public:
  // Puts the four entries at the top of `file`. `busy` says whether a send is under way; `changed`
  // is told when the recipients table is another file than before.
  TRecipientsMenu(QMenu* file, AppServices& services, QWidget* window, std::function<bool()> busy,
                  std::function<void()> changed);

  // Shows the table's name and record count at the right of `bar`.
  void ShowIn(QStatusBar* bar);
  // The table is (maybe) another one: tells the window, then shows its name and count.
  void TableChanged();
  // Counts the records again (after the browser or an import changed them).
  void Refresh();

  void miNewTableClick();
  void miOpenTableClick();
  void miImportClick();
  void miExportClick();

  QAction *miNewTable, *miOpenTable, *miImport, *miExport;
  QLabel* lblTable = nullptr;
  // Shows the import dialog and answers its result; exec() unless a test puts another here.
  std::function<int(TImportDialog&)> runImportDialog;

 private:
  // The recipients table as it stands, or nothing (said why) when it cannot be used now.
  std::optional<std::string> CurrentTable();
  void Switch(const std::string& path);

  AppServices& services_;
  QWidget* window_;
  std::function<bool()> busy_;
  std::function<void()> changed_;
};

}  // namespace tavrin::app
