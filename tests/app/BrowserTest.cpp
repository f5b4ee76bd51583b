// The recipients browser driven by keys sent to whatever has the keyboard focus, as a person's
// keys are: the cell editor's focus and text, new records, posts, the window's growth, a table the
// user may not write, and Find.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QWindow>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>

#include "AppFixture.h"
#include "SendSupport.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"

namespace tavrin::app::testing {
namespace {

using controls::TNavigateBtn;

class Browser : public AppFixture {
 protected:
  std::string Table() const { return Root() + "/home/Tavrin/tavrin.dbf"; }

  // Real message boxes instead of recorded ones, for tests where a box's own focus handling counts.
  void UseRealDialogs() {
    services_ = std::make_unique<AppServices>(
        AppServices{qtDialogs_, services_->places, services_->terminate});
    services_->secrets = &secrets_;
  }

  // A table of NAME and EMAIL holding `csv` rows, and the program started on it.
  void StartWith(const std::string& csv) { StartOnTable(csv); }
  TfrmBrowser& Window() { return *program_->frmBrowser(); }

  // Opens the browser and runs `steps` while it is up; true when it closed. A browser the steps
  // leave open is put away (its edit cancelled) so that the test goes on.
  [[nodiscard]] bool InBrowser(std::function<void(TfrmBrowser&)> steps) {
    closedByKeys_ = false;
    QTimer::singleShot(0, [this, steps] {
      QApplication::setActiveWindow(&Window());
      steps(Window());
      if (Window().isVisible()) {
        Window().Table().tblDatabase.Cancel();
        Window().reject();
      }
    });
    QTest::mouseClick(Main().btnBrowse, Qt::LeftButton);
    return closedByKeys_;
  }

  static void ExpectClosed(bool closed) {
    EXPECT_TRUE(closed) << "Alt+O did not close the browser";
  }

  // A key as a person presses it: to the window the desktop gives the keys to (the modal one on top),
  // which hands it on to its own focus widget, as Qt does with a real key.
  static QWindow* KeyWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal->windowHandle();
    return QGuiApplication::focusWindow();
  }
  static void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWindow* target = KeyWindow();
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, static_cast<Qt::Key>(key), mods);
  }
  static void Type(const QString& text) {
    for (QChar c : text) {
      QWindow* target = KeyWindow();
      ASSERT_NE(target, nullptr);
      QTest::keyClick(target, c.toLatin1());
    }
  }
  // Answers the next message box, once it has the focus, with Shift+Tab (from Cancel to OK) and
  // Enter. A box that never takes the focus is rejected after a while, failing the test.
  static void ChooseOkInNextBox() {
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, tries] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QWidget* focus = QApplication::focusWidget();
      if (box != nullptr && focus != nullptr && box->isAncestorOf(focus)) {
        poll->deleteLater();
        Key(Qt::Key_Tab, Qt::ShiftModifier);
        Key(Qt::Key_Return);
      } else if (++*tries > 200) {
        poll->deleteLater();
        ADD_FAILURE() << "the message box never took the focus";
        if (box != nullptr) box->reject();
      }
    });
    poll->start(10);
  }
  // Presses Alt+O (the Close button) and notes whether the browser went.
  void CloseWithAltO(TfrmBrowser& b) {
    Key(Qt::Key_O, Qt::AltModifier);
    closedByKeys_ =
        QTest::qWaitFor([&] { return !b.isVisible(); }, 2000);  // a mnemonic clicks a moment later
  }

  // The NAME and EMAIL of every record in the file, trimmed, marked ones too.
  std::vector<std::string> RecordsInFile() {
    dataset::TXbDbf t("check");
    t.SetDbfFileName(Table());
    t.Open();
    std::vector<std::string> out;
    auto trim = [](std::string s) {
      while (!s.empty() && s.back() == ' ') s.pop_back();
      return s;
    };
    for (t.GoFirst(); !t.AtEnd(); t.SkipBy(1))
      out.push_back(trim(t.GetField("NAME")) + "|" + trim(t.GetField("EMAIL")));
    t.Close();
    return out;
  }

  platform::QtDialogs qtDialogs_;
  bool closedByKeys_ = false;
};

// ---- The cell editor: focus, text, new records and posts

TEST_F(Browser, AfterADeleteConfirmationKeysGoToTheCellTheyAreTypedInAndAltOCloses) {
  UseRealDialogs();
  StartWith("Ann,ann@example.com\nBob,bob@example.com\nCy,cy@example.com\n");
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    Key(Qt::Key_Home, Qt::ControlModifier);
    ChooseOkInNextBox();
    Key(Qt::Key_Delete, Qt::ControlModifier);
    Key(Qt::Key_End, Qt::ControlModifier);
    Key(Qt::Key_Down);
    Type("Dan");
    Key(Qt::Key_Tab);
    Type("dan@example.com");
    Key(Qt::Key_Up);
    EXPECT_FALSE(b.Grid->Editor()->hasFocus() && !b.Grid->Editor()->isVisible());
    CloseWithAltO(b);
  }));
  EXPECT_EQ(RecordsInFile(), (std::vector<std::string>{"Bob|bob@example.com", "Cy|cy@example.com",
                                                       "Dan|dan@example.com"}));
}

TEST_F(Browser, ANewRecordStartsAtTheFirstColumnAndTabAtARecordsEndPostsItWithoutAnother) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    Key(Qt::Key_Tab);
    Type("ann@example.org");
    QTest::mouseClick(b.Nav->Button(TNavigateBtn::nbInsert), Qt::LeftButton);
    EXPECT_EQ(b.Grid->SelectedIndex(), 0);
    Type("Eve");
    Key(Qt::Key_Tab);
    Type("eve@example.com");
    Key(Qt::Key_Tab);  // posts the new record and stays on it
    EXPECT_EQ(b.Table().tblDatabase.State(), dataset::TDataSetState::dsBrowse);
    EXPECT_EQ(b.Table().tblDatabase.FieldByName("NAME")->AsString(), "Eve");
    // The same for an edited record: Tab at its end posts it, and no new record follows.
    Type("Eva");
    Key(Qt::Key_Tab);
    EXPECT_EQ(b.Table().tblDatabase.State(), dataset::TDataSetState::dsBrowse);
    EXPECT_EQ(b.Table().tblDatabase.RecordTotal(), 3);
    CloseWithAltO(b);
  }));
  EXPECT_EQ(RecordsInFile(),
            (std::vector<std::string>{"Ann|ann@example.org", "Bob|bob@example.com", "Eve|Eva"}));
}

TEST_F(Browser, ThePostButtonClosesTheEditorAndTheNextKeysStartAFreshEdit) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    Type("Anna");
    QTest::mouseClick(b.Nav->Button(TNavigateBtn::nbPost), Qt::LeftButton);
    EXPECT_FALSE(b.Grid->EditorMode());
    EXPECT_FALSE(b.Grid->Editor()->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), b.Grid);
    Key(Qt::Key_Down);
    Type("Bo");  // replaces Bob's name, nothing of "Anna" comes along
    Key(Qt::Key_Return);
    CloseWithAltO(b);
  }));
  EXPECT_EQ(RecordsInFile(),
            (std::vector<std::string>{"Anna|ann@example.com", "Bo|bob@example.com"}));
}

// ---- The window's room

TEST_F(Browser, TheGridGrowsWithTheWindowAndBothColumnsStayInView) {
  std::string csv;
  for (int i = 1; i <= 100; ++i)
    csv += "Name" + std::to_string(i) + ",n" + std::to_string(i) + "@example.com\n";
  StartWith(csv);
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    for (QSize size : {QSize(900, 700), QSize(418, 295)}) {
      b.resize(size);
      const QRect grid = b.Grid->geometry(), nav = b.Nav->geometry();
      EXPECT_GE(grid.bottom(), nav.top() - 6) << "no empty band between the grid and the navigator";
      EXPECT_GE(nav.bottom(), b.height() - 6);
      EXPECT_GE(b.Grid->VisibleDataRows(),
                (grid.height() - 2 * b.Grid->RowHeight()) / b.Grid->RowHeight());
      EXPECT_TRUE(b.Grid->verticalScrollBar()->isVisible());
      EXPECT_FALSE(b.Grid->horizontalScrollBar()->isVisible()) << "the two columns fit";
      Key(Qt::Key_Tab);  // into the E-mail column: the Name column stays in view
      EXPECT_EQ(b.Grid->SelectedIndex(), 1);
      EXPECT_TRUE(b.Grid->CellRect(1, 0).isValid());
      EXPECT_TRUE(b.Grid->CellRect(2, 0).isValid());
      Key(Qt::Key_Tab, Qt::ShiftModifier);
    }
    CloseWithAltO(b);
  }));
}

// ---- A table the user may read but not change

TEST_F(Browser, ATableThatCannotBeWrittenIsShownReadOnlyWithItsRecordsAndNothingToEdit) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  const std::string before = ReadFile(Table());
  // A file made read-only (which binds the superuser too), then a table the system refuses to write.
  for (int way = 0; way < 2; ++way) {
    if (way == 0) {
      ASSERT_EQ(::chmod(Table().c_str(), 0444), 0);
    } else {
      ASSERT_EQ(::chmod(Table().c_str(), 0644), 0);
      Window().Table().Writable = [](const std::string&) { return false; };
    }
    ExpectClosed(InBrowser([this](TfrmBrowser& b) {
      EXPECT_TRUE(b.ReadOnlyLine->isVisible());
      EXPECT_EQ(b.ReadOnlyLine->text().toStdString(), kReadOnlyTableLine);
      EXPECT_EQ(b.Table().tblDatabase.FieldByName("NAME")->AsString(), "Ann");
      for (TNavigateBtn n : {TNavigateBtn::nbInsert, TNavigateBtn::nbDelete, TNavigateBtn::nbEdit,
                             TNavigateBtn::nbPost, TNavigateBtn::nbCancel})
        EXPECT_FALSE(b.Nav->Button(n)->isEnabled()) << controls::NavButtonName(n);
      EXPECT_TRUE(b.Nav->Button(TNavigateBtn::nbNext)->isEnabled());
      Type("X");
      Key(Qt::Key_F2);
      Key(Qt::Key_Insert);
      Key(Qt::Key_Down);
      Key(Qt::Key_Down);  // past the last record: nothing is appended
      Key(Qt::Key_Delete, Qt::ControlModifier);
      EXPECT_EQ(b.Table().tblDatabase.State(), dataset::TDataSetState::dsBrowse);
      EXPECT_FALSE(b.Grid->EditorMode());
      EXPECT_EQ(b.Table().tblDatabase.FieldByName("NAME")->AsString(), "Bob");
      CloseWithAltO(b);
    }));
    EXPECT_TRUE(dialogs_.shown.empty()) << dialogs_.shown.front().text;
    EXPECT_EQ(ReadFile(Table()), before);
  }
  // Writable again: the line goes, editing comes back.
  Window().Table().Writable = TableWritable;
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    EXPECT_FALSE(b.ReadOnlyLine->isVisible());
    EXPECT_TRUE(b.Nav->Button(TNavigateBtn::nbInsert)->isEnabled());
    CloseWithAltO(b);
  }));
}

// Runs `check` in a child process (which may change its user or mounts freely); its exit status:
// 0 true, 1 false, 77 when the child could not set itself up.
int InChild(const std::function<int()>& check) {
  const pid_t pid = fork();
  if (pid == 0) _exit(check());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Browser, WritabilityFollowsTheModeTheOwnerAndTheMount) {
  const std::string dir = Root() + "/tables", path = dir + "/t.dbf";
  std::filesystem::create_directories(dir);
  WriteFile(path, "x");
  ::chmod(path.c_str(), 0644);
  EXPECT_TRUE(TableWritable(path));
  EXPECT_TRUE(TableWritable(dir + "/missing.dbf")) << "the open says why a missing file fails";
  ::chmod(path.c_str(), 0444);
  EXPECT_FALSE(TableWritable(path));
  ::chmod(path.c_str(), 0644);
  if (::geteuid() != 0)
    GTEST_SKIP() << "another owner and a read-only mount need the superuser to set up";
  // Another owner's table (mode 644) to an ordinary user.
  ::chmod(Root().c_str(), 0755);
  ::chmod(dir.c_str(), 0755);
  EXPECT_EQ(InChild([&] { return ::setuid(65534) != 0 ? 77 : TableWritable(path) ? 0 : 1; }), 1);
  // A read-only mount refuses the superuser too.
  const int mounted = InChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      return 77;
    return TableWritable(path) ? 0 : 1;
  });
  if (mounted == 77) GTEST_SKIP() << "no mount namespace here for a read-only bind mount";
  EXPECT_EQ(mounted, 1);
}

// ---- Find

TEST_F(Browser, CtrlFFindsInNameOrEmailWithoutRegardToCaseAndF3GoesOnRoundTheTable) {
  StartWith(
      "Ann,ann@example.com\nBob,bob@example.ORG\nCy,cy@example.com\nDora Orgel,dora@example.net\n"
      "Eve,eve@example.org\n");
  ExpectClosed(InBrowser([this](TfrmBrowser& b) {
    auto at = [&] { return b.Table().tblDatabase.RecNo(); };
    Key(Qt::Key_F, Qt::ControlModifier);
    ASSERT_EQ(QApplication::focusWidget(), b.FindField);
    Type("org");
    Key(Qt::Key_Return);
    EXPECT_EQ(at(), 2) << "the e-mail field, upper case";
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 4) << "the name field";
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 5);
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 2) << "round from the start";
    b.FindField->clear();
    Type("zzz");
    Key(Qt::Key_Return);
    EXPECT_EQ(at(), 2) << "nothing found: the record stays";
    EXPECT_EQ(b.FindResult->text(), "Not found");
    Key(Qt::Key_Escape);  // closes the field, not the window
    EXPECT_TRUE(b.isVisible());
    EXPECT_FALSE(b.FindField->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), b.Grid);
    // A deleted record is passed over; F3 from the grid searches again for the text in the field.
    Key(Qt::Key_Delete, Qt::ControlModifier);  // Bob, confirmed
    b.FindField->setText("ORG");
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 4);
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 5);
    Key(Qt::Key_F3);
    EXPECT_EQ(at(), 4);
    // A typed, unposted name is posted before the search moves away from it.
    ASSERT_EQ(QApplication::focusWidget(), b.Grid);
    Type("Zed");
    Key(Qt::Key_F, Qt::ControlModifier);
    b.FindField->setText("ann");
    Key(Qt::Key_Return);
    EXPECT_EQ(at(), 1);
    CloseWithAltO(b);
  }));
  EXPECT_EQ(RecordsInFile(),
            (std::vector<std::string>{"Ann|ann@example.com", "Cy|cy@example.com",
                                      "Zed|dora@example.net", "Eve|eve@example.org"}));
}

}  // namespace
}  // namespace tavrin::app::testing
