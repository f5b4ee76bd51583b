// The send against servers and files that work against it: a refusal at every step, resets,
// floods, an attachment that goes away mid-send, a table that is not a table. Each must end the
// send with a message, once, and never hang or crash.
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>

#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

const std::vector<std::pair<std::string, std::string>> kOne = {{"Ann", "ann@example.com"}};

// Answers a one-recipient send as a good server would, until step `badStep` (0 greeting, 1 Helo,
// 2 Mail From, 3 Rcpt To, 4 Data, 5 the final ".", 6 Quit), which gets `badReply` instead.
void ScriptedServer(PeerConn& c, int badStep, const std::string& badReply) {
  const char* good[] = {"220 hi\r\n", "250 hello\r\n",  "250 from\r\n", "250 to\r\n",
                        "354 go\r\n", "250 queued\r\n", "221 bye\r\n"};
  for (int step = 0; step <= 6; ++step) {
    if (step > 0 && step != 5 && c.RecvLine().empty()) return;
    if (step == 5)
      for (std::string line; (line = c.RecvLine()) != ".\r\n";)
        if (line.empty()) return;
    c.Send(step == badStep ? badReply : good[step]);
    if (step == badStep) break;
  }
  c.RecvAll();
}

struct StepCase {
  int step;
  const char* reply;
};
// Readable, stable test names: "step 4: 554 no data".
void PrintTo(const StepCase& c, std::ostream* os) {
  *os << "step " << c.step << ": "
      << std::string(c.reply).substr(0, std::string(c.reply).find('\r'));
}

class RefusalAtEveryStep : public SendTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(RefusalAtEveryStep, AbortsWithTheLineOrCompletesOnceDelivered) {
  MakeTable(kOne);
  const StepCase c = GetParam();
  LoopbackPeer peer([&](PeerConn& conn) { ScriptedServer(conn, c.step, c.reply); });
  Send(peer.Port(), Job());
  EXPECT_EQ(ends, 1);
  if (c.step == 6) {  // after delivery nothing can undo it
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(completions, 1);
    return;
  }
  EXPECT_EQ(completions, 0);
  ASSERT_EQ(failures.size(), 1u);
  std::string line = c.reply;
  line = line.substr(0, line.find('\r'));
  EXPECT_EQ(failures[0], "Unexpected error! " + line + "; the message has not been sent.");
}

INSTANTIATE_TEST_SUITE_P(
    Replies421And554, RefusalAtEveryStep,
    ::testing::Values(StepCase{0, "421 not now\r\n"}, StepCase{1, "554 go away\r\n"},
                      StepCase{2, "421 closing\r\n"}, StepCase{3, "421 closing\r\n"},
                      StepCase{4, "554 no data\r\n"}, StepCase{4, "250 not 354\r\n"},
                      StepCase{5, "452 full\r\n"}, StepCase{6, "421 closing\r\n"}));

// ---- connections that go away hard, and servers that flood

TEST_F(SendTest, AResetDuringTheMailDataEndsTheSendWithoutTheFinalDot) {
  MakeTable(kOne);
  std::string big(4 << 20, 'z');
  WriteFile(root_ / "big.bin", big);
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "354 go\r\n"}) {
      c.Send(r);
      if (r[0] != '3') c.RecvLine();
    }
    c.RecvBytes(100000);
    linger hard{1, 0};
    ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    c.Close();
  });
  Send(peer.Port(), Job({"x"}, {(root_ / "big.bin").string()}));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("The connection to the server failed: ", 0), 0u) << failures[0];
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kConnectionFailed});
  EXPECT_TRUE(std::filesystem::is_empty(root_ / "tmp"));
}

TEST_F(SendTest, AFloodOfUnaskedRepliesNeverRunsAheadOfTheCommands) {
  MakeTable(kOne);
  LoopbackPeer peer([&](PeerConn& c) {
    std::string flood = "220 hi\r\n";
    for (int i = 0; i < 900; ++i) flood += "250-more\r\n";
    for (int i = 0; i < 50; ++i) flood += "250 ok\r\n";
    c.Send(flood);
    c.RecvAll();
  });
  Send(peer.Port(), Job());
  // Each final line answers one command; "250" where "354" belongs stops the send.
  EXPECT_EQ(failures,
            std::vector<std::string>{"Unexpected error! 250 ok; the message has not been sent."});
}

TEST_F(SendTest, AReplyThatNeverEndsIsCutOff) {
  MakeTable(kOne);
  LoopbackPeer peer([&](PeerConn& c) {
    std::string flood;
    for (int i = 0; i < 2000; ++i) flood += "220-and more\r\n";
    c.Send(flood);
    c.RecvAll();
  });
  Send(peer.Port(), Job());
  EXPECT_EQ(failures, std::vector<std::string>{
                          "The server's reply has too many lines; the message has not been sent."});
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kReplyNotUnderstood});
}

TEST_F(SendTest, AHugeRefusalIsShownCutToOneShortLine) {
  MakeTable(kOne);
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("554 " + std::string(60000, 'x') + "\x1b[2J\r\n");  // long, yet within the line limit
    c.RecvAll();
  });
  Send(peer.Port(), Job());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], "Unexpected error! 554 " + std::string(508, 'x') +
                             "...; the message has not been sent.");
}

// A line too long for any reply, whole (2 MB and its line end) or never ended, ends the send as
// soon as the limit is passed, not when the five-minute greeting time-out runs out.
class TooLongLine : public SendTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TooLongLine, EndsTheSendAtOnce) {
  MakeTable(kOne);
  const bool endless = GetParam();
  std::atomic<bool> stop{false};
  LoopbackPeer peer([&](PeerConn& c) {
    const std::string junk(65536, 'j');
    if (!endless) c.Send("220 " + std::string(2 << 20, 'x') + "\r\n");
    for (int i = 0; endless && i < 1000 && !stop; ++i) c.Send(junk);
    c.RecvAll();
  });
  Send(peer.Port(), Job());
  stop = true;
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0],
            "The server sent a reply line that is too long; the message has not been sent.");
  EXPECT_EQ(completions, 0);
}

INSTANTIATE_TEST_SUITE_P(WholeAndEndless, TooLongLine, ::testing::Bool());

// A reply begins with its three digits and a blank, a hyphen or the line's end. A line that does
// not, though it holds "250" in its words, accepts no recipient: the send ends with the line.
TEST_F(SendTest, ALineThatDoesNotBeginWithACodeEndsTheSendAndAcceptsNoOne) {
  MakeTable(kOne);
  for (const std::string bad :
       {"Note 250 but actually: 550 refused", "2500 ok", "25 ok", "250ok", ""}) {
    SCOPED_TRACE(bad);
    failures.clear();
    log.StartLog("P", "S", "d", "t");
    LoopbackPeer peer([&](PeerConn& c) {
      for (const char* r : {"220 hi\r\n", "250 hello\r\n", "250 from\r\n"}) {
        c.Send(r);
        c.RecvLine();
      }
      c.Send(bad + "\r\n250 to\r\n354 go\r\n");
      c.RecvAll();
    });
    Send(peer.Port(), Job());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind(kNotUnderstood + bad, 0), 0u) << failures[0];
    EXPECT_EQ(kinds.back(), FailureKind::kReplyNotUnderstood);
    for (const LogEntry& entry : log.Entries()) EXPECT_NE(entry.status, RecipientStatus::kOk);
    EXPECT_EQ(completions, 0);
  }
  // The three digits alone are a whole reply.
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r : {"220\r\n", "250\r\n", "250\r\n", "250\r\n", "354\r\n"}) {
      c.Send(r);
      c.RecvLine();
    }
    for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
    }
    c.Send("250\r\n");
    c.RecvLine();
    c.Send("221\r\n");
  });
  failures.clear();
  Send(peer.Port(), Job());
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(completions, 1);
}

// ---- a window that lets go of the dialogue from one of its handlers

class DestroyedByHandler : public SendTest, public ::testing::WithParamInterface<int> {};

// Ann's transaction is delivered, Bob's recipient meets a 421: the send stops with the log. The
// handler destroys the dialogue at the first reply line shown (0), when the send has ended (1), or
// at the message box (2); nothing may reach the dialogue after, nor report for it.
TEST_P(DestroyedByHandler, NothingTouchesItAfter) {
  MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}});
  const int at = GetParam();
  auto& e = dialogue->events;
  int reportsAfter = 0;
  auto release = [this] { dialogue.reset(); };
  e.transcript = [&](const std::string&) { at == 0 ? release() : void(); };
  e.ended = [&] { ++ends, at == 1 ? release() : void(); };
  e.failed = [&](const std::string& text) {
    failures.push_back(text), at == 2 ? release() : void();
  };
  e.status = [&](const std::string&) { reportsAfter += dialogue ? 0 : 1; };
  e.completed = [&](const std::string&) { reportsAfter += dialogue ? 0 : 1; };
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* reply :
         {"220 hi\r\n", "250 hello\r\n", "250 from\r\n", "250 to\r\n", "354 go\r\n"}) {
      if (reply[0] != '2' || reply[1] != '2') c.RecvLine();
      c.Send(reply);
    }
    for (std::string line; (line = c.RecvLine()) != ".\r\n" && !line.empty();) {
    }
    c.Send("250 queued\r\n");
    c.RecvLine();
    c.Send("250 from\r\n");
    c.RecvLine();
    c.Send("421 closing\r\n");
    c.RecvAll();
  });
  sock->SetPort(peer.Port());
  SendJob job = Job();
  job.recipientsPerMessage = 1;
  dialogue->Start(job);
  EXPECT_TRUE(net::test::PumpUntil([this] { return !dialogue; }, 10000));
  sock->Disconnect();
  EXPECT_EQ(reportsAfter, 0);
  EXPECT_EQ(failures.size(), at == 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(TranscriptEndedOrFailed, DestroyedByHandler, ::testing::Values(0, 1, 2));

// ---- files that change under the send

TEST_F(SendTest, AnAttachmentRemovedDuringTheSendIsNamedAndTheMessageIsNotEnded) {
  MakeTable(kOne);
  const std::string path = (root_ / "report.pdf").string();
  WriteFile(path, "%PDF-1.4 tiny");
  std::string tail;
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n"}) {
      c.Send(r);
      c.RecvLine();
    }
    std::filesystem::remove(path);  // between Send and the mail data
    c.Send("354 go\r\n");
    tail = c.RecvAll();
  });
  Send(peer.Port(), Job({"x"}, {path}));
  EXPECT_EQ(failures, std::vector<std::string>{"Unable to read attachment " + path +
                                               "; the message has not been sent."});
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kLocalFile});
  EXPECT_EQ(tail.find("\r\n.\r\n"), std::string::npos);
}

// Checked as a file at Send, then swapped for a FIFO or a directory before the mail data: the send
// must neither wait for a writer that never comes nor read what is not a file.
TEST_F(SendTest, AnAttachmentSwappedForAFifoOrADirectoryIsRefusedWithoutWaiting) {
  MakeTable(kOne);
  const std::string path = (root_ / "notes.txt").string();
  for (const bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "fifo" : "directory");
    failures.clear();
    std::filesystem::remove_all(path);
    WriteFile(path, "notes");
    std::string tail;
    LoopbackPeer peer([&](PeerConn& c) {
      for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n"}) {
        c.Send(r);
        c.RecvLine();
      }
      std::filesystem::remove(path);
      if (fifo)
        ::mkfifo(path.c_str(), 0600);
      else
        std::filesystem::create_directory(path);
      c.Send("354 go\r\n");
      tail = c.RecvAll();
    });
    Send(peer.Port(), Job({"x"}, {path}));
    EXPECT_EQ(failures, std::vector<std::string>{"Unable to read attachment " + path +
                                                 "; the message has not been sent."});
    EXPECT_EQ(tail.find("\r\n.\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace tavrin::app::testing
