// TProgram: the program's windows and their start sequence.
//
// Start sets the message-box caption and the table engine's locale from the system's, creates the main window (which loads, saves and applies the
// settings), then the browser window and the configuration dialog, hidden. Owns the three windows
// until it is destroyed; `services` must outlive it. GUI thread.
#pragma once

#include <memory>
#include <string>

#include "app/AppServices.h"
#include "dataset/Locale.h"

class QLocale;

namespace tavrin::app {

class TfrmBrowser;
class TfrmConfiguration;
class TfrmEmailMerge;

// The start-up check for the recipients table: when no file is at `dbfFileName`, says so with the
// path on a second line and tells the program to end with a failure status. True when it is there.
bool CheckRecipientsTable(const std::string& dbfFileName, AppServices& services);

// What the table engine's locale step takes from `locale`: its short date format and its decimal
// and thousands separators.
dataset::LocaleInput LocaleInputFrom(const QLocale& locale);

class TProgram {
 public:
  explicit TProgram(AppServices& services);
  ~TProgram();

  void Start();

  TfrmEmailMerge* frmEmailMerge() const { return main_.get(); }
  TfrmBrowser* frmBrowser() const { return browser_.get(); }
  TfrmConfiguration* frmConfiguration() const { return configuration_.get(); }

 private:
  AppServices& services_;
  std::unique_ptr<TfrmEmailMerge> main_;
  std::unique_ptr<TfrmBrowser> browser_;
  std::unique_ptr<TfrmConfiguration> configuration_;
};

}  // namespace tavrin::app
