// Tavrin: writes one message and sends it to every recipient of a table through one SMTP server.
#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/MainWindow.h"
#include "app/Program.h"
#include "app/SettingsLocation.h"
#include "dbf/Errors.h"
#include "platform/Paths.h"

namespace {

// --version and --help answer on the terminal and end at once, before any window or settings file.
bool AnsweredOnTheTerminal(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tavrin %s\n", TAVRIN_VERSION);
      return true;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("Usage: tavrin [--help] [--version]: writes one message and sends it to every "
                  "recipient of a dBASE table; see the README.\n");
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (AnsweredOnTheTerminal(argc, argv)) return 0;
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
       tavrin::platform::HomeDir(),
       tavrin::platform::TempDir()},
      [&] {
        terminated = true;
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
      }};

  services.secrets = &secrets;

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
