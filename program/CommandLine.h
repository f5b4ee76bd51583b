// The program's command line: --help and --version answer on the terminal; one more argument names
// the recipients table to use in this run (the desktop entry passes the file the user opened with
// the program). Qt's own options (-platform NAME, -style NAME, -reverse, ...) are let through for
// QApplication. Anything else is a usage error: the usage on stderr and exit status 2.
// Pure functions, any thread.
#pragma once

#include <string>

namespace tavrin::app {

inline constexpr int kUsageExitStatus = 2;

// One line, as --help prints it.
std::string UsageText();

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  std::string table;  // the table named, file system bytes; empty: the settings' table
  std::string error;  // for kUsageError: what was wrong
};

CommandLine ParseCommandLine(int argc, const char* const argv[]);

}  // namespace tavrin::app
