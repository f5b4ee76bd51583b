// SendCommand: what `tavrin-send` does once its command line is judged: one message file sent to
// every recipient of a table by the same send core the window uses, without a display.
//
// It reads the settings file (never writes it), reads the message file as File > Open Message
// does (its attachments go into a private temporary folder, removed before it returns), gets the
// password from a password file or the secret store, and either lists who would get the message
// (a dry run, which connects nowhere) or sends it. Progress and failures go to `err`, the log to
// `out`; the log files are kept as the window keeps them. Needs a QCoreApplication; its thread.
#pragma once

#include <cstdio>
#include <string>

#include "program/SendCommandLine.h"
#include "program/Settings.h"
#include "platform/SecretStore.h"

namespace tavrin::app {

// True when a desktop session's message bus looks reachable, so asking the secret store can
// succeed; without one every request would only wait for its time-out.
bool SessionBusReachable();

// Runs `line` (Action::kRun) against the settings file and folders in `places`, with `secrets`
// (null: no secret store in this session) and returns the exit status.
int RunSendCommand(const SendCommandLine& line, const SettingsPlaces& places,
                   platform::SecretStore* secrets, std::FILE* out, std::FILE* err);

}  // namespace tavrin::app
