// Grid benchmark: a table of 1,000,000 records in the grid (offscreen), paged down 1,000 times with
// a paint after every page, then a jump to the last record; the same moves on a 1,000-record table
// are the peer (it wraps to its first record at the end, so every page moves). Each size is
// measured by a fresh program image of its own (fork and exec), so its peak memory is its own.
// Prints per size: open time, time per page, time of the jump, peak RSS; then the ratios
// large / small. Usage: grid_bench [DIR] (the tables are made in DIR, default /tmp).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "controls/XbGrid.h"
#include "dataset/XbDbf.h"
#include "dbf/Engine.h"

namespace {

namespace dbf = tavrin::dbf;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 1000;

struct Figures {
  double openMs = 0, pageUs = 0, lastMs = 0;
  long peakKib = 0;
  long cellsPerPage = 0;
  double paintUs = 0;  // one paint of the page in view, alone
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Create(const std::string& path, long count) {
  if (std::filesystem::exists(path)) return;
  dbf::CreateDbf(path, {{"NAME", 'C', 10, 0}, {"EMAIL", 'C', 20, 0}, {"ACTIVE", 'L', 1, 0}});
  dbf::Select(1);
  dbf::USE(path + " EXCLUSIVE");
  for (long i = 0; i < count; ++i) {
    dbf::ClearRecord();
    std::string n = "R";
    n += std::to_string(i + 1);
    dbf::SetString(1, n);
    dbf::SetString(2, n + "@example.com");
    dbf::SetLogical(3, i % 3 == 0);
    dbf::Append();
  }
  dbf::Shutdown();
}

Figures Measure(const std::string& path, int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Figures f;
  tavrin::dataset::TXbDbf table("tblDatabase");
  tavrin::dataset::TDataSource source(&table);
  tavrin::controls::TXbGrid grid;
  grid.resize(418, 224);
  grid.show();
  if (!QTest::qWaitForWindowExposed(&grid)) std::fprintf(stderr, "the grid was never exposed\n");
  long cells = 0;
  grid.OnDrawColumnCell = [&](tavrin::controls::TCustomXbGrid&, QPainter&, const QRect&, int,
                              tavrin::controls::TXbColumn*, int) { ++cells; };
  auto start = Clock::now();
  table.SetDbfFileName(path);
  table.Open();
  grid.SetDataSource(&source);
  grid.viewport()->repaint();
  f.openMs = Since(start);
  cells = 0;
  start = Clock::now();
  for (int i = 0; i < kPages; ++i) {
    if (table.Eof()) table.First();
    QTest::keyClick(&grid, Qt::Key_PageDown);
    grid.viewport()->repaint();
  }
  f.pageUs = Since(start) * 1000.0 / kPages;
  f.cellsPerPage = cells / kPages;
  start = Clock::now();
  for (int i = 0; i < kPages; ++i) grid.viewport()->repaint();
  f.paintUs = Since(start) * 1000.0 / kPages;
  // The jump to the last record (with its paint), taken 100 times from the first record.
  double jumps = 0;
  for (int i = 0; i < 100; ++i) {
    QTest::keyClick(&grid, Qt::Key_Home, Qt::ControlModifier);
    grid.viewport()->repaint();
    start = Clock::now();
    QTest::keyClick(&grid, Qt::Key_End, Qt::ControlModifier);
    grid.viewport()->repaint();
    jumps += Since(start);
  }
  f.lastMs = jumps / 100;
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  f.peakKib = usage.ru_maxrss;
  table.Close();
  return f;
}

// Measures `path` in a new program image (this program with --measure) and reads the figures back.
bool RunChild(const char* self, const std::string& path, Figures& out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    execl(self, self, "--measure", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char line[256] = {};
  const ssize_t n = read(fds[0], line, sizeof line - 1);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         std::sscanf(line, "%lf %lf %lf %ld %ld %lf", &out.openMs, &out.pageUs, &out.lastMs,
                     &out.peakKib, &out.cellsPerPage, &out.paintUs) == 6;
}

void Print(const char* label, long records, const Figures& f) {
  std::printf(
      "%-5s %7ld records: open %5.2f ms, %6.1f us/page (move + paint of %ld cells; the paint alone "
      "%6.1f us), "
      "last %5.2f ms, peak RSS %6ld KiB\n",
      label, records, f.openMs, f.pageUs, f.cellsPerPage, f.paintUs, f.lastMs, f.peakKib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--measure") {
    const Figures f = Measure(argv[2], argc, argv);
    std::printf("%f %f %f %ld %ld %f\n", f.openMs, f.pageUs, f.lastMs, f.peakKib, f.cellsPerPage,
                f.paintUs);
    return 0;
  }
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string small = dir + "/grid_bench_1k.dbf", large = dir + "/grid_bench_1m.dbf";
  auto start = Clock::now();
  Create(small, 1000);
  Create(large, 1000000);
  std::printf("tables ready in %.1f s\n", Since(start) / 1000.0);
  Figures fs, fl;
  if (!RunChild(argv[0], small, fs) || !RunChild(argv[0], large, fl)) {
    std::fprintf(stderr, "a measuring process failed\n");
    return 1;
  }
  Print("peer", 1000, fs);
  Print("large", 1000000, fl);
  std::printf("ratios large/peer: time per page %.2f, jump to last %.2f, peak RSS %.2f\n",
              fl.pageUs / fs.pageUs, fl.lastMs / fs.lastMs,
              static_cast<double>(fl.peakKib) / static_cast<double>(fs.peakKib));
  return 0;
}
