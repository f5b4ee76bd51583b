// Sends that need several transactions on one connection: the server's recipient limit (452) and
// the job's own, a limit hit on the first recipient of a transaction, and mail data refused after
// an earlier transaction was delivered.
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

}  // namespace
}  // namespace tavrin::app::testing
