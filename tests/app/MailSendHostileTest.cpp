// The send object under hostile callers: a handler that destroys the send from inside the event it
// is told, and Stop at every status the send reports. Meant for the AddressSanitizer build, where
// a use after free fails the run; elsewhere the sends must still end and report once.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

#include "SendSupport.h"
#include "send/MailSend.h"

namespace tavrin::app::testing {
namespace {

class MailSendHostile : public SendTest {
 protected:
  std::unique_ptr<TMailSend> NewSend(int port) {
    SendSetup setup;
    setup.server = "127.0.0.1";
    setup.port = port;
    setup.tableFile = (root_ / "rcpt.dbf").string();
    setup.nameField = "NAME";
    setup.emailField = "EMAIL";
    setup.returnEmail = "sender@example.com";
    setup.tempDir = (root_ / "tmp").string();
    auto send = std::make_unique<TMailSend>(setup);
    send->Log().StartLog("P", "S", "d", "t");
    return send;
  }
  void Start(TMailSend& send) {
    const SendJob job = Job();
    WriteFile(root_ / "a.txt", std::string(200000, 'a'));
    send.Start({job.messageLines, job.boundary, {(root_ / "a.txt").string()}});
  }
};

// Each of the ending events may let go of the send; nothing is told after that, and nothing of
// the send is touched again.
TEST_F(MailSendHostile, AHandlerDestroysTheSendFromInsideEachEndingEvent) {
  MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}});
  SmtpServer server(root_ / "outbox", {});
  for (const int closedPort : {0, 1}) {
    for (const char* event : {"outcome", "completed", "failed", "ended"}) {
      SCOPED_TRACE(std::string(event) + (closedPort ? " after a failed connection" : ""));
      std::unique_ptr<TMailSend> send =
          NewSend(closedPort ? net::test::ClosedPort() : server.Port());
      int told = 0;
      SendEvents& e = send->Events();
      const std::string which = event;
      e.outcome = [&](const SendOutcome&) {
        ++told;
        if (which == "outcome") send.reset();
      };
      e.completed = [&](const std::string&) {
        ++told;
        if (which == "completed") send.reset();
      };
      e.failed = [&](const std::string&) {
        ++told;
        if (which == "failed") send.reset();
      };
      e.ended = [&] {
        ++told;
        if (which == "ended") send.reset();
      };
      Start(*send);
      ASSERT_TRUE(net::test::PumpUntil([&] { return !send || !send->Running(); }, 20000))
          << "send hung";
      // The events still due after the one that destroyed the send are not told.
      EXPECT_GE(told, 1);
      EXPECT_LE(told, 3);
      send.reset();
    }
  }
}

// Stop at the n-th status of a send, for every n the send reaches: each ends once, with every
// recipient in its log.
TEST_F(MailSendHostile, StopAtEveryStatusEndsTheSendOnce) {
  MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}});
  SmtpServer server(root_ / "outbox", {"--recipient-limit", "1"});
  for (int stopAt = 1;; ++stopAt) {
    SCOPED_TRACE("stopped at status " + std::to_string(stopAt));
    std::unique_ptr<TMailSend> send = NewSend(server.Port());
    int statuses = 0, outcomes = 0, ends = 0;
    bool stopped = false;
    SendEvents& e = send->Events();
    e.status = [&](const std::string&) {
      if (++statuses == stopAt && !stopped) {
        stopped = true;
        send->Stop();
      }
    };
    e.outcome = [&](const SendOutcome&) { ++outcomes; };
    e.ended = [&] { ++ends; };
    Start(*send);
    ASSERT_TRUE(net::test::PumpUntil([&] { return !send->Running(); }, 20000)) << "send hung";
    EXPECT_EQ(outcomes, 1);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(send->Log().LogLines().size(), 11u);
    if (!stopped) {  // the send ended before so many statuses: every state has been tried
      EXPECT_GT(stopAt, 5);
      break;
    }
    ASSERT_LT(stopAt, 200) << "a send that never stops reporting";
  }
}

}  // namespace
}  // namespace tavrin::app::testing

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
