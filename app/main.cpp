// Tavrin: writes one message and sends it to every recipient of a table through one SMTP server.
#include <QApplication>
#include <cstdlib>

#include "app/MainWindow.h"
#include "app/Program.h"
#include "dbf/Errors.h"
#include "platform/Paths.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  tavrin::platform::QtDialogs dialogs;

  bool terminated = false;
  tavrin::app::AppServices services{
      dialogs,
      {tavrin::platform::ExecutableDir() + "/Tavrin.ini", tavrin::platform::HomeDir(),
       tavrin::platform::TempDir()},
      [&] {
        terminated = true;
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
      }};

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
