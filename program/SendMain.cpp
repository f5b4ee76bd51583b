// tavrin-send: sends a message file to every recipient of a table from the command line, for
// scheduled and scripted sends. No display is needed: the send core runs on Qt Core alone.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "program/SendCommand.h"
#include "program/SendCommandLine.h"
#include "program/SettingsLocation.h"
#include "dbf/Errors.h"
#include "platform/Paths.h"
#include "platform/SecretStore.h"

namespace {

// A scheduler or a script may start the program with standard input, output or error closed.
// The next descriptor opened would then take that number, and the log or the progress lines
// written "to standard output" would land in the event loop's wake-up descriptor, the signal
// pipe (stopping the send) or a file: each closed one is held by /dev/null instead.
void HoldStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) ::close(null);  // the lower ones are open: cannot happen
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  HoldStandardDescriptors();
  // Output into a pipe whose reader is gone (`| head -1`) fails its writes, quietly: the send
  // goes on to the end and its log is still saved on disk.
  std::signal(SIGPIPE, SIG_IGN);
  using tavrin::app::SendCommandLine;
  const SendCommandLine line = tavrin::app::ParseSendCommandLine(argc, argv);
  switch (line.action) {
    case SendCommandLine::Action::kVersion:
      std::printf("tavrin-send %s\n", TAVRIN_VERSION);
      return 0;
    case SendCommandLine::Action::kHelp:
      std::fputs(tavrin::app::SendUsageText().c_str(), stdout);
      return 0;
    case SendCommandLine::Action::kUsageError:
      std::fprintf(stderr, "tavrin-send: %s\n%s", line.error.c_str(),
                   tavrin::app::SendUsageLine().c_str());
      return tavrin::app::kSendExitUsage;
    case SendCommandLine::Action::kRun: break;
  }
  QCoreApplication application(argc, argv);
  // A table failure the engine cannot go on from ends the run; nothing was sent past it.
  tavrin::dbf::SetHaltHook([](int code, const std::string& text) {
    std::fprintf(stderr, "tavrin-send: %s\n", text.c_str());
    (void)code;
    std::exit(tavrin::app::kSendExitNothingSent);
  });
  const tavrin::app::SettingsPlaces places{
      line.settingsFile.empty() ? tavrin::app::ChooseSettingsFile(tavrin::platform::ExecutableDir(),
                                                                  tavrin::platform::ConfigHomeDir())
                                : line.settingsFile,
      tavrin::platform::HomeDir(), tavrin::platform::TempDir()};
  // The secret store answers through the desktop session's message bus; without one it is not
  // asked at all, and the run says so when it needs a password.
  std::unique_ptr<tavrin::platform::SecretStore> secrets;
  if (tavrin::app::SessionBusReachable())
    secrets = std::make_unique<tavrin::platform::KeychainSecretStore>("Tavrin");
  return tavrin::app::RunSendCommand(line, places, secrets.get(), stdout, stderr);
}
