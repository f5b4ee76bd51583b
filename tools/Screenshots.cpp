// Takes the pictures of the program's four windows for the documentation: the compose window with
// two attachments, the recipients browser, the configuration dialog, and the log of a send in which
// one recipient was refused. Runs the real windows; message boxes and the open-file dialog are
// answered by a script. Usage: tavrin_screenshots OUT_DIR ATTACHMENT ATTACHMENT
// (the settings file beside it names the table and the capture server).
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <string>

#include "app/BrowserWindow.h"
#include "app/ConfigDialog.h"
#include "app/LogWindow.h"
#include "app/MainWindow.h"
#include "app/Program.h"
#include "platform/Paths.h"
#include "platform/RecordingDialogs.h"

namespace {

using namespace tavrin;

void Save(QWidget& window, const QString& dir, const char* name) {
  QApplication::processEvents();
  const QString path = dir + "/" + name + ".png";
  if (!window.grab().save(path)) std::fprintf(stderr, "could not write %s\n", qPrintable(path));
}

// Runs `action` once the modal window `Window` is up.
template <class Window>
void WhenUp(std::function<void(Window&)> action) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, action] {
    if (auto* w = qobject_cast<Window*>(QApplication::activeModalWidget())) {
      timer->deleteLater();
      action(*w);
    }
  });
  timer->start(50);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUT_DIR ATTACHMENT ATTACHMENT\n", argv[0]);
    return 2;
  }
  const QString out = argv[1];
  platform::RecordingDialogs dialogs;
  dialogs.fileAnswers = {std::string(argv[2]), std::string(argv[3])};
  app::AppServices services{dialogs,
                            {platform::ExecutableDir() + "/Tavrin.ini", platform::HomeDir(),
                             platform::TempDir()},
                            [] { QApplication::exit(1); }};
  app::TProgram program(services);
  program.Start();
  app::TfrmEmailMerge& main = *program.frmEmailMerge();
  main.show();
  QApplication::setActiveWindow(&main);
  QApplication::processEvents();
  main.edtTo->setText("Members of the walking club");
  main.edtSubject->setFocus();
  main.edtSubject->setText("Spring meeting on the 14th");
  main.mmoMessage->setFocus();
  main.mmoMessage->setPlainText(
      "Dear members,\n\nour spring meeting is on the 14th at seven in the club house.\n"
      "The programme and last year's minutes are attached.\n\nSee you there,\nJohn");
  main.btnAttachClick();
  main.btnAttachClick();
  Save(main, out, "compose");

  WhenUp<app::TfrmBrowser>([&](app::TfrmBrowser& b) {
    Save(b, out, "browser");
    b.reject();
  });
  main.btnBrowseClick();
  WhenUp<app::TfrmConfiguration>([&](app::TfrmConfiguration& c) {
    Save(c, out, "configuration");
    c.reject();
  });
  main.btnConfigureClick();

  bool logShown = false;
  WhenUp<app::TfrmLog>([&](app::TfrmLog& log) {
    Save(log, out, "log");
    logShown = true;
    log.reject();
  });
  main.btnSendClick();
  QElapsedTimer waited;
  waited.start();
  while (!logShown && waited.elapsed() < 30000) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
  for (const auto& message : dialogs.Messages()) std::fprintf(stderr, "message: %s\n", message.c_str());
  main.close();
  return logShown ? 0 : 1;
}
