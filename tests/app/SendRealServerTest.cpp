// The send against a real Postfix (Debian's package, its own configuration folder, a loopback
// port) set up to hang up after a few refusals and to take few recipients per message: every
// mailbox gets the message exactly once, every unknown address is logged with Postfix's own reply.
// Skipped, with the reason, where Postfix cannot be started (not root, package missing).
#include <QProcess>
#include <chrono>
#include <thread>

#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

const char* const kScript = TAVRIN_SOURCE_DIR "/tests/app/postfix-instance.sh";

class RealPostfix : public SendTest {
 protected:
  // Starts Postfix with `users` as its mailboxes; false (and the reason) when it cannot start.
  bool StartPostfix(const std::vector<std::string>& users, const QStringList& options,
                    std::string& why) {
    dir_ = root_ / "postfix";
    std::filesystem::create_directories(dir_);
    std::string list;
    for (const auto& u : users) list += u + "\n";
    WriteFile(dir_ / "users", list);
    port_ = net::test::ClosedPort();
    QStringList args{"start", QString::fromStdString(dir_.string()), QString::number(port_)};
    for (const QString& o : options) args << "-o" << o;
    QProcess p;
    p.start(kScript, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
      why = p.readAllStandardError().trimmed().toStdString();
      if (why.empty()) why = "postfix-instance.sh did not finish";
      return false;
    }
    started_ = true;
    return true;
  }
  void TearDown() override {
    if (started_) QProcess::execute(kScript, {"stop", QString::fromStdString(dir_.string())});
    SendTest::TearDown();
  }
  // Messages delivered to the user's mailbox, once the queue has had up to 20 s to deliver `total`.
  std::size_t Delivered(const std::string& user) const {
    const auto folder = dir_ / "mail" / "example.test" / user / "new";
    std::error_code error;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::end(it); ++it)
      ++n;
    return n;
  }
  void AwaitDeliveries(const std::vector<std::string>& users) const {
    for (int i = 0; i < 200; ++i) {
      std::size_t total = 0;
      for (const auto& u : users) total += Delivered(u);
      if (total >= users.size()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::filesystem::path dir_;
  int port_ = 0;
  bool started_ = false;
};

TEST_F(RealPostfix, HangUpsAfterRefusalsAndRecipientLimitsLoseNobody) {
  const std::vector<std::string> users = {"u1", "u2", "u3", "u4", "u5", "u6"};
  std::string why;
  if (!StartPostfix(users,
                    {"smtpd_hard_error_limit=3", "smtpd_soft_error_limit=100",
                     "smtpd_error_sleep_time=0", "smtpd_recipient_limit=3"},
                    why))
    GTEST_SKIP() << "Postfix cannot be started here: " << why;
  std::vector<std::pair<std::string, std::string>> rows;
  for (const char* who : {"u1", "u2", "u3", "u4", "u5", "n1", "n2", "n3", "n4", "n5", "n6", "u6"})
    rows.push_back({who, std::string(who) + "@example.test"});
  MakeTable(rows);
  dialogue->mostReconnections = kMostReconnections;
  std::vector<std::string> transcript;
  dialogue->events.transcript = [&](const std::string& line) { transcript.push_back(line); };
  SendJob job = Job();
  job.returnEmail = "sender@example.org";
  Send(port_, job);
  EXPECT_TRUE(failures.empty()) << failures[0];
  AwaitDeliveries(users);
  for (const auto& u : users) EXPECT_EQ(Delivered(u), 1u) << u;
  std::vector<std::string> expected;
  for (const auto& [name, address] : rows)
    expected.push_back(
        name[0] == 'u'
            ? name + " ok"
            : name + " failed 550 5.1.1 <" + address +
                  ">: Recipient address rejected: User unknown in virtual mailbox table");
  EXPECT_EQ(Outcomes(log), expected);
  // Both limits were met on the way: the server's words for them are in the transcript.
  const auto said = [&](const std::string& start) {
    return std::any_of(transcript.begin(), transcript.end(),
                       [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  };
  EXPECT_TRUE(said("452 4.5.3")) << "no recipient limit met";
  EXPECT_TRUE(said("421 4.7.0")) << "no hang-up after refusals";
}

// Two refusals end a session, two recipients fill a message, and one message a minute is all a
// client may send: 30 recipients, known and unknown mixed. Whoever got the message got it once
// and is OK in the log; everyone else is in it with Postfix's reply or why the send stopped.
TEST_F(RealPostfix, AllThreeLimitsAtOnceLeaveEveryRecipientWithTheTruth) {
  std::vector<std::string> users;
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 1; i <= 30; ++i) {
    const std::string who = (i % 3 == 1 ? "n" : "u") + std::to_string(i);
    if (who[0] == 'u') users.push_back(who);
    rows.push_back({who, who + "@example.test"});
  }
  std::string why;
  if (!StartPostfix(users,
                    {"smtpd_hard_error_limit=2", "smtpd_soft_error_limit=100",
                     "smtpd_error_sleep_time=0", "smtpd_recipient_limit=2",
                     "smtpd_client_message_rate_limit=1", "smtpd_client_event_limit_exceptions="},
                    why))
    GTEST_SKIP() << "Postfix cannot be started here: " << why;
  MakeTable(rows);
  dialogue->mostReconnections = kMostReconnections;
  SendJob job = Job();
  job.returnEmail = "sender@example.org";
  Send(port_, job);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the queue delivers what it took
  ASSERT_EQ(log.Entries().size(), rows.size());
  std::size_t ok = 0;
  for (const LogEntry& e : log.Entries()) {
    SCOPED_TRACE(e.name + " " + e.reply);
    const std::size_t got = e.name[0] == 'u' ? Delivered(e.name) : 0;
    EXPECT_LE(got, 1u);
    EXPECT_EQ(got == 1, e.status == RecipientStatus::kOk);
    ok += e.status == RecipientStatus::kOk;
    if (e.name[0] == 'n' && e.status == RecipientStatus::kFailed) {
      EXPECT_EQ(e.reply,
                "550 5.1.1 <" + e.address +
                    ">: Recipient address rejected: User unknown in virtual mailbox table");
    }
    if (e.status == RecipientStatus::kNotSent) {
      EXPECT_FALSE(e.reply.empty());
    }
  }
  EXPECT_GE(ok, 1u);
}

}  // namespace
}  // namespace tavrin::app::testing
