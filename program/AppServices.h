// AppServices: what the windows need from outside them, handed in at creation.
//
// The dialogs (real or recording), the places of the settings file and folders, the way to tell
// the application to end, the secret store, the passwords known in this run and the table named on
// the command line. The referenced
// Dialogs and SecretStore must outlive every window. GUI thread.
#pragma once

#include <functional>
#include <string>

#include "program/Passwords.h"
#include "program/Settings.h"
#include "platform/Dialogs.h"
#include "platform/SecretStore.h"

namespace tavrin::app {

struct AppServices {
  platform::Dialogs& dialogs;
  SettingsPlaces places;
  // Tells the application to end as soon as control returns to its event loop.
  std::function<void()> terminate;
  // The status the program ends with when told to terminate: non-zero for a failure.
  int exitStatus = 0;
  // Where passwords are remembered between runs; null: nowhere, every run asks for them.
  platform::SecretStore* secrets = nullptr;
  SessionPasswords passwords{};
  // The table named on the command line: this run's recipients table instead of the settings' one.
  std::string tableArgument{};
};

}  // namespace tavrin::app
