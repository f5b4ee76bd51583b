// Resume Send as the main window offers it: a send the server cut off after its first
// transaction leaves its journal open; File > Resume Send asks about it and sends to the rest
// only, the log covering the whole send; Discard closes it; a changed attachment stops it.
#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "AppFixture.h"
#include "SendSupport.h"
#include "send/SendJournal.h"
#include "windows/ConfigDialog.h"
#include "windows/LogWindow.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

class JournalWindow : public AppFixture {
 protected:
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    AppFixture::TearDown();
  }
  void Start(int port) {
    WriteIni("[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(port) +
             "\nReturnEmail=sender@example.com\nRecipientsPerMessage=2\n");
    const std::string table = Root() + "/home/Tavrin/tavrin.dbf";
    WriteFile(Root() + "/people.csv",
              "NAME,EMAIL\nAnn,ann@example.com\nBob,bob@example.com\nCy,cy@example.com\n");
    ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " create " + table +
                           " NAME,C,40 EMAIL,C,60 >/dev/null && " + TAVRIN_DBFTOOL + " import " +
                           table + " " + Root() + "/people.csv >/dev/null")
                              .c_str()),
              0);
    std::filesystem::create_directories(Root() + "/tmp");
    ::setenv("XDG_DATA_HOME", (Root() + "/data").c_str(), 1);
    StartProgram();
    Main().show();
    Main().edtTo->setText("Club members");
    Main().edtSubject->setText("News");
    Main().mmoMessage->setPlainText("Hello");
    auto* timer = new QTimer(&Main());
    QObject::connect(timer, &QTimer::timeout, [this] {
      if (auto* log = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
        QTest::mouseClick(log->btnCopyToClipboard, Qt::LeftButton);
        logTexts.push_back(dialogs_.clipboard.value_or(""));
        QTest::keyClick(log, Qt::Key_Escape);
      }
    });
    timer->start(10);
  }
  std::string Folder() const { return Root() + "/data/Tavrin/journal"; }
  // Ann and Bob's transaction goes through; the next "Mail From:" meets the day's quota.
  static void FirstThenQuota(PeerConn& c) {
    c.Send("220 hi\r\n");
    c.RecvLine();
    c.Send("250 hello\r\n");
    for (const char* reply : {"250 from\r\n", "250 to\r\n", "250 to\r\n", "354 go\r\n"}) {
      c.RecvLine();
      c.Send(reply);
    }
    for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
    }
    c.Send("250 queued\r\n");
    c.RecvLine();
    c.Send("550 5.4.5 Daily sending quota exceeded\r\n");
    c.RecvAll();
  }
  void SendCutOff() {
    LoopbackPeer peer(FirstThenQuota);
    Start(peer.Port());
    QTest::mouseClick(Main().btnSend, Qt::LeftButton);
    ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000)) << Shown();
    ASSERT_TRUE(net::test::PumpUntil([&] { return !Main().Sending(); }, 5000));
  }
  std::string Shown() {
    std::string all;
    for (const auto& d : dialogs_.shown) all += d.kind + ": " + d.text + "\n";
    return all + "status: " + Main().StatusBar->currentMessage().toStdString() +
           "\ntranscript: " + Main().TranscriptText().toStdString() +
           "\nsending: " + std::to_string(Main().Sending());
  }
  std::vector<std::string> logTexts;
};

TEST_F(JournalWindow, ResumeSendsToTheRestAndTheLogCoversTheWholeSend) {
  SendCutOff();
  ASSERT_EQ(JournalFiles(Folder()).size(), 1u);
  SmtpServer server(root_ / "outbox", {});
  AppSettings().ServerPort = std::to_string(server.Port());
  Main().ApplySettings();
  dialogs_.choiceAnswers.push_back(0);  // Yes
  Main().findChild<QAction*>("miResumeSend")->trigger();
  ASSERT_TRUE(net::test::PumpUntil([&] { return logTexts.size() == 2; }, 20000));
  const auto& choices = dialogs_.shown;
  const auto question = std::find_if(choices.begin(), choices.end(),
                                     [](const auto& d) { return d.kind == "choose"; });
  ASSERT_NE(question, choices.end());
  EXPECT_EQ(question->text.rfind("The send of \"News\" on ", 0), 0u) << question->text;
  EXPECT_NE(question->text.find("reached 2 of 3 recipients. Send to the remaining 1?"),
            std::string::npos)
      << question->text;
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(ReadFile(server.Messages()[0]).find("X-Envelope-To: cy@example.com\r\n"),
            std::string::npos);
  for (const char* name : {"\nAnn ", "\nBob ", "\nCy "}) {
    const std::size_t at = logTexts[1].find(name);
    ASSERT_NE(at, std::string::npos) << logTexts[1];
    const std::string line = logTexts[1].substr(at + 1, logTexts[1].find('\n', at + 1) - at - 1);
    EXPECT_EQ(line.substr(line.size() - 4), "  OK") << line;
  }
  auto read = ReadJournal(JournalFiles(Folder())[0]);
  ASSERT_TRUE(std::holds_alternative<JournalState>(read));
  EXPECT_TRUE(std::get<JournalState>(read).closed);
  // Nothing is left to resume.
  dialogs_.shown.clear();
  Main().findChild<QAction*>("miResumeSend")->trigger();
  EXPECT_EQ(dialogs_.Messages(), (std::vector<std::string>{"No send is waiting to be resumed."}));
}

TEST_F(JournalWindow, DiscardClosesTheJournalAndAChangedAttachmentStopsResume) {
  const std::string attachment = Root() + "/report.txt";
  WriteFile(attachment, "figures");
  {
    LoopbackPeer peer(FirstThenQuota);
    Start(peer.Port());
    Main().lstAttachments->AddFile(attachment);
    QTest::mouseClick(Main().btnSend, Qt::LeftButton);
    ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000)) << Shown();
    ASSERT_TRUE(net::test::PumpUntil([&] { return !Main().Sending(); }, 5000));
  }
  WriteFile(attachment, "figures, revised");
  dialogs_.shown.clear();
  dialogs_.choiceAnswers = {0};  // Yes: refused, the attachment changed
  Main().findChild<QAction*>("miResumeSend")->trigger();
  bool named = false;
  for (const auto& d : dialogs_.shown)
    named |= d.text.find("has changed since the send began") != std::string::npos;
  EXPECT_TRUE(named);
  EXPECT_FALSE(Main().Sending());
  auto read = ReadJournal(JournalFiles(Folder())[0]);
  ASSERT_TRUE(std::holds_alternative<JournalState>(read));
  EXPECT_FALSE(std::get<JournalState>(read).closed);

  dialogs_.choiceAnswers = {1};  // Discard
  Main().findChild<QAction*>("miResumeSend")->trigger();
  read = ReadJournal(JournalFiles(Folder())[0]);
  EXPECT_TRUE(std::get<JournalState>(read).closed);
}

// Properties > Limits: a whole number of 0 or more, refused otherwise with the field focused;
// blank is 0; what is taken reaches the settings file.
class Limits : public AppFixture {};

TEST_F(Limits, AreEditedInPropertiesAndKept) {
  WriteIni(
      "[Options]\nSenderName=Ann\nReturnEmail=ann@example.com\nServerName=smtp.example.com\n"
      "ServerPort=25\nRecipientsPerDay=500\n");
  CreateDefaultTable();
  StartProgram();
  Config().show();
  EXPECT_EQ(Config().edtPerMinute->text(), "0");
  EXPECT_EQ(Config().edtPerDay->text(), "500");
  for (const char* bad : {"-1", "many", "1.5"}) {
    Config().edtPerMinute->setText(bad);
    dialogs_.shown.clear();
    QTest::mouseClick(Config().btnOK, Qt::LeftButton);
    EXPECT_EQ(dialogs_.Messages(),
              std::vector<std::string>{
                  "Please enter the limit as a whole number of recipients, or 0 for none."})
        << bad;
    EXPECT_EQ(Config().focusWidget(), Config().edtPerMinute);
  }
  Config().edtPerMinute->setText(" 60 ");
  Config().edtPerDay->setText("");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(AppSettings().RecipientsPerMinute, "60");
  EXPECT_EQ(AppSettings().RecipientsPerDay, "0");
  EXPECT_NE(ReadIni().find("RecipientsPerMinute=60"), std::string::npos) << ReadIni();
  EXPECT_EQ(PacingLimit(AppSettings().RecipientsPerMinute), 60);
  EXPECT_EQ(PacingLimit("x"), 0);
}

}  // namespace
}  // namespace tavrin::app::testing
