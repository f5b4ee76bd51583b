// The send end to end against a real SMTP server: what the server saw, what arrived, and what the
// user is told, for accepted and refused recipients, refusals of the message, odd tables and
// attachments.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QProcess>
#include <random>

#include "SendSupport.h"
#include "send/SendLog.h"

namespace tavrin::app::testing {
namespace {

const std::vector<std::pair<std::string, std::string>> kThree = {{"Ann Archer", "ann@example.com"},
                                                                 {"Bob Baker", "bob@example.com"},
                                                                 {"Cy Cole", "cy@example.com"}};

// ---- every recipient accepted

TEST_F(SendTest, ThreeRecipientsGoOutInOneTransactionAndTheLogFollowsTheReplyToQuit) {
  MakeTable(kThree);
  SmtpServer server(root_ / "outbox", {});
  std::string transcriptAtCompletion;
  dialogue->events.completed = [&](const std::string& note) {
    transcriptAtCompletion = server.Transcript();
    notes.push_back(note);
  };
  Send(server.Port(), Job());
  EXPECT_EQ(transcriptAtCompletion,
            "EHLO [127.0.0.1]\nMAIL FROM:<sender@example.com>\nRCPT TO:<ann@example.com>\n"
            "RCPT TO:<bob@example.com>\nRCPT TO:<cy@example.com>\nDATA END\nQUIT\n");
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann Archer ok", "Bob Baker ok", "Cy Cole ok"}));
  EXPECT_EQ(notes, std::vector<std::string>{""});
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kNone});
  for (int i = 1; i <= 3; ++i)
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        "Processing individual " + std::to_string(i) + " of 3"),
              statuses.end());
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(ReadFile(server.Messages()[0])
                .find("X-Envelope-To: ann@example.com, bob@example.com, cy@example.com"),
            std::string::npos);
}

// ---- refusals of single recipients cost those recipients alone

class RefusedRecipient : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedRecipient, TheOthersStillGetTheMessage) {
  MakeTable(kThree);
  SmtpServer server(root_ / "outbox", {std::string("--refuse=bob@example.com=") + GetParam()});
  Send(server.Port(), Job());
  const std::string reply = GetParam();  // the reply's last line, whole
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann Archer ok",
                                      "Bob Baker failed " + reply.substr(reply.rfind('|') + 1),
                                      "Cy Cole ok"}));
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(
      ReadFile(server.Messages()[0]).find("X-Envelope-To: ann@example.com, cy@example.com\r\n"),
      std::string::npos);
  EXPECT_EQ(completions, 1);
}

INSTANTIATE_TEST_SUITE_P(OneLineAndThreeLines, RefusedRecipient,
                         ::testing::Values("550 No such user",
                                           "550-No such user|550-here or|550 anywhere"));

TEST_F(SendTest, WhenNoRecipientIsAcceptedNoDataIsSentAndTheLogSaysWhy) {
  MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}});
  SmtpServer server(root_ / "outbox", {"--reply=RCPT=450 Mailbox busy"});
  Send(server.Port(), Job());
  EXPECT_EQ(server.Transcript().find("DATA"), std::string::npos);
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann failed 450 Mailbox busy",
                                                     "Bob failed 450 Mailbox busy"}));
  EXPECT_EQ(notes, std::vector<std::string>{kNoRecipientAccepted});
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kNoRecipientAccepted});
  EXPECT_TRUE(server.Messages().empty());
}

// ---- refusals of the message itself

TEST_F(SendTest, A503ToMailFromAbortsWithTheServersLineAndNoLog) {
  MakeTable(kThree);
  SmtpServer server(root_ / "outbox", {"--reply=MAIL=503 5.5.1 <b>Bad</b> sequence"});
  Send(server.Port(), Job());
  EXPECT_EQ(failures,
            std::vector<std::string>{
                "Unexpected error! 503 5.5.1 <b>Bad</b> sequence; the message has not been sent."});
  EXPECT_EQ(statuses.back(),
            "Unexpected error! 503 5.5.1 <b>Bad</b> sequence; message transmittal has failed.");
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kServerRefused});
  EXPECT_EQ(server.Transcript().find("RCPT"), std::string::npos);
}

TEST_F(SendTest, A550ToTheFinalDotAbortsAndNoRecipientIsLoggedOk) {
  MakeTable(kThree);
  SmtpServer server(root_ / "outbox", {"--reply=DATA_END=550 Message refused"});
  Send(server.Port(), Job());
  EXPECT_EQ(failures, std::vector<std::string>{
                          "Unexpected error! 550 Message refused; the message has not been sent."});
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kServerRefused});
  EXPECT_EQ(server.Transcript().find("QUIT"), std::string::npos);
}

// ---- tables with odd records

TEST_F(SendTest, DeletedRecordsAndUnsafeAddressesAreNeverAddressed) {
  MakeTable({{"Ann", "ann@example.com"},
             {"Gone", "gone@example.com"},
             {"Eve", "eve@example.com\r\nRSET"},
             {"No Mail", ""},
             {"Cy", "cy@example.com"},
             {"Bo", " <bo@example.com> "},
             {"Mal", "mal@example.com> NOTIFY=NEVER"}},
            {2});
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job());
  EXPECT_EQ(server.Transcript(),
            "EHLO [127.0.0.1]\nMAIL FROM:<sender@example.com>\nRCPT TO:<ann@example.com>\n"
            "RCPT TO:<cy@example.com>\nRCPT TO:<bo@example.com>\nDATA END\nQUIT\n");
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann ok", "Eve failed Invalid address",
                                                     "No Mail failed Invalid address", "Cy ok",
                                                     "Bo ok", "Mal failed Invalid address"}));
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Processing individual 7 of 7"),
            statuses.end());
}

TEST_F(SendTest, ATableWithoutLiveRecordsIsRefusedBeforeConnecting) {
  MakeTable({{"Gone", "gone@example.com"}}, {1});
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job());
  EXPECT_EQ(failures, std::vector<std::string>{
                          "The recipients table has no records; the message has not been sent."});
  EXPECT_EQ(server.Transcript(), "");
  MakeTable({});
  failures.clear();
  Send(server.Port(), Job());
  EXPECT_EQ(failures, std::vector<std::string>{
                          "The recipients table has no records; the message has not been sent."});
}

TEST_F(SendTest, AMissingTableOrFieldEndsTheSendWithItsCause) {
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job());  // no table at all
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("Unable to read the recipients table: ", 0), 0u) << failures[0];
  MakeTable(kThree);
  SendJob job = Job();
  job.emailField = "MAIL";
  Send(server.Port(), job);
  EXPECT_EQ(failures.back(),
            "The recipients table has no field MAIL; the message has not been sent.");
  EXPECT_EQ(server.Transcript(), "");
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(kinds, std::vector<FailureKind>(2, FailureKind::kLocalFile));
}

// ---- the message arrives as written

std::string Sha(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

TEST_F(SendTest, BodyAndAttachmentsArriveByteForByte) {
  MakeTable({{"Ann", "ann@example.com"}});
  std::mt19937 random(7);
  std::string big(1 << 20, '\0');
  for (char& c : big) c = static_cast<char>(random());
  const std::string small = "forty-six bytes of text, with \"quotes\" & more!";
  ASSERT_EQ(small.size(), 46u);
  WriteFile(root_ / "empty.bin", "");
  WriteFile(root_ / "small \"q\".txt", small);
  WriteFile(root_ / "big.bin", big);
  const std::vector<std::string> files = {(root_ / "empty.bin").string(),
                                          (root_ / "small \"q\".txt").string(),
                                          (root_ / "big.bin").string()};
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job(SplitBodyLines("Dear all,\n.\n.x\r\nlast\rline"), files));
  ASSERT_TRUE(failures.empty()) << failures[0];
  ASSERT_EQ(server.Messages().size(), 1u);

  // Python's email package reads (and gives text parts with plain LF line ends) the message as any mail program would.
  QProcess python;
  python.start(
      "/usr/bin/python3",
      {"-c",
       "import email,hashlib,sys\n"
       "m=email.message_from_binary_file(open(sys.argv[1],'rb'))\n"
       "for p in m.walk():\n"
       "  if p.is_multipart(): continue\n"
       "  print(p.get_filename() or '-', hashlib.sha256(p.get_payload(decode=True)).hexdigest())\n",
       QString::fromStdString(server.Messages()[0].string())});
  ASSERT_TRUE(python.waitForFinished(20000));
  const std::string parts = python.readAllStandardOutput().toStdString();
  EXPECT_EQ(parts, "- " + Sha("Dear all,\n.\n.x\nlast\nline\n") + "\nempty.bin " + Sha("") +
                       "\nsmall \"q\".txt " + Sha(small) + "\nbig.bin " + Sha(big) + "\n");
  // The private temporary file is gone with the send.
  EXPECT_TRUE(std::filesystem::is_empty(root_ / "tmp"));
}

TEST_F(SendTest, AnAttachmentRemovedBeforeSendIsNamedAndNothingGoesOut) {
  MakeTable(kThree);
  const std::string gone = (root_ / "gone.pdf").string();
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job({"x"}, {gone}));
  EXPECT_EQ(failures, std::vector<std::string>{"Unable to read attachment " + gone +
                                               "; the message has not been sent."});
  EXPECT_EQ(server.Transcript(), "");
}

// ---- names and subjects as a mail reader reads them

TEST_F(SendTest, QuotesAndSpecialsInNamesMakeOneSenderAndAnEmptyGroupAndLongNamesReadBack) {
  MakeTable({{"Ann", "ann@example.com"}});
  std::string chinese, greek;
  for (int i = 0; i < 40; ++i) chinese += "\xE6\x98\xA5\xE5\xAD\xA3\xE4\xBC\x9A ";  // "春季会 "
  for (int i = 0; i < 50; ++i) greek += "\xCE\xB1\xCE\xB2";                         // "αβ"
  WriteFile(root_ / (greek + ".txt"), "x");
  const MessageInput in{"Ann \"Boss\" <boss@evil.example>, Bob\\",
                        "sender@example.com",
                        "Members: all; \"you\" @ home",
                        chinese,
                        {"Hi"},
                        InternetDate(0),
                        "token"};
  SendJob job = Job({}, {(root_ / (greek + ".txt")).string()});
  job.messageLines = BuildMessage(in, job.boundary);
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), job);
  ASSERT_EQ(server.Messages().size(), 1u);
  const DecodedMail mail = DecodeMail(server.Messages()[0]);
  EXPECT_EQ(mail.fromNames, std::vector<std::string>{in.SenderName});
  EXPECT_EQ(mail.fromAddresses, std::vector<std::string>{"sender@example.com"});
  EXPECT_EQ(mail.toGroups, std::vector<std::string>{in.To});
  EXPECT_EQ(mail.toAddresses, 0u);
  EXPECT_EQ(mail.subject, chinese);
  EXPECT_EQ(mail.headerDefects, 0u);
  EXPECT_EQ(mail.attachments,
            (std::vector<std::pair<std::string, std::string>>{{greek + ".txt", "x"}}));
  for (const std::string& line : SplitBodyLines(ReadFile(server.Messages()[0])))
    EXPECT_LE(line.size(), 78u) << line;
}

// ---- what is refused at Send

TEST(SendRefusal, NulAnywhereAndControlCharactersInTheReturnAddressAreRefused) {
  EXPECT_FALSE(RefusalOf({"To", "Subject", "Body"}, "me@example.com"));
  EXPECT_TRUE(RefusalOf({"To", std::string("Sub\0ject", 8)}, "me@example.com"));
  EXPECT_TRUE(RefusalOf({"To"}, "me@example.com\r\nRSET"));
  EXPECT_TRUE(RefusalOf({"To"}, "me@example.com\x7f"));
  EXPECT_FALSE(
      RefusalOf({"\xCE\x9A\xCE\xBB\xCE\xB1\xCE\xBC\xCF\x80", "\xE6\x98\xA5"}, "me@example.com"));
  EXPECT_TRUE(RefusalOf({"To", std::string("\xCE\xB1\0", 3)}, "me@example.com"));
}

TEST(SendRefusal, BodyLinesEndAtCrLfCrAndLfAlike) {
  EXPECT_EQ(SplitBodyLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitBodyLines("a\n\r\n"), (std::vector<std::string>{"a", "", ""}));
  EXPECT_EQ(AttachmentHeaderLines("B", "/d/a\"b\\c\td.txt")[2],
            "Content-Type: text/plain; name=\"a\\\"b\\\\c_d.txt\"");
}

}  // namespace
}  // namespace tavrin::app::testing

namespace tavrin::app::testing {

// A send only reads the table, so a table nobody may write to (here: immutable, which binds even
// root) is still sent to.
TEST_F(SendTest, ATableThatCannotBeWrittenIsStillSentTo) {
  MakeTable(kThree);
  const std::string table = (root_ / "rcpt.dbf").string();
  const int fd = ::open(table.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  const bool frozen = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  struct Thaw {
    int fd;
    ~Thaw() {
      int f = 0;
      if (::ioctl(fd, FS_IOC_GETFLAGS, &f) == 0)
        f &= ~FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &f);
      ::close(fd);
    }
  } thaw{fd};
  if (!frozen) GTEST_SKIP() << "cannot make the table immutable here";
  SmtpServer server(root_ / "outbox", {});
  Send(server.Port(), Job());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann Archer ok", "Bob Baker ok", "Cy Cole ok"}));
}

}  // namespace tavrin::app::testing
