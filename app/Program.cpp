#include "app/Program.h"

#include <QLocale>
#include <filesystem>

#include "app/BrowserWindow.h"
#include "app/ConfigDialog.h"
#include "app/MainWindow.h"

namespace tavrin::app {

namespace {
constexpr int kExitNoTable = 1;
}  // namespace

bool CheckRecipientsTable(const std::string& dbfFileName, AppServices& services) {
  std::error_code error;
  if (std::filesystem::is_regular_file(dbfFileName, error)) return true;
  services.dialogs.ShowMessage(std::string(kNoDatabaseMessage) + "\n" +
                               SystemTextToAnsi(dbfFileName));
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
  configuration_ =
      std::make_unique<TfrmConfiguration>(services_, [main] { main->ApplySettings(); }, main);
  main_->SetSecondaryWindows(browser_.get(), configuration_.get());
}

}  // namespace tavrin::app
