// The send against scripted servers that misbehave: the exact bytes on the wire, replies that come
// in pieces or together, servers that close in every state or fall silent.
#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

const std::vector<std::pair<std::string, std::string>> kTwo = {{"Ann", "ann@example.com"},
                                                               {"Bob", "bob@example.com"}};

// Sends `reply` whole, or one byte at a time.
void Reply(PeerConn& c, const std::string& reply, bool byteByByte) {
  if (!byteByByte) return c.Send(reply);
  for (char ch : reply) {
    c.Send(std::string(1, ch));
    c.Sleep(1);
  }
}

// ---- the wire, with replies split and joined

class RepliesInPieces : public SendTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RepliesInPieces, MultiLineRepliesMoveTheDialogueOnceAndTheCommandsAreExact) {
  MakeTable(kTwo);
  const bool bytes = GetParam();
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    Reply(c, "220-mail.example.com welcome\r\n220-policy: be nice\r\n220 ready\r\n", bytes);
    wire += c.RecvLine();
    Reply(c, "250-mail.example.com\r\n250 hello\r\n", bytes);
    wire += c.RecvLine();
    // The replies to the sender and the first recipient arrive together.
    Reply(c, "250 sender ok\r\n250 ann ok\r\n", bytes);
    wire += c.RecvLine();
    wire += c.RecvLine();
    Reply(c, "250 bob ok\r\n", bytes);
    wire += c.RecvLine();  // Data
    Reply(c, "354 go on\r\n", bytes);
    std::string line;
    while ((line = c.RecvLine()) != ".\r\n" && !line.empty()) wire += line;
    wire += line;
    Reply(c, "250 queued\r\n", bytes);
    wire += c.RecvLine();
    Reply(c, "221 bye\r\n", bytes);
  });
  Send(peer.Port(), Job({"x", ".", ".x"}));
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(wire.substr(0, wire.find("From: \"John")),
            "EHLO [127.0.0.1]\r\nMail From:<sender@example.com>\r\nRcpt To:<ann@example.com>\r\n"
            "Rcpt To:<bob@example.com>\r\nData\r\n");
  EXPECT_NE(wire.find("\r\nx\r\n..\r\n..x\r\n"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 13), "--\r\n.\r\nQuit\r\n");
  EXPECT_EQ(RecipientLines().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(WholeAndByteByByte, RepliesInPieces, ::testing::Bool());

// ---- the size the mail data takes, for the server's size limit

TEST_F(SendTest, MessageSizeOnWireIsEveryOctetAfterTheGoAhead) {
  MakeTable({{"Ann", "ann@example.com"}});
  std::vector<std::pair<std::string, std::uint64_t>> files;
  std::string greek;
  for (int i = 0; i < 60; ++i) greek += "\xCE\xB1\xCE\xB2";  // a long name, in sections
  for (std::size_t size : {0, 1, 2, 3, 44, 45, 46, 1000}) {
    const auto path = root_ / (std::to_string(size) + (size == 46 ? greek : "") + ".bin");
    WriteFile(path, std::string(size, '\xFF'));
    files.emplace_back(path.string(), size);
  }
  std::vector<std::string> paths;
  for (const auto& f : files) paths.push_back(f.first);
  const SendJob job = Job({".", "..x", std::string(3000, 'x'), greek + " ", ""}, paths);
  std::string mailData;
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "354 go\r\n"}) {
      c.Send(r);
      if (r[0] != '3') c.RecvLine();
    }
    for (std::string line; line != ".\r\n" && (line = c.RecvLine()) != "";) mailData += line;
    c.Send("250 queued\r\n");
    c.RecvLine();
    c.Send("221 bye\r\n");
  });
  Send(peer.Port(), job);
  ASSERT_EQ(completions, 1);
  EXPECT_EQ(MessageSizeOnWire(job.messageLines, job.boundary, files), mailData.size());
}

// ---- a server that closes the connection in each state

struct CloseCase {
  int repliesBeforeClose;  // replies the server gives before it closes
  const char* expectedFailure;
};
void PrintTo(const CloseCase& c, std::ostream* os) {
  *os << "closes after " << c.repliesBeforeClose << " replies";
}

class ServerCloses : public SendTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ServerCloses, EveryStateEndsWithItsMessageAndNoHang) {
  MakeTable(kTwo);
  const std::vector<std::string> script = {"220 hi\r\n",  "250 hello\r\n", "250 from\r\n",
                                           "250 ann\r\n", "250 bob\r\n",   "354 go\r\n"};
  const int replies = GetParam().repliesBeforeClose;
  LoopbackPeer peer([&](PeerConn& c) {
    for (int i = 0; i < replies; ++i) {
      if (i > 0) c.RecvLine();
      c.Send(script[static_cast<std::size_t>(i)]);
    }
    if (replies == 6)
      while (c.RecvLine() != ".\r\n") {
      }
    else if (replies > 0)
      c.RecvLine();
    c.Close();
  });
  Send(peer.Port(), Job());
  EXPECT_EQ(completions, replies == 6 ? 1 : 0);  // the log shows who may have the message
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind(GetParam().expectedFailure, 0), 0u) << failures[0];
  EXPECT_EQ(ends, 1);
}

INSTANTIATE_TEST_SUITE_P(
    AtEachStep, ServerCloses,
    ::testing::Values(
        CloseCase{0, "The server closed the connection; the message has not been sent."},
        CloseCase{1, "The server closed the connection; the message has not been sent."},
        CloseCase{2, "The server closed the connection; the message has not been sent."},
        CloseCase{3, "The server closed the connection; the message has not been sent."},
        CloseCase{5, "The server closed the connection; the message has not been sent."},
        CloseCase{6,
                  "The server closed the connection; the server did not confirm the message, so "
                  "it may have been delivered."}));

TEST_F(SendTest, AServerThatClosesInsteadOfAnsweringQuitStillDelivered) {
  MakeTable(kTwo);
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r :
         {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 e\r\n"}) {
      c.Send(r);
      if (r[0] != '3') c.RecvLine();
    }
    while (c.RecvLine() != ".\r\n") {
    }
    c.Send("250 queued\r\n");
    c.RecvLine();
    c.Close();
  });
  Send(peer.Port(), Job());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(completions, 1);
}

// ---- a server that falls silent

TEST_F(SendTest, SilenceAfterDataEndsWithTheNoAnswerMessage) {
  MakeTable(kTwo);
  dialogue->commandTimeOutMs = 300;
  net::test::Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    for (const char* r : {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n"}) {
      c.Send(r);
      c.RecvLine();
    }
    done.Wait(5000);  // "Data" read, never answered
  });
  Send(peer.Port(), Job());
  done.Open();
  EXPECT_EQ(failures,
            std::vector<std::string>{"The server did not answer; the message has not been sent."});
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kTimedOut});
}

// A refused connection and a name that cannot be found are told with the server, the port and
// the reason in words; the socket's error number goes to the transcript only.
TEST_F(SendTest, AConnectionRefusedOrAnUnknownNameIsToldInWords) {
  MakeTable(kTwo);
  std::vector<std::string> shown;
  dialogue->events.transcript = [&](const std::string& line) { shown.push_back(line); };
  const int port = net::test::ClosedPort();
  Send(port, Job());
  ASSERT_EQ(failures.size(), 1u);
  const std::string refused = "Unable to connect to 127.0.0.1 port " + std::to_string(port) +
                              ": connection refused; the message has not been sent.";
  EXPECT_EQ(failures[0], refused);
  EXPECT_EQ(shown, std::vector<std::string>{"Connecting failed: 10061:Connection refused"});

  // A resolver that knows no name, so that no look-up leaves the machine.
  const SendEvents events = dialogue->events;
  dialogue.reset();
  sock = std::make_unique<net::TSockClient>(
      nullptr, net::MakeSystemResolver([](const std::string&, std::uint32_t*) { return 11001; }));
  sock->SetHost("smtp.exmaple.com");
  dialogue = std::make_unique<TSendDialogue>(*sock, replies, log, table);
  dialogue->events = events;
  SendJob job = Job();
  job.serverName = "smtp.exmaple.com";
  Send(25, job);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[1],
            "The server name smtp.exmaple.com could not be found; the message has not been sent.");
  EXPECT_EQ(shown.back(), "Looking up smtp.exmaple.com failed: 11001:Host not found");
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(kinds,
            (std::vector<FailureKind>{FailureKind::kConnectionFailed, FailureKind::kNameNotFound}));
}

}  // namespace
}  // namespace tavrin::app::testing
