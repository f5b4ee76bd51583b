// send_window_bench: one whole send through the program's real main window, on Qt's offscreen
// platform, to a server on 127.0.0.1.
//
//   send_window_bench PORT TABLE            the send from Send to the log window up
//   send_window_bench PORT TABLE --memory   the same in a child process, and its peak memory
//
// The window runs as the program runs it (settings file, table, status bar, progress, transcript,
// log files, log window); message boxes are recorded, not shown. Prints the time from Send until the
// log window is shown, the longest pause of the event loop meanwhile (a 10 ms timer that measures
// its own lateness) and the peak resident memory: with --memory the child's as the kernel counted
// it (getrusage maxrss of the waited-for child), so nothing the parent did is in the figure.
// Asserts nothing; figures only.
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <fstream>
#include <string>

#include "windows/LogWindow.h"
#include "windows/MainWindow.h"
#include "windows/Program.h"
#include "platform/RecordingDialogs.h"

namespace {

using namespace tavrin;

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  return -1;
}

// Runs this program again without --memory and reports the child's peak as the kernel counted it.
int MeasureChild(const QStringList& args) {
  QProcess child;
  child.setProcessChannelMode(QProcess::ForwardedChannels);
  child.start(QCoreApplication::applicationFilePath(), args);
  if (!child.waitForFinished(-1) || child.exitCode() != 0) {
    std::printf("child failed (exit %d)\n", child.exitCode());
    return 1;
  }
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  std::printf("child peak memory (getrusage maxrss): %.1f MiB\n", usage.ru_maxrss / 1024.0);
  return 0;
}

// Calls `shown` when a log window is shown.
class LogWatch : public QObject {
 public:
  explicit LogWatch(std::function<void(app::TfrmLog&)> shown) : shown_(std::move(shown)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show)
      if (auto* log = qobject_cast<app::TfrmLog*>(watched)) shown_(*log);
    return false;
  }

 private:
  std::function<void(app::TfrmLog&)> shown_;
};

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: send_window_bench PORT TABLE [--memory | --personalised]\n");
    return 2;
  }
  if (argc > 3 && std::string(argv[3]) == "--memory") return MeasureChild({argv[1], argv[2]});
  const bool personalised = argc > 3 && std::string(argv[3]) == "--personalised";

  // The settings file names the table and the server; the logs go to a folder of their own.
  QTemporaryDir work;
  const QFileInfo table(QString::fromLocal8Bit(argv[2]));
  qputenv("XDG_DATA_HOME", (work.path() + "/data").toLocal8Bit());
  {
    std::ofstream ini((work.path() + "/Tavrin.ini").toStdString());
    ini << "[Options]\nServerName=127.0.0.1\nServerPort=" << argv[1]
        << "\nReturnEmail=sender@example.com\nDir=" << table.absolutePath().toStdString()
        << "\nTableName=" << table.fileName().toStdString() << "\n";
  }
  QDir().mkpath(work.path() + "/tmp");
  platform::RecordingDialogs dialogs;
  app::AppServices services{dialogs,
                            {(work.path() + "/Tavrin.ini").toStdString(), work.path().toStdString(),
                             (work.path() + "/tmp").toStdString()},
                            [] { QApplication::exit(1); }};
  app::TProgram program(services);
  program.Start();
  app::TfrmEmailMerge& main = *program.frmEmailMerge();
  main.show();
  QApplication::processEvents();
  main.edtTo->setText("Everyone");
  main.edtSubject->setText(personalised ? "Benchmark for {NAME}" : "Benchmark");
  main.mmoMessage->setPlainText("Hello,\n\nthis is the benchmark message.\n.");

  qint64 longestPauseMs = 0;
  QElapsedTimer sinceTick, clock;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestPauseMs = std::max(longestPauseMs, sinceTick.elapsed() - 10);
    sinceTick.restart();
  });
  double seconds = -1;
  std::size_t logLines = 0;
  // The log window: the time is taken as it is shown, and it is closed at once.
  LogWatch watch([&](app::TfrmLog& log) {
    seconds = clock.elapsed() / 1000.0;
    if (qEnvironmentVariableIsSet("SEND_BENCH_TRACE"))
      std::fprintf(stderr, "log window shown: resident %.1f MiB, peak so far %.1f MiB\n",
                   StatusKb("VmRSS:") / 1024.0, StatusKb("VmHWM:") / 1024.0);
    logLines = static_cast<std::size_t>(log.reLog->model()->rowCount());
    QTimer::singleShot(0, &log, &QDialog::reject);
  });
  application.installEventFilter(&watch);

  const long idleKb = StatusKb("VmRSS:");
  clock.start();
  sinceTick.start();
  ticker.start(10);
  main.btnSendClick();
  if (qEnvironmentVariableIsSet("SEND_BENCH_TRACE"))
    std::fprintf(stderr, "Send returned after %lld ms\n", static_cast<long long>(clock.elapsed()));
  main.Dialogue().events.ended = [&, ended = main.Dialogue().events.ended] {
    if (qEnvironmentVariableIsSet("SEND_BENCH_TRACE"))
      std::fprintf(stderr, "send ended after %lld ms\n", static_cast<long long>(clock.elapsed()));
    ended();
  };
  QEventLoop loop;  // as the program runs: the event loop waits until something happens
  QTimer done;
  QObject::connect(&done, &QTimer::timeout, [&] {
    if (seconds >= 0 && !main.Dialogue().Running()) loop.quit();
  });
  done.start(20);
  QTimer::singleShot(600000, &loop, &QEventLoop::quit);
  loop.exec();
  ticker.stop();

  for (const auto& message : dialogs.Messages()) std::printf("message: %s\n", message.c_str());
  if (seconds < 0) {
    std::printf("the log window never came\n");
    return 1;
  }
  std::printf("tavrin window send: %.3f s from Send to the log window, %zu log lines\n", seconds,
              logLines - 9);
  std::printf("longest event-loop pause: %lld ms\n", static_cast<long long>(longestPauseMs));
  std::printf("peak memory: %.1f MiB (idle window %.1f MiB)\n", StatusKb("VmHWM:") / 1024.0,
              idleKb / 1024.0);
  return 0;
}
