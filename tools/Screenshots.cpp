// Takes the pictures of the program's four windows for the documentation: the compose window with
// two attachments, the recipients browser, the configuration dialog, and the log of a send in which
// one recipient was refused. Runs the real windows; message boxes and the open-file dialog are
// answered by a script. Usage: tavrin_screenshots [--dark] OUT_DIR ATTACHMENT ATTACHMENT
// (the settings file beside it names the table and the capture server). With --dark the windows
// run under a dark Fusion palette and the pictures are named NAME-dark.png.
#include <QApplication>
#include <QPalette>
#include <QStyleFactory>
#include <QElapsedTimer>
#include <QThread>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <string>

#include "windows/BrowserWindow.h"
#include "windows/ConfigDialog.h"
#include "windows/LogWindow.h"
#include "windows/MainWindow.h"
#include "windows/Program.h"
#include "platform/Paths.h"
#include "platform/RecordingDialogs.h"

namespace {

using namespace tavrin;

QString g_suffix;  // "-dark" under the dark palette

// A dark palette as a desktop's dark theme gives it: every role set, the disabled texts greyed.
QPalette DarkPalette() {
  QPalette p;
  const QColor window(53, 53, 53), base(42, 42, 42), text(230, 230, 230), grey(127, 127, 127);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(66, 66, 66));
  p.setColor(QPalette::ToolTipBase, QColor(66, 66, 66));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, grey);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, QColor(255, 80, 80));
  p.setColor(QPalette::Light, QColor(85, 85, 85));
  p.setColor(QPalette::Midlight, QColor(70, 70, 70));
  p.setColor(QPalette::Mid, QColor(40, 40, 40));
  p.setColor(QPalette::Dark, QColor(30, 30, 30));
  p.setColor(QPalette::Shadow, QColor(15, 15, 15));
  p.setColor(QPalette::Link, QColor(90, 160, 240));
  p.setColor(QPalette::Highlight, QColor(42, 110, 190));
  p.setColor(QPalette::HighlightedText, Qt::white);
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, grey);
  p.setColor(QPalette::Disabled, QPalette::Light, QColor(53, 53, 53));
  p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(80, 80, 80));
  return p;
}

void Save(QWidget& window, const QString& dir, const char* name) {
  QApplication::processEvents();
  const QString path = dir + "/" + name + g_suffix + ".png";
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
  const bool dark = argc > 1 && std::string(argv[1]) == "--dark";
  if (dark) {
    --argc;
    ++argv;
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(DarkPalette());
    g_suffix = "-dark";
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s [--dark] OUT_DIR ATTACHMENT ATTACHMENT\n", argv[0]);
    return 2;
  }
  const QString out = argv[1];
  platform::RecordingDialogs dialogs;
  dialogs.fileAnswers = {std::string(argv[2]), std::string(argv[3])};
  app::AppServices services{
      dialogs,
      {platform::ExecutableDir() + "/Tavrin.ini", platform::HomeDir(), platform::TempDir()},
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
  for (const auto& message : dialogs.Messages())
    std::fprintf(stderr, "message: %s\n", message.c_str());
  main.close();
  return logShown ? 0 : 1;
}
