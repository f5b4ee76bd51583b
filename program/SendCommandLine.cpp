#include "program/SendCommandLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/SecretStore.h"

namespace tavrin::app {

std::string SendUsageLine() {
  return "Usage: tavrin-send [--settings FILE] [--table FILE.dbf] [--dry-run] MESSAGE.eml\n";
}

std::string SendUsageText() {
  return SendUsageLine() +
         "Sends the message file to every recipient of a dBASE table through the SMTP server of "
         "the settings.\n"
         "  --settings FILE   the settings file to use instead of the program's own\n"
         "  --table FILE.dbf  the recipients table to use instead of the one in the settings\n"
         "  --dry-run         check everything up to connecting and list who would get it\n"
         "  --help            show this text\n"
         "  --version         show the version\n"
         "The password, when the settings name a user, comes from the desktop's secret store or "
         "from the file named by " +
         std::string(kPasswordFileVariable) +
         " (readable by its owner only).\n"
         "Exit status: 0 every recipient accepted, 1 some refused or not sent, 2 nothing sent, "
         "64 usage error.\n";
}

SendCommandLine ParseSendCommandLine(int argc, const char* const argv[]) {
  SendCommandLine line;
  const auto fail = [&](std::string error) {
    line.action = SendCommandLine::Action::kUsageError;
    line.error = std::move(error);
    return line;
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // An option's value follows it, or comes after '=' in the same argument.
    const auto value = [&](std::string_view name, std::string& into) -> bool {
      if (arg == name) {
        if (i + 1 >= argc) return false;
        into = argv[++i];
      } else {
        into = std::string(arg.substr(name.size() + 1));
      }
      return !into.empty();
    };
    const auto is = [&](std::string_view name) {
      return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                             arg[name.size()] == '=');
    };
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--help") {
      line.action = SendCommandLine::Action::kHelp;
      return line;
    } else if (!optionsEnded && arg == "--version") {
      line.action = SendCommandLine::Action::kVersion;
      return line;
    } else if (!optionsEnded && arg == "--dry-run") {
      line.dryRun = true;
    } else if (!optionsEnded && is("--settings")) {
      if (!value("--settings", line.settingsFile)) return fail("--settings needs a file name");
    } else if (!optionsEnded && is("--table")) {
      if (!value("--table", line.table)) return fail("--table needs a file name");
    } else if (!optionsEnded && arg.size() > 1 && arg.front() == '-') {
      return fail("unknown option " + std::string(arg));
    } else if (arg.empty()) {
      return fail("the message file name is empty");
    } else if (!line.message.empty()) {
      return fail("only one message file can be sent at a time");
    } else {
      line.message = std::string(arg);
    }
  }
  if (line.message.empty()) return fail("no message file named");
  return line;
}

SendTally TallyOf(const TSendLog& log) {
  SendTally tally;
  for (const LogEntry& entry : log.Entries()) {
    switch (entry.status) {
      case RecipientStatus::kOk: ++tally.accepted; break;
      case RecipientStatus::kFailed: ++tally.refused; break;
      case RecipientStatus::kNotSent: ++tally.notSent; break;
    }
  }
  return tally;
}

int SendExitStatus(FailureKind kind, const SendTally& tally) {
  if (tally.accepted == 0 || kind == FailureKind::kNoRecipientAccepted) return kSendExitNothingSent;
  if (kind == FailureKind::kNone && tally.refused == 0 && tally.notSent == 0)
    return kSendExitAllAccepted;
  return kSendExitPartly;
}

PasswordFile ReadPasswordFile(const std::string& path) {
  PasswordFile result;
  const std::string named =
      std::string("The password file ") + path + " (" + kPasswordFileVariable + ")";
  // O_NONBLOCK: a FIFO by that name must not hold the program up before it is refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result.error = named + " cannot be opened: " + std::strerror(errno) + ".";
    return result;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    result.error = named + " cannot be examined: " + std::strerror(errno) + ".";
  } else if (!S_ISREG(st.st_mode)) {
    result.error = named + " is not a regular file.";
  } else if (st.st_uid != ::geteuid()) {
    result.error = named + " belongs to another user; it must be your own.";
  } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    result.error = named + " may be read or changed by others; allow only its owner (chmod 600).";
  } else if (st.st_size > 4096) {
    result.error = named + " is larger than a password (4 KiB at most).";
  }
  if (!result.error.empty()) {
    ::close(fd);
    return result;
  }
  std::string bytes(4097, '\0');
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = named + " cannot be read: " + std::strerror(errno) + ".";
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == bytes.size()) {
      result.error = named + " is larger than a password (4 KiB at most).";
      break;
    }
  }
  ::close(fd);
  if (result.error.empty()) {
    // One line end, as an editor or `echo` leaves it, is not part of the password.
    if (got > 0 && bytes[got - 1] == '\n') --got;
    if (got > 0 && bytes[got - 1] == '\r') --got;
    if (got == 0)
      result.error = named + " is empty.";
    else
      result.password.assign(bytes.data(), got);
  }
  platform::WipeSecret(bytes);
  return result;
}

}  // namespace tavrin::app
