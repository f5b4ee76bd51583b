// The send as the main window runs it: what a person sees after a send, and what the window
// allows while one is under way (Stop, Properties, closing during a slow upload).
#include <QAction>
#include <atomic>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QLineEdit>
#include <QTest>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include "AppFixture.h"
#include "SendSupport.h"
#include "send/LogFiles.h"
#include "windows/LogWindow.h"

namespace tavrin::app::testing {
namespace {

class SendWindow : public AppFixture {
 protected:
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    AppFixture::TearDown();
  }
  void StartWithServer(int port,
                       const std::string& people = "Ann,ann@example.com\nBob,bob@example.com\n",
                       const std::string& moreOptions = "") {
    WriteIni("[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(port) +
             "\nReturnEmail=sender@example.com\n" + moreOptions);
    const std::string table = Root() + "/home/Tavrin/tavrin.dbf";
    WriteFile(Root() + "/people.csv", "NAME,EMAIL\n" + people);
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
  }
  // Closes each log window as soon as it is up, keeping the text its Copy To Clipboard copies.
  void WatchForLogWindow() {
    auto* timer = new QTimer(&Main());
    QObject::connect(timer, &QTimer::timeout, [this] {
      if (auto* log = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
        QTest::mouseClick(log->btnCopyToClipboard, Qt::LeftButton);
        logTexts.push_back(dialogs_.clipboard.value_or(""));
        savedTexts.push_back(log->lblSaved->text().toStdString());
        QTest::keyClick(log, Qt::Key_Escape);
      }
    });
    timer->start(10);
  }
  // The log line that begins with `name`, or "".
  static std::string LineOf(const std::string& log, const std::string& name) {
    const std::size_t at = log.find("\n" + name);
    return at == std::string::npos ? "" : log.substr(at + 1, log.find('\n', at + 1) - at - 1);
  }
  std::vector<std::string> logTexts, savedTexts;
};

TEST_F(SendWindow, ACompletedSendShowsTheLogWindowAndGivesTheWindowBack) {
  SmtpServer server(root_ / "outbox", {"--refuse=bob@example.com=550 No such user"});
  StartWithServer(server.Port());
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000));
  EXPECT_EQ(LineOf(logTexts[0], "Ann ").substr(LineOf(logTexts[0], "Ann ").size() - 4), "  OK")
      << logTexts[0];
  EXPECT_NE(LineOf(logTexts[0], "Bob ").find("  FAILED    "), std::string::npos) << logTexts[0];
  // The log is kept on disk as shown, and the window says where.
  const std::string folder = Root() + "/data/Tavrin/logs";
  std::vector<std::filesystem::path> files;
  ASSERT_TRUE(net::test::PumpUntil(
      [&] {
        files.clear();
        if (std::filesystem::is_directory(folder))
          for (const auto& e : std::filesystem::directory_iterator(folder))
            if (e.path().extension() == ".txt" || e.path().extension() == ".csv")
              files.push_back(e.path());
        return files.size() == 2;  // each is there only once written whole
      },
      10000));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files[0].extension(), ".csv");
  EXPECT_EQ(ReadFile(files[1]), logTexts[0] + "\n");
  EXPECT_NE(savedTexts[0].find(folder), std::string::npos) << savedTexts[0];
  EXPECT_TRUE(Main().btnSend->isEnabled());
  EXPECT_TRUE(Main().miProperties->isEnabled());
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_TRUE(Main().StatusBar->currentMessage().isEmpty());
  EXPECT_TRUE(dialogs_.Messages().empty());
}

// Text in any language goes out and comes back as typed; the log shows names in their own letters.
TEST_F(SendWindow, AnyLanguageIsSentAsTypedAndTheLogShowsRealLetters) {
  const std::string sender =
      "\xCE\x93\xCE\xB9\xCF\x8E\xCF\x81\xCE\xB3\xCE\xBF\xCF\x82 \xCE\xA0.";  // Γιώργος Π.
  const std::string zoe = "Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m";               // Zoë Ångström
  SmtpServer server(root_ / "outbox", {});
  StartWithServer(server.Port(), zoe + ",zoe@example.com\n", "SenderName=" + sender + "\n");
  std::string greekLine;
  for (int i = 0; i < 200; ++i)
    greekLine +=
        "\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB5 \xCE\xB6\xCE\xB7\xCE\xB8\xCE\xB9\xCE\xBA";
  const std::string to =
      "\xCE\x9C\xCE\xAD\xCE\xBB\xCE\xB7: \xCF\x8C\xCE\xBB\xCE\xBF\xCE\xB9, <club>";  // Μέλη: όλοι, <club>
  const std::string subject = "Caf\xC3\xA9 at eight";
  const std::string body = greekLine + "\n.\nx = y \nFrom here\n\xE2\x82\xAC 5";
  const std::string fileName =
      "\xCE\xA3\xCE\xB7\xCE\xBC\xCE\xB5\xCE\xAF\xCF\x89\xCE\xBC\xCE\xB1 1.txt";  // Σημείωμα 1.txt
  WriteFile(root_ / fileName, "notes\n");
  ASSERT_TRUE(Main().lstAttachments->AddFile((root_ / fileName).string()));
  Main().edtTo->setText(QString::fromStdString(to));
  Main().edtSubject->setText(QString::fromStdString(subject));
  Main().mmoMessage->setPlainText(QString::fromStdString(body));
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000));
  EXPECT_TRUE(dialogs_.Messages().empty()) << dialogs_.Messages()[0];

  ASSERT_EQ(server.Messages().size(), 1u);
  const DecodedMail mail = DecodeMail(server.Messages()[0]);
  EXPECT_EQ(mail.subject, subject);
  EXPECT_EQ(mail.toGroups, std::vector<std::string>{to});
  EXPECT_EQ(mail.fromNames, std::vector<std::string>{sender});
  EXPECT_EQ(mail.body, body + "\n");
  EXPECT_EQ(mail.attachments,
            (std::vector<std::pair<std::string, std::string>>{{fileName, "notes\n"}}));
  EXPECT_EQ(mail.headerDefects, 0u);
  for (const std::string& line : SplitBodyLines(ReadFile(server.Messages()[0])))
    EXPECT_LE(line.size(), 78u) << line;
  // Columns count characters: "OK" stands in column 38 as for any other name.
  EXPECT_NE(logTexts[0].find("\n" + sender + "\n"), std::string::npos) << logTexts[0];
  EXPECT_EQ(LineOf(logTexts[0], zoe).find(std::string(23, ' ') + "  "), zoe.size()) << logTexts[0];
}

// The whole path from the settings to the server: Security and UserName from the file, the
// password from the secret store, STARTTLS with the certificate checked, sign-in, delivery, log.
TEST_F(SendWindow, SendsOverStartTlsSignedInWithTheStoredPassword) {
  const std::filesystem::path certs = root_ / "certs";
  ASSERT_EQ(
      std::system(
          ("/usr/bin/python3 " TAVRIN_SOURCE_DIR "/tools/test_ca.py " + certs.string()).c_str()),
      0);
  SmtpServer server(root_ / "outbox", {"--tls-cert", (certs / "server.crt").string(), "--tls-key",
                                       (certs / "server.key").string(), "--starttls", "--auth-user",
                                       "ann", "--auth-password", "s3cret"});
  secrets_.secrets["ann@127.0.0.1"] = "s3cret";
  StartWithServer(server.Port(), "Bob,bob@example.com\n", "Security=STARTTLS\nUserName=ann\n");
  Main().trustedCaFile = (certs / "ca.pem").string();
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000));
  EXPECT_TRUE(dialogs_.Messages().empty()) << dialogs_.Messages()[0];
  EXPECT_TRUE(dialogs_.PasswordPrompts().empty());
  EXPECT_EQ(LineOf(logTexts[0], "Bob ").substr(LineOf(logTexts[0], "Bob ").size() - 4), "  OK")
      << logTexts[0];
  EXPECT_EQ(server.Transcript(),
            "EHLO [127.0.0.1]\nSTARTTLS\nEHLO [127.0.0.1]\nAUTH PLAIN accepted\n"
            "MAIL FROM:<sender@example.com>\nRCPT TO:<bob@example.com>\nDATA END\nQUIT\n");
  EXPECT_EQ(Main().TranscriptText().indexOf("s3cret"), -1);
}

// A stored password the server refuses is not tried again: the next Send asks for one, and the
// one typed then signs in.
TEST_F(SendWindow, AStoredPasswordTheServerRefusedIsAskedForAtTheNextSend) {
  const std::filesystem::path certs = root_ / "certs";
  ASSERT_EQ(
      std::system(
          ("/usr/bin/python3 " TAVRIN_SOURCE_DIR "/tools/test_ca.py " + certs.string()).c_str()),
      0);
  SmtpServer server(root_ / "outbox", {"--tls-cert", (certs / "server.crt").string(), "--tls-key",
                                       (certs / "server.key").string(), "--starttls", "--auth-user",
                                       "ann", "--auth-password", "s3cret"});
  secrets_.secrets["ann@127.0.0.1"] = "old one";
  StartWithServer(server.Port(), "Bob,bob@example.com\n", "Security=STARTTLS\nUserName=ann\n");
  Main().trustedCaFile = (certs / "ca.pem").string();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !Main().Dialogue().Running(); }, 20000));
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_EQ(dialogs_.Messages()[0].rfind(kSignInRefused, 0), 0u) << dialogs_.Messages()[0];
  EXPECT_TRUE(dialogs_.shown.back().warning);  // a failure carries the warning icon
  // The bar shows as much as fits of the failure, the whole of it as its tool tip.
  const QString status = Main().StatusBar->currentMessage();
  EXPECT_TRUE(status.startsWith(QString::fromLatin1(kSignInRefused).left(10)));
  EXPECT_LE(Main().StatusBar->fontMetrics().horizontalAdvance(status), Main().StatusBar->width());
  Main().resize(300, Main().height());  // too narrow for the whole text
  QCoreApplication::processEvents();
  const QString cut = Main().StatusBar->currentMessage();
  EXPECT_TRUE(cut.endsWith(QChar(0x2026))) << cut.toStdString();
  EXPECT_LE(Main().StatusBar->fontMetrics().horizontalAdvance(cut), Main().StatusBar->width());
  EXPECT_TRUE(Main().StatusBar->toolTip().startsWith(status.left(10)));
  EXPECT_TRUE(Main().StatusBar->toolTip().endsWith("failed."))
      << Main().StatusBar->toolTip().toStdString();

  dialogs_.passwordAnswers = {"s3cret"};
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil(
      [&] { return !logTexts.empty() || !Main().Dialogue().Running(); }, 20000));
  EXPECT_EQ(dialogs_.PasswordPrompts(), std::vector<std::string>{"Password for ann at 127.0.0.1:"});
  EXPECT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_EQ(server.Messages().size(), 1u);
}

// A message naming a file reads its UTF-8 name as such: "Zoë", not "ZoÃ«".
TEST_F(SendWindow, AMessageNamingAFileShowsItsNameInItsOwnLetters) {
  StartWithServer(9);
  const std::filesystem::path file = root_ / "Zo\xC3\xAB notes.txt";
  WriteFile(file, "notes\n");
  ASSERT_TRUE(Main().lstAttachments->AddFile(file.string()));
  std::filesystem::remove(file);
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_NE(dialogs_.Messages()[0].find("Zo\xEB notes.txt"), std::string::npos)
      << dialogs_.Messages()[0];
}

// Send becomes Stop while a send runs; Esc does the same, and the log of what is known shows.
TEST_F(SendWindow, EscStopsASendThatWaitsAndShowsTheLog) {
  std::atomic<bool> waiting{false};
  net::test::LoopbackPeer peer([&](net::test::PeerConn& c) {  // the second recipient never answered
    c.Send("220 hi\r\n");
    int recipients = 0;
    for (std::string line; !(line = c.RecvLine()).empty();) {
      if (line.rfind("RCPT", 0) == 0 || line.rfind("Rcpt", 0) == 0) {
        if (++recipients == 2) break;
      }
      if (line.rfind("DATA", 0) == 0 || line.rfind("Data", 0) == 0) {
        c.Send("354 go\r\n");
        while (!(line = c.RecvLine()).empty() && line != ".\r\n") {
        }
      }
      c.Send("250 ok\r\n");
    }
    waiting = true;
    c.RecvAll();
  });
  StartWithServer(peer.Port(), "Ann,ann@example.com\nBob,bob@example.com\n",
                  "RecipientsPerMessage=1\n");
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return waiting.load(); }, 10000));
  EXPECT_EQ(Main().btnSend->text(), "Stop");
  EXPECT_EQ(Main().miSend->text(), "&Stop");
  EXPECT_TRUE(Main().btnSend->isEnabled());
  QApplication::setActiveWindow(&Main());
  QTest::keyClick(&Main(), Qt::Key_Escape);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 5000)) << "no log after Stop";
  EXPECT_FALSE(Main().Dialogue().Running());
  EXPECT_EQ(Main().btnSend->text(), "Send");
  EXPECT_EQ(Main().miSend->text(), "&Send");
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_EQ(logTexts.size(), 1u);
}

// A name holding CR LF and a server reply holding escape sequences reach the clipboard as visible
// characters: no forged line, nothing a terminal would obey.
TEST_F(SendWindow, TheClipboardShowsControlCharactersFromTheTableAndTheServer) {
  SmtpServer server(root_ / "outbox",
                    {"--refuse=ann@example.com=555 5.1.1 \x1b[31mrefused\x1b[0m"});
  StartWithServer(server.Port(), "EveZZMallory  OK,eve@example.com\nAnn,ann@example.com\n");
  // The table's bytes are what any program may have written: a CR LF inside the name.
  const std::string table = Root() + "/home/Tavrin/tavrin.dbf";
  std::string bytes = ReadFile(table);
  bytes.replace(bytes.find("EveZZ") + 3, 2, "\r\n");
  WriteFile(table, bytes);
  WatchForLogWindow();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !logTexts.empty(); }, 20000));
  const std::string& log = logTexts[0];
  EXPECT_EQ(log.find('\r'), std::string::npos);
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_FALSE(LineOf(log, "Eve\xE2\x90\x8D\xE2\x90\x8AMallory  OK ").empty()) << log;
  const std::string ann = LineOf(log, "Ann ");
  EXPECT_NE(ann.find("FAILED"), std::string::npos) << log;
  EXPECT_NE(ann.find("5.1.1 \xE2\x90\x9B[31mrefused\xE2\x90\x9B[0m"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10)
      << log;  // nine header lines, two recipients
}

TEST_F(SendWindow, DuringASlowUploadNothingRestartsTheSendAndClosingAbortsIt) {
  std::string tail;
  std::atomic<bool> uploading{false};
  net::test::LoopbackPeer peer([&](net::test::PeerConn& c) {
    for (const char* r :
         {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n"}) {
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
    if (acted || !uploading || Main().Dialogue().CurrentState() != TSendDialogue::State::kMailData)
      return;
    acted = true;
    for (QWidget* w : std::initializer_list<QWidget*>{Main().btnConfig, Main().btnBrowse,
                                                      Main().btnAttach, Main().lstAttachments})
      EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    for (QAction* a : {Main().miProperties, Main().miSelectRecipients, Main().miFileAttachment})
      EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    EXPECT_EQ(Main().btnSend->text(), "Stop");  // the one way on is to stop
    Main().btnConfigureClick();                 // Properties do nothing
    EXPECT_EQ(Main().Dialogue().CurrentState(), TSendDialogue::State::kMailData);
    EXPECT_TRUE(dialogs_.Messages().empty());
    EXPECT_TRUE(
        std::filesystem::is_empty(Root() + "/tmp"));  // the encoded file has no name to open
    Main().close();
    EXPECT_FALSE(Main().Dialogue().Running());
  });
  during.start(5);
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return acted && !Main().Dialogue().Running(); }, 20000));
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{
                "The program was closed during the send; the message has not been sent."});
  ASSERT_TRUE(net::test::PumpUntil([&] { return peer.Done(); }, 10000));
  EXPECT_NE(tail, "\r\n.\r\n");  // the message was never ended
  EXPECT_EQ(dialogs_.busyDepth, 0);
  EXPECT_TRUE(std::filesystem::is_empty(Root() + "/tmp"));
}

}  // namespace
}  // namespace tavrin::app::testing
