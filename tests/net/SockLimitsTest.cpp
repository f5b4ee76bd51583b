// The socket client against peers that misbehave: replies in thousands of pieces, lines without
// end, peers that stop reading mid-stream, and closes that must not lose what was reported sent.
// The client's stack, memory and time stay bounded, and the byte stream it sends is never
// glued together from the rest of a broken send and the next command.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "net/SockClient.h"
#include "platform/Stream.h"

namespace tavrin::net {
namespace {

using platform::TMemoryStream;
using test::Gate;
using test::LoopbackPeer;
using test::PeerConn;
using test::PumpUntil;
using test::RandomBytes;

class SockLimitsTest : public test::LoopbackClientTest {
 protected:
  SockLimitsTest() : LoopbackClientTest(1000) {}
  void SetUp() override {
    LoopbackClientTest::SetUp();
    sock->OnDisconnect = [this](TSockClient&) { ++disconnects; };
  }
  int disconnects = 0;
};

// ---- a reply in thousands of pieces

// The reply handler's pattern, one ReadLn per data event, against a line sent 8 bytes at a
// time: the data events nest only a few levels deep, the line is read once, and every waiting
// read ends within its own time-out rather than one time-out per level.
TEST_F(SockLimitsTest, ReplyInThousandsOfPiecesNestsOnlyAFewEventsDeep) {
  const std::string line = "250-" + std::string(12000, 'p') + "\r\n";
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    int one = 1;
    ::setsockopt(c.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (std::size_t at = 0; at < line.size(); at += 8) {
      c.Send(line.substr(at, 8));
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // one receive per piece, mostly
    }
    done.Wait(8000);
  });
  int depth = 0, deepest = 0, events = 0;
  std::vector<std::string> lines, errors;
  sock->OnDataReady = [&](TSockClient& s) {
    ++events;
    deepest = std::max(deepest, ++depth);
    try {
      lines.push_back(s.ReadLn());
    } catch (const ESockError& e) {
      errors.push_back(e.what());
    }
    --depth;
  };
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  EXPECT_TRUE(PumpUntil([&] { return depth == 0; },
                        3 * sock->TimeOut()));  // one time-out, not one per level
  EXPECT_EQ(lines, std::vector<std::string>{line});
  EXPECT_LE(deepest, 4);
  for (const auto& e : errors) EXPECT_EQ(e, "Socket read timed out");
  done.Open();
}

// ---- lines without end

TEST_F(SockLimitsTest, EndlessLineFailsAsTooLongAndDropsTheConnection) {
  std::atomic<std::size_t> pushed{0};
  const std::size_t flood = std::size_t{32} << 20;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 ready\r\n");
    const std::string junk(65536, 'x');
    while (pushed < flood) {
      ssize_t n = ::send(c.Fd(), junk.data(), junk.size(), MSG_NOSIGNAL);
      if (n <= 0) return;  // the client dropped the connection
      pushed += static_cast<std::size_t>(n);
    }
  });
  sock->SetMaxLineLength(100000);
  ConnectTo(peer);
  EXPECT_EQ(sock->ReadLn(), "220 ready\r\n");
  // Once the limit is reached the client says so without a read: no line will ever come.
  ASSERT_TRUE(PumpUntil([&] { return sock->LineTooLong(); }, 10000));
  EXPECT_FALSE(sock->LineAvailable());
  try {
    sock->ReadLn();
    FAIL() << "an endless line was returned";
  } catch (const ELineTooLong& e) {
    EXPECT_STREQ(e.what(), "Line too long");
  }
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(sock->LineAvailable());
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }, 10000));
  EXPECT_LT(pushed, flood);  // the client stopped taking bytes at its limit
}

// Reading stops at the line limit; a limit raised afterwards lets the longer line in.
TEST_F(SockLimitsTest, RaisedLineLimitResumesReading) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send(std::string(50000, 'x'));
    c.Sleep(50);
    c.Send("\r\n");
    done.Wait();
  });
  sock->SetMaxLineLength(1000);
  ConnectTo(peer);
  PumpUntil([] { return false; }, 100);
  sock->SetMaxLineLength(100000);
  EXPECT_EQ(sock->ReadLn().size(), 50002u);
  done.Open();
}

// A peer that trickles a line without end keeps bytes coming, yet the read ends at its time-out.
TEST_F(SockLimitsTest, TrickledLineTimesOutFromTheReadsStart) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    for (int i = 0; i < 400 && !done.Wait(5); ++i) c.Send("x");
  });
  ConnectTo(peer);
  sock->SetTimeOut(200);
  try {
    sock->ReadLn();
    FAIL() << "a line without end was returned";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Socket read timed out");
  }
  done.Open();
}

// ---- sends that end part-way

// After a send that timed out or was cancelled, the rest of it never reaches the server, and
// nothing sent afterwards is glued to what did.
TEST_F(SockLimitsTest, BrokenSendDropsTheConnectionAndItsUnsentRest) {
  for (bool cancel : {false, true}) {
    SetUp();
    disconnects = 0;
    const std::string data = RandomBytes(16 << 20, cancel ? 21 : 22);
    Gate stalled;
    std::string wire;
    LoopbackPeer peer([&](PeerConn& c) {
      wire = c.RecvBytes(100000);
      stalled.Wait();  // stops reading until the send has failed
      wire += c.RecvAll();
    });
    TMemoryStream stream;
    stream.Write(data.data(), data.size());
    ConnectTo(peer);
    sock->SetTimeOut(cancel ? 0 : 300);
    if (cancel) QTimer::singleShot(300, sock.get(), [this] { sock->Cancel(); });
    EXPECT_THROW(sock->SendStream(stream), ESockError) << cancel;
    EXPECT_FALSE(sock->Connected()) << cancel;
    EXPECT_EQ(disconnects, 1) << cancel;
    EXPECT_ANY_THROW(sock->Writeln("QUIT"));  // no connection to send it on
    stalled.Open();
    ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }, 10000));
    EXPECT_LT(wire.size(), data.size()) << cancel;
    EXPECT_TRUE(wire == data.substr(0, wire.size())) << "more than a prefix of the stream arrived";
  }
}

// ---- closing

// Bytes that a call reported as sent reach the peer when the client disconnects or is
// destroyed right afterwards, also while the peer's own bytes wait unread in the socket.
TEST_F(SockLimitsTest, DataReportedSentSurvivesTheClose) {
  for (bool destroy : {false, true}) {
    SetUp();
    const std::string data = RandomBytes(256 << 10, destroy ? 31 : 32);
    Gate closed;
    std::string wire;
    int error = 0;
    LoopbackPeer peer([&](PeerConn& c) {
      c.Send("220 " + std::string(200000, 'u') + "\r\n");  // more than the client will read
      closed.Wait();
      char buf[65536];
      for (ssize_t n; (n = ::recv(c.Fd(), buf, sizeof buf, 0)) != 0;) {
        if (n < 0) {
          error = errno;
          break;
        }
        wire.append(buf, static_cast<std::size_t>(n));
      }
    });
    sock->SetMaxLineLength(1000);  // reading stops early: the peer's bytes stay in the socket
    TMemoryStream stream;
    stream.Write(data.data(), data.size());
    ConnectTo(peer);
    PumpUntil([] { return false; }, 50);
    sock->SendStream(stream);
    if (destroy)
      sock.reset();
    else
      sock->Disconnect();
    closed.Open();
    ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }, 10000));
    EXPECT_EQ(error, 0) << destroy;
    EXPECT_EQ(wire.size(), data.size()) << destroy;
    EXPECT_TRUE(wire == data) << destroy;
  }
}

// A close reported by a read is complete when the read raises: the client can connect again at
// once, and its closed socket's notifiers are gone, also inside a handler that runs for long.
TEST_F(SockLimitsTest, ClosedConnectionIsOverWhenTheReadRaises) {
  bool ran = false;
  QTimer::singleShot(0, [&] {
    for (int round = 0; round < 20; ++round) {
      LoopbackPeer peer([](PeerConn& c) { c.Send("421 going"); });
      ConnectTo(peer);
      try {
        sock->ReadLn();
        ADD_FAILURE() << "no line was complete";
      } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection closed");
      }
      EXPECT_FALSE(sock->Connected());
      EXPECT_LE(sock->findChildren<QSocketNotifier*>().size(), 2u);
    }
    ran = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return ran; }, 20000));
  EXPECT_EQ(disconnects, 20);
}

}  // namespace
}  // namespace tavrin::net
