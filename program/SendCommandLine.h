// The command line of `tavrin-send`, what its exit status says, and the password file it may read.
//
// ParseSendCommandLine judges the arguments before anything is read or opened; SendExitStatus is
// the one place that turns how a send ended into the status a script sees; ReadPasswordFile reads
// a password only from a file no one but its owner (the user running the program) can read or
// change. The password never comes from the command line. Pure functions apart from the file read;
// any thread.
#pragma once

#include <cstdio>
#include <string>

#include "send/SendLog.h"
#include "send/SendOutcome.h"

namespace tavrin::app {

// The exit statuses of `tavrin-send`.
inline constexpr int kSendExitAllAccepted = 0;  // every recipient was accepted (or would be)
inline constexpr int kSendExitPartly = 1;       // some were refused or not sent
inline constexpr int kSendExitNothingSent = 2;  // nothing went out: a failure before, or no one
inline constexpr int kSendExitUsage = 64;       // the command line itself was wrong

// The environment variable that names the password file.
inline constexpr const char* kPasswordFileVariable = "TAVRIN_PASSWORD_FILE";

struct SendCommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  std::string settingsFile;  // "": the program's own settings file
  std::string table;         // "": the table the settings name
  bool dryRun = false;
  std::string message;  // the message file
  std::string error;    // for kUsageError: what was wrong
};

SendCommandLine ParseSendCommandLine(int argc, const char* const argv[]);

// The text --help prints, and its first line, which follows a usage error.
std::string SendUsageText();
std::string SendUsageLine();

// How many recipients ended each way.
struct SendTally {
  int accepted = 0;
  int refused = 0;
  int notSent = 0;
};
SendTally TallyOf(const TSendLog& log);

// The status of a send that ended as `kind` with `tally` in its log (a dry run: kNone and who
// would be sent or refused). 2 when nobody was accepted (an empty table, a failure before the
// message went out, every recipient refused); 0 when the send ran to its end and every recipient
// was accepted; 1 otherwise. A send that failed or was stopped never gives 0, even when its log
// has no one left over: a script is told it did not end as asked.
int SendExitStatus(FailureKind kind, const SendTally& tally);

struct PasswordFile {
  std::string password;  // when `error` is empty; its one trailing line end removed
  std::string error;     // why the file was not used
};

// The password in the file at `path`: a regular file owned by this user, with no permission bits
// for its group or others, of at most 4 KiB. The file is judged by the descriptor it is read
// through, so it cannot be swapped between the check and the read.
PasswordFile ReadPasswordFile(const std::string& path);

}  // namespace tavrin::app
