// A message the window saved with Save Message As, sent by tavrin-send, reaches the server as the
// window's own Send delivers it: the same octets but for the Date, the Message-ID and the boundary,
// which each message has its own.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QToolButton>

#include "../app/AppFixture.h"
#include "../app/SendSupport.h"

namespace tavrin::app::testing {
namespace {

// The message as the server received it, without the capture server's own two lines and with
// what differs from message to message made the same.
std::string Normalised(const std::filesystem::path& file) {
  std::string text = ReadFile(file);
  for (int i = 0; i < 2; ++i) text.erase(0, text.find("\r\n") + 2);
  QString q = QString::fromStdString(text);
  q.replace(QRegularExpression("(?m)^Date: [^\r]*"), "Date: D");
  q.replace(QRegularExpression("(?m)^Message-ID: [^\r]*"), "Message-ID: M");
  q.replace(QRegularExpression("_{16}[0-8]{12}_{7}"), "BOUNDARY");
  return q.toStdString();
}

class SendCommandWindow : public AppFixture {
 protected:
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    AppFixture::TearDown();
  }
};

TEST_F(SendCommandWindow, AMessageTheWindowSavedIsSentAsTheWindowSendsIt) {
  SmtpServer server(root_ / "outbox", {});
  WriteIni("[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(server.Port()) +
           "\nReturnEmail=sender@example.com\nSenderName=Jörg Müller\nDir=" + Root() +
           "/home/Tavrin\n");
  const std::string table = Root() + "/home/Tavrin/tavrin.dbf";
  WriteFile(Root() + "/people.csv", "NAME,EMAIL\nAnn,ann@example.com\nBob,bob@example.com\n");
  ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " create " + table +
                         " NAME,C,40 EMAIL,C,60 >/dev/null && " + TAVRIN_DBFTOOL + " import " +
                         table + " " + Root() + "/people.csv >/dev/null")
                            .c_str()),
            0);
  std::filesystem::create_directories(Root() + "/tmp");
  ::setenv("XDG_DATA_HOME", (Root() + "/data").c_str(), 1);
  std::string binary;
  for (int i = 0; i < 3000; ++i) binary += static_cast<char>(i * 13);
  WriteFile(Root() + "/report.pdf", binary);
  WriteFile(Root() + "/Übersicht.txt", "über\n");

  StartProgram();
  Main().show();
  Main().edtTo->setText("Club members – Ü");
  Main().edtSubject->setText("Größe ✓ " + QString(80, 'x'));
  Main().mmoMessage->setPlainText("Hello,\n.a dot first\nGrüße\n\n" + QString(1200, 'y'));
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/report.pdf"));
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/Übersicht.txt"));
  dialogs_.saveAnswers.push_back(Root() + "/saved.eml");
  Main().miSaveMessage->trigger();
  ASSERT_TRUE(std::filesystem::exists(Root() + "/saved.eml"));

  // The window's own send; its log window is closed as soon as it is up.
  auto* closer = new QTimer(&Main());
  QObject::connect(closer, &QTimer::timeout, [] {
    if (auto* log = qobject_cast<QDialog*>(QApplication::activeModalWidget())) log->reject();
  });
  closer->start(10);
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return server.Messages().size() == 1; }, 30000));
  ASSERT_TRUE(net::test::PumpUntil([&] { return Main().btnSend->text() == "Send"; }, 30000));
  EXPECT_TRUE(dialogs_.Messages().empty()) << dialogs_.Messages()[0];

  QProcess send;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("HOME", QString::fromStdString(Root() + "/home"));
  env.insert("TMPDIR", QString::fromStdString(Root() + "/tmp"));
  env.remove("DBUS_SESSION_BUS_ADDRESS");
  send.setProcessEnvironment(env);
  send.start(TAVRIN_SEND, {"--settings", QString::fromStdString(IniPath()),
                           QString::fromStdString(Root() + "/saved.eml")});
  ASSERT_TRUE(send.waitForFinished(60000));
  EXPECT_EQ(send.exitCode(), 0) << send.readAllStandardError().toStdString();
  const std::string log = send.readAllStandardOutput().toStdString();
  EXPECT_NE(log.find("ann@example.com"), std::string::npos) << log;

  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 2u);
  std::sort(messages.begin(), messages.end());
  const std::string byWindow = Normalised(messages[0]);
  EXPECT_EQ(Normalised(messages[1]), byWindow);
  EXPECT_NE(byWindow.find("Date: D"), std::string::npos);
  EXPECT_NE(byWindow.find("BOUNDARY"), std::string::npos);
  EXPECT_EQ(DecodeMail(messages[1]).attachments.size(), 2u);
}

}  // namespace
}  // namespace tavrin::app::testing
