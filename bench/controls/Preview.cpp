// Saves pictures of the grid and the navigator over a small sample table, for looking at them
// under a real X server (xvfb-run) at any font scale. Usage: controls_preview OUT_DIR
// (QT_FONT_DPI=144 for large fonts). Writes grid.png, nav.png, and grid-editing.png.
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <cstdio>
#include <filesystem>

#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"
#include "dataset/XbDbf.h"
#include "dbf/Engine.h"

namespace dbf = tavrin::dbf;
using namespace tavrin::controls;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string out = argc > 1 ? argv[1] : ".";
  const std::string path = out + "/preview.dbf";
  std::filesystem::remove(path);
  dbf::CreateDbf(
      path,
      {{"NAME", 'C', 20, 0}, {"EMAIL", 'C', 30, 0}, {"ACTIVE", 'L', 1, 0}, {"JOINED", 'D', 8, 0}});
  dbf::Select(1);
  dbf::USE(path + " EXCLUSIVE");
  const char* names[] = {"Ada Lovelace",   "Alan Turing",  "Grace Hopper",      "Edsger Dijkstra",
                         "Barbara Liskov", "Donald Knuth", "Frances Allen",     "Ken Thompson",
                         "Niklaus Wirth",  "John Backus",  "Margaret Hamilton", "Tony Hoare"};
  for (int i = 0; i < 12; ++i) {
    dbf::ClearRecord();
    dbf::SetString(1, names[i]);
    dbf::SetString(2, std::string("person") + std::to_string(i) + "@example.com");
    dbf::SetLogical(3, i % 2 == 0);
    dbf::SetString(4, "03/15/26");
    dbf::Append();
  }
  dbf::GO(3);
  dbf::DeleteRec();
  dbf::USE("");
  tavrin::dataset::TXbDbf table("tblDatabase");
  tavrin::dataset::TDataSource source(&table);
  table.SetDbfFileName(path);
  table.Open();
  QWidget window;
  auto* box = new QVBoxLayout(&window);
  auto* grid = new TXbGrid;
  grid->setObjectName("Grid");
  auto* nav = new TXbNavigator;
  nav->setObjectName("Nav");
  box->addWidget(grid);
  box->addWidget(nav);
  grid->SetDataSource(&source);
  nav->SetDataSource(&source);
  window.resize(560, 300);
  window.show();
  QApplication::setActiveWindow(&window);
  grid->setFocus();
  QTest::qWait(50);
  QTest::keyClick(grid, Qt::Key_Down);
  grid->Columns().Items(0)->Title().SetCaption("Name");
  window.grab().save(QString::fromStdString(out + "/grid.png"));
  nav->grab().save(QString::fromStdString(out + "/nav.png"));
  QTest::keyClick(grid, Qt::Key_F2);
  QTest::qWait(20);
  window.grab().save(QString::fromStdString(out + "/grid-editing.png"));
  std::printf("saved to %s\n", out.c_str());
  return 0;
}
