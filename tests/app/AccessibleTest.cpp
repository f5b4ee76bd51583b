// What a screen reader finds in the recipients browser, read through Qt's accessibility API on the
// real windows: the grid as a table (header, rows, the current cell and its text, the events when
// it moves or changes) and the navigator's buttons (names, enabled and pressed states, the press).
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <vector>

#include "AppFixture.h"
#include "SendSupport.h"
#include "controls/ControlsAccessible.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"

namespace tavrin::app::testing {
namespace {

using controls::TNavigateBtn;

struct Heard {
  QAccessible::Event type;
  QAccessible::Role role;
  QString name;
};
std::vector<Heard>* g_heard = nullptr;

void Listen(QAccessibleEvent& event) {
  QAccessibleInterface* iface = event.accessibleInterface();
  if (g_heard != nullptr && iface != nullptr)
    g_heard->push_back({event.type(), iface->role(), iface->text(QAccessible::Name)});
}

class BrowserAccessible : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    g_heard = &heard_;
    controls::SetAccessibleListener(Listen);
  }
  void TearDown() override {
    controls::SetAccessibleListener(nullptr);
    g_heard = nullptr;
    AppFixture::TearDown();
  }

  void StartWith(const std::string& csv) { StartOnTable(csv); }
  // Runs `steps` in the browser while it is up, with the grid focused.
  void InBrowser(std::function<void(TfrmBrowser&)> steps) {
    QTimer::singleShot(0, [this, steps] {
      TfrmBrowser& b = *program_->frmBrowser();
      QApplication::setActiveWindow(&b);
      b.Grid->setFocus();
      QApplication::processEvents();
      steps(b);
      b.reject();
    });
    QTest::mouseClick(Main().btnBrowse, Qt::LeftButton);
  }
  bool HeardCell(QAccessible::Event type, const QString& name) const {
    for (const Heard& h : heard_)
      if (h.type == type && h.role == QAccessible::Cell && h.name == name) return true;
    return false;
  }

  std::vector<Heard> heard_;
};

QString Name(QAccessibleInterface* iface) {
  return iface != nullptr ? iface->text(QAccessible::Name) : "(none)";
}

TEST_F(BrowserAccessible, TheGridReadsAsATableWithItsHeaderAndFollowsTheCurrentCell) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\nCy,cy@example.com\n");
  bool ran = false;
  InBrowser([&](TfrmBrowser& b) {
    ran = true;
    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(b.Grid);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->role(), QAccessible::Table);
    QAccessibleTableInterface* table = grid->tableInterface();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->columnCount(), 2);
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(table->columnDescription(0), "Name");
    EXPECT_EQ(table->columnDescription(1), "E-mail");

    // Header cells first, then the rows; each child knows its place and its parent.
    ASSERT_EQ(grid->childCount(), 2 + 3 * 2);
    for (int i = 0; i < grid->childCount(); ++i) {
      QAccessibleInterface* child = grid->child(i);
      ASSERT_NE(child, nullptr);
      EXPECT_EQ(child->role(), i < 2 ? QAccessible::ColumnHeader : QAccessible::Cell) << i;
      EXPECT_EQ(grid->indexOfChild(child), i);
      EXPECT_EQ(child->parent(), grid);
      EXPECT_FALSE(child->rect().isEmpty()) << i;
    }
    QAccessibleInterface* bobMail = table->cellAt(1, 1);
    EXPECT_EQ(Name(bobMail), "bob@example.com");
    ASSERT_NE(bobMail->tableCellInterface(), nullptr);
    EXPECT_EQ(bobMail->tableCellInterface()->rowIndex(), 1);
    const auto header = bobMail->tableCellInterface()->columnHeaderCells();
    ASSERT_EQ(header.size(), 1);
    EXPECT_EQ(Name(header[0]), "E-mail");
    EXPECT_EQ(grid->childAt(bobMail->rect().center().x(), bobMail->rect().center().y()), bobMail);

    // The current cell is the one selected, and focused while the grid has the focus.
    ASSERT_TRUE(b.Grid->hasFocus());
    ASSERT_EQ(table->selectedCellCount(), 1);
    EXPECT_EQ(Name(table->selectedCells()[0]), "Ann");
    EXPECT_TRUE(table->cellAt(0, 0)->state().focused);
    EXPECT_EQ(grid->focusChild(), table->cellAt(0, 0));

    heard_.clear();
    QTest::keyClick(b.Grid, Qt::Key_Down);
    QApplication::processEvents();  // the focus moves to the cell once the key is handled
    QTest::keyClick(b.Grid, Qt::Key_Tab);
    QApplication::processEvents();
    EXPECT_EQ(Name(table->selectedCells().value(0)), "bob@example.com");
    EXPECT_TRUE(table->cellAt(1, 1)->state().selected);
    EXPECT_FALSE(table->cellAt(0, 0)->state().selected);
    EXPECT_TRUE(HeardCell(QAccessible::Focus, "Bob"));
    EXPECT_TRUE(HeardCell(QAccessible::Focus, "bob@example.com"));

    // A new value in the current cell is announced once it reaches the record.
    heard_.clear();
    QTest::keyClick(b.Grid, Qt::Key_B);
    QTest::keyClicks(b.Grid->Editor(), "@example.org");
    EXPECT_EQ(Name(table->cellAt(1, 1)), "b@example.org");  // the editor's text while it edits
    QTest::keyClick(b.Grid->Editor(), Qt::Key_Return);
    EXPECT_TRUE(HeardCell(QAccessible::NameChanged, "b@example.org"));
    EXPECT_EQ(Name(table->cellAt(1, 1)), "b@example.org");
  });
  EXPECT_TRUE(ran);
}

TEST_F(BrowserAccessible, EachNavigatorButtonIsNamedByItsHintAndTellsItsState) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  bool ran = false;
  InBrowser([&](TfrmBrowser& b) {
    ran = true;
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(b.Nav);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->role(), QAccessible::ToolBar);
    ASSERT_EQ(bar->childCount(), 10);
    auto button = [&](TNavigateBtn which) { return bar->child(static_cast<int>(which)); };
    for (int i = 0; i < 10; ++i) {
      const auto which = static_cast<TNavigateBtn>(i);
      EXPECT_EQ(button(which)->role(), QAccessible::Button);
      EXPECT_EQ(Name(button(which)), controls::NavDefaultHint(which));
    }
    // On the first record of two, not editing.
    EXPECT_TRUE(button(TNavigateBtn::nbFirst)->state().disabled);
    EXPECT_FALSE(button(TNavigateBtn::nbNext)->state().disabled);
    EXPECT_TRUE(button(TNavigateBtn::nbPost)->state().disabled);

    QWidget* next = b.Nav->Button(TNavigateBtn::nbNext);
    QTest::mousePress(next, Qt::LeftButton);
    EXPECT_TRUE(button(TNavigateBtn::nbNext)->state().pressed);
    QTest::mouseRelease(next, Qt::LeftButton);
    EXPECT_FALSE(button(TNavigateBtn::nbNext)->state().pressed);

    // The press action is the button's click; a disabled button does nothing.
    auto press = [&](TNavigateBtn which) {
      QAccessibleActionInterface* action = button(which)->actionInterface();
      ASSERT_NE(action, nullptr);
      EXPECT_EQ(action->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
      action->doAction(QAccessibleActionInterface::pressAction());
    };
    auto current = [&] {
      return Name(
          QAccessible::queryAccessibleInterface(b.Grid)->tableInterface()->selectedCells().value(
              0));
    };
    press(TNavigateBtn::nbLast);
    EXPECT_TRUE(button(TNavigateBtn::nbNext)->state().disabled);
    EXPECT_FALSE(button(TNavigateBtn::nbFirst)->state().disabled);
    press(TNavigateBtn::nbFirst);
    EXPECT_EQ(current(), "Ann");
    ASSERT_TRUE(button(TNavigateBtn::nbPrior)->state().disabled);
    press(TNavigateBtn::nbPrior);
    EXPECT_EQ(current(), "Ann");

    press(TNavigateBtn::nbEdit);
    EXPECT_FALSE(button(TNavigateBtn::nbPost)->state().disabled);
    EXPECT_TRUE(button(TNavigateBtn::nbEdit)->state().disabled);
    press(TNavigateBtn::nbCancel);
  });
  EXPECT_TRUE(ran);
}

// Asks an interface everything a screen reader may ask, children and cells included, as a reader
// walking the tree does at any moment; returns how many interfaces answered.
int Walk(QAccessibleInterface* iface, int depth = 0) {
  if (iface == nullptr || !iface->isValid() || depth > 3) return 0;
  int seen = 1;
  (void)iface->role();
  (void)iface->state();
  (void)iface->rect();
  for (QAccessible::Text t : {QAccessible::Name, QAccessible::Description, QAccessible::Value})
    (void)iface->text(t);
  (void)iface->focusChild();
  (void)iface->childAt(iface->rect().center().x(), iface->rect().center().y());
  if (QAccessibleTableInterface* table = iface->tableInterface()) {
    (void)table->selectedCells();
    (void)table->selectedRows();
    for (int row = -2; row <= table->rowCount() + 1; ++row)
      for (int column = -1; column <= table->columnCount(); ++column)
        seen += Walk(table->cellAt(row, column), depth + 1);
    for (int column = -1; column <= table->columnCount(); ++column)
      (void)table->columnDescription(column);
  }
  if (QAccessibleTableCellInterface* cell = iface->tableCellInterface()) {
    (void)cell->isSelected();
    for (QAccessibleInterface* header : cell->columnHeaderCells())
      (void)header->text(QAccessible::Name);
    (void)cell->table();
  }
  for (int i = -1; i <= iface->childCount(); ++i) {
    QAccessibleInterface* child = iface->child(i);
    if (child == nullptr) continue;
    (void)iface->indexOfChild(child);
    (void)child->parent();
    seen += Walk(child, depth + 1);
  }
  return seen;
}

// A reader keeps walking the browser while the table under it is empty, has one record, loses its
// records (here and in another program) and after the window has closed: every answer comes from
// what is there, nothing is read from a record or a cell that is gone.
TEST_F(BrowserAccessible, EveryCellAndButtonAnswersOverAnEmptyShrinkingAndClosedTable) {
  StartWith("Ann,ann@example.com\n");
  std::vector<QAccessible::Id> kept;
  InBrowser([&](TfrmBrowser& b) {
    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(b.Grid);
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(b.Nav);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(Walk(grid),
              1 + 4 + 2);  // the table, its four children, the row's cells again by place
    EXPECT_GT(Walk(bar), 10);
    for (int i = 0; i < grid->childCount(); ++i)
      kept.push_back(QAccessible::uniqueId(grid->child(i)));
    kept.push_back(QAccessible::uniqueId(grid));

    // The only record deleted with the navigator's button, the question answered yes.
    dialogs_.confirmAnswers = {true};
    bar->child(static_cast<int>(TNavigateBtn::nbDelete))
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(grid->tableInterface()->rowCount(), 0);
    EXPECT_EQ(Walk(grid), 1 + 2);  // the header alone
    for (QAccessible::Id id : kept) Walk(QAccessible::accessibleInterface(id));
    for (int i = 0; i < 10; ++i) {  // every button pressed on the empty table
      if (static_cast<TNavigateBtn>(i) == TNavigateBtn::nbDelete) continue;
      bar->child(i)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
      Walk(grid);
      Walk(bar);
    }
    QTest::keyClick(b.Grid, Qt::Key_Escape);  // leaves an insert the buttons may have begun
  });
  // Records another program appends and deletes while the browser shows them.
  const std::string tool = TAVRIN_DBFTOOL, table = Root() + "/home/Tavrin/tavrin.dbf";
  InBrowser([&](TfrmBrowser& b) {
    ASSERT_EQ(
        std::system((tool + " import " + table + " " + Root() + "/people.csv >/dev/null").c_str()),
        0);
    ASSERT_EQ(std::system((tool + " delete " + table + " 1 >/dev/null").c_str()), 0);
    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(b.Grid);
    Walk(grid);
    b.Nav->BtnClick(TNavigateBtn::nbRefresh);
    Walk(grid);
    for (QAccessible::Id id : kept) Walk(QAccessible::accessibleInterface(id));
  });
  // The window closed: the grid is there, its table is not.
  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(program_->frmBrowser()->Grid);
  EXPECT_EQ(grid->tableInterface()->rowCount(), 0);
  Walk(grid);
  Walk(QAccessible::queryAccessibleInterface(program_->frmBrowser()->Nav));
  for (QAccessible::Id id : kept) Walk(QAccessible::accessibleInterface(id));
  // The program gone, the interfaces went with their widgets.
  program_.reset();
  for (QAccessible::Id id : kept) EXPECT_EQ(QAccessible::accessibleInterface(id), nullptr);
}

}  // namespace
}  // namespace tavrin::app::testing
