// The data grid over a real table: what it draws, the logical cells, the keys that append,
// cancel and delete, another program's changes, the title's right click and the scroll bar.
#include <QApplication>
#include <QClipboard>
#include <limits>
#include <QLineEdit>
#include <QWheelEvent>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

#include "ControlsFixture.h"
#include "controls/XbGrid.h"
#include "dbf/Engine.h"

namespace tavrin::controls::test {
namespace {

const QColor kFixed(200, 200, 200);
const QColor kWindow(Qt::white);

class GridTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    grid_.SetDialogs(&dialogs_);
    grid_.SetFixedColor(kFixed);
    grid_.SetColor(kWindow);
    grid_.resize(418, 224);
    grid_.show();
  }
  void Bind(const std::string& path, bool hideDeleted = false) {
    Open(path, hideDeleted);
    grid_.SetDataSource(&source_);
  }
  QImage Shot() { return grid_.viewport()->grab().toImage(); }
  QPoint Middle(int col, int row) { return grid_.CellRect(col, row).center(); }
  void Click(int col, int row, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(grid_.viewport(), button, {}, Middle(col, row));
  }
  void Key(int key, Qt::KeyboardModifiers mods = {}) {
    QTest::keyClick(&grid_, static_cast<Qt::Key>(key), mods);
  }
  std::string Name() { return table_.FieldByName("NAME")->AsString(); }

  TXbGrid grid_;
};

// Every pixel strictly inside `r` has colour `c`.
bool Filled(const QImage& image, QRect r, const QColor& c) {
  r = r.adjusted(1, 1, -1, -1);
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x)
      if (image.pixelColor(x, y) != c) return false;
  return true;
}

TEST_F(GridTest, AnEmptyTableShowsTheTitleRowAndOneEmptyRow) {
  Bind(MakeTable({}));
  ASSERT_EQ(grid_.Columns().Count(), 3);
  EXPECT_EQ(grid_.Columns().Items(1)->Title().Caption(), "EMAIL");
  const QImage shot = Shot();
  EXPECT_FALSE(Filled(shot, grid_.CellRect(1, -1), kFixed)) << "the title carries its caption";
  EXPECT_TRUE(Filled(shot, grid_.CellRect(0, 0), kFixed))
      << "one data row; its indicator shows no image";
  EXPECT_TRUE(Filled(shot, grid_.CellRect(1, 0), kWindow));
  EXPECT_EQ(shot.pixelColor(grid_.CellRect(0, 1).center()), kWindow) << "no second row";
  EXPECT_EQ(grid_.TitleRowHeight(), QFontMetrics(grid_.TitleFont()).height() + 4);
}

TEST_F(GridTest, TheIndicatorMarksTheCurrentRowOnly) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  const QImage shot = Shot();
  EXPECT_FALSE(Filled(shot, grid_.CellRect(0, 0), kFixed));
  EXPECT_TRUE(Filled(shot, grid_.CellRect(0, 1), kFixed));
}

TEST_F(GridTest, ALogicalCellIsSelectedByTheFirstClickAndToggledByTheSecond) {
  Bind(MakeTable({{"A", "a@x", false}, {"B", "b@x", true}}));
  const QImage before = Shot();
  Click(3, 0);
  EXPECT_EQ(grid_.SelectedIndex(), 2);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsBrowse);
  Click(3, 0);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsEdit);
  EXPECT_TRUE(table_.FieldByName("ACTIVE")->AsBoolean());
  Key(Qt::Key_Space);
  EXPECT_FALSE(table_.FieldByName("ACTIVE")->AsBoolean()) << "Space toggles back";
  Key(Qt::Key_Return);
  Key(Qt::Key_Down);  // leaving the record posts it
  EXPECT_EQ(Raw(3, 1), "T");
  EXPECT_EQ(Raw(3, 2), "T");
  // The true record's box holds a cross through its middle; the false one's is empty there.
  const QImage after = Shot();
  const QRect box0 = grid_.CellRect(3, 0), box1 = grid_.CellRect(3, 1);
  EXPECT_NE(before.pixelColor(box1.center()), before.pixelColor(box0.center()));
  EXPECT_NE(after.pixelColor(box0.center()), kWindow);
}

TEST_F(GridTest, DownOnTheLastRecordAppendsAndUpCancelsTheUntouchedRecord) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  Key(Qt::Key_Down);
  EXPECT_EQ(Name(), "B");
  Key(Qt::Key_Down);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsInsert);
  Key(Qt::Key_Down);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsInsert)
      << "Down on the new last record does nothing";
  Key(Qt::Key_Up);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsBrowse);
  EXPECT_EQ(Name(), "B");
  EXPECT_EQ(table_.RecordTotal(), 2);
  grid_.SetAutoAppend(false);
  Key(Qt::Key_Down);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsBrowse);
}

// Keys the desktop sends to the grid's window while Qt counts another window active (a window
// manager that did not hand the activation back after a confirmation): a hidden editor takes none of
// them and carries no text from one cell to the next.
TEST_F(GridTest, WhileItsWindowIsInactiveAHiddenEditorNeitherTakesKeysNorCarriesText) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  QWidget other;
  other.show();
  QApplication::setActiveWindow(&other);
  ASSERT_FALSE(grid_.isActiveWindow());
  QWindow* window = grid_.windowHandle();
  for (char c : std::string("ZY")) QTest::keyClick(window, c);
  QTest::keyClick(window, Qt::Key_Tab);
  EXPECT_FALSE(grid_.EditorMode());
  EXPECT_TRUE(grid_.Editor()->text().isEmpty());
  for (char c : std::string("q@x")) QTest::keyClick(window, c);
  QTest::keyClick(window, Qt::Key_Up);
  EXPECT_EQ(Raw(1, 1), "ZY        ");
  EXPECT_EQ(Raw(2, 1), "q@x                 ");
  QTest::keyClick(window, 'o',
                  Qt::AltModifier);  // no one's shortcut here, and no typed text either
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsBrowse);
}

TEST_F(GridTest, CtrlDeleteAsksUnlessTheConfirmationIsOff) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  dialogs_.confirmAnswers = {false};
  Key(Qt::Key_Delete, Qt::ControlModifier);
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].text, "Delete Record ?");
  EXPECT_EQ(Raw(0, 1), " ");
  Key(Qt::Key_Delete);
  EXPECT_EQ(Raw(0, 1), " ") << "Delete alone deletes nothing";
  grid_.SetOptions(grid_.Options().Set(TXbGridOption::dgConfirmDelete, false));
  Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(Raw(0, 1), "*");
  Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(dialogs_.shown.back().text, "Restore Record ?")
      << "the marked record is shown, so it is restored";
  EXPECT_EQ(Raw(0, 1), " ");
}

TEST_F(GridTest, AMarkedRecordIsDrawnRedWhenMarkedRecordsAreShown) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}, {"C", "c@x"}}, {2}));
  const QImage shot = Shot();
  const QRect cell = grid_.CellRect(2, 1);
  const QPoint clear(cell.right() - 2, cell.top() + 2);  // beside the text
  EXPECT_EQ(shot.pixelColor(clear), QColor(Qt::red));
  EXPECT_EQ(shot.pixelColor(clear + QPoint(0, grid_.RowHeight() + 1)), kWindow);
  grid_.OnChangeColorsEvent = [](TCustomXbGrid&, int, TXbRowColors& c) {
    c.DeletedColor = Qt::blue;
  };
  EXPECT_EQ(Shot().pixelColor(clear), QColor(Qt::blue));
}

TEST_F(GridTest, AnotherProgramsChangeIsShownAfterARefreshAndAnEditPostsOverTheNewestCopy) {
  Bind(MakeTable({{"A", "a@x"}, {"B", "b@x"}}));
  std::vector<std::string> painted;
  grid_.OnDrawColumnCell = [&](TCustomXbGrid&, QPainter&, const QRect&, int, TXbColumn* c, int) {
    if (c->FieldName() == "NAME") painted.push_back(c->Field()->DisplayText());
  };
  ASSERT_TRUE(InOtherProcess(path_, [] {
    dbf::GO(1);
    if (!dbf::RLock()) _exit(2);
    dbf::SetString(1, "Z");
    dbf::Replace();
    dbf::Unlock();
  }));
  table_.Refresh();
  Shot();
  ASSERT_FALSE(painted.empty());
  EXPECT_EQ(painted.front(), "Z");
  // Another change while the grid shows the record; the user then edits the name.
  ASSERT_TRUE(InOtherProcess(path_, [] {
    dbf::GO(1);
    if (!dbf::RLock()) _exit(2);
    dbf::SetString(1, "Y");
    dbf::SetString(2, "y@x");
    dbf::Replace();
    dbf::Unlock();
  }));
  Key(Qt::Key_F2);
  ASSERT_TRUE(grid_.EditorMode());
  QTest::keyClick(grid_.Editor(), Qt::Key_End);
  QTest::keyClick(grid_.Editor(), '2');
  EXPECT_EQ(grid_.Editor()->text(), "Y2") << "the edit starts from the newest copy";
  QTest::keyClick(grid_.Editor(), Qt::Key_Down);
  EXPECT_EQ(Raw(1, 1), "Y2        ");
  EXPECT_EQ(Raw(2, 1), "y@x                 ");
}

TEST_F(GridTest, TheEditorKeepsTextToTheFieldSizeAndTakesDatesThroughTheDateMask) {
  const std::string path = dir_ + "/dates.dbf";
  dbf::CreateDbf(path, {{"NAME", 'C', 5, 0}, {"JOINED", 'D', 8, 0}});
  dbf::Select(0);
  dbf::USE(path + " EXCLUSIVE");
  dbf::ClearRecord();
  dbf::Append();
  dbf::USE("");
  Bind(path);
  Key(Qt::Key_F2);
  QTest::keyClicks(grid_.Editor(), "abcdefgh");
  EXPECT_EQ(grid_.Editor()->text(), "abcde");
  Key(Qt::Key_Tab);
  EXPECT_EQ(grid_.SelectedField()->FieldName(), "JOINED");
  Key(Qt::Key_F2);
  QTest::keyClicks(grid_.Editor(), "123199");
  EXPECT_EQ(grid_.Editor()->text(), "12/31/99");
  Key(Qt::Key_Return);
  table_.Post();
  EXPECT_EQ(Raw(1, 1), "abcde");
  EXPECT_EQ(Raw(2, 1), "19991231");
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(GridTest, ADrawHandlerThatReadsTheEngineSeesItsRowAndLeavesTheCursorWhereItWas) {
  Bind(MakeNumbered(40));
  std::vector<std::string> seen;
  grid_.OnDrawColumnCell = [&](TCustomXbGrid&, QPainter&, const QRect&, int dataCol, TXbColumn*,
                               int) {
    if (dataCol == 0) seen.push_back(table_.GetField("NAME"));
  };
  const int rows = grid_.VisibleDataRows();
  Key(Qt::Key_End, Qt::ControlModifier);
  Key(Qt::Key_Up, Qt::ControlModifier);  // the first row in view, records 41 - rows .. 40
  Shot();
  ASSERT_EQ(static_cast<int>(seen.size()), rows);
  EXPECT_EQ(seen.back(), "N40       ");
  Key(Qt::Key_Up);  // the window moves back past the row the handler read first
  EXPECT_EQ(table_.RecNo(), 40 - rows);
}

TEST_F(GridTest, RightClickingATitleSinksItUnlessDepressingIsDisabled) {
  Bind(MakeTable({{"A", "a@x"}}));
  std::vector<std::string> depressed;
  grid_.OnDepressTitle = [&](TCustomXbGrid&, TXbColumn* c) { depressed.push_back(c->FieldName()); };
  const QRect title = grid_.CellRect(2, -1);
  const QColor raised = Shot().pixelColor(title.topLeft() + QPoint(0, 3));
  Click(2, -1, Qt::RightButton);
  EXPECT_EQ(grid_.DepressedTitle(), 1);
  EXPECT_EQ(depressed, (std::vector<std::string>{"EMAIL"}));
  const QRgb dark = grid_.palette().color(QPalette::Dark).rgb();
  EXPECT_EQ(Shot().pixelColor(title.topLeft() + QPoint(0, 3)).rgb(), dark);
  EXPECT_NE(raised.rgb(), dark);
  grid_.SetDepressDisabled(true);
  EXPECT_EQ(grid_.DepressedTitle(), -1);
  Click(1, -1, Qt::RightButton);
  EXPECT_EQ(grid_.DepressedTitle(), -1);
  EXPECT_EQ(depressed.size(), 1u);
}

TEST_F(GridTest, EscapeFirstTakesBackTheTypedTextThenCancelsTheEdit) {
  Bind(MakeTable({{"A", "a@x"}}));
  Key(Qt::Key_F2);
  QTest::keyClicks(grid_.Editor(), "XY");
  QTest::keyClick(grid_.Editor(), Qt::Key_Escape);
  EXPECT_FALSE(grid_.EditorMode());
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsEdit);
  EXPECT_EQ(Name(), "A");
  Key(Qt::Key_Escape);
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsBrowse);
  EXPECT_EQ(Raw(1, 1), "A         ");
}

TEST_F(GridTest, ColumnsSetInCodeShowExactlyTheirFieldsAndMoveAndSizeByMouse) {
  Bind(MakeTable({{"A", "a@x"}}));
  grid_.Columns().Clear();
  TXbColumn* mail = grid_.Columns().Add();
  mail->SetFieldName("EMAIL");
  mail->Title().SetCaption("E-mail");
  grid_.Columns().Add()->SetFieldName("NOSUCH");
  grid_.Columns().Add()->SetFieldName("NAME");
  ASSERT_EQ(grid_.Columns().Count(), 3);
  EXPECT_EQ(mail->Field(), table_.FieldByName("EMAIL"));
  EXPECT_EQ(grid_.Columns().Items(1)->Field(), nullptr)
      << "a field the table lacks leaves the column empty";
  EXPECT_EQ(grid_.Columns().Items(1)->Title().Caption(), "NOSUCH");
  std::vector<std::pair<int, int>> moves;
  grid_.OnColumnMoved = [&](TCustomXbGrid&, int from, int to) { moves.emplace_back(from, to); };
  Click(1, -1, Qt::RightButton);  // the depressed title goes with its column
  QTest::mousePress(grid_.viewport(), Qt::LeftButton, {}, Middle(1, -1));
  QTest::mouseMove(grid_.viewport(), Middle(3, -1));
  QTest::mouseRelease(grid_.viewport(), Qt::LeftButton, {}, Middle(3, -1));
  EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{0, 2}}));
  EXPECT_EQ(grid_.Columns().Items(2), mail);
  EXPECT_EQ(grid_.DepressedTitle(), 2);
  const QRect name = grid_.CellRect(1, -1);
  const int width = grid_.Columns().Items(0)->Width();
  QTest::mousePress(grid_.viewport(), Qt::LeftButton, {},
                    QPoint(name.right() + 1, name.center().y()));
  QTest::mouseMove(grid_.viewport(), QPoint(name.right() + 31, name.center().y()));
  QTest::mouseRelease(grid_.viewport(), Qt::LeftButton, {},
                      QPoint(name.right() + 31, name.center().y()));
  EXPECT_EQ(grid_.Columns().Items(0)->Width(), width + 30);
  EXPECT_EQ(moves.size(), 1u);
}

TEST_F(GridTest, TheWindowHoldsTheRowsInViewAndTheScrollBarFollowsTheRecordNumber) {
  Bind(MakeNumbered(100));
  const int rows = grid_.VisibleDataRows();
  ASSERT_GT(rows, 3);
  EXPECT_EQ(table_.BufferCount(), rows);
  QScrollBar* bar = grid_.verticalScrollBar();
  EXPECT_EQ(bar->minimum(), 1);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->pageStep(), rows);
  Key(Qt::Key_PageDown);
  EXPECT_EQ(bar->value(), 1 + rows);
  const int top = table_.RecNo() - table_.ActiveRecordIndex();
  bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // one past the last row in view
  EXPECT_EQ(table_.RecNo(), top + rows);
  EXPECT_EQ(bar->value(), top + rows);
  QWheelEvent notch(QPointF(50, 50), grid_.viewport()->mapToGlobal(QPointF(50, 50)), {},
                    QPoint(0, -120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  const int before = table_.RecNo() - table_.ActiveRecordIndex();
  QApplication::sendEvent(grid_.viewport(), &notch);
  EXPECT_EQ(table_.RecNo() - table_.ActiveRecordIndex(), before + 3)
      << "a notch scrolls three rows";
  bar->setSliderDown(true);  // dragging the thumb moves nothing until it is let go
  bar->setSliderPosition(50);
  EXPECT_EQ(table_.RecNo() - table_.ActiveRecordIndex(), before + 3);
  bar->setSliderDown(false);
  EXPECT_EQ(Name(), "N50");
  EXPECT_EQ(bar->value(), 50);
  bar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(Name(), "N100");
  EXPECT_EQ(bar->value(), 100);
}

TEST_F(GridTest, AHandlerThrowingAnythingIsShownAndThePaintGoesOn) {
  Bind(MakeNumbered(5));
  grid_.OnDrawDataCell = [](TCustomXbGrid&, QPainter&, const QRect&, dataset::TField*, int) {
    throw 42;
  };
  Shot();
  QTest::qWait(1);
  EXPECT_EQ(dialogs_.Messages().size(), 1u);
  grid_.OnDrawDataCell = nullptr;
  Shot();
  grid_.OnChangeColorsEvent = [](TCustomXbGrid&, int, TXbRowColors&) { throw "colours"; };
  Shot();
  Shot();
  QTest::qWait(1);
  EXPECT_EQ(dialogs_.Messages().size(), 2u) << "shown once, not on every paint";
}

TEST_F(GridTest, WheelPartsOfANotchAddUpAndAHugeTurnStopsAtTheEnd) {
  Bind(MakeNumbered(100));
  auto wheel = [&](int dy) {
    QWheelEvent w(QPointF(50, 50), grid_.viewport()->mapToGlobal(QPointF(50, 50)), {},
                  QPoint(0, dy), Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(grid_.viewport(), &w);
  };
  for (int i = 0; i < 8; ++i) wheel(-15);  // a touchpad: eight eighths of a notch
  EXPECT_EQ(table_.RecNo() - table_.ActiveRecordIndex(), 4);
  int scrolls = 0;
  table_.AfterScroll = [&](dataset::TDataSet&) { ++scrolls; };
  wheel(-120 * 100000);
  EXPECT_EQ(table_.RecNo(), 100);
  EXPECT_LT(scrolls, 200) << "the turn ends once the last record is reached";
  scrolls = 0;
  wheel(std::numeric_limits<int>::max());
  EXPECT_EQ(table_.RecNo(), 1);
  EXPECT_LT(scrolls, 200);
}

TEST_F(GridTest, TheFirstKeyReplacesTheCellAndWhatTheFieldRefusesStaysTyped) {
  const std::string path = dir_ + "/ages.dbf";
  dbf::CreateDbf(path, {{"NAME", 'C', 5, 0}, {"AGE", 'N', 3, 0}, {"JOINED", 'D', 8, 0}});
  dbf::Select(0);
  dbf::USE(path + " EXCLUSIVE");
  dbf::ClearRecord();
  dbf::Append();
  dbf::Append();
  dbf::USE("");
  Bind(path);
  // F2 on a record not yet in edit selects the cell's text; the first key starts the edit and
  // replaces it.
  Key(Qt::Key_End);
  Key(Qt::Key_F2);
  QTest::keyClicks(grid_.Editor(), "123199");
  EXPECT_EQ(grid_.Editor()->text(), "12/31/99");
  Key(Qt::Key_Escape);
  Key(Qt::Key_Escape);
  // A number the field refuses is shown and stays typed: the record is neither left nor posted.
  Key(Qt::Key_Left);
  Key(Qt::Key_F2);
  QTest::keyClicks(grid_.Editor(), "1-2");
  QTest::keyClick(grid_.Editor(), Qt::Key_Down);
  ASSERT_EQ(dialogs_.Messages().size(), 1u) << "tried and shown once";
  EXPECT_EQ(dialogs_.Messages().back(), "'1-2' is not a valid value for field 'AGE'");
  QTest::keyClick(grid_.Editor(), Qt::Key_Down);
  EXPECT_EQ(dialogs_.Messages().size(), 2u) << "refused again, not dropped";
  EXPECT_EQ(grid_.Editor()->text(), "1-2");
  EXPECT_EQ(table_.State(), dataset::TDataSetState::dsEdit);
  EXPECT_EQ(table_.RecNo(), 1);
  EXPECT_EQ(Raw(2, 1), "  0");
  // A pasted line break or NUL becomes a blank, never a stored control byte.
  QTest::keyClick(grid_.Editor(), Qt::Key_Escape);
  Key(Qt::Key_Left);
  Key(Qt::Key_F2);
  QApplication::clipboard()->setText(QString::fromUtf8("x\ny\0z", 5));
  QTest::keyClick(grid_.Editor(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(grid_.Editor()->text(), "x y z");
  Key(Qt::Key_Return);
  table_.Post();
  EXPECT_EQ(Raw(1, 1), "x y z");
}

}  // namespace
}  // namespace tavrin::controls::test
