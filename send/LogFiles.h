// LogFiles: every send's log kept on disk, as UTF-8 text and as CSV, for the user to find later.
//
// The files go to one private folder (0700) and are private themselves (0600), each written whole
// before it gets its name; two sends in the same second get different names. GUI thread.
#pragma once

#include <ctime>
#include <string>

#include "send/SendLog.h"

namespace tavrin::app {

// $XDG_DATA_HOME/Tavrin/logs, or `homeDir`/.local/share/Tavrin/logs when it is unset, empty or not
// an absolute path.
std::string LogsFolder(const std::string& homeDir);

struct SavedLog {
  std::string textPath;  // "" when nothing was saved
  std::string csvPath;   // "" when the CSV could not be saved
  std::string error;     // why a file was not saved; "" when both were
};

// Writes `log` as FOLDER/send-YYYY-MM-DD-HHMMSS.txt and .csv for the local time `when`, the name
// numbered ("-2", "-3", ...) when a log of that second is there already.
SavedLog SaveLogFiles(const TSendLog& log, const std::string& folder, std::time_t when);

// The sentence the log window shows about the files.
std::string SavedLogText(const SavedLog& saved);

}  // namespace tavrin::app
