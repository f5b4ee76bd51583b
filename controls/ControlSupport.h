// What both data-bound controls share: the dialogs they show messages through, the guard that
// keeps an exception from leaving a Qt event handler, and the text conversion at the widget edge.
// A control uses the dialogs it was given, else its dataset's, else the real Qt dialogs.
// GUI thread only.
#pragma once

#include <QString>
#include <exception>
#include <string>

#include "dataset/DataSet.h"
#include "platform/CodePageQt.h"
#include "platform/Dialogs.h"

namespace tavrin::controls {

platform::Dialogs& DialogsFor(platform::Dialogs* own, const dataset::TDataSet* dataSet);

// Runs `action`; a failure it raises is shown as a message box instead of leaving the handler.
// Returns false when it failed.
template <class Action>
bool Guarded(platform::Dialogs& dialogs, Action&& action) {
  try {
    action();
    return true;
  } catch (const std::exception& e) {
    dialogs.ShowMessage(e.what());
  } catch (...) {
    dialogs.ShowMessage("An unexpected error stopped the operation.");
  }
  return false;
}

inline QString ToQt(const std::string& ansi) { return platform::AnsiToQString(ansi); }
inline std::string FromQt(const QString& text) { return platform::QStringToAnsi(text); }

}  // namespace tavrin::controls
