#include "windows/RecipientsMenu.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QStatusBar>
#include <algorithm>
#include <filesystem>

#include "windows/ImportDialog.h"
#include "program/RecipientsFile.h"
#include "program/RecipientsImport.h"
#include "program/Settings.h"

namespace tavrin::app {

namespace fs = std::filesystem;

namespace {

constexpr int kProgressSteps = 1000;

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

QAction* AddAction(QMenu* menu, QAction* before, const char* name, const char* text) {
  auto* action = new QAction(text, menu);
  action->setObjectName(name);
  menu->insertAction(before, action);
  return action;
}

bool SameName(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

platform::OpenFileRequest OpenTableRequest() {
  platform::OpenFileRequest request;
  request.title = "Open Recipients Table";
  request.filter = "dBASE tables|*.dbf;*.DBF|All Files|*.*";
  request.directory = AppSettings().Dir;  // beside the table in use
  return request;
}

TRecipientsMenu::TRecipientsMenu(QMenu* file, AppServices& services, QWidget* window,
                                 std::function<bool()> busy, std::function<void()> changed)
    : QObject(window),
      services_(services),
      window_(window),
      busy_(std::move(busy)),
      changed_(std::move(changed)) {
  QAction* first = file->actions().value(0);
  miNewTable = AddAction(file, first, "miNewTable", "&New Recipients Table...");
  miOpenTable = AddAction(file, first, "miOpenTable", "&Open Recipients Table...");
  miOpenTable->setShortcut(QKeySequence::Open);
  file->insertSeparator(first);
  miImport = AddAction(file, first, "miImport", "&Import Recipients...");
  miExport = AddAction(file, first, "miExport", "&Export Recipients...");
  file->insertSeparator(first);
  runImportDialog = [](TImportDialog& dialog) { return dialog.exec(); };
  connect(miNewTable, &QAction::triggered, this, &TRecipientsMenu::miNewTableClick);
  connect(miOpenTable, &QAction::triggered, this, &TRecipientsMenu::miOpenTableClick);
  connect(miImport, &QAction::triggered, this, &TRecipientsMenu::miImportClick);
  connect(miExport, &QAction::triggered, this, &TRecipientsMenu::miExportClick);
  // While a send runs, the table it reads stays as it is.
  connect(file, &QMenu::aboutToShow, this, [this] {
    const bool idle = !busy_();
    for (QAction* a : {miNewTable, miOpenTable, miImport, miExport}) a->setEnabled(idle);
  });
}

void TRecipientsMenu::ShowIn(QStatusBar* bar) {
  lblTable = new QLabel(bar);
  lblTable->setObjectName("lblTable");
  lblTable->setTextFormat(Qt::PlainText);
  lblTable->setContentsMargins(0, 0, 6, 0);
  bar->addPermanentWidget(lblTable);
}

void TRecipientsMenu::TableChanged() {
  if (changed_) changed_();
  Refresh();
}

void TRecipientsMenu::Refresh() {
  if (lblTable == nullptr) return;
  const std::string path = TableFilePath(AppSettings());
  const QString name = QString::fromStdString(FileName(path));
  const auto count = CountRecipients(path);
  lblTable->setText(!count        ? name + ": cannot be read"
                    : *count == 1 ? name + ": 1 record"
                                  : name + ": " + QString::number(*count) + " records");
  lblTable->setToolTip(QString::fromStdString(path));
}

std::optional<std::string> TRecipientsMenu::CurrentTable() {
  if (busy_()) return std::nullopt;
  const std::string path = TableFilePath(AppSettings());
  try {
    CheckTable(path);
  } catch (const RecipientsError& e) {
    services_.dialogs.ShowMessage(e.what());
    return std::nullopt;
  }
  return path;
}

void TRecipientsMenu::Switch(const std::string& path) {
  UseRecipientsTable(path, services_.places, services_.dialogs, true);
  TableChanged();
  // A table without the fields the settings name for names and addresses cannot be sent to.
  try {
    const std::vector<TableField> fields = TableFields(path);
    for (const std::string& wanted : {AppSettings().NameFieldname, AppSettings().EmailFieldname}) {
      if (std::none_of(fields.begin(), fields.end(),
                       [&](const TableField& f) { return SameName(f.name, wanted); }))
        services_.dialogs.ShowMessage(SystemTextToAnsi(FileName(path)) + " has no field " +
                                      SettingToAnsi(wanted) +
                                      ", which Send needs; add it, or choose another table.");
    }
  } catch (const RecipientsError&) {
    // It opened a moment ago; the status bar says it cannot be read now.
  }
}

void TRecipientsMenu::miNewTableClick() {
  if (busy_()) return;
  platform::OpenFileRequest request = OpenTableRequest();
  request.title = "New Recipients Table";
  request.filter = "dBASE tables|*.dbf";
  request.confirmReplace = false;  // an existing file is refused, never replaced
  const auto chosen = services_.dialogs.SaveFile(request);
  if (!chosen) return;
  try {
    Switch(CreateRecipientsTable(*chosen));
  } catch (const RecipientsError& e) {
    services_.dialogs.ShowMessage(e.what());
  }
}

void TRecipientsMenu::miOpenTableClick() {
  if (busy_()) return;
  const auto chosen = services_.dialogs.OpenFile(OpenTableRequest());
  if (!chosen) return;
  try {
    CheckTable(*chosen);
  } catch (const RecipientsError& e) {
    services_.dialogs.ShowMessage(e.what());
    return;
  }
  Switch(*chosen);
}

void TRecipientsMenu::miImportClick() {
  const auto table = CurrentTable();
  if (!table) return;
  platform::OpenFileRequest request;
  request.title = "Import Recipients";
  request.filter = "CSV files|*.csv;*.txt|All Files|*.*";
  const auto csv = services_.dialogs.OpenFile(request);
  if (!csv) return;
  CsvPreview preview;
  std::vector<TableField> fields;
  try {
    preview = PreviewCsv(*csv);
    fields = TableFields(*table);
  } catch (const RecipientsError& e) {
    services_.dialogs.ShowMessage(e.what());
    return;
  }
  TImportDialog dialog(FileName(*csv), preview, fields, window_);
  if (runImportDialog(dialog) != QDialog::Accepted) return;
  const std::vector<int> columns = dialog.ColumnOfField();
  const std::string email = AppSettings().EmailFieldname;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (SameName(fields[i].name, email) && columns[i] < 0) {
      services_.dialogs.ShowMessage("No column was chosen for the field " + SettingToAnsi(email) +
                                    ", which holds the addresses; nothing was imported.");
      return;
    }
  }

  QProgressDialog progress("Importing recipients...", "&Stop", 0, kProgressSteps, window_);
  progress.setObjectName("dlgImportProgress");
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  progress.setAutoClose(false);
  progress.setAutoReset(false);
  services_.dialogs.SetBusyCursor(true);
  ImportReport report;
  try {
    report = ImportRecipients(
        *table, *csv, preview, columns, email, [&](std::uint64_t done, std::uint64_t total) {
          progress.setValue(total == 0 ? kProgressSteps
                                       : static_cast<int>(done * kProgressSteps / total));
          return !progress.wasCanceled();
        });
  } catch (const RecipientsError& e) {
    services_.dialogs.SetBusyCursor(false);
    services_.dialogs.ShowMessage(e.what());
    return;
  }
  services_.dialogs.SetBusyCursor(false);
  progress.close();
  Refresh();
  services_.dialogs.ShowMessage(report.Text(FileName(*table)));
}

void TRecipientsMenu::miExportClick() {
  const auto table = CurrentTable();
  if (!table) return;
  platform::OpenFileRequest request;
  request.title = "Export Recipients";
  request.filter = "CSV files|*.csv";
  auto csv = services_.dialogs.SaveFile(request);
  if (!csv) return;
  std::error_code error;
  if (!fs::path(*csv).has_extension()) {
    *csv += ".csv";  // the dialog's question about replacing was about the name without it
    if (fs::exists(*csv, error) &&
        !services_.dialogs.Confirm(SystemTextToAnsi(*csv) + " already exists. Replace it?"))
      return;
  }
  try {
    services_.dialogs.SetBusyCursor(true);
    const std::int64_t written = ExportRecipients(*table, *csv);
    services_.dialogs.SetBusyCursor(false);
    services_.dialogs.ShowMessage(std::to_string(written) +
                                  (written == 1 ? " record was" : " records were") +
                                  " written to " + SystemTextToAnsi(*csv) + ".");
  } catch (const RecipientsError& e) {
    services_.dialogs.SetBusyCursor(false);
    services_.dialogs.ShowMessage(e.what());
  }
}

}  // namespace tavrin::app
