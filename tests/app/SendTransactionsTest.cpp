// Sends that need several transactions on one connection: the server's recipient limit (452) and
// the job's own, a limit hit on the first recipient of a transaction, and mail data refused after
// an earlier transaction was delivered. Then what the reply to EHLO changes: recipients pipelined
// in windows (and never to a server that did not offer it), and the message's size declared or,
// when too large, nothing sent.
#include <sys/socket.h>

#include <map>
#include <set>

#include "SendSupport.h"
#include "app/SendLog.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

std::string Ok(const std::string& name) { return FitText(name, 35) + "  OK"; }
std::string Failed(const std::string& name, const std::string& detail) {
  return FitText(name, 35) + "  FAILED  " + FitText(detail, 25);
}

std::vector<std::pair<std::string, std::string>> People(int n) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 1; i <= n; ++i)
    rows.push_back({"Person " + std::to_string(i), "p" + std::to_string(i) + "@example.com"});
  return rows;
}

std::size_t Count(const std::string& text, const std::string& word) {
  std::size_t n = 0;
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

// Every address of the messages' envelopes, one entry per delivery.
std::multiset<std::string> Envelopes(const SmtpServer& server) {
  std::multiset<std::string> out;
  for (const auto& path : server.Messages()) {
    const std::string text = ReadFile(path);
    const auto start = text.find("X-Envelope-To: ") + 15;
    std::stringstream list(text.substr(start, text.find("\r\n", start) - start));
    for (std::string a; std::getline(list >> std::ws, a, ',');) out.insert(a);
  }
  return out;
}

// ---- 2,500 records, a limit of 1000: three messages, each address once, every line OK

struct LimitCase {
  int serverLimit;       // 452 after this many in one transaction; 0: none
  int jobLimit;          // SendJob::recipientsPerMessage
  std::size_t rcptSent;  // "Rcpt To:" commands the server sees
};
void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << "server " << c.serverLimit << ", job " << c.jobLimit;
}

class RecipientLimit : public SendTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(RecipientLimit, SplitsTheTableIntoTransactionsAndLogsEveryoneOnce) {
  const auto rows = People(2500);
  MakeTable(rows);
  const LimitCase c = GetParam();
  SmtpServer server(root_ / "outbox", {"--recipient-limit=" + std::to_string(c.serverLimit)});
  SendJob job = Job();
  job.recipientsPerMessage = c.jobLimit;
  Send(server.Port(), job);
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(notes, std::vector<std::string>{""});
  const std::string transcript = server.Transcript();
  EXPECT_EQ(Count(transcript, "MAIL FROM"), 3u);
  EXPECT_EQ(Count(transcript, "RCPT TO"), c.rcptSent);
  EXPECT_EQ(Count(transcript, "QUIT"), 1u);
  EXPECT_EQ(server.Messages().size(), 3u);
  std::multiset<std::string> expected;
  std::vector<std::string> lines;
  for (const auto& [name, email] : rows) {
    expected.insert(email);
    lines.push_back(Ok(name));
  }
  EXPECT_EQ(Envelopes(server), expected);
  EXPECT_EQ(RecipientLines(), lines);
  EXPECT_EQ(statuses.back(), "");
}

INSTANTIATE_TEST_SUITE_P(ServersAndOurOwn, RecipientLimit,
                         ::testing::Values(LimitCase{1000, 0, 2502}, LimitCase{0, 1000, 2500}));

// ---- no room even for the first recipient of a transaction

TEST_F(SendTest, NoRoomForTheFirstRecipientOfAFreshTransactionStopsTheSend) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}, {"Cy", "c@example.com"},
             {"Di", "d@example.com"}});
  const std::string full = "452 4.2.2 Mailbox full";
  const std::string storage = "Requested action not taken: insufficient system storage";
  {  // the first transaction: nothing is sent and nothing shown but the message
    SmtpServer server(root_ / "outbox1", {"--reply=RCPT=" + full});
    Send(server.Port(), Job());
    EXPECT_EQ(failures, std::vector<std::string>{kNoRoom + full + " : The message has not been sent."});
    EXPECT_EQ(completions, 0);
    EXPECT_EQ(Count(server.Transcript(), "RCPT"), 1u);
    EXPECT_EQ(server.Transcript().find("DATA"), std::string::npos);
  }
  // A later one: Cy, left over by the limit, is refused again as the first of the next.
  failures.clear();
  log.StartLog("P", "S", "d", "t");
  SmtpServer server(root_ / "outbox2", {"--recipient-limit=2", "--refuse=c@example.com=" + full});
  Send(server.Port(), Job());
  EXPECT_EQ(failures, std::vector<std::string>{
                          kNoRoom + full + " : The message was delivered to 2 recipients before the send stopped."});
  EXPECT_EQ(completions, 1);  // the log window shows who has the message
  EXPECT_EQ(completedLog, log.LogLines());
  EXPECT_EQ(RecipientLines(), (std::vector<std::string>{Ok("Ann"), Ok("Bob"), Failed("Cy", storage)}));
  EXPECT_EQ(Count(server.Transcript(), "MAIL FROM"), 2u);
  EXPECT_EQ(Count(server.Transcript(), "DATA END"), 1u);
  EXPECT_EQ(server.Messages().size(), 1u);
}

// ---- the second transaction's mail data refused

TEST_F(SendTest, MailDataRefusedInTheSecondTransactionFailsOnlyItsRecipients) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}, {"Cy", "c@example.com"}});
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 hi\r\n");
    for (int i = 0; i < 2; ++i) wire += c.RecvLine(), c.Send("250 ok\r\n");  // Helo, Mail From
    for (int transaction = 1; transaction <= 2; ++transaction) {
      for (int r = 0; r < (transaction == 1 ? 2 : 1); ++r) wire += c.RecvLine(), c.Send("250 ok\r\n");
      wire += c.RecvLine();  // Data
      c.Send("354 go\r\n");
      for (std::string line; (line = c.RecvLine()) != ".\r\n";)
        if (line.empty()) return;
      c.Send(transaction == 1 ? "250 queued\r\n" : "554 5.7.1 Spam\r\n");
      if (transaction == 1) wire += c.RecvLine(), c.Send("250 ok\r\n");  // Mail From again
    }
    c.RecvAll();
  });
  SendJob job = Job();
  job.recipientsPerMessage = 2;
  Send(peer.Port(), job);
  EXPECT_EQ(wire,
            "Helo 127.0.0.1\r\nMail From:<sender@example.com>\r\nRcpt To:<a@example.com>\r\n"
            "Rcpt To:<b@example.com>\r\nData\r\nMail From:<sender@example.com>\r\n"
            "Rcpt To:<c@example.com>\r\nData\r\n");
  EXPECT_EQ(failures, std::vector<std::string>{"Unexpected error! 554 5.7.1 Spam : The message was "
                                               "delivered to 2 recipients before the send stopped."});
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(RecipientLines(), (std::vector<std::string>{Ok("Ann"), Ok("Bob"), Failed("Cy", "Transaction failed")}));
}


// ---- pipelining

// Signing in makes the dialogue greet with EHLO; the capture server then takes the user's mail.
std::vector<std::string> SignIn(std::vector<std::string> options) {
  options.insert(options.end(), {"--auth-user=ann", "--auth-password=pw"});
  return options;
}
SendJob SignedIn(SendJob job) {
  job.userName = "ann";
  job.password = "pw";
  return job;
}

// The messages a server kept, in the order it received them.
std::vector<std::string> Received(const SmtpServer& server) {
  std::map<std::string, std::string> byNumber;  // the name ends in the server's running number
  for (const auto& path : server.Messages()) byNumber[path.stem().string().substr(16)] = ReadFile(path);
  std::vector<std::string> out;
  for (const auto& [number, text] : byNumber) out.push_back(text);
  return out;
}

TEST_F(SendTest, PipelinedAndOneAtATimeSendsOfOneTableGiveTheSameLogAndMessages) {
  auto rows = People(330);  // windows of 100 commands: a 452 falls in the middle of one
  rows[6].second = "refused@example.com";
  rows[200].second = "bad address@example.com>";
  MakeTable(rows, {50});
  const SendJob job = SignedIn(Job());  // one boundary for both
  std::vector<std::string> logs[2], messages[2];
  for (const bool pipelining : {false, true}) {
    log.StartLog("P", "S", "d", "t");
    std::vector<std::string> options = {"--recipient-limit=150", "--refuse=refused@example.com=550 No"};
    if (pipelining) options.push_back("--pipelining");
    SmtpServer server(root_ / (pipelining ? "piped" : "single"), SignIn(options));
    Send(server.Port(), job);
    ASSERT_TRUE(failures.empty()) << failures[0];
    EXPECT_EQ(dialogue->Extensions().Has("PIPELINING"), pipelining);
    logs[pipelining] = RecipientLines();
    messages[pipelining] = Received(server);
  }
  EXPECT_EQ(logs[1], logs[0]);
  EXPECT_EQ(logs[0].size(), 329u);  // the deleted record is not named
  EXPECT_EQ(Count(logs[0].front() + logs[0][6], "FAILED"), 1u);
  EXPECT_EQ(messages[0].size(), 3u);
  EXPECT_TRUE(messages[1] == messages[0]);
}

// A scripted server that greets, lists `extensions` and signs the user in with `signedIn` (235,
// or the 250 some servers give), then hands over.
void OpenSession(PeerConn& c, const std::string& extensions, const std::string& signedIn = "235 ok") {
  c.Send("220 hi\r\n");
  c.RecvLine();
  c.Send("250-mail.example.com\r\n" + extensions + "250 AUTH PLAIN\r\n");
  c.RecvLine();
  c.Send(signedIn + "\r\n");
}

// Receives `n` lines without answering any: a client that waits for replies never sends them all.
std::string Window(PeerConn& c, int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) lines += c.RecvLine();
  return lines;
}

void TakeMailData(PeerConn& c, const std::string& reply) {
  c.RecvLine();  // Data
  c.Send("354 go\r\n");
  for (std::string line; (line = c.RecvLine()) != ".\r\n";)
    if (line.empty()) return;
  c.Send(reply);
}

TEST_F(SendTest, APipelinedWindowKeepsTheRecipientsTheServerAcceptedAfterA452) {
  MakeTable({{"Ann", "a@example.com"}, {"Bob", "b@example.com"}, {"Cy", "c@example.com"}});
  std::string windows;
  LoopbackPeer peer([&](PeerConn& c) {
    OpenSession(c, "250-PIPELINING\r\n");
    windows += Window(c, 4);
    c.Send("250 from\r\n250 a\r\n452 4.5.3 not now\r\n250 c\r\n");
    TakeMailData(c, "250 queued\r\n");
    windows += Window(c, 2);  // Bob opens the next transaction
    c.Send("250 from\r\n250 b\r\n");
    TakeMailData(c, "250 queued\r\n");
    c.RecvLine();
    c.Send("221 bye\r\n");
  });
  Send(peer.Port(), SignedIn(Job()));
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(windows,
            "Mail From:<sender@example.com>\r\nRcpt To:<a@example.com>\r\nRcpt To:<b@example.com>\r\n"
            "Rcpt To:<c@example.com>\r\nMail From:<sender@example.com>\r\nRcpt To:<b@example.com>\r\n");
  EXPECT_EQ(RecipientLines(), (std::vector<std::string>{Ok("Ann"), Ok("Bob"), Ok("Cy")}));
  for (int i = 1; i <= 3; ++i)
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Processing individual " + std::to_string(i) + " of 3"),
              statuses.end());
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
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(early, "");
  EXPECT_EQ(RecipientLines(), (std::vector<std::string>{Ok("Ann"), Ok("Bob")}));
}

// ---- SIZE

TEST_F(SendTest, TheSizeGoesWithTheSenderAndATooLargeMessageIsNotSentAtAll) {
  MakeTable({{"Ann", "a@example.com"}});
  WriteFile(root_ / "a.bin", net::test::RandomBytes(1500000, 3));
  const SendJob job = SignedIn(Job({"Dear all,", ".", "..x"}, {(root_ / "a.bin").string()}));
  std::size_t size = 0;
  {
    SmtpServer server(root_ / "outbox1", SignIn({"--size=50000000"}));
    Send(server.Port(), job);
    ASSERT_EQ(server.Messages().size(), 1u);
    const std::string kept = ReadFile(server.Messages()[0]);
    size = kept.size() - kept.find("\r\n", kept.find("X-Envelope-To")) - 2;  // the message as received
    EXPECT_NE(server.Transcript().find("MAIL FROM:<sender@example.com> SIZE=" + std::to_string(size) + "\n"),
              std::string::npos);
  }
  // One octet over the limit: the server is not asked to take it.
  SmtpServer server(root_ / "outbox2", SignIn({"--size=" + std::to_string(size - 1)}));
  Send(server.Port(), job);
  EXPECT_EQ(failures, std::vector<std::string>{TooLargeText(size - 1) + " : The message has not been sent."});
  EXPECT_EQ(server.Transcript().find("MAIL"), std::string::npos);
  EXPECT_EQ(TooLargeText(10485760), "The message is larger than the server accepts (10.4 MB).");
  EXPECT_EQ(TooLargeText(20000000), "The message is larger than the server accepts (20 MB).");
  EXPECT_EQ(TooLargeText(51200), "The message is larger than the server accepts (0.051 MB).");
}

}  // namespace
}  // namespace tavrin::app::testing
