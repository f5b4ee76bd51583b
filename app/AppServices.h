// AppServices: what the windows need from outside them, handed in at creation.
//
// The dialogs (real or recording), the places of the settings file and folders, and the way to tell
// the application to end. The referenced Dialogs must outlive every window. GUI thread.
#pragma once

#include <functional>

#include "app/Settings.h"
#include "platform/Dialogs.h"

namespace tavrin::app {

struct AppServices {
  platform::Dialogs& dialogs;
  SettingsPlaces places;
  // Tells the application to end as soon as control returns to its event loop.
  std::function<void()> terminate;
  // The status the program ends with when told to terminate: non-zero for a failure.
  int exitStatus = 0;
};

}  // namespace tavrin::app
