// Every recipient accounted for: a transaction the server cuts off goes again on a new connection,
// "no room" in the words of x.5.3, the records a stopped send never reached, addresses outside
// ASCII, and the user's Stop at each point of the dialogue. Against a rule-driven loopback server
// that takes any number of connections, one after the other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <thread>

#include "SendSupport.h"
#include "send/SendLog.h"
#include "send/SendText.h"

namespace tavrin::app::testing {
namespace {

using net::test::PeerConn;

// How the server answers. `hook` sees each command first ("c1 MAIL FROM:<x>": the connection's
// number and the line as received, upper-cased up to the first '<'); what it returns is sent
// instead of the usual reply: "" keeps the usual one, "CLOSE" hangs up without a word, "MUTE"
// answers nothing.
struct Rules {
  std::string extensions = "250-PIPELINING\r\n";
  std::map<std::string, std::string> refuse;  // address -> reply to its "Rcpt To:"
  int errorLimit = 0;  // "421" to the command after this many refusals in a session; 0: none
  int roomFor = 0;     // recipients a transaction takes before `noRoom`; 0: any number
  std::string noRoom = "452 4.5.3 Too many recipients";
  std::function<std::string(const std::string&)> hook;
  bool trickle = false;  // every reply goes out one byte at a time
  // The first connection hangs up (a reset: the rest goes unread) once it has read `cutAfter`
  // bytes of the mail data of its message number `cutMessage`; 0: never.
  int cutMessage = 0;
  std::size_t cutAfter = 0;
};

class RuleServer {
 public:
  explicit RuleServer(Rules rules) : rules_(std::move(rules)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (int n = 1; !stop_; ++n) {
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 50) == 0) {
        }
        if (stop_) break;
        PeerConn c(::accept(fd_, nullptr, nullptr));
        int one = 1;  // pipelined replies go at once, not after the client's delayed ACK
        ::setsockopt(c.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Session(c, n);
        c.Close();
      }
    });
  }
  ~RuleServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  int Port() const { return port_; }
  // Every command, "c2 RCPT TO:<b@example.com>", and "c2 <message for a,b>" for a delivery.
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int Connections() {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  // The mail data of every message read whole, "a,b" (its recipients) -> the data, without the ".".
  std::vector<std::pair<std::string, std::string>> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::size_t Count(const std::string& part) {
    std::size_t n = 0;
    for (const auto& l : Lines()) n += l.find(part) != std::string::npos;
    return n;
  }

 private:
  void Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  void Session(PeerConn& c, int n) {
    {
      std::lock_guard lock(mutex_);
      ++connections_;
    }
    const std::string tag = "c" + std::to_string(n) + " ";
    int errors = 0, messages = 0;
    std::vector<std::string> rcpts;
    // Lines are read from a buffer filled a block at a time: mail data of megabytes comes fast.
    std::string in;
    std::size_t at = 0;
    const auto readLine = [&]() -> std::string {
      for (;;) {
        const std::size_t lf = in.find('\n', at);
        if (lf != std::string::npos) {
          std::string line = in.substr(at, lf + 1 - at);
          at = lf + 1;
          return line;
        }
        in.erase(0, at);
        at = 0;
        pollfd p{c.Fd(), POLLIN, 0};
        char block[65536];
        const ssize_t got = ::poll(&p, 1, 5000) > 0 ? ::recv(c.Fd(), block, sizeof block, 0) : 0;
        if (got <= 0) return std::string();
        in.append(block, static_cast<std::size_t>(got));
      }
    };
    auto reply = [&](const std::string& entry, std::string usual) {
      Record(tag + entry);
      if (rules_.hook) {
        const std::string instead = rules_.hook(tag + entry);
        if (instead == "CLOSE") return false;
        if (instead == "MUTE") return true;
        if (!instead.empty()) usual = instead;
      }
      if (rules_.errorLimit > 0 && errors >= rules_.errorLimit)
        usual = "421 4.7.0 Error: too many errors";
      if (rules_.trickle) {
        for (char b : usual + "\r\n") {
          c.Send(std::string(1, b));
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      } else {
        c.Send(usual + "\r\n");
      }
      if (usual[0] == '5' || usual[0] == '4') ++errors;
      return usual.rfind("421", 0) != 0 && usual.rfind("221", 0) != 0;
    };
    if (!reply("GREETING", "220 rules")) return;
    for (std::string line; !(line = readLine()).empty();) {
      line = sendtext::WithoutLineEnd(line);
      const auto cut = std::min(line.find('<'), line.size());
      std::string verb = line.substr(0, cut);
      std::transform(verb.begin(), verb.end(), verb.begin(), ::toupper);
      const std::string entry = verb + line.substr(cut);
      bool goOn = true;
      if (verb.rfind("EHLO", 0) == 0) {
        goOn = reply(entry, "250-rules\r\n" + rules_.extensions + "250 AUTH PLAIN");
      } else if (verb.rfind("MAIL FROM:", 0) == 0) {
        rcpts.clear();
        goOn = reply(entry, "250 2.1.0 Ok");
      } else if (verb.rfind("RCPT TO:", 0) == 0) {
        const std::string address = line.substr(cut + 1, line.find('>') - cut - 1);
        std::string answer = "250 2.1.5 Ok";
        if (rules_.refuse.count(address))
          answer = rules_.refuse[address];
        else if (rules_.roomFor > 0 && static_cast<int>(rcpts.size()) >= rules_.roomFor)
          answer = rules_.noRoom;
        if (answer[0] == '2') rcpts.push_back(address);
        goOn = reply(entry, answer);
      } else if (verb == "DATA") {
        if (!(goOn = reply(entry, "354 go"))) break;
        std::string data;
        ++messages;
        for (std::string l; (l = readLine()) != ".\r\n";) {
          if (l.empty()) return Record(tag + "<cut off>");
          data += l;
          if (n == 1 && messages == rules_.cutMessage && data.size() >= rules_.cutAfter)
            return Record(tag + "<cut off>");
        }
        std::string to;
        for (const auto& r : rcpts) to += (to.empty() ? "" : ",") + r;
        {
          std::lock_guard lock(mutex_);
          messages_.emplace_back(to, data);
        }
        goOn = reply(
            "<message for " + to + ">" + (data.find("QUIT") != std::string::npos ? " QUIT" : ""),
            "250 2.0.0 Ok: queued");
      } else if (verb == "QUIT") {
        goOn = reply(entry, "221 bye");
      } else {  // HELO, AUTH, RSET
        goOn = reply(entry, verb.rfind("AUTH", 0) == 0 ? "235 ok" : "250 ok");
      }
      if (!goOn) break;
    }
    // Hang up as a server does, yet read on until the client closes too: unread lines would turn
    // the close into a reset, which may discard the last reply before the client reads it.
    ::shutdown(c.Fd(), SHUT_WR);
    c.RecvAll();
  }

  Rules rules_;
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::pair<std::string, std::string>> messages_;
  int connections_ = 0;
};

std::vector<std::pair<std::string, std::string>> People(int n) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 1; i <= n; ++i)
    rows.push_back({std::string("P").append(std::to_string(i)),
                    std::string("p").append(std::to_string(i)).append("@example.com")});
  return rows;
}

class SendOutcome : public SendTest {
 protected:
  void SetUp() override {
    SendTest::SetUp();
    dialogue->mostReconnections = kMostReconnections;
  }
  // Signing in makes the dialogue greet with EHLO, the only way it learns what the server offers.
  SendJob Signed(SendJob job) {
    job.userName = "ann";
    job.password = "pw";
    return job;
  }
  // The log against what the server kept, `copies` by address: `entries` lines; nobody has the
  // message twice, everyone logged "ok" has it, and whoever has it is "ok" or unconfirmed.
  void ExpectLogTrueToServer(std::map<std::string, int>& copies, std::size_t entries) {
    ASSERT_EQ(log.Entries().size(), entries);
    for (const LogEntry& e : log.Entries()) {
      SCOPED_TRACE(e.address);
      EXPECT_LE(copies[e.address], 1);
      if (e.status == RecipientStatus::kOk) {
        EXPECT_EQ(copies[e.address], 1);
      }
      if (copies[e.address] == 1) {
        EXPECT_TRUE(e.status == RecipientStatus::kOk || e.reply == kUnconfirmed) << e.reply;
      }
    }
  }
};

// ---- a transaction cut off before its mail data goes again on a new connection

class CutOff : public SendOutcome, public ::testing::WithParamInterface<bool> {};

// As Postfix does after smtpd_hard_error_limit refusals: "421" and the connection closed.
TEST_P(CutOff, TooManyRefusalsGoOnANewConnectionWithTheAcceptedAndTheUntried) {
  MakeTable(People(8));
  Rules rules;
  rules.extensions = GetParam() ? "250-PIPELINING\r\n" : "";
  for (int i : {2, 3, 4, 5}) {
    const std::string a = "p" + std::to_string(i) + "@example.com";
    rules.refuse[a] = "550 5.1.1 <" + a + ">: Recipient address rejected: User unknown";
  }
  rules.errorLimit = 3;
  RuleServer server(rules);
  Send(server.Port(), Signed(Job()));
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.Count("<message for "), 1u);
  EXPECT_EQ(
      server.Count("c2 <message for p1@example.com,p6@example.com,p7@example.com,p8@example.com>"),
      1u);
  for (const char* refused : {"<p2@", "<p3@", "<p4@"})
    EXPECT_EQ(server.Count(refused), 1u) << refused;
  const std::string unknown = ">: Recipient address rejected: User unknown";
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"P1 ok", "P2 failed 550 5.1.1 <p2@example.com" + unknown,
                                      "P3 failed 550 5.1.1 <p3@example.com" + unknown,
                                      "P4 failed 550 5.1.1 <p4@example.com" + unknown,
                                      "P5 failed 550 5.1.1 <p5@example.com" + unknown, "P6 ok",
                                      "P7 ok", "P8 ok"}));
  EXPECT_EQ(notes, std::vector<std::string>{""});
}

INSTANTIATE_TEST_SUITE_P(PipelinedOrNot, CutOff, ::testing::Bool());

// New connections end the send with everyone logged: after three (each made progress: one more
// refusal before the server's "421"), or when the same step fails twice in a row (a hang-up at
// "Data", a "421" to "Mail From:").
TEST_F(SendOutcome, NewConnectionsAreBoundedAndEndWithEveryoneLogged) {
  MakeTable(People(7), {6});
  struct Case {
    std::function<std::string(const std::string&)> hook;
    int connections;
    std::string reason;
    int refused;
  };
  const std::vector<Case> cases = {
      {nullptr, 1 + kMostReconnections, "Unexpected error! 421 4.7.0 Error: too many errors", 4},
      {[](const std::string& e) { return e.find(" DATA") != std::string::npos ? "CLOSE" : ""; }, 2,
       "The server closed the connection!", 0},
      {[](const std::string& e) {
         return e.find(" MAIL FROM") != std::string::npos ? "421 4.3.2 Shutting down" : "";
       },
       2, "Unexpected error! 421 4.3.2 Shutting down", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    log.StartLog("P", "S", "d", "t");
    failures.clear();
    Rules rules;
    rules.hook = c.hook;
    if (!c.hook) {
      rules.errorLimit = 1;
      for (int i = 1; i <= 5; ++i)
        rules.refuse["p" + std::to_string(i) + "@example.com"] = "550 5.1.1 unknown";
    }
    RuleServer server(rules);
    Send(server.Port(), Signed(Job()));
    EXPECT_EQ(server.Connections(), c.connections);
    EXPECT_EQ(server.Count("<message for"), 0u);
    std::string said = c.reason;
    if (said.back() == '!') said.pop_back();
    EXPECT_EQ(failures, std::vector<std::string>{said + "; the message has not been sent."});
    std::vector<std::string> expected;
    for (int i : {1, 2, 3, 4, 5, 7})
      expected.push_back(std::string("P")
                             .append(std::to_string(i))
                             .append(i <= c.refused ? std::string(" failed 550 5.1.1 unknown")
                                                    : " not sent " + c.reason));
    EXPECT_EQ(Outcomes(log), expected);
  }
}

// ---- "no room": x.5.3 whatever the code, once the transaction holds a recipient

class NoRoom : public SendOutcome, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoRoom, MovesTheRestToTheNextTransaction) {
  MakeTable(People(5));
  Rules rules;
  rules.roomFor = 2;
  rules.noRoom = GetParam();
  RuleServer server(rules);
  Send(server.Port(), Signed(Job()));
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(server.Count("<message for"), 3u);
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"P1 ok", "P2 ok", "P3 ok", "P4 ok", "P5 ok"}));
}

INSTANTIATE_TEST_SUITE_P(Dovecot_Others, NoRoom,
                         ::testing::Values("451 4.5.3 Too many recipients",
                                           "550 5.5.3 Too many recipients",
                                           "452 4.5.3 Error: too many recipients"));

TEST(SendRules, WhatCountsAsTooManyRecipientsAndAsASendableAddress) {
  for (const char* yes : {"451 4.5.3 Too many", "550 5.5.3", "452-4.5.3 x\r\n", "250 2.5.3 odd"})
    EXPECT_TRUE(TooManyRecipients(yes)) << yes;
  for (const char* no :
       {"451 4.5.30 x", "550 5.5.2 syntax", "451 local 4.5.3", "550 15.5.3", "4.5.3", "550 5.1.3"})
    EXPECT_FALSE(TooManyRecipients(no)) << no;
  for (const char* yes : {"a@example.com", "zo\xEB@example.org", "postmaster"})
    EXPECT_TRUE(SendableAddress(yes)) << yes;
  for (const char* no :
       {"", "e@example.com NOTIFY=SUCCESS", "a b@example.com", "?@example.org", "a,b@example.com",
        "\"x\"@example.com", "a@example.com>x", "a\x01@example.com"})
    EXPECT_FALSE(SendableAddress(no)) << no;
  // The return address from the settings (UTF-8): the rule of Properties, ASCII or not.
  EXPECT_FALSE(RefusalOf({"x"}, "zo\xC3\xAB@example.org"));
  for (const char* no :
       {"me@example.com NOTIFY=SUCCESS", "me example.com", "", "zo\xEB@example.org", "a@b>, <c@d"})
    EXPECT_EQ(RefusalOf({"x"}, no), std::optional<std::string>(kReturnNotPlain)) << no;
}

// ---- the records a stopped send never reached

TEST_F(SendOutcome, ARefusalOfALaterTransactionLogsEveryoneNotReachedAsNotSent) {
  MakeTable(People(6), {5});
  Rules rules;
  int mails = 0;
  rules.hook = [&mails](const std::string& e) {
    return e.find("MAIL FROM") != std::string::npos && ++mails == 2
               ? "450 4.7.1 Rate limit exceeded"
               : "";
  };
  RuleServer server(rules);
  SendJob job = Signed(Job());
  job.recipientsPerMessage = 2;
  Send(server.Port(), job);
  const std::string reason = "Unexpected error! 450 4.7.1 Rate limit exceeded";
  EXPECT_EQ(failures,
            std::vector<std::string>{
                reason + "; the message was delivered to 2 recipients before the send stopped."});
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"P1 ok", "P2 ok", "P3 not sent " + reason,
                                      "P4 not sent " + reason, "P6 not sent " + reason}));
  EXPECT_EQ(log.Entries()[4].address, "p6@example.com");
}

// ---- addresses outside ASCII

TEST_F(SendOutcome, AddressesOutsideAsciiGoInUtf8OnlyToAServerThatTakesThem) {
  MakeTable({{"Ann", "a@example.com"},
             {"Zoe", "zo\xC3\xAB@example.org"},
             {"Eps", "\xCE\xB5@example.org"},
             {"Dsn", "e@example.com NOTIFY=SUCCESS"},
             {"Bob", "b@example.com"}});
  for (const bool offered : {true, false}) {
    SCOPED_TRACE(offered ? "SMTPUTF8" : "no SMTPUTF8");
    log.StartLog("P", "S", "d", "t");
    Rules rules;
    if (offered) rules.extensions += "250-SMTPUTF8\r\n";
    RuleServer server(rules);
    Send(server.Port(), Signed(Job()));
    EXPECT_TRUE(failures.empty()) << failures[0];
    const auto lines = server.Lines();
    const std::string all =
        std::accumulate(lines.begin(), lines.end(), std::string(),
                        [](std::string a, const std::string& b) { return a + b + "\n"; });
    EXPECT_EQ(server.Count("RCPT TO:<zo"), offered ? 1u : 0u) << all;
    EXPECT_EQ(server.Count("NOTIFY"), 0u);
    EXPECT_EQ(server.Count("example.org"), offered ? 2u : 0u) << all;  // its Rcpt To and message
    if (offered) {
      EXPECT_EQ(server.Count("c1 RCPT TO:<zo\xC3\xAB@example.org>"), 1u) << all;
      EXPECT_EQ(server.Count("MAIL FROM:<sender@example.com> SMTPUTF8"), 1u) << all;
      EXPECT_EQ(server.Count("<message for zo\xC3\xAB@example.org>"), 1u) << all;
    }
    EXPECT_EQ(Outcomes(log),
              (std::vector<std::string>{"Ann ok", offered ? "Zoe ok" : "Zoe failed Invalid address",
                                        "Eps failed Invalid address", "Dsn failed Invalid address",
                                        "Bob ok"}));
    EXPECT_EQ(log.Entries()[1].address, "zo\xC3\xAB@example.org");
  }
  // A transaction that found nobody but addresses outside ASCII makes way for one with SMTPUTF8.
  MakeTable({{"Ann", "a@example.com"}, {"Zoe", "zo\xC3\xAB@example.org"}});
  log.StartLog("P", "S", "d", "t");
  Rules rules;
  rules.extensions = "250-SMTPUTF8\r\n";
  rules.refuse["a@example.com"] = "550 5.1.1 unknown";
  RuleServer server(rules);
  Send(server.Port(), Signed(Job()));
  EXPECT_EQ(server.Count("c1 RSET"), 1u);
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{"Ann failed 550 5.1.1 unknown", "Zoe ok"}));
}

TEST_F(SendOutcome, AReturnAddressOutsideAsciiGoesOnlyWithSmtpUtf8) {
  MakeTable({{"Ann", "a@example.com"}});
  for (const bool offered : {true, false}) {
    failures.clear();
    Rules rules;
    if (offered) rules.extensions = "250-SMTPUTF8\r\n";
    RuleServer server(rules);
    SendJob job = Signed(Job());
    job.returnEmail = "zo\xC3\xAB@example.org";
    Send(server.Port(), job);
    EXPECT_EQ(server.Count("MAIL FROM:<zo\xC3\xAB@example.org> SMTPUTF8"), offered ? 1u : 0u);
    EXPECT_EQ(server.Count("MAIL FROM"), offered ? 1u : 0u);
    if (!offered) {
      const std::string refusal = kReturnNotAscii;
      EXPECT_EQ(failures, std::vector<std::string>{refusal.substr(0, refusal.size() - 1) +
                                                   "; the message has not been sent."});
      EXPECT_EQ(kinds.back(), FailureKind::kReturnAddressRefused);
    }
  }
}

// ---- Stop

// Stops the send once the server has seen `command` (and answers nothing to it); then the server
// reads on, so a "QUIT" sent is recorded.
class Stopping : public SendOutcome {
 protected:
  void StopAt(const std::string& command, const SendJob& job) {
    std::atomic<bool> reached{false};
    Rules rules;
    rules.hook = [&](const std::string& e) {
      if (e.find(command) == std::string::npos) return std::string();
      reached = true;
      return std::string("MUTE");
    };
    server_ = std::make_unique<RuleServer>(rules);
    sock->SetPort(server_->Port());
    dialogue->Start(job);
    ASSERT_TRUE(net::test::PumpUntil([&] { return reached.load(); }, 10000));
    ASSERT_TRUE(net::test::PumpUntil(
        [&] {
          return dialogue->CurrentState() != TSendDialogue::State::kRcpt || !sock->LineAvailable();
        },
        1000));
    dialogue->Stop();
    EXPECT_FALSE(dialogue->Running());
    net::test::PumpUntil([&] { return server_->Count("QUIT") > 0; }, 500);
  }
  std::unique_ptr<RuleServer> server_;
};

TEST_F(Stopping, DuringTheRecipientsQuitsAndLogsEveryone) {
  MakeTable(People(4));
  StopAt("RCPT TO:<p3@", Signed(Job()));
  EXPECT_EQ(server_->Count("c1 QUIT"), 1u);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(notes,
            std::vector<std::string>{"The send was stopped; the message has not been sent."});
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kStopped});
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{
                "P1 not sent The send was stopped.", "P2 not sent The send was stopped.",
                "P3 not sent The send was stopped.", "P4 not sent The send was stopped."}));
}

TEST_F(Stopping, AfterTheFinalDotSaysTheMessageMayHaveBeenDelivered) {
  MakeTable(People(2));
  StopAt("<message for", Signed(Job()));
  EXPECT_EQ(server_->Count("c1 QUIT"), 1u);
  EXPECT_EQ(notes, std::vector<std::string>{"The send was stopped; the server did not confirm the "
                                            "message, so it may have been delivered."});
  EXPECT_EQ(Outcomes(log), (std::vector<std::string>{std::string("P1 not sent ") + kUnconfirmed,
                                                     std::string("P2 not sent ") + kUnconfirmed}));
}

// Inside the mail data "QUIT" would be read as part of the message: the connection is dropped
// instead, and the server never sees the final ".".
TEST_F(SendOutcome, StopDuringTheMailDataSendsNoQuit) {
  MakeTable(People(2));
  std::vector<std::string> body(200, "a line of the message");
  RuleServer server(Rules{});
  dialogue->events.progress = [&](std::int64_t, std::int64_t position) {
    if (position == 50 && dialogue->CurrentState() == TSendDialogue::State::kMailData)
      dialogue->Stop();
  };
  Send(server.Port(), Signed(Job(body)));
  net::test::PumpUntil([&] { return server.Count("<cut off>") > 0; }, 3000);
  EXPECT_EQ(server.Count("<cut off>"), 1u);
  EXPECT_EQ(server.Count("QUIT"), 0u);
  EXPECT_EQ(notes,
            std::vector<std::string>{"The send was stopped; the message has not been sent."});
  EXPECT_EQ(log.Entries().size(), 2u);
}

// No reply to the final "." within the time-out: not "has not been sent".
TEST_F(SendOutcome, NoAnswerToTheFinalDotSaysTheMessageMayHaveBeenDelivered) {
  MakeTable(People(1));
  Rules rules;
  rules.hook = [](const std::string& e) {
    return e.find("<message for") != std::string::npos ? "MUTE" : "";
  };
  RuleServer server(rules);
  dialogue->dataEndTimeOutMs = 300;
  Send(server.Port(), Signed(Job()));
  EXPECT_EQ(failures,
            std::vector<std::string>{"The server did not answer; the server did not confirm the "
                                     "message, so it may have been delivered."});
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kTimedOut});
  EXPECT_TRUE(lastOutcome.unconfirmed);
  EXPECT_EQ(lastOutcome.deliveredTo, 0);
  EXPECT_EQ(Outcomes(log), std::vector<std::string>{std::string("P1 not sent ") + kUnconfirmed});

  // A reply that cannot answer "." (a second 354) says no more than silence would.
  log.StartLog("P", "S", "d", "t");
  Rules twice;
  twice.hook = [](const std::string& e) {
    return e.find("<message for") != std::string::npos ? "354 again" : "";
  };
  RuleServer again(twice);
  Send(again.Port(), Signed(Job()));
  EXPECT_TRUE(lastOutcome.unconfirmed);
  EXPECT_EQ(Outcomes(log), std::vector<std::string>{std::string("P1 not sent ") + kUnconfirmed});
}

// ---- hostile handlers and peers

// A Stop from a status or progress handler, at every recipient the walk announces, with and
// without pipelining and with a limit that splits the table: everyone is in the log once.
TEST_F(SendOutcome, AStopFromAHandlerAtAnyRecipientLogsEveryoneOnce) {
  MakeTable(People(6), {4});
  for (const bool pipelined : {true, false}) {
    for (int at = 1; at <= 7; ++at) {
      SCOPED_TRACE((pipelined ? "pipelined, stop at " : "one at a time, stop at ") +
                   std::to_string(at));
      log.StartLog("P", "S", "d", "t");
      notes.clear();
      Rules rules;
      rules.extensions = pipelined ? "250-PIPELINING\r\n" : "";
      rules.roomFor = 2;
      RuleServer server(rules);
      const std::string word = "Processing individual " + std::to_string(at) + " of";
      dialogue->events.status = [&](const std::string& t) {
        if (t.rfind(word, 0) == 0) dialogue->Stop();
      };
      Send(server.Port(), Signed(Job()));
      EXPECT_EQ(log.Entries().size(), 5u);
      std::vector<std::int32_t> records;
      for (const LogEntry& e : log.Entries()) records.push_back(e.recordNo);
      EXPECT_EQ(records, (std::vector<std::int32_t>{1, 2, 3, 5, 6}));
    }
  }
}

// Replies that come one byte at a time, and a multi-line reply to every command, are read whole.
TEST_F(SendOutcome, RepliesInSinglePiecesAndManyLinesAreReadWhole) {
  MakeTable(People(3));
  Rules rules;
  rules.refuse["p2@example.com"] = "550-5.1.1 first line\r\n550-5.1.1 second\r\n550 5.1.1 unknown";
  rules.hook = [](const std::string& e) {
    return e.find("RCPT TO:<p3") != std::string::npos ? "250-2.1.5 one\r\n250 2.1.5 Ok" : "";
  };
  rules.trickle = true;
  RuleServer server(rules);
  Send(server.Port(), Signed(Job()));
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(Outcomes(log),
            (std::vector<std::string>{"P1 ok", "P2 failed 550 5.1.1 unknown", "P3 ok"}));
}

// The server hangs up, or answers "421", at any one command of the send, with new connections
// allowed: nobody gets the message twice, OK only with a delivered message, everyone logged once.
TEST_F(SendOutcome, ACutOffAtAnyCommandNeverDeliversTwiceNorLogsOkWithoutTheMessage) {
  MakeTable(People(5));
  for (const char* how : {"CLOSE", "421 4.3.2 Shutting down"}) {
    for (int at = 1; at <= 14; ++at) {
      SCOPED_TRACE(std::string(how).substr(0, 30) + " at command " + std::to_string(at));
      log.StartLog("P", "S", "d", "t");
      Rules rules;
      rules.refuse["p2@example.com"] = "550 5.1.1 unknown";
      rules.roomFor = 2;
      int n = 0;
      std::string refused;  // a message answered "421" was not taken
      rules.hook = [&, how](const std::string& e) {
        if (++n != at) return std::string();
        if (how[0] == '4') refused = e;
        return std::string(how);
      };
      RuleServer server(rules);
      Send(server.Port(), Signed(Job()));
      std::map<std::string, int> copies;
      for (const std::string& l : server.Lines()) {
        const auto open = l.find("<message for ");
        if (open == std::string::npos || l == refused) continue;
        std::string to = l.substr(open + 13, l.find('>', open) - open - 13);
        for (std::size_t at2 = 0; at2 <= to.size();) {
          const auto comma = std::min(to.find(',', at2), to.size());
          ++copies[to.substr(at2, comma - at2)];
          at2 = comma + 1;
        }
      }
      ExpectLogTrueToServer(copies, 5);
    }
  }
}

// A Stop from inside any report the dialogue makes (status, progress, transcript line), at each
// point of a send that meets a refusal, "no room" and a hang-up with a new connection: the send
// ends once, with every recipient in the log once.
TEST_F(SendOutcome, AStopFromAnyReportEndsTheSendOnceWithEveryoneLogged) {
  MakeTable(People(5), {3});
  for (int at = 1;; ++at) {
    SCOPED_TRACE("stop at report " + std::to_string(at));
    log.StartLog("P", "S", "d", "t");
    completions = ends = 0;
    failures.clear();
    Rules rules;
    rules.refuse["p2@example.com"] = "550 5.1.1 unknown";
    rules.roomFor = 2;
    bool hungUp = false;
    rules.hook = [&](const std::string& e) {
      if (hungUp || e.find("c1 DATA") == std::string::npos) return std::string();
      hungUp = true;
      return std::string("CLOSE");
    };
    RuleServer server(rules);
    int reports = 0;
    bool stopped = false;
    const auto count = [&] {
      if (++reports == at && dialogue->Running()) {
        stopped = true;
        dialogue->Stop();
      }
    };
    auto& e = dialogue->events;
    e.status = [&](const std::string& t) { statuses.push_back(t), count(); };
    e.progress = [&](std::int64_t, std::int64_t) { count(); };
    e.transcript = [&](const std::string&) { count(); };
    Send(server.Port(), Signed(Job()));
    EXPECT_EQ(ends, 1);
    EXPECT_LE(completions + static_cast<int>(failures.size()), 2);
    ASSERT_EQ(log.Entries().size(), 4u);
    std::vector<std::int32_t> records;
    for (const LogEntry& l : log.Entries()) records.push_back(l.recordNo);
    EXPECT_EQ(records, (std::vector<std::int32_t>{1, 2, 4, 5}));
    if (!stopped) break;  // the whole send ran without reaching report `at`
  }
}

// ---- the personalised send against hostile servers and handlers

SendJob Personal(SendJob job) {
  job.personalised = true;
  job.input = MessageInput{"John Doe",
                           "sender@example.com",
                           "{NAME}",
                           "Hello {NAME}",
                           {"Dear {NAME}, at {EMAIL}."},
                           InternetDate(0),
                           ""};
  return job;
}

// The server cuts a personalised message off inside its mail data. A message seen cut goes again
// on a new connection, whole; one that went out whole before the cut is unconfirmed. Every message
// kept has its own record's text and every attachment, held in memory or streamed, pipelined or not.
TEST_F(SendOutcome, APersonalMessageCutOffInItsDataGoesAgainWholeOrIsUnconfirmed) {
  MakeTable(People(3));
  const std::string small = net::test::RandomBytes(3000, 1);
  const std::string large = net::test::RandomBytes(6500 * 1024, 2);  // over 8 MiB once encoded
  WriteFile(root_ / "small.bin", small);
  WriteFile(root_ / "large.bin", large);
  for (const bool pipelined : {true, false}) {
    for (const bool withLarge : {false, true}) {
      SCOPED_TRACE(std::string(pipelined ? "pipelined" : "one at a time") +
                   (withLarge ? ", streamed attachment" : ", held attachment"));
      log.StartLog("P", "S", "d", "t");
      Rules rules;
      rules.extensions = pipelined ? "250-PIPELINING\r\n" : "";
      rules.cutMessage = 2;
      rules.cutAfter = 4000;
      RuleServer server(rules);
      SendJob job = Personal(Signed(Job()));
      job.attachments = {(root_ / "small.bin").string()};
      if (withLarge) job.attachments.push_back((root_ / "large.bin").string());
      Send(server.Port(), job);
      std::map<std::string, int> copies;
      for (const auto& [to, data] : server.Messages()) {
        SCOPED_TRACE(to);
        ++copies[to];
        WriteFile(root_ / "one.eml", data);
        const DecodedMail mail = DecodeMail(root_ / "one.eml");
        EXPECT_EQ(mail.body, "Dear P" + to.substr(1, to.find('@') - 1) + ", at " + to + ".\n");
        ASSERT_EQ(mail.attachments.size(), withLarge ? 2u : 1u);
        EXPECT_TRUE(mail.attachments[0].second == small);
        EXPECT_TRUE(!withLarge || mail.attachments[1].second == large);
      }
      ASSERT_EQ(log.Entries().size(), 3u);
      for (const LogEntry& e : log.Entries()) {
        SCOPED_TRACE(e.address);
        EXPECT_LE(copies[e.address], 1);
        if (e.status == RecipientStatus::kOk) {
          EXPECT_EQ(copies[e.address], 1);
        } else {
          EXPECT_EQ(e.reply, kUnconfirmed);
        }
      }
      if (withLarge) {
        EXPECT_EQ(copies["p2@example.com"], 1);  // the client met the cut: it went again
      }
    }
  }
}

// A handler of the socket's own reports that stops the send, or lets go of the dialogue, just as
// a message made ahead starts to go out: nothing of the message is read after it is let go.
TEST_F(SendOutcome, AHandlerEndingAPersonalSendAsItsMessageGoesOutIsSafe) {
  MakeTable(People(3));
  for (const bool destroy : {false, true}) {
    RuleServer server(Rules{});
    bool ended = false;
    sock->SetReportLevel(4);
    sock->OnStatus = [&](net::TSockClient&, const std::string& status) {
      if (ended || status != "Sending Buffer" ||
          dialogue->CurrentState() != TSendDialogue::State::kMailData)
        return;
      ended = true;
      if (destroy)
        dialogue.reset();
      else
        dialogue->Stop();
    };
    sock->SetPort(server.Port());
    dialogue->Start(Personal(Signed(Job())));
    EXPECT_TRUE(net::test::PumpUntil([&] { return !dialogue || !dialogue->Running(); }, 10000));
    sock->OnStatus = nullptr;
    sock->SetReportLevel(0);
    EXPECT_TRUE(ended);
    EXPECT_EQ(server.Count("<message for"), 0u);
  }
}

// A pipelined personalised send where the server hangs up, answers "421", or refuses with "554",
// at any one command of its transactions: each message kept has its own record's text, nobody
// gets two, OK only with a kept message, and a kept message is logged OK or unconfirmed. A second
// "354" where the final "." is answered, or a reply of endless lines, ends the send without mixing
// anyone's text either.
TEST_F(SendOutcome, APersonalSendCutOffOrRefusedAtAnyCommandKeepsEveryMessageItsOwn) {
  MakeTable(People(4));
  WriteFile(root_ / "notes.txt", std::string(2000, 'n'));
  std::string flood;  // a reply that never ends, as far as the client may wait to tell
  for (int i = 0; i < 1500; ++i) flood += "250-more\r\n";
  flood += "250 ok";
  for (const char* how :
       {"CLOSE", "421 4.3.2 Shutting down", "554 5.5.1 No", "354 go\r\n354 again", flood.c_str()}) {
    for (int at = 4; at <= 17; ++at) {  // after the greeting, "EHLO" and sign-in
      SCOPED_TRACE(std::string(how).substr(0, 30) + " at command " + std::to_string(at));
      log.StartLog("P", "S", "d", "t");
      ends = 0;
      Rules rules;
      int n = 0, message = 0;
      std::set<int> notTaken;  // the messages (counted from 1) the server answered otherwise
      rules.hook = [&, how](const std::string& e) {
        const bool isMessage = e.find("<message for") != std::string::npos;
        message += isMessage;
        if (++n != at) return std::string();
        if (isMessage && how[0] != 'C' && how[0] != '2') notTaken.insert(message);
        return std::string(how);
      };
      RuleServer server(rules);
      SendJob job = Personal(Signed(Job()));
      job.attachments = {(root_ / "notes.txt").string()};
      Send(server.Port(), job);
      EXPECT_EQ(ends, 1);
      std::map<std::string, int> copies;
      int k = 0;
      for (const auto& [to, data] : server.Messages()) {
        // An empty message is the one that ends a transaction whose recipient was refused.
        if (notTaken.count(++k) || data.empty()) continue;
        ++copies[to];
        std::string name = "P";
        name += to.substr(1, to.find('@') - 1);
        EXPECT_NE(data.find("Dear " + name + ", at " + to + "."), std::string::npos) << to;
        EXPECT_NE(data.find("To: \"" + name + "\" <" + to + ">"), std::string::npos) << to;
      }
      ExpectLogTrueToServer(copies, 4);
    }
  }
}

// A Stop from inside any report of a pipelined personalised send with an attachment (connecting,
// signing in, each message), or a handler that lets go of the dialogue at any of them: the send
// ends once with everyone logged once, or goes without touching what it let go of.
TEST_F(SendOutcome, AStopOrAnEndFromAnyReportOfAPersonalSendIsSafe) {
  MakeTable(People(4));
  WriteFile(root_ / "notes.txt", std::string(3000, 'n'));
  for (const bool destroy : {false, true}) {
    for (int at = 1;; ++at) {
      SCOPED_TRACE((destroy ? "end at report " : "stop at report ") + std::to_string(at));
      log.StartLog("P", "S", "d", "t");
      ends = 0;
      if (!dialogue) {
        dialogue = std::make_unique<TSendDialogue>(*sock, replies, log, table);
        dialogue->mostReconnections = kMostReconnections;
      }
      RuleServer server(Rules{});
      int reports = 0;
      bool acted = false;
      const auto count = [&] {
        if (++reports != at || !dialogue->Running()) return;
        acted = true;
        if (destroy)
          dialogue.reset();
        else
          dialogue->Stop();
      };
      auto& e = dialogue->events;
      e.ended = [&] { ++ends; };
      e.status = [&](const std::string&) { count(); };
      e.progress = [&](std::int64_t, std::int64_t) { count(); };
      e.progressShown = [&](bool) { count(); };
      e.transcript = [&](const std::string&) { count(); };
      SendJob job = Personal(Signed(Job()));
      job.attachments = {(root_ / "notes.txt").string()};
      sock->SetPort(server.Port());
      dialogue->Start(job);
      EXPECT_TRUE(net::test::PumpUntil([&] { return !dialogue || !dialogue->Running(); }, 10000));
      if (!acted) break;  // the whole send ran without reaching report `at`
      if (destroy) continue;
      EXPECT_EQ(ends, 1);
      EXPECT_EQ(log.Entries().size(), 4u);
    }
  }
}

}  // namespace
}  // namespace tavrin::app::testing
