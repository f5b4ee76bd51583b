// The send as the main window runs it: what a person sees after a send, and what the window
// allows while one is under way (Send, Properties, closing during a slow upload).
#include <QAction>
#include <atomic>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include "AppFixture.h"
#include "SendSupport.h"
#include "app/LogWindow.h"

namespace tavrin::app::testing {
namespace {

class SendWindow : public AppFixture {
 protected:
  void StartWithServer(int port) {
    WriteIni("[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(port) +
             "\nReturnEmail=sender@example.com\n");
    const std::string table = Root() + "/home/Tavrin/tavrin.dbf";
    WriteFile(Root() + "/people.csv", "NAME,EMAIL\nAnn,ann@example.com\nBob,bob@example.com\n");
    ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " create " + table + " NAME,C,40 EMAIL,C,60 >/dev/null && " +
                           TAVRIN_DBFTOOL + " import " + table + " " + Root() + "/people.csv >/dev/null").c_str()),
              0);
    std::filesystem::create_directories(Root() + "/tmp");
    StartProgram();
    Main().show();
    Main().edtTo->setText("Club members");
    Main().edtSubject->setText("News");
    Main().mmoMessage->setPlainText("Hello");
  }
  // Closes each log window as soon as it is up, keeping its text.
  void WatchForLogWindow() {
    auto* timer = new QTimer(&Main());
    QObject::connect(timer, &QTimer::timeout, [this] {
      if (auto* log = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
        logTexts.push_back(log->reLog->toPlainText().toStdString());
        log->reject();
      }
    });
    timer->start(10);
  }
  std::vector<std::string> logTexts;
};

TEST_F(SendWindow, ACompletedSendShowsTheLogWindowAndGivesTheWindowBack) {
  SmtpServer server(root_ / "outbox", {"--refuse=bob@example.com=550 No such user"});
  StartWithServer(server.Port());
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000));
  EXPECT_NE(logTexts[0].find("Ann" + std::string(32, ' ') + "  OK"), std::string::npos);
  EXPECT_NE(logTexts[0].find("Bob" + std::string(32, ' ') + "  FAILED"), std::string::npos);
  EXPECT_TRUE(Main().btnSend->isEnabled());
  EXPECT_TRUE(Main().miProperties->isEnabled());
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_TRUE(Main().StatusBar->currentMessage().isEmpty());
  EXPECT_TRUE(dialogs_.Messages().empty());
}

TEST_F(SendWindow, TextTheMessageCannotCarryIsRefusedBeforeConnecting) {
  SmtpServer server(root_ / "outbox", {});
  StartWithServer(server.Port());
  Main().edtTo->setText(QString::fromUtf8("Клуб"));
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_NE(dialogs_.Messages()[0].find("\"To\" field holds characters that cannot be sent"),
            std::string::npos);
  EXPECT_FALSE(Main().Dialogue().Running());
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_EQ(AppSettings().To, defaults::kTo);  // nothing was mangled into the settings
}

TEST_F(SendWindow, DuringASlowUploadNothingRestartsTheSendAndClosingAbortsIt) {
  std::string tail;
  std::atomic<bool> uploading{false};
  net::test::LoopbackPeer peer([&](net::test::PeerConn& c) {
    for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n"}) {
      c.Send(r);
      if (r[0] != '3') c.RecvLine();
    }
    uploading = true;
    std::string got;
    for (std::string chunk; !(chunk = c.RecvBytes(4096)).empty();) {
      got += chunk;
      c.Sleep(2);  // a slow server
    }
    tail = got.substr(got.size() > 5 ? got.size() - 5 : 0);
  });
  StartWithServer(peer.Port());
  WriteFile(Root() + "/big.bin", std::string(8 << 20, 'a'));
  dialogs_.fileAnswers.push_back(Root() + "/big.bin");
  Main().btnAttachClick();
  ASSERT_EQ(Main().lstAttachments->Count(), 1);

  // What the person does happens inside the upload's own waits, as a click would.
  bool acted = false;
  QTimer during;
  QObject::connect(&during, &QTimer::timeout, [&] {
    if (acted || !uploading || Main().Dialogue().CurrentState() != TSendDialogue::State::kMailData) return;
    acted = true;
    for (QWidget* w : std::initializer_list<QWidget*>{Main().btnSend, Main().btnConfig, Main().btnBrowse,
                                                      Main().btnAttach, Main().lstAttachments})
      EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    for (QAction* a : {Main().miSend, Main().miProperties, Main().miSelectRecipients, Main().miFileAttachment})
      EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    Main().btnSendClick();       // a second Send while one runs does nothing
    Main().btnConfigureClick();  // nor do Properties
    EXPECT_EQ(Main().Dialogue().CurrentState(), TSendDialogue::State::kMailData);
    EXPECT_TRUE(dialogs_.Messages().empty());
    EXPECT_TRUE(std::filesystem::is_empty(Root() + "/tmp"));  // the encoded file has no name to open
    Main().close();
    EXPECT_FALSE(Main().Dialogue().Running());
  });
  during.start(5);
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return acted && !Main().Dialogue().Running(); }, 20000));
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{"The program was closed during the send : The message has not been sent."});
  ASSERT_TRUE(net::test::PumpUntil([&] { return peer.Done(); }, 10000));
  EXPECT_NE(tail, "\r\n.\r\n");  // the message was never ended
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_TRUE(std::filesystem::is_empty(Root() + "/tmp"));
}

}  // namespace
}  // namespace tavrin::app::testing
