// Tavrin: writes one message and sends it to every recipient of a table through one SMTP server.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>

#include "program/CommandLine.h"
#include "windows/MainWindow.h"
#include "windows/Program.h"
#include "program/SettingsLocation.h"
#include "dbf/Errors.h"
#include "platform/Paths.h"

int main(int argc, char* argv[]) {
  using tavrin::app::CommandLine;
  // The command line is judged before any window or settings file: --help, --version and a usage
  // error answer on the terminal and end at once.
  const CommandLine line = tavrin::app::ParseCommandLine(argc, argv);
  switch (line.action) {
    case CommandLine::Action::kVersion: std::printf("tavrin %s\n", TAVRIN_VERSION); return 0;
    case CommandLine::Action::kHelp: std::fputs(tavrin::app::UsageText().c_str(), stdout); return 0;
    case CommandLine::Action::kUsageError:
      std::fprintf(stderr, "tavrin: %s\n%s", line.error.c_str(), tavrin::app::UsageText().c_str());
      return tavrin::app::kUsageExitStatus;
    case CommandLine::Action::kRun: break;
  }
  QApplication application(argc, argv);
  QIcon icon;
  icon.addFile(":/icons/tavrin-48.png");
  icon.addFile(":/icons/tavrin-256.png");
  QApplication::setWindowIcon(icon);
  tavrin::platform::QtDialogs dialogs;
  tavrin::platform::KeychainSecretStore secrets("Tavrin");

  bool terminated = false;
  tavrin::app::AppServices services{
      dialogs,
      {tavrin::app::ChooseSettingsFile(tavrin::platform::ExecutableDir(),
                                       tavrin::platform::ConfigHomeDir()),
       tavrin::platform::HomeDir(), tavrin::platform::TempDir()},
      [&] {
        terminated = true;
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
      }};

  services.secrets = &secrets;
  services.tableArgument = line.table;

  // A table failure the program cannot go on from is shown, then ends the process with its code.
  tavrin::dbf::SetHaltHook([&dialogs](int code, const std::string& text) {
    dialogs.ShowMessage(text, "Program halted.");
    std::exit(code);
  });

  tavrin::app::TProgram program(services);
  program.Start();
  if (terminated) return services.exitStatus;
  program.frmEmailMerge()->show();
  if (terminated) return services.exitStatus;
  const int status = application.exec();
  return terminated ? services.exitStatus : status;
}
