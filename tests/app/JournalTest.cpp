// The send journal: what a send writes as it goes, how it reads back (a torn last line and broken
// files), and Resume: a send cut off by the server or stopped goes on to exactly the recipients
// without an outcome, and the log of the resumed send covers the whole send.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "SendSupport.h"
#include "send/SendJournal.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

const std::vector<std::pair<std::string, std::string>> kFive = {{"Ann", "ann@example.com"},
                                                                {"Bob", "bob@example.com"},
                                                                {"Cy", "cy@example.com"},
                                                                {"Dan", "dan@example.com"},
                                                                {"Eve", "eve@example.com"}};

class JournalTest : public SendTest {
 protected:
  std::string Folder() const { return (root_ / "journal").string(); }

  JournalHead Head(const SendJob& job, std::int64_t total) {
    JournalHead head;
    head.started = 1'800'000'000;
    head.subject = "News";
    head.tableFile = (root_ / "rcpt.dbf").string();
    head.nameField = job.nameField;
    head.emailField = job.emailField;
    head.total = total;
    head.returnEmail = job.returnEmail;
    head.lines = job.messageLines;
    head.boundary = job.boundary;
    for (const std::string& path : job.attachments)
      head.attachments.push_back(*AttachmentNow(path));
    return head;
  }

  std::unique_ptr<TSendJournal> Create(const JournalHead& head) {
    auto made = TSendJournal::Create(Folder(), head);
    if (auto* error = std::get_if<std::string>(&made)) ADD_FAILURE() << *error;
    return std::get<std::unique_ptr<TSendJournal>>(std::move(made));
  }

  JournalState Read(const std::string& path) {
    auto read = ReadJournal(path);
    if (auto* error = std::get_if<std::string>(&read)) ADD_FAILURE() << *error;
    return std::get<JournalState>(read);
  }

  // A new dialogue (with a log of its own) for the resumed send, the journal reopened and bound.
  std::unique_ptr<TSendJournal> ResumeFrom(const JournalState& state) {
    dialogue.reset();
    log = TSendLog();
    log.StartLog("P", "S", "d", "t");
    dialogue = std::make_unique<TSendDialogue>(*sock, replies, log, table);
    dialogue->mostReconnections = 0;
    auto reopened = TSendJournal::Reopen(state);
    if (auto* error = std::get_if<std::string>(&reopened)) ADD_FAILURE() << *error;
    auto journal = std::get<std::unique_ptr<TSendJournal>>(std::move(reopened));
    journal->Bind(dialogue->events, log);
    return journal;
  }

  // Five records in transactions of two, journaled; Stop while the third is addressed, so the
  // first transaction alone is delivered. The job and its journal, for a Resume.
  std::pair<SendJob, std::unique_ptr<TSendJournal>> StoppedAtTheThird() {
    MakeTable(kFive);
    SendJob job = Job();
    job.recipientsPerMessage = 2;
    auto journal = Create(Head(job, 5));
    journal->Bind(dialogue->events, log);
    dialogue->events.status = [this](const std::string& text) {
      if (text == "Processing individual 3 of 5") dialogue->Stop();
    };
    SmtpServer first(root_ / "first", {});
    Send(first.Port(), job);
    EXPECT_EQ(Recipients(first), (std::vector<std::string>{"ann@example.com", "bob@example.com"}));
    return {job, std::move(journal)};
  }

  // The addresses the capture server took, from its transcript.
  static std::vector<std::string> Recipients(const SmtpServer& server) {
    std::vector<std::string> out;
    std::istringstream in(server.Transcript());
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find("RCPT TO:<");
      if (at != std::string::npos) out.push_back(line.substr(at + 9, line.find('>') - at - 9));
    }
    return out;
  }
};

// Ann and Bob's transaction is delivered; "Mail From:" of the next meets 421.
void DeliverOneThen421(PeerConn& c) {
  c.Send("220 hi\r\n");
  c.RecvLine();
  c.Send("250 hello\r\n");
  for (const char* reply : {"250 from\r\n", "250 to\r\n", "250 to\r\n", "354 go\r\n"}) {
    c.RecvLine();
    c.Send(reply);
  }
  for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
  }
  c.Send("250 queued as 1\r\n");
  c.RecvLine();
  c.Send("421 4.7.0 Too many messages, try later\r\n");
  c.RecvAll();
}

TEST_F(JournalTest, ResumeAfter421SendsExactlyTheRestAndTheLogIsWhole) {
  MakeTable(kFive);
  SendJob job = Job();
  job.recipientsPerMessage = 2;
  auto journal = Create(Head(job, 5));
  journal->Bind(dialogue->events, log);
  {
    LoopbackPeer peer(DeliverOneThen421);
    Send(peer.Port(), job);
  }
  ASSERT_FALSE(kinds.empty());
  EXPECT_NE(kinds.back(), FailureKind::kNone);
  JournalState state = Read(journal->Path());
  EXPECT_FALSE(state.closed);
  EXPECT_EQ(state.Reached(), 2);
  EXPECT_TRUE(state.mayHaveBeenDelivered.empty());
  EXPECT_EQ(state.head.lines, job.messageLines);
  EXPECT_EQ(ResumeQuestion(state, "12/7/26"),
            "The send of \"News\" on 12/7/26 reached 2 of 5 recipients. Send to the remaining 3?");

  journal = ResumeFrom(state);
  SmtpServer server(root_ / "outbox", {});
  SendJob again = Job();
  again.recipientsPerMessage = 2;
  again.messageLines = state.head.lines;
  again.settledBefore = SettledFor(state, false);
  Send(server.Port(), again);
  EXPECT_EQ(Recipients(server),
            (std::vector<std::string>{"cy@example.com", "dan@example.com", "eve@example.com"}));
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann ok", "Bob ok", "Cy ok", "Dan ok", "Eve ok"}));
  state = Read(journal->Path());
  EXPECT_TRUE(state.closed);
  EXPECT_EQ(state.Reached(), 5);
}

// Stopped while the second transaction's recipients are being addressed: its recipients and those
// after get the message at Resume, the first transaction's do not.
TEST_F(JournalTest, ResumeAfterStop) {
  auto [job, journal] = StoppedAtTheThird();
  ASSERT_EQ(kinds.back(), FailureKind::kStopped);
  JournalState state = Read(journal->Path());
  EXPECT_FALSE(state.closed);
  EXPECT_EQ(state.Reached(), 2);

  journal = ResumeFrom(state);
  SmtpServer server(root_ / "outbox", {"--refuse", "dan@example.com=550 No such user"});
  SendJob again = Job();
  again.settledBefore = SettledFor(state, false);
  Send(server.Port(), again);
  EXPECT_EQ(Recipients(server),
            (std::vector<std::string>{"cy@example.com", "dan@example.com", "eve@example.com"}));
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann ok", "Bob ok", "Cy ok",
                                                     "Dan failed 550 No such user", "Eve ok"}));
  EXPECT_TRUE(Read(journal->Path()).closed);
}

// The final "." went out and the connection dropped before the reply: that transaction may have
// been delivered. Resume leaves it out (logged as such) unless asked to include it.
TEST_F(JournalTest, AnUnconfirmedTransactionIsLeftOutUnlessIncluded) {
  MakeTable(kFive);
  SendJob job = Job();
  job.recipientsPerMessage = 2;
  auto journal = Create(Head(job, 5));
  journal->Bind(dialogue->events, log);
  {
    LoopbackPeer peer([](PeerConn& c) {
      c.Send("220 hi\r\n");
      c.RecvLine();
      c.Send("250 hello\r\n");
      for (const char* reply : {"250 from\r\n", "250 to\r\n", "250 to\r\n", "354 go\r\n"}) {
        c.RecvLine();
        c.Send(reply);
      }
      for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
      }
      c.Close();
    });
    Send(peer.Port(), job);
  }
  JournalState state = Read(journal->Path());
  EXPECT_EQ(state.Reached(), 0);
  EXPECT_EQ(state.mayHaveBeenDelivered, (std::set<std::int32_t>{1, 2}));

  const auto without = SettledFor(state, false);
  EXPECT_EQ(without.size(), 2u);
  EXPECT_EQ(SettledFor(state, true).size(), 0u);

  journal = ResumeFrom(state);
  for (const auto& [record, settled] : without) journal->Skip(record, settled.reply);
  SmtpServer server(root_ / "outbox", {});
  SendJob again = Job();
  again.settledBefore = without;
  Send(server.Port(), again);
  EXPECT_EQ(Recipients(server),
            (std::vector<std::string>{"cy@example.com", "dan@example.com", "eve@example.com"}));
  const std::string left = std::string(" not sent ") + kMayHaveBeenDelivered;
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann" + left, "Bob" + left, "Cy ok", "Dan ok", "Eve ok"}));
  state = Read(journal->Path());
  EXPECT_TRUE(state.closed);
  EXPECT_TRUE(state.mayHaveBeenDelivered.empty());
}

TEST_F(JournalTest, AChangedOrMissingAttachmentRefusesResume) {
  const auto path = root_ / "report.pdf";
  WriteFile(path, "%PDF-1.4 tiny");
  SendJob job = Job({"Hi"}, {path.string()});
  const JournalHead head = Head(job, 1);
  EXPECT_EQ(AttachmentChange(head), std::nullopt);
  WriteFile(path, "%PDF-1.4 tinY");  // the same size
  struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(AttachmentChange(head).has_value());
  EXPECT_NE(AttachmentChange(head)->find("has changed since the send began"), std::string::npos);
  std::filesystem::remove(path);
  EXPECT_NE(AttachmentChange(head)->find("is missing"), std::string::npos);
}

// Every byte of the message and the replies survives; a last line cut short is ignored and mended
// by the next write; anything else broken refuses the file, which stays as it was.
// A Resume sends what the first try would have sent: each record's own message built again from
// the same input, and the same records skipped as opted out.
TEST_F(JournalTest, APersonalisedSendAndItsOptOutFieldComeBackWhole) {
  JournalHead head = Head(Job(), 3);
  head.lines.clear();
  head.optOutField = "NOMAIL";
  head.personalised = true;
  head.input.SenderName = "Club\tdesk";
  head.input.ReturnEmail = "desk@example.com";
  head.input.To = "{NAME}";
  head.input.Subject = "Hello {NAME}";
  head.input.Body = {"Dear {NAME},", "", "line with \\ and \n"};
  head.input.Date = "Mon, 07 Dec 2026 21:00:00 +0000";
  head.input.MessageIdToken = "abc";
  head.input.ReplyTo = "reply@example.com";
  head.input.ListUnsubscribe = "https://example.org/u?e={EMAIL}";
  auto journal = Create(head);
  const JournalState state = Read(journal->Path());
  EXPECT_EQ(state.head.optOutField, "NOMAIL");
  ASSERT_TRUE(state.head.personalised);
  const MessageInput& in = state.head.input;
  EXPECT_EQ(in.SenderName, head.input.SenderName);
  EXPECT_EQ(in.To, "{NAME}");
  EXPECT_EQ(in.Subject, "Hello {NAME}");
  EXPECT_EQ(in.Body, head.input.Body);
  EXPECT_EQ(in.Date, head.input.Date);
  EXPECT_EQ(in.ReplyTo, "reply@example.com");
  EXPECT_EQ(in.ListUnsubscribe, head.input.ListUnsubscribe);
  EXPECT_TRUE(state.head.lines.empty());
}

TEST_F(JournalTest, ReadingBackTornAndBrokenFiles) {
  SendJob job = Job({"tab\there", "back\\slash", std::string("nul\0byte", 8), "\x7f\xff"});
  JournalHead head = Head(job, 3);
  head.subject = "Line\nbreak";
  auto journal = Create(head);
  struct stat st {};
  ASSERT_EQ(::stat(journal->Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  journal->Settle(1, RecipientStatus::kOk, "250 ok\tqueued");
  journal->Settle(2, RecipientStatus::kNotSent, "stopped");  // no outcome
  journal->Settle(1, RecipientStatus::kFailed, "later");     // the first outcome stands
  ASSERT_TRUE(journal->Flush());
  JournalState state = Read(journal->Path());
  EXPECT_EQ(state.head.lines, job.messageLines);
  EXPECT_EQ(state.head.subject, head.subject);
  ASSERT_EQ(state.final.size(), 1u);
  EXPECT_EQ(state.final.at(1).reply, "250 ok\tqueued");
  journal.reset();

  const std::string whole = ReadFile(state.path);
  WriteFile(state.path, whole + "Accepted\t2\t18");  // killed in the middle of a write
  EXPECT_EQ(Read(state.path).Reached(), 1);
  journal = ResumeFrom(Read(state.path));
  journal->Settle(3, RecipientStatus::kFailed, "550 no");
  ASSERT_TRUE(journal->Flush());
  state = Read(state.path);
  EXPECT_EQ(state.Reached(), 2);
  EXPECT_EQ(state.final.count(3), 1u);

  for (const std::string& broken :
       {whole + "Accepted\tx\t1\tok\n" + "Closed\t1\n", whole + "Unknown\n",
        whole + "Accepted\t2\t1\tbad\\q\n", std::string("Tavrin send journal 1\nStarted\t1\n"),
        whole + "Closed\t1\nAccepted\t2\t1\tok\n"}) {
    WriteFile(state.path, broken);
    const auto read = ReadJournal(state.path);
    ASSERT_TRUE(std::holds_alternative<std::string>(read)) << broken;
    EXPECT_NE(std::get<std::string>(read).find(state.path), std::string::npos);
    EXPECT_EQ(ReadFile(state.path), broken);
  }
}

// The table is rewritten between the send and Resume (a record put in before the others, the
// rest moved down): Resume goes by the addresses the journal names, so nobody gets the message
// twice and the newcomer and the rest get it.
TEST_F(JournalTest, ResumeAfterTheTableWasRenumbered) {
  auto [job, journal] = StoppedAtTheThird();
  const JournalState state = Read(journal->Path());
  ASSERT_EQ(state.Reached(), 2);

  std::vector<std::pair<std::string, std::string>> moved = {{"Zed", "zed@example.com"}};
  moved.insert(moved.end(), kFive.begin(), kFive.end());
  MakeTable(moved);
  journal = ResumeFrom(state);
  SmtpServer server(root_ / "outbox", {});
  SendJob again = Job();
  again.settledBefore = SettledFor(state, false);
  Send(server.Port(), again);
  EXPECT_EQ(Recipients(server), (std::vector<std::string>{"zed@example.com", "cy@example.com",
                                                          "dan@example.com", "eve@example.com"}));
}

}  // namespace
}  // namespace tavrin::app::testing
