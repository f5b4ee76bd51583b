// Sends in several transactions on one connection (the server's limit and the job's), no room for
// the first recipient of one, mail data refused after a delivered one; then what EHLO changes:
// pipelined windows (never to a server that did not offer them) and the message's size.
#include <sys/socket.h>

#include <map>
#include <set>

#include "SendSupport.h"
#include "send/SendLog.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

std::vector<std::pair<std::string, std::string>> People(int n) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 1; i <= n; ++i)
    rows.push_back({"P" + std::to_string(i), "p" + std::to_string(i) + "@example.com"});
  return rows;
}
std::size_t Count(const std::string& text, const std::string& word) {
  std::size_t n = 0;
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}
// The messages a server kept, in the order it received them (their names end in its count).
std::vector<std::string> Received(const SmtpServer& server) {
  std::map<std::string, std::string> byNumber;
  for (const auto& path : server.Messages())
    byNumber[path.stem().string().substr(16)] = ReadFile(path);
  std::vector<std::string> out;
  for (const auto& [number, text] : byNumber) out.push_back(text);
  return out;
}
// Signing in makes the dialogue greet with EHLO, the only way it learns what the server offers.
std::vector<std::string> SignIn(std::vector<std::string> options) {
  options.insert(options.end(), {"--auth-user=ann", "--auth-password=pw"});
  return options;
}
SendJob SignedIn(SendJob job) {
  job.userName = "ann";
  job.password = "pw";
  return job;
}

// ---- 2,500 records, a limit of 1000: three messages, each address in one, every line OK

class RecipientLimit : public SendTest,
                       public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(RecipientLimit, SplitsTheTableIntoTransactionsAndLogsEveryoneOnce) {
  const auto rows = People(2500);
  MakeTable(rows);
  const auto [serverLimit, jobLimit] = GetParam();
  SmtpServer server(root_ / "outbox", {"--recipient-limit=" + std::to_string(serverLimit)});
  SendJob job = Job();
  job.recipientsPerMessage = jobLimit;
  Send(server.Port(), job);
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(Count(server.Transcript(), "MAIL FROM"), 3u);
  EXPECT_EQ(Count(server.Transcript(), "RCPT TO"), serverLimit > 0 ? 2502u : 2500u);  // two 452s
  std::multiset<std::string> envelopes, expected;
  std::vector<std::string> lines;
  for (const std::string& text : Received(server)) {
    const auto start = text.find("X-Envelope-To: ") + 15;
    std::stringstream list(text.substr(start, text.find("\r\n", start) - start));
    for (std::string a; std::getline(list >> std::ws, a, ',');) envelopes.insert(a);
  }
  for (const auto& [name, email] : rows) expected.insert(email), lines.push_back(name + " ok");
  EXPECT_EQ(server.Messages().size(), 3u);
  EXPECT_TRUE(envelopes == expected);
  EXPECT_TRUE(Outcomes(log) == lines);
  EXPECT_EQ(notes, std::vector<std::string>{""});
}

INSTANTIATE_TEST_SUITE_P(ServersAndOurOwn, RecipientLimit,
                         ::testing::Values(std::pair{1000, 0}, std::pair{0, 1000}));

// "No room" for the first recipient of a transaction is that recipient's own refusal (a full
// mailbox): Ann, refused so in the first transaction, and Cy, left over by it and refused so again
// as the first of the next, are FAILED, and everyone else still gets the message.
TEST_F(SendTest, NoRoomForTheFirstRecipientOfATransactionRefusesThatRecipientAlone) {
  MakeTable({{"Ann", "a@example.com"},
             {"Bob", "b@example.com"},
             {"Cy", "c@example.com"},
             {"Di", "d@example.com"}});
  const std::string full = "452 4.2.2 Mailbox full";
  SmtpServer server(root_ / "outbox",
                    {"--refuse=a@example.com=" + full, "--refuse=c@example.com=" + full});
  Send(server.Port(), Job());
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann failed " + full, "Bob ok",
                                                     "Cy failed " + full, "Di ok"}));
  EXPECT_EQ(Count(server.Transcript(), "RCPT TO:<c@example.com>"), 2u);
  EXPECT_EQ(Count(server.Transcript(), "DATA END"), 2u);
}

// ---- scripted servers

// Greets, lists `extensions`, signs the user in with `signedIn` (235, or the 250 some give).
void OpenSession(PeerConn& c, const std::string& extensions,
                 const std::string& signedIn = "235 ok") {
  c.Send("220 hi\r\n");
  c.RecvLine();
  c.Send("250-mail.example.com\r\n" + extensions + "250 AUTH PLAIN\r\n");
  c.RecvLine();
  c.Send(signedIn + "\r\n");
}
// Receives `n` lines before answering any: a client that waits for each reply never sends them.
std::string Window(PeerConn& c, int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) lines += c.RecvLine();
  return lines;
}
void TakeMailData(PeerConn& c, const std::string& reply) {
  c.RecvLine();  // Data
  c.Send("354 go\r\n");
  for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
  }
  c.Send(reply);
}

TEST_F(SendTest, MailDataRefusedInTheSecondTransactionFailsOnlyItsRecipients) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}, {"Cy", "c@example.com"}});
  LoopbackPeer peer([&](PeerConn& c) {
    OpenSession(c, "");
    for (const int recipients : {2, 1}) {
      for (int i = 0; i <= recipients; ++i)
        c.RecvLine(), c.Send("250 ok\r\n");  // Mail From, Rcpt To
      TakeMailData(c, recipients == 2 ? "250 queued\r\n" : "554 5.7.1 Spam\r\n");
    }
    c.RecvAll();
  });
  SendJob job = SignedIn(Job());
  job.recipientsPerMessage = 2;
  Send(peer.Port(), job);
  EXPECT_EQ(failures,
            std::vector<std::string>{"Unexpected error! 554 5.7.1 Spam; the message was "
                                     "delivered to 2 recipients before the send stopped."});
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"Ann ok", "Bob ok", "Cy failed 554 5.7.1 Spam"}));
}

// A recipient accepted after a 452 in the same window is in the transaction; Bob opens the next.
TEST_F(SendTest, APipelinedWindowKeepsTheRecipientsTheServerAcceptedAfterA452) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}, {"Cy", "c@example.com"}});
  std::string windows;
  LoopbackPeer peer([&](PeerConn& c) {
    OpenSession(c, "250-PIPELINING\r\n");
    windows += Window(c, 4);
    c.Send("250 from\r\n250 a\r\n452 4.5.3 not now\r\n250 c\r\n");
    TakeMailData(c, "250 queued\r\n");
    windows += Window(c, 2);
    c.Send("250 from\r\n250 b\r\n");
    TakeMailData(c, "250 queued\r\n");
    c.RecvLine();
    c.Send("221 bye\r\n");
  });
  Send(peer.Port(), SignedIn(Job()));
  EXPECT_EQ(
      windows,
      "Mail From:<sender@example.com>\r\nRcpt To:<a@example.com>\r\nRcpt To:<b@example.com>\r\n"
      "Rcpt To:<c@example.com>\r\nMail From:<sender@example.com>\r\nRcpt To:<b@example.com>\r\n");
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann ok", "Bob ok", "Cy ok"}));
}

// A pipelined window may be answered slowly, one reply after another: each reply gives those
// still due the whole time-out again, so a window that takes longer than one time-out goes through.
TEST_F(SendTest, EachReplyOfAPipelinedWindowGivesTheRestTheWholeTimeOut) {
  MakeTable(People(6));
  dialogue->commandTimeOutMs = 1000;
  LoopbackPeer peer([&](PeerConn& c) {
    OpenSession(c, "250-PIPELINING\r\n");
    Window(c, 7);
    for (int i = 0; i < 7; ++i) {
      c.Sleep(300);
      c.Send("250 ok\r\n");
    }
    TakeMailData(c, "250 queued\r\n");
    c.RecvLine();
    c.Send("221 bye\r\n");
  });
  Send(peer.Port(), SignedIn(Job()));
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kNone});
  EXPECT_EQ(Outcomes(log).size(), 6u);

  // A server that falls silent in the middle of a window is still timed out.
  net::test::Gate done;
  LoopbackPeer silent([&](PeerConn& c) {
    OpenSession(c, "250-PIPELINING\r\n");
    Window(c, 7);
    c.Send("250 from\r\n250 a\r\n");
    done.Wait(10000);
  });
  log.StartLog("P", "S", "d", "t");
  Send(silent.Port(), SignedIn(Job()));
  done.Open();
  EXPECT_EQ(kinds.back(), FailureKind::kTimedOut);
  EXPECT_EQ(Outcomes(log).size(), 6u);
}

// Each command must have been answered before the next arrives: nothing waits behind it.
TEST_F(SendTest, AServerThatDoesNotOfferPipeliningGetsOneCommandAtATime) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}});
  std::string early;
  LoopbackPeer peer([&](PeerConn& c) {
    OpenSession(c, "250-8BITMIME\r\n", "250 2.0.0 Ok");
    for (const char* reply : {"250 from\r\n", "250 a\r\n", "250 b\r\n"}) {
      const std::string command = c.RecvLine();
      c.Sleep(50);
      char byte;
      if (::recv(c.Fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) early += command;
      c.Send(reply);
    }
    TakeMailData(c, "250 queued\r\n");
    c.RecvLine();
    c.Send("221 bye\r\n");
  });
  Send(peer.Port(), SignedIn(Job()));
  EXPECT_EQ(early, "");
  EXPECT_EQ(completions, 1);
}

// ---- the capture server, with and without pipelining; SIZE

TEST_F(SendTest, PipelinedAndOneAtATimeSendsOfOneTableGiveTheSameLogAndMessages) {
  auto rows = People(330);  // windows of 100 commands: the 452s begin in the middle of one
  rows[6].second = "refused@example.com";
  MakeTable(rows, {50});
  const SendJob job = SignedIn(Job());  // one boundary for both
  std::vector<std::string> logs[2], messages[2];
  for (const bool pipelining : {false, true}) {
    log.StartLog("P", "S", "d", "t");
    std::vector<std::string> options = {"--recipient-limit=150",
                                        "--refuse=refused@example.com=550 No"};
    if (pipelining) options.push_back("--pipelining");
    SmtpServer server(root_ / (pipelining ? "piped" : "single"), SignIn(options));
    Send(server.Port(), job);
    EXPECT_EQ(dialogue->Extensions().Has("PIPELINING"), pipelining);
    logs[pipelining] = Outcomes(log);
    messages[pipelining] = Received(server);
  }
  EXPECT_EQ(logs[0].size(), 329u);  // not the deleted record
  EXPECT_EQ(logs[1], logs[0]);
  EXPECT_EQ(messages[0].size(), 3u);
  EXPECT_TRUE(messages[1] == messages[0]);
}

TEST_F(SendTest, TheSizeGoesWithTheSenderAndATooLargeMessageIsNotSentAtAll) {
  MakeTable({{"Ann", "a@example.com"}});
  WriteFile(root_ / "a.bin", net::test::RandomBytes(1500000, 3));
  const SendJob job = SignedIn(Job({"Dear all,", ".", "..x"}, {(root_ / "a.bin").string()}));
  SmtpServer roomy(root_ / "outbox1", SignIn({"--size=50000000"}));
  Send(roomy.Port(), job);
  ASSERT_EQ(roomy.Messages().size(), 1u);
  const std::string kept = ReadFile(roomy.Messages()[0]);
  const std::size_t size =
      kept.size() - kept.find("\r\n", kept.find("X-Envelope-To")) - 2;  // as received
  EXPECT_NE(
      roomy.Transcript().find("MAIL FROM:<sender@example.com> SIZE=" + std::to_string(size) + "\n"),
      std::string::npos);
  SmtpServer tight(root_ / "outbox2", SignIn({"--size=" + std::to_string(size - 1)}));
  Send(tight.Port(), job);
  EXPECT_EQ(failures, std::vector<std::string>{
                          TooLargeText(size - 1).substr(0, TooLargeText(size - 1).size() - 1) +
                          "; the message has not been sent."});
  EXPECT_EQ(kinds, (std::vector<FailureKind>{FailureKind::kNone, FailureKind::kMessageTooLarge}));
  EXPECT_EQ(tight.Transcript().find("MAIL"), std::string::npos);
  EXPECT_EQ(TooLargeText(10485760), "The message is larger than the server accepts (10.4 MB).");
  EXPECT_EQ(TooLargeText(20000000), "The message is larger than the server accepts (20 MB).");
}

}  // namespace
}  // namespace tavrin::app::testing
