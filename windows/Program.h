// TProgram: the program's windows and their start sequence.
//
// Start sets the message-box caption and the table engine's locale from the system's, creates the main window (which loads, saves and applies the
// settings), then the browser window and the configuration dialog, hidden. Owns the three windows
// until it is destroyed; `services` must outlive it. GUI thread.
#pragma once

#include <memory>
#include <string>

#include "program/AppServices.h"
#include "dataset/Locale.h"

class QLocale;

namespace tavrin::app {

class TfrmBrowser;
class TfrmConfiguration;
class TfrmEmailMerge;

// The start-up check for the recipients table: makes the table named on the command line (if any)
// this run's table; then, while no file is where the settings put the table, asks whether to create
// an empty one there, choose another (remembered in the settings file) or quit. Quitting says
// "No database file found! Program terminating." with the path on a second line and tells the
// program to end with status 1. True when there is a table to use.
bool CheckRecipientsTable(AppServices& services);

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
