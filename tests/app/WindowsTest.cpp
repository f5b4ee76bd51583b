// The program as a person uses it, through its real windows: the recipients browser, the compose
// window's rules, and text that must fit the room it is given at any font size.
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>

#include "AppFixture.h"
#include "SendSupport.h"
#include "windows/LogWindow.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"
#include "dbf/Engine.h"

namespace tavrin::app::testing {
namespace {

using controls::TNavigateBtn;

// Another program on the same table: opens it shared in a child process, runs `hold` (a lock, or
// nothing) and keeps it all until destroyed.
class OtherProgram {
 public:
  OtherProgram(const std::string& path, std::function<void()> hold) {
    if (pipe(ready_) != 0 || pipe(go_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dbf::SetStopOnError(false);
      dbf::Select(0);
      dbf::USE(path + " ALIAS OTHER");
      hold();
      char c = 'r';
      (void)!write(ready_[1], &c, 1);
      (void)!read(go_[0], &c, 1);
      _exit(0);
    }
    char c = 0;
    (void)!read(ready_[0], &c, 1);
  }
  ~OtherProgram() {
    char c = 'g';
    (void)!write(go_[1], &c, 1);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    for (int fd : {ready_[0], ready_[1], go_[0], go_[1]}) close(fd);
  }

 private:
  pid_t pid_ = -1;
  int ready_[2]{}, go_[2]{};
};

class Windows : public AppFixture {
 protected:
  std::string Table() const { return Root() + "/home/Tavrin/tavrin.dbf"; }

  // A table of NAME and EMAIL holding `csv` rows, and the program started on it.
  void StartWith(const std::string& csv, const std::string& ini = "[Options]\n") {
    StartOnTable(csv, ini);
  }
  TfrmBrowser& Browser() { return *program_->frmBrowser(); }

  // Opens the browser from the toolbar and runs `steps` in it while it is up; true when it closed.
  bool InBrowser(std::function<void(TfrmBrowser&)> steps) {
    QTimer::singleShot(0, [this, steps] { steps(Browser()); });
    QTest::mouseClick(Main().btnBrowse, Qt::LeftButton);
    return !Browser().isVisible();
  }
  // Types `text` into the grid's selected cell as a person would.
  static void TypeIntoGrid(TfrmBrowser& b, const QString& text) {
    QTest::keyClick(b.Grid, text[0].toLatin1());
    QTest::keyClicks(b.Grid->Editor(), text.mid(1));
  }
  // The names in the table file, every record counted, marked or not.
  std::vector<std::string> NamesInFile() {
    dataset::TXbDbf t("check");
    t.SetHideDeletedRecs(false);
    t.SetDbfFileName(Table());
    t.Open();
    std::vector<std::string> names;
    for (t.GoFirst(); !t.AtEnd(); t.SkipBy(1)) names.push_back(t.GetField("NAME").substr(0, 4));
    EXPECT_EQ(t.RecordTotal(), static_cast<std::int32_t>(names.size()));
    t.Close();
    return names;
  }
};

// ---- One walk through the program

TEST_F(Windows, BrowseEditComposeAttachSendAndCopyTheLog) {
  SmtpServer server(root_ / "outbox", {"--refuse=carl@example.com=550 No such user"});
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n",
            "[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(server.Port()) +
                "\nReturnEmail=me@example.com\n");

  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
    b.Nav->BtnClick(TNavigateBtn::nbLast);
    b.Nav->BtnClick(TNavigateBtn::nbDelete);  // Bob, confirmed
    b.Nav->BtnClick(TNavigateBtn::nbInsert);
    TypeIntoGrid(b, "Carl");
    QTest::keyClick(b.Grid->Editor(), Qt::Key_Tab);
    TypeIntoGrid(b, "carl@example.com");
    b.Nav->BtnClick(TNavigateBtn::nbPost);
    QTest::mouseClick(b.btnClose, Qt::LeftButton);
  }));
  EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"Ann ", "Carl"}));  // Bob packed away

  for (const char* name : {"a.txt", "b.txt"}) {
    WriteFile(Root() + "/" + name, std::string("attached ") + name);
    dialogs_.fileAnswers.push_back(Root() + "/" + name);
    QTest::mouseClick(Main().btnAttach, Qt::LeftButton);
  }
  EXPECT_EQ(Main().lstAttachments->Count(), 2);
  // The Attach dialog opens in the home folder, then where the last file came from.
  EXPECT_EQ(dialogs_.openFolders, (std::vector<std::string>{Root() + "/home", Root()}));
  QApplication::setActiveWindow(&Main());  // back from the browser
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
  Main().edtTo->setFocus();
  Main().edtTo->clear();
  QTest::keyClicks(Main().edtTo, "Members");
  Main().edtSubject->setFocus();
  QTest::keyClicks(Main().edtSubject, "Meeting");
  Main().mmoMessage->setFocus();
  QTest::keyClicks(Main().mmoMessage, "See you there.");

  std::string log;
  auto* watch = new QTimer(&Main());
  QObject::connect(watch, &QTimer::timeout, [&] {
    if (auto* w = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
      QTest::mouseClick(w->btnCopyToClipboard, Qt::LeftButton);
      log = dialogs_.clipboard.value_or("");
      QTest::keyClick(w, Qt::Key_Escape);
    }
  });
  watch->start(10);
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !log.empty(); }, 20000));
  EXPECT_NE(log.find("\nAnn" + std::string(32, ' ') + "  "), std::string::npos) << log;
  EXPECT_NE(log.find("  OK\nCarl" + std::string(31, ' ') + "  "), std::string::npos) << log;
  EXPECT_NE(log.find("  FAILED  "), std::string::npos) << log;
  EXPECT_EQ(log.find("Bob"), std::string::npos);
  ASSERT_EQ(server.Messages().size(), 1u);
  const std::string sent = ReadFile(server.Messages()[0]);
  for (const char* part : {"Subject:Meeting", "See you there.", "a.txt", "b.txt"})
    EXPECT_NE(sent.find(part), std::string::npos) << part;
}

// A message may be its attachments alone: no text is asked for, and the file arrives.
TEST_F(Windows, AMessageOfAttachmentsAloneIsSent) {
  SmtpServer server(root_ / "outbox", {});
  StartWith("Ann,ann@example.com\n",
            "[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(server.Port()) +
                "\nReturnEmail=me@example.com\n");
  WriteFile(Root() + "/report.txt", "the report");
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/report.txt"));
  Main().edtTo->setText("Members");
  Main().edtSubject->setText("Report");
  bool logShown = false;
  auto* watch = new QTimer(&Main());
  QObject::connect(watch, &QTimer::timeout, [&] {
    if (auto* w = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
      logShown = true;
      w->close();
    }
  });
  watch->start(10);
  Main().btnSendClick();
  ASSERT_TRUE(net::test::PumpUntil([&] { return logShown; }, 20000))
      << ::testing::PrintToString(dialogs_.Messages());
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(ReadFile(server.Messages()[0]).find("report.txt"), std::string::npos);
}

// ---- The browser's close, pack and column rules

TEST_F(Windows, EveryWayOfClosingTheBrowserPostsWhatWasTypedAndPacks) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\nCy,cy@example.com\n");
  // Typed and never posted, then the Close button.
  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
    TypeIntoGrid(b, "Anna");
    b.btnClose->click();
  }));
  EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"Anna", "Bob ", "Cy  "}));
  // A record deleted, then Esc on the grid; a new record typed, then the title bar's close.
  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
    b.Nav->BtnClick(TNavigateBtn::nbNext);
    b.Nav->BtnClick(TNavigateBtn::nbDelete);
    QTest::keyClick(b.Grid, Qt::Key_Escape);
  }));
  EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"Anna", "Cy  "}));
  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
    b.Nav->BtnClick(TNavigateBtn::nbInsert);
    TypeIntoGrid(b, "Dee");
    b.close();
  }));
  EXPECT_EQ(NamesInFile().size(), 3u);
  EXPECT_TRUE(dialogs_.Messages().empty());
}

TEST_F(Windows, APostAnotherProgramsLockRefusesKeepsTheBrowserOpenWithTheTypedValue) {
  StartWith("Ann,ann@example.com\n");
  OtherProgram other(Table(), [] { dbf::RLock(); });
  bool closed = true;
  std::string typed;
  InBrowser([&](TfrmBrowser& b) {
    TypeIntoGrid(b, "Anna");
    b.btnClose->click();
    closed = !b.isVisible();
    typed = b.Table().tblDatabase.FieldByName("NAME")->AsString().substr(0, 4);
    b.Table().tblDatabase.Cancel();
    b.reject();
  });
  EXPECT_FALSE(closed);
  EXPECT_EQ(typed, "Anna");
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{"Lock failed [Post]"});
  EXPECT_EQ(NamesInFile(), std::vector<std::string>{"Ann "});
}

TEST_F(Windows, APackAnotherProgramPreventsIsToldAndTheRecordStaysMarked) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  {
    OtherProgram other(Table(), [] {});
    ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
      b.Nav->BtnClick(TNavigateBtn::nbDelete);
      b.reject();
    }));
    EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{kPackRefusedMessage});
    EXPECT_EQ(NamesInFile().size(), 2u);
  }
  // Once the table is free, the next close packs the marked record away.
  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) { b.reject(); }));
  EXPECT_EQ(NamesInFile(), std::vector<std::string>{"Bob "});
}

TEST_F(Windows, ADeleteAnotherProgramsLockRefusesMarksNothingAndClaimsNothingAtClose) {
  StartWith("Ann,ann@example.com\nBob,bob@example.com\n");
  OtherProgram other(Table(), [] { dbf::RLock(); });
  ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
    b.Nav->BtnClick(TNavigateBtn::nbDelete);
    b.reject();
  }));
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{"Lock failed [Delete]"});
  EXPECT_EQ(NamesInFile(), (std::vector<std::string>{"Ann ", "Bob "}));
}

TEST_F(Windows, EachShowBuildsTheTwoColumnsAfreshAndTheWindowKeepsItsSmallestSize) {
  StartWith("Ann,ann@example.com\n", "[Options]\nNameFieldname=email\n");
  for (int show = 0; show < 2; ++show)
    ASSERT_TRUE(InBrowser([](TfrmBrowser& b) {
      controls::TXbGridColumns& c = b.Grid->Columns();
      ASSERT_EQ(c.Count(), 2);
      EXPECT_EQ(c.Items(0)->FieldName(), "email");
      EXPECT_EQ(c.Items(0)->Title().Caption(), "Name");
      EXPECT_EQ(c.Items(1)->Title().Caption(), "E-mail");
      b.resize(100, 100);
      EXPECT_EQ(b.size(), QSize(200, 150));
      // Both columns, the indicator and the lines fit in what the grid shows: no sideways scrolling.
      const int shown = b.Grid->viewport()->width();
      EXPECT_EQ(c.Items(0)->Width(), c.Items(1)->Width());
      EXPECT_LE(11 + 1 + 2 * (c.Items(0)->Width() + 1), shown);
      EXPECT_FALSE(b.Grid->horizontalScrollBar()->isVisible());
      b.reject();
    }));
}

// ---- The compose window's rules

TEST_F(Windows, EditCommandsFollowTheMemoAndOnlyAMoveToAnotherControlDisablesThem) {
  StartWith("Ann,ann@example.com\n");
  TfrmEmailMerge& m = Main();
  m.mmoMessage->setFocus();
  EXPECT_TRUE(m.btnPaste->isEnabled() && m.miPaste->isEnabled() && m.miSelectAll->isEnabled());
  QTest::keyClicks(m.mmoMessage, "hello");
  EXPECT_TRUE(m.btnUndo->isEnabled() && m.miUndo->isEnabled());
  EXPECT_FALSE(m.btnCopy->isEnabled());  // no selection after a key
  m.miSelectAll->trigger();
  EXPECT_TRUE(m.btnCut->isEnabled() && m.miCopy->isEnabled());

  QFocusEvent toMenu(QEvent::FocusOut, Qt::PopupFocusReason);
  QApplication::sendEvent(m.mmoMessage, &toMenu);
  QFocusEvent toOtherWindow(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(m.mmoMessage, &toOtherWindow);
  EXPECT_TRUE(m.miCopy->isEnabled());
  m.miCopy->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "hello");

  auto* image = new QMimeData;
  image->setImageData(QImage(4, 4, QImage::Format_RGB32));
  QGuiApplication::clipboard()->setMimeData(image);
  m.btnPaste->click();
  EXPECT_EQ(m.mmoMessage->toPlainText(), "hello");

  m.edtSubject->setFocus();
  for (QAction* a : {m.miUndo, m.miCut, m.miCopy, m.miPaste, m.miSelectAll})
    EXPECT_FALSE(a->isEnabled());
  for (QToolButton* b : {m.btnUndo, m.btnCut, m.btnCopy, m.btnPaste}) EXPECT_FALSE(b->isEnabled());
}

TEST_F(Windows, ViewTogglesAttachTheFieldsWidthAndTheSmallestSize) {
  StartWith("Ann,ann@example.com\n");
  TfrmEmailMerge& m = Main();
  m.miToolbar->trigger();
  m.miStatusBar->trigger();
  EXPECT_FALSE(m.ToolBar->isVisible() || m.pnlFooter->isVisible());
  m.miToolbar->trigger();
  m.miStatusBar->trigger();
  QApplication::processEvents();
  EXPECT_TRUE(m.ToolBar->isVisible() && m.pnlFooter->isVisible());
  EXPECT_LT(m.ToolBar->y(), m.pnlHeader->y());

  EXPECT_EQ(m.Splitter->sizes().value(1), 0);  // the attachment section starts closed
  WriteFile(Root() + "/a.txt", "a");
  dialogs_.fileAnswers = {Root() + "/a.txt", Root() + "/a.txt"};
  m.btnAttachClick();
  EXPECT_EQ(m.Splitter->sizes().value(1), 70);
  m.SetSplitterPosition(m.Splitter->height() / 3);
  const int taller = m.SplitterPosition();
  m.btnAttachClick();
  EXPECT_EQ(m.SplitterPosition(), taller);

  // The To field ends inside the window, however much is typed into it.
  m.edtTo->setFocus();
  QTest::keyClicks(m.edtTo, QString(200, 'x'));
  EXPECT_LE(m.edtTo->mapTo(&m, QPoint(m.edtTo->width(), 0)).x(), m.width());

  m.resize(250, 600);
  EXPECT_EQ(m.width(), 300);
  m.resize(600, 120);
  EXPECT_EQ(m.height(), 300);
}

// ---- Start-up: the locale step and titles

TEST_F(Windows, TheLocaleStepTakesTheLocalesDateFormatAndSeparatorsAndTitlesStandAlone) {
  const dataset::LocaleInput german = LocaleInputFrom(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(german.shortDateFormat, "dd.MM.yy");
  EXPECT_EQ(german.decimalSeparator, ",");
  EXPECT_EQ(german.thousandsSeparator, ".");
  StartWith("Ann,ann@example.com\n", "[Options]\nProgramCaption=Club Mail\n");
  EXPECT_EQ(Main().windowTitle(), "Club Mail");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
}

}  // namespace
}  // namespace tavrin::app::testing
