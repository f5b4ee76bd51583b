// Personalised messages from the main window: what Send hands the core (one message per
// recipient, the bulk-mail settings), the refusal told before connecting, Options > One Message per
// Recipient and its place in the draft, and File > Send Test to Me.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <map>

#include "AppFixture.h"
#include "SendSupport.h"
#include "send/MessageFile.h"
#include "windows/LogWindow.h"
#include "windows/PreviewWindow.h"

namespace tavrin::app::testing {
namespace {

constexpr const char* kPeople =
    "Ann Martin,ann@example.org\nBob,bob@example.org\nCy,cy@example.org\n";

class PersonalWindow : public AppFixture {
 protected:
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    AppFixture::TearDown();
  }
  void Start(int port, const std::string& options = "") {
    ::setenv("XDG_DATA_HOME", (Root() + "/data").c_str(), 1);
    StartOnTable(kPeople, "[Options]\nServerName=127.0.0.1\nServerPort=" + std::to_string(port) +
                              "\nReturnEmail=sender@example.com\n" + options);
  }
  void Type(const char* to, const char* subject, const char* body) {
    Main().edtTo->setText(to);
    Main().edtSubject->setText(subject);
    Main().mmoMessage->setPlainText(body);
  }
  QAction* Item() const { return program_->frmEmailMerge()->miOnePerRecipient; }
  std::vector<std::string> Warnings() const {
    std::vector<std::string> out;
    for (const auto& s : dialogs_.shown)
      if (s.warning) out.push_back(s.text);
    return out;
  }
};

TEST_F(PersonalWindow, APlainMessageIsSharedUnlessChosenAndCarriesTheBulkSettings) {
  Start(25,
        "ReplyTo=office@example.com\nListUnsubscribe=mailto:leave@example.com\n"
        "OptOutField=OPTOUT\n");
  Type("Club members", "News", "Hello all");
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/people.csv"));
  MailMessage m = Main().MakeMessage();
  EXPECT_FALSE(m.personalised);
  EXPECT_FALSE(m.testRecord.has_value());
  EXPECT_EQ(m.optOutField, "OPTOUT");
  EXPECT_EQ(m.input.ReplyTo, "office@example.com");
  EXPECT_EQ(m.input.ListUnsubscribe, "mailto:leave@example.com");
  EXPECT_EQ(m.input.ReturnEmail, "sender@example.com");
  EXPECT_EQ(m.attachments, std::vector<std::string>{Root() + "/people.csv"});
  // The shared lines carry the same headers, for the one-transaction send.
  const auto has = [&m](const std::string& line) {
    return std::find(m.lines.begin(), m.lines.end(), line) != m.lines.end();
  };
  EXPECT_TRUE(has("Reply-To: office@example.com"));
  EXPECT_TRUE(has("List-Unsubscribe: <mailto:leave@example.com>"));

  EXPECT_TRUE(Item()->isEnabled());
  EXPECT_FALSE(Item()->isChecked());
  Item()->trigger();
  EXPECT_TRUE(Main().OnePerRecipientChosen());
  EXPECT_TRUE(Main().MakeMessage().personalised);
}

TEST_F(PersonalWindow, PlaceholdersPersonaliseTheSendAndCheckTheItemWhileTheyLast) {
  Start(25);
  Type("{NAME}", "Hello {name}", "Dear {NAME}, your address is {EMAIL}.");
  EXPECT_TRUE(Item()->isChecked());
  // It cannot be unchecked while the placeholders need it; the status bar says why.
  Item()->trigger();
  EXPECT_TRUE(Item()->isChecked());
  EXPECT_FALSE(Main().OnePerRecipientChosen());
  const QStatusBar* bar = Main().StatusBar;  // the whole text, or its tool tip when cut
  EXPECT_EQ(bar->toolTip().isEmpty() ? bar->currentMessage() : bar->toolTip(),
            "The message holds placeholders: each recipient gets a message of its own.");
  const MailMessage m = Main().MakeMessage();
  EXPECT_TRUE(m.personalised);
  // The core fills them in per record: the window hands them on as typed.
  EXPECT_EQ(m.input.To, "{NAME}");
  EXPECT_EQ(m.input.Subject, "Hello {name}");
  EXPECT_EQ(m.input.Body, std::vector<std::string>{"Dear {NAME}, your address is {EMAIL}."});

  // Gone again, the item shows the user's own choice; "{{" is a brace, no placeholder.
  Type("Members", "Hello {{NAME}}", "Dear all");
  EXPECT_FALSE(Item()->isChecked());
  EXPECT_FALSE(Main().MakeMessage().personalised);

  // An unsubscribe link made per recipient personalises a message without placeholders.
  AppSettings().ListUnsubscribe = "https://example.org/u?e={EMAIL}";
  Main().ApplySettings();
  EXPECT_TRUE(Item()->isChecked());
  EXPECT_TRUE(Main().MakeMessage().personalised);
}

TEST_F(PersonalWindow, TheChoiceIsKeptWithTheDraftAndANewMessageDropsIt) {
  Start(25);
  Type("Members", "News", "Hello");
  Item()->trigger();
  const std::string folder = DraftFolder(Root() + "/home");
  const auto savedPersonalised = [&folder]() -> std::optional<bool> {
    const DraftRead read = ReadDraft(folder);
    if (!read.draft) return std::nullopt;
    return read.draft->personalised;
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return savedPersonalised() == true; }, 10000));

  // A window started again finds the choice where it was left.
  program_.reset();
  AppSettings() = Settings{};
  StartProgram();
  Main().show();
  EXPECT_TRUE(Main().OnePerRecipientChosen());
  EXPECT_TRUE(Item()->isChecked());

  dialogs_.confirmAnswers.push_back(true);  // discard the unsent message
  Main().miNewMessageClick();
  EXPECT_FALSE(Main().OnePerRecipientChosen());
  EXPECT_FALSE(Item()->isChecked());
  EXPECT_EQ(savedPersonalised(), false);
}

TEST_F(PersonalWindow, AFieldTheTableLacksIsRefusedBeforeConnecting) {
  std::atomic<bool> connected{false};
  net::test::LoopbackPeer listener([&connected](net::test::PeerConn&) { connected = true; });
  Start(listener.Port(), "OptOutField=NAME\n");
  Type("{NAME}", "Hello {CITY}", "Hi");
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  EXPECT_EQ(Warnings(),
            std::vector<std::string>{
                "The message uses {CITY}, but the recipients table has no field CITY."});
  // Both commands make the same check; the opt-out field is checked as well.
  Main().edtSubject->setText("Hello");
  dialogs_.shown.clear();
  QTest::keyClick(&Main(), Qt::Key_T, Qt::ControlModifier);
  EXPECT_EQ(Warnings(),
            std::vector<std::string>{"The opt-out field NAME named in the settings is not a "
                                     "logical field of the recipients table."});
  EXPECT_FALSE(Main().Sending());
  EXPECT_TRUE(Main().btnSend->isEnabled());
  EXPECT_EQ(Main().btnSend->text(), "Send");
  QTest::qWait(100);
  EXPECT_FALSE(connected);
  net::test::Knock(listener.Port());  // lets the listener end now
}

TEST_F(PersonalWindow, TheTestRecordIsThePreviewsWhileOpenElseTheFirstLiveOne) {
  Start(25);
  Type("{NAME}", "Hello {NAME}", "Hi");
  EXPECT_EQ(Main().TestRecord(), 1);
  const std::string tool = TAVRIN_DBFTOOL;
  ASSERT_EQ(
      std::system((tool + " delete " + Root() + "/home/Tavrin/tavrin.dbf 1 >/dev/null").c_str()),
      0);
  EXPECT_EQ(Main().TestRecord(), 2);  // a deleted record receives nothing: no test is made of it

  QTest::keyClick(&Main(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  auto* preview = Main().findChild<TfrmPreview*>("frmPreview");
  ASSERT_NE(preview, nullptr);
  QApplication::setActiveWindow(preview);  // the offscreen platform leaves that to the test
  ASSERT_TRUE(QTest::qWaitForWindowActive(preview));
  EXPECT_EQ(QApplication::focusWidget(),
            static_cast<QWidget*>(preview->btnNext));  // the keys move on at once
  EXPECT_EQ(Main().TestRecord(), 1);  // the record shown, deleted or not: the user chose it
  QTest::keyClick(preview->btnNext, Qt::Key_Space);
  QTest::keyClick(preview->btnNext, Qt::Key_Space);
  EXPECT_EQ(Main().TestRecord(), 3);
  EXPECT_EQ(Main().MakeMessage(Main().TestRecord()).testRecord, 3);
  QTest::keyClick(preview, Qt::Key_Escape);
  EXPECT_FALSE(preview->isVisible());
  EXPECT_EQ(Main().TestRecord(), 2);
}

TEST_F(PersonalWindow, SaveMessageAsKeepsThePlaceholdersAsTyped) {
  Start(25);
  Type("{NAME}", "Hello {NAME}", "Dear {NAME}, {{literal}}");
  dialogs_.saveAnswers.push_back(Root() + "/news.eml");
  Main().miSaveMessageClick();
  auto read = ReadMessageFile(Root() + "/news.eml");
  ASSERT_TRUE(std::holds_alternative<ReadMessage>(read)) << std::get<std::string>(read);
  const ReadMessage& m = std::get<ReadMessage>(read);
  EXPECT_EQ(m.to, "{NAME}");
  EXPECT_EQ(m.subject, "Hello {NAME}");
  EXPECT_EQ(m.body, "Dear {NAME}, {{literal}}");
}

TEST_F(PersonalWindow, MenusShowTheNewCommandsWithKeysThatDoNotClash) {
  Start(25);
  std::map<QString, QString> owner;
  for (QAction* a : Main().findChildren<QAction*>()) {
    if (a->shortcut().isEmpty()) continue;
    const QString key = a->shortcut().toString();
    EXPECT_FALSE(owner.count(key))
        << key.toStdString() << " is taken by " << owner[key].toStdString() << " and "
        << a->objectName().toStdString();
    owner[key] = a->objectName();
  }
  EXPECT_EQ(owner[QKeySequence(Qt::CTRL | Qt::Key_T).toString()], "miSendTest");
  EXPECT_EQ(owner[QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P).toString()], "miPreview");
  EXPECT_EQ(Main().miSendTest->text(), "Send &Test to Me");
  QStringList menus;
  for (QAction* a : Main().menuBar()->actions())
    if (a->isVisible()) menus << a->text();
  EXPECT_EQ(menus.join(' '), "&File &Edit &View &Insert &Tools &Options");
  EXPECT_EQ(Item()->text(), "One &Message per Recipient");
  EXPECT_TRUE(Item()->isCheckable());
}

TEST_F(PersonalWindow, TheUnsubscribeFieldsHintShowsWhole) {
  Start(25);
  Config().show();
  QLineEdit* edit = Config().edtListUnsubscribe;
  const int room = edit->contentsRect().width() - edit->textMargins().left() -
                   edit->textMargins().right() - 4;  // the style's inner margins
  EXPECT_LE(edit->fontMetrics().horizontalAdvance(edit->placeholderText()), room)
      << edit->placeholderText().toStdString();
  Config().hide();
}

// A test send: a plain word of where it went instead of the log window, no log files, and the
// draft not taken for sent.
class PersonalWindowSend : public PersonalWindow {
 protected:
  void WatchForLogWindow() {
    auto* timer = new QTimer(&Main());
    QObject::connect(timer, &QTimer::timeout, [this] {
      if (auto* log = qobject_cast<TfrmLog*>(QApplication::activeModalWidget())) {
        ++logWindows;
        QTest::keyClick(log, Qt::Key_Escape);
      }
    });
    timer->start(10);
  }
  int logWindows = 0;
};

TEST_F(PersonalWindowSend, CtrlTSaysWhereTheTestWentAndKeepsNoLog) {
  SmtpServer server(root_ / "outbox", {});
  Start(server.Port());
  WatchForLogWindow();
  Type("{NAME}", "Hello {NAME}", "Dear {NAME}");
  QTest::keyClick(&Main(), Qt::Key_T, Qt::ControlModifier);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !dialogs_.Messages().empty(); }, 20000));
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{"The test message was sent to sender@example.com."});
  EXPECT_FALSE(Main().Sending());
  QTest::qWait(200);
  EXPECT_EQ(logWindows, 0);
  EXPECT_FALSE(std::filesystem::exists(Root() + "/data/Tavrin/logs"));
  EXPECT_TRUE(Main().miSendTest->isEnabled());
}

TEST_F(PersonalWindowSend, CtrlTReachesTheReturnAddressAloneWithTheRecordsMessage) {
  SmtpServer server(root_ / "outbox", {});
  Start(server.Port());
  WatchForLogWindow();
  Type("{NAME}", "Hello {NAME}", "Dear {NAME}, your address is {EMAIL}.");
  QTest::keyClick(&Main(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  Main().findChild<TfrmPreview*>("frmPreview")->ShowRecord(2);
  QTest::keyClick(&Main(), Qt::Key_T, Qt::ControlModifier);
  ASSERT_TRUE(net::test::PumpUntil([&] { return !dialogs_.Messages().empty(); }, 20000));
  ASSERT_EQ(server.Messages().size(), 1u);
  const std::string transcript = server.Transcript();
  EXPECT_NE(transcript.find("RCPT TO:<sender@example.com>"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("example.org"), std::string::npos) << transcript;
  const std::string mail = ReadFile(server.Messages()[0]);
  EXPECT_NE(mail.find("Subject:[Test] Hello Bob"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Dear Bob, your address is bob@example.org."), std::string::npos) << mail;
}

TEST_F(PersonalWindowSend, PersonalisedSendGivesEachRecordItsOwnMessage) {
  SmtpServer server(root_ / "outbox", {});
  Start(server.Port());
  WatchForLogWindow();
  Type("{NAME}", "Hello {NAME}", "Dear {NAME}");
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return logWindows == 1; }, 20000));
  ASSERT_EQ(server.Messages().size(), 3u);
  std::string all;
  for (const auto& path : server.Messages()) all += ReadFile(path);
  for (const char* name : {"Ann Martin", "Bob", "Cy"})
    EXPECT_NE(all.find(std::string("Subject:Hello ") + name), std::string::npos) << all;
}

// What the preview shows for a record is what that recipient's mailbox shows: the received
// message read by Python's email package gives the same To, Subject and body.
TEST_F(PersonalWindowSend, ThePreviewShowsWhatTheRecordReceives) {
  SmtpServer server(root_ / "outbox", {});
  Start(server.Port());
  WatchForLogWindow();
  Type("{NAME} at home", "Hello {NAME}", "Dear {NAME},\nyour address is {EMAIL}.");
  QTest::keyClick(&Main(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  auto* preview = Main().findChild<TfrmPreview*>("frmPreview");
  ASSERT_NE(preview, nullptr);
  preview->ShowRecord(2);
  const std::string shown = preview->mmoPreview->toPlainText().toStdString();
  preview->close();
  QTest::mouseClick(Main().btnSend, Qt::LeftButton);
  ASSERT_TRUE(net::test::PumpUntil([&] { return logWindows == 1; }, 20000));
  std::string bob;
  for (const auto& path : server.Messages())
    if (ReadFile(path).find("X-Envelope-To: bob@example.org") != std::string::npos)
      bob = path.string();
  ASSERT_FALSE(bob.empty());
  const std::string script = root_.string() + "/read.py";
  WriteFile(script,
            "import sys, email, email.policy\n"
            "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), "
            "policy=email.policy.default)\n"
            "print('To: ' + str(m['To']).replace('\"', ''))\n"
            "print('Subject: ' + str(m['Subject']))\n"
            "print(m.get_body(('plain',)).get_content(), end='')\n");
  FILE* pipe = ::popen(("python3 " + script + " " + bob).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string received;
  for (char buf[4096]; const std::size_t n = std::fread(buf, 1, sizeof buf, pipe);)
    received.append(buf, n);
  ASSERT_EQ(::pclose(pipe), 0) << received;

  for (const std::string line : {"To: Bob at home <bob@example.org>", "Subject: Hello Bob"}) {
    EXPECT_NE(received.find(line), std::string::npos) << received;
    EXPECT_NE(shown.find(line), std::string::npos) << shown;
  }
  const std::string body = "Dear Bob,\nyour address is bob@example.org.\n";
  EXPECT_NE(received.find(body), std::string::npos) << received;
  EXPECT_NE(shown.find(body), std::string::npos) << shown;
}

}  // namespace
}  // namespace tavrin::app::testing
