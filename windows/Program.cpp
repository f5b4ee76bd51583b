#include "windows/Program.h"

#include <QLocale>
#include <filesystem>

#include "windows/BrowserWindow.h"
#include "windows/ConfigDialog.h"
#include "windows/MainWindow.h"
#include "program/RecipientsFile.h"
#include "windows/RecipientsMenu.h"

namespace tavrin::app {

namespace {
constexpr int kExitNoTable = 1;
// The answers to the missing-table question, in the order of its buttons.
constexpr int kCreate = 0;
constexpr int kChoose = 1;
}  // namespace

bool CheckRecipientsTable(AppServices& services) {
  if (!services.tableArgument.empty())
    UseRecipientsTable(services.tableArgument, services.places, services.dialogs, false);
  std::string path;
  for (;;) {
    path = TableFilePath(AppSettings());
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) return true;
    // A folder, a pipe or a device by the table's name: nothing can be made there.
    const bool occupied = std::filesystem::exists(path, error);
    const int answer =
        occupied
            ? 1 + services.dialogs.Choose(NotATablePrompt(path), {"C&hoose...", "&Quit"})
            : services.dialogs.Choose(MissingTablePrompt(path), {"&Create", "C&hoose...", "&Quit"});
    if (answer == kCreate) {
      try {
        CreateRecipientsTable(path);
        return true;
      } catch (const RecipientsError& e) {
        services.dialogs.ShowMessage(e.what());
      }
    } else if (answer == kChoose) {
      const auto chosen = services.dialogs.OpenFile(OpenTableRequest());
      if (!chosen) continue;
      try {
        CheckTable(*chosen);
        UseRecipientsTable(*chosen, services.places, services.dialogs, true);
        return true;
      } catch (const RecipientsError& e) {
        services.dialogs.ShowMessage(e.what());
      }
    } else {
      break;
    }
  }
  services.dialogs.ShowMessage(std::string(kNoDatabaseMessage) + "\n" + SystemTextToAnsi(path));
  services.exitStatus = kExitNoTable;
  if (services.terminate) services.terminate();
  return false;
}

TProgram::TProgram(AppServices& services) : services_(services) {}

TProgram::~TProgram() {
  // The secondary windows go first: the main window still points at them until it is gone.
  if (main_) main_->SetSecondaryWindows(nullptr, nullptr);
  configuration_.reset();
  browser_.reset();
  main_.reset();
}

dataset::LocaleInput LocaleInputFrom(const QLocale& locale) {
  dataset::LocaleInput input;
  input.shortDateFormat = locale.dateFormat(QLocale::ShortFormat).toStdString();
  input.decimalSeparator = locale.decimalPoint().toStdString();
  input.thousandsSeparator = locale.groupSeparator().toStdString();
  return input;
}

void TProgram::Start() {
  // Until the settings are read, a message box is captioned with the caption they default to.
  // Window titles are the whole title: no application display name is set for Qt to append.
  platform::Dialogs::SetApplicationTitle(defaults::kProgramCaption);
  dataset::ApplyLocale(LocaleInputFrom(QLocale::system()));
  main_ = std::make_unique<TfrmEmailMerge>(services_);
  browser_ = std::make_unique<TfrmBrowser>(services_, main_.get());
  TfrmEmailMerge* main = main_.get();
  configuration_ = std::make_unique<TfrmConfiguration>(
      services_, [main] { main->ApplySettings(); }, main);
  main_->SetSecondaryWindows(browser_.get(), configuration_.get());
}

}  // namespace tavrin::app
