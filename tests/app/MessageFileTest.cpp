// Messages as files: what is saved comes back whole, is what the send delivers, and a message of
// another mail program or a hostile one is read safely.
#include <sys/stat.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <variant>

#include "AppFixture.h"
#include "SendSupport.h"
#include "send/MessageFile.h"

namespace tavrin::app::testing {
namespace {

namespace fs = std::filesystem;

ReadMessage Parsed(const std::string& bytes) {
  auto result = ParseMessage(bytes);
  if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
  return std::get_if<ReadMessage>(&result) ? std::get<ReadMessage>(result) : ReadMessage{};
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

class MessageFileTest : public SendTest {};

TEST_F(MessageFileTest, SavedThenOpenedGivesBackTheSameMessage) {
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary += static_cast<char>(i * 7);
  const std::string longName =
      "Protokoll der Jahresversammlung – Überblick über alle Beschlüsse.bin";
  WriteFile(root_ / longName, binary);
  WriteFile(root_ / "say \"hi\".txt", "");
  struct Case {
    std::string to, subject;
    std::vector<std::string> body;
  };
  const std::vector<Case> cases = {
      {"Members of the club", "News", {"Hello,", ".a dot first", "trailing  ", ""}},
      {"Ann, Bob \"and\" friends", "  two  blanks ", {""}},
      {"Clubbers =?x?= ünïcode, and a tab\there",
       "Änderung: " + std::string(120, 'x') + " ✓",
       {"Grüße", "=3D not an escape", std::string(1200, 'y') + "é", "tail \t"}},
  };
  for (const Case& c : cases) {
    const std::string boundary = Boundary();
    MessageInput in{"John Doe", "sender@example.com", c.to, c.subject,
                    c.body,     InternetDate(0),      "t"};
    const fs::path file = root_ / "saved.eml";
    const std::vector<std::string> attachments = {(root_ / longName).string(),
                                                  (root_ / "say \"hi\".txt").string()};
    ASSERT_EQ(SaveMessageFile(file.string(), BuildMessage(in, boundary), boundary, attachments),
              std::nullopt);
    EXPECT_EQ(Mode(file), 0600u);
    auto read = ReadMessageFile(file.string());
    ASSERT_TRUE(std::holds_alternative<ReadMessage>(read)) << std::get<std::string>(read);
    const ReadMessage& m = std::get<ReadMessage>(read);
    ASSERT_TRUE(m.to.has_value());
    EXPECT_EQ(*m.to, c.to);
    // A leading blank is taken for the one after the colon; the rest of the subject is kept.
    EXPECT_EQ(m.subject, c.subject.substr(c.subject.find_first_not_of(' ')));
    EXPECT_EQ(m.body, Joined(c.body));
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(m.attachments[0].name, longName);
    EXPECT_EQ(m.attachments[0].bytes, binary);
    EXPECT_EQ(m.attachments[1].name, "say \"hi\".txt");
    EXPECT_EQ(m.attachments[1].bytes, "");
  }
}

TEST_F(MessageFileTest, TheSavedFileIsWhatTheSendDelivers) {
  SmtpServer server(root_ / "outbox", {});
  MakeTable({{"Ann", "ann@example.com"}});
  WriteFile(root_ / "report.pdf", std::string(100000, '\x01') + "end");
  WriteFile(root_ / "Übersicht.txt", "über\n");
  SendJob job = Job({"Hello,", ".dot", "Grüße"},
                    {(root_ / "report.pdf").string(), (root_ / "Übersicht.txt").string()});
  const std::vector<std::string> lines = job.messageLines;
  const std::string boundary = job.boundary;
  const std::vector<std::string> attachments = job.attachments;
  Send(server.Port(), std::move(job));
  ASSERT_EQ(server.Messages().size(), 1u) << (failures.empty() ? "" : failures[0]);
  std::string delivered = ReadFile(server.Messages()[0]);
  for (int i = 0; i < 2; ++i) delivered.erase(0, delivered.find("\r\n") + 2);  // the server's own

  const fs::path file = root_ / "saved.eml";
  ASSERT_EQ(SaveMessageFile(file.string(), lines, boundary, attachments), std::nullopt);
  EXPECT_EQ(ReadFile(file), delivered);
  // Saving again replaces the file whole; a failed save leaves it as it was.
  ASSERT_EQ(SaveMessageFile(file.string(), lines, boundary, {}), std::nullopt);
  const std::string second = ReadFile(file);
  EXPECT_NE(SaveMessageFile(file.string(), lines, boundary, {(root_ / "gone").string()}),
            std::nullopt);
  EXPECT_EQ(ReadFile(file), second);
  for (const auto& e : fs::directory_iterator(root_))
    EXPECT_EQ(e.path().filename().string().rfind(".tavrin", 0), std::string::npos);
}

TEST(MessageFileRead, AnotherProgramsMessage) {
  const std::string mail =
      "Return-Path: <a@example.org>\n"
      "From: =?iso-8859-1?q?J=F6rg?= <a@example.org>\n"
      "To: bob@example.com\n"
      "Subject: =?ISO-8859-1?Q?Gr=FC=DFe_aus?=\n =?UTF-8?B?IEvDtmxu?= und mehr\n"
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\n"
      "\n"
      "This is a multi-part message in MIME format.\n"
      "--outer\n"
      "Content-Type: multipart/alternative;\n boundary=inner\n"
      "\n"
      "--inner\n"
      "Content-Type: text/plain; charset=ISO-8859-1\n"
      "Content-Transfer-Encoding: quoted-printable\n"
      "\n"
      "Sch=F6ne Gr=FC=DFe, das ist eine sehr lange Zeile, die weich umbrochen wi=\n"
      "rd.   \n"
      "a=3Db\n"
      "--inner\n"
      "Content-Type: text/html; charset=UTF-8\n"
      "\n"
      "<p>not this</p>\n"
      "--inner--\n"
      "--outer\n"
      "Content-Type: application/octet-stream\n"
      "Content-Transfer-Encoding: base64\n"
      "Content-Disposition: attachment;\n"
      " filename*0*=UTF-8''%C3%A9t%C3%A9;\n"
      " filename*1=\" 2024.txt\"\n"
      "\n"
      "aGVsbG8g\nd29ybGQ=\n"
      "--outer\n"
      "Content-Type: text/plain; charset=windows-1252; name=\"notes.txt\"\n"
      "\n"
      "\x80 only\n"
      "--outer--\n";
  const ReadMessage m = Parsed(mail);
  EXPECT_FALSE(m.to.has_value());  // addresses, not a description
  EXPECT_EQ(m.subject, "Grüße aus Köln und mehr");
  EXPECT_EQ(m.body, "Schöne Grüße, das ist eine sehr lange Zeile, die weich umbrochen wird.\na=b");
  ASSERT_EQ(m.attachments.size(), 2u);
  EXPECT_EQ(m.attachments[0].name, "été 2024.txt");
  EXPECT_EQ(m.attachments[0].bytes, "hello world");
  EXPECT_EQ(m.attachments[1].name, "notes.txt");
  EXPECT_EQ(m.attachments[1].bytes, "\x80 only");  // a file keeps its bytes
}

TEST(MessageFileRead, BrokenMessagesSayWhy) {
  const std::string head = "From: a@example.org\r\nSubject: x\r\nMIME-Version: 1.0\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\x7f"
       "ELF\x02\x01\x01\0\0\0binary",
       "not a mail message"},
      {"just some words\nand more\n", "not a mail message"},
      {head + "Content-Type: text/plain", "cut short"},
      {head + "Content-Type: multipart/mixed; "
              "boundary=b\r\n\r\n--b\r\n\r\ntext\r\n--b\r\nContent-Type: tex",
       "cut short"},
      {head + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n", "cut short"},
      {head + "Content-Type: multipart/mixed\r\n\r\n--b\r\n\r\ntext\r\n--b--\r\n", "no boundary"},
      {head + "Content-Type: multipart/mixed; boundary=b\r\n\r\nno parts at all\r\n", "no parts"},
      {head + "Content-Transfer-Encoding: x-unknown\r\n\r\nabc\r\n", "transfer encoding"},
      {head + "Content-Transfer-Encoding: base64\r\n\r\n!!!not base64!!!\r\n",
       "BASE64 text of a part is damaged"},
  };
  for (const auto& [bytes, why] : cases) {
    auto result = ParseMessage(bytes);
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << bytes;
    EXPECT_NE(std::get<std::string>(result).find(why), std::string::npos)
        << std::get<std::string>(result);
  }
}

TEST(MessageFileRead, HostileNamesStayInsideTheirFolder) {
  const fs::path root = fs::temp_directory_path() / ("tavrin-eml-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const std::vector<MessageAttachment> parts = {
      {"../../etc/passwd", "a"},
      {"..", "b"},
      {std::string("x\0y.txt", 7), "c"},
      {"line\nbreak.txt", "d"},
      {"C:\\dir\\win.txt", "e"},
      {"passwd", "f"},
      {"", "g"},
      {std::string(300, 'n') + ".txt", "h"},
      {"/", "i"},
  };
  auto stored = StoreAttachments((root / "attachments").string(), parts);
  ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(stored))
      << std::get<std::string>(stored);
  const auto& paths = std::get<std::vector<std::string>>(stored);
  ASSERT_EQ(paths.size(), parts.size());
  const fs::path folder = fs::path(paths[0]).parent_path();
  EXPECT_EQ(folder.parent_path(), root / "attachments");
  EXPECT_EQ(Mode(folder), 0700u);
  std::set<std::string> names;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const fs::path p(paths[i]);
    EXPECT_EQ(p.parent_path(), folder) << paths[i];
    EXPECT_EQ(Mode(p), 0600u) << paths[i];
    EXPECT_EQ(ReadFile(p), parts[i].bytes) << paths[i];
    EXPECT_LE(p.filename().string().size(), 200u);
    names.insert(p.filename().string());
  }
  EXPECT_EQ(names.size(), parts.size());  // unique
  EXPECT_EQ(fs::path(paths[0]).filename(), "passwd");
  EXPECT_EQ(fs::path(paths[1]).filename(), "attachment-2");
  EXPECT_EQ(fs::path(paths[2]).filename(), "attachment-3");
  EXPECT_EQ(fs::path(paths[3]).filename(), "attachment-4");
  EXPECT_EQ(fs::path(paths[4]).filename(), "win.txt");
  EXPECT_EQ(fs::path(paths[5]).filename(), "passwd (2)");
  EXPECT_EQ(fs::path(paths[7]).extension(), ".txt");
  // Everything written is in the one folder.
  std::size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, parts.size());
  fs::remove_all(root);
}

class MessageFileWindow : public AppFixture {
 protected:
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    AppFixture::TearDown();
  }
  void Start() {
    WriteIni("[Options]\nReturnEmail=sender@example.com\n");
    CreateDefaultTable();
    ::setenv("XDG_DATA_HOME", (Root() + "/data").c_str(), 1);
    StartProgram();
  }
};

TEST_F(MessageFileWindow, SaveAndOpenThroughTheMenuAndABrokenFileChangesNothing) {
  Start();
  WriteFile(Root() + "/photo.jpg", "JPEGDATA");
  Main().edtTo->setText("Members of the club");
  Main().edtSubject->setText("Größe");
  Main().mmoMessage->setPlainText("one\ntwo");
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/photo.jpg"));
  dialogs_.saveAnswers.push_back(Root() + "/m.eml");
  Main().miSaveMessage->trigger();
  ASSERT_TRUE(fs::exists(Root() + "/m.eml"))
      << (dialogs_.Messages().empty() ? "" : dialogs_.Messages()[0]);

  Main().edtTo->setText("other");
  Main().edtSubject->setText("other");
  Main().mmoMessage->setPlainText("other");
  dialogs_.fileAnswers.push_back(Root() + "/m.eml");
  Main().miOpenMessage->trigger();
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(Main().edtTo->text().toStdString(), "Members of the club");
  EXPECT_EQ(Main().edtSubject->text().toStdString(), "Größe");
  EXPECT_EQ(Main().mmoMessage->toPlainText().toStdString(), "one\ntwo");
  ASSERT_EQ(Main().lstAttachments->Count(), 1);
  const std::string attached = Main().lstAttachments->GetFilePath(0);
  EXPECT_EQ(attached.rfind(Root() + "/data/Tavrin/attachments/", 0), 0u) << attached;
  EXPECT_EQ(ReadFile(attached), "JPEGDATA");

  // A truncated copy is refused with its reason, and the window keeps what it shows.
  const std::string whole = ReadFile(Root() + "/m.eml");
  WriteFile(Root() + "/cut.eml", whole.substr(0, whole.size() - 40));
  Main().mmoMessage->setPlainText("kept");
  dialogs_.fileAnswers.push_back(Root() + "/cut.eml");
  Main().miOpenMessage->trigger();
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_NE(dialogs_.Messages()[0].find("cut short"), std::string::npos) << dialogs_.Messages()[0];
  EXPECT_EQ(Main().mmoMessage->toPlainText().toStdString(), "kept");
  EXPECT_EQ(Main().edtSubject->text().toStdString(), "Größe");
  ASSERT_EQ(Main().lstAttachments->Count(), 1);
  EXPECT_EQ(Main().lstAttachments->GetFilePath(0), attached);
}

// Opening a message over one that was typed and not sent asks first; declined, the window (and so
// its draft) keeps what was typed and no file is asked for.
TEST_F(MessageFileWindow, OpenOverAnUnsentMessageAsksFirst) {
  Start();
  Main().edtSubject->setText("Typed");
  Main().mmoMessage->setPlainText("typed text");
  dialogs_.saveAnswers.push_back(Root() + "/m.eml");
  Main().miSaveMessage->trigger();
  Main().edtSubject->setText("Typed since");
  dialogs_.confirmAnswers.push_back(false);
  dialogs_.fileAnswers.push_back(Root() + "/m.eml");
  Main().miOpenMessage->trigger();
  EXPECT_EQ(Main().edtSubject->text().toStdString(), "Typed since");
  EXPECT_EQ(dialogs_.fileAnswers.size(), 1u) << "the file was asked for all the same";

  dialogs_.confirmAnswers.push_back(true);
  Main().miOpenMessage->trigger();
  EXPECT_EQ(Main().edtSubject->text().toStdString(), "Typed");
  EXPECT_TRUE(dialogs_.fileAnswers.empty());
}

}  // namespace
}  // namespace tavrin::app::testing
