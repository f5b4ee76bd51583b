// The socket client when its own event handlers re-enter it: handlers that pump the event loop
// or read while a chunk is being sent, handlers that close the connection from inside the
// receive or write handler, and handlers that destroy the client while one of its calls is still
// waiting further up the stack. Nothing may stall, close twice, or touch a gone client.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QTimer>
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

class SockReentryTest : public test::LoopbackClientTest {
 protected:
  SockReentryTest() : LoopbackClientTest(3000) {}
};

// ---- handlers that pump events while a chunk goes out

// A progress bar that repaints at once pumps events from every progress event; the next chunk's
// event then nests inside it, but only a few levels deep, however many chunks the stream has.
TEST_F(SockReentryTest, ProgressHandlerThatPumpsEventsDoesNotStallTheStream) {
  const std::string data = RandomBytes(16 << 20, 11);
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) { wire = c.RecvBytes(data.size()); });
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  int progress = 0, depth = 0, deepest = 0;
  sock->OnSendProgress = [&](TSockClient&) {
    ++progress;
    deepest = std::max(deepest, ++depth);
    QCoreApplication::processEvents();
    --depth;
  };
  ConnectTo(peer);
  ASSERT_NO_THROW(sock->SendStream(stream));
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(data.size()));
  EXPECT_GE(progress, 7);
  EXPECT_LE(deepest, 4);
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_TRUE(wire == data);
}

TEST_F(SockReentryTest, LineReadFromAProgressHandlerArrives) {
  const std::string data = RandomBytes(50000, 12);
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("250 early\r\n");
    wire = c.RecvBytes(data.size());
  });
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  std::vector<std::string> lines;
  sock->OnSendProgress = [&](TSockClient& s) {
    if (lines.empty()) lines.push_back(s.ReadLn());
  };
  ConnectTo(peer);
  ASSERT_NO_THROW(sock->SendStream(stream));
  EXPECT_EQ(lines, std::vector<std::string>{"250 early\r\n"});
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_EQ(wire, data);
}

// A status handler pumps events while the receive handler holds the busy flag; the request for
// the next chunk that arrives meanwhile must still be served.
TEST_F(SockReentryTest, WriteRequestMetByABusyReceiveIsServedLater) {
  const std::string data = RandomBytes(4 << 20, 15);
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    for (int i = 0; i < 50; ++i) {
      c.Send("250 progress\r\n");
      std::string got = c.RecvBytes(16383);
      wire += got;
      if (got.size() < 16383) return;  // the client stalled or went
    }
    wire += c.RecvBytes(data.size() - wire.size());
  });
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  sock->SetReportLevel(8);
  int pumped = 0;
  sock->OnStatus = [&](TSockClient&, const std::string& status) {
    if (status != "ReadToStream") return;
    ++pumped;
    QCoreApplication::processEvents();
  };
  ConnectTo(peer);
  ASSERT_NO_THROW(sock->SendStream(stream));
  EXPECT_GT(pumped, 0);
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_TRUE(wire == data);
}

TEST_F(SockReentryTest, ProgressHandlerThatDisconnectsEndsTheStreamSend) {
  LoopbackPeer peer([](PeerConn& c) { c.RecvAll(); });
  const std::string data = RandomBytes(200000, 16);
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  int disconnects = 0, progress = 0;
  sock->OnDisconnect = [&](TSockClient&) { ++disconnects; };
  sock->OnSendProgress = [&](TSockClient& s) {
    if (++progress == 1) s.Disconnect();
  };
  ConnectTo(peer);
  try {
    sock->SendStream(stream);
    FAIL() << "a stream send on a closed connection returned";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Connection closed");
  }
  EXPECT_EQ(progress, 1);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(sock->Connected());

  // The request for the next chunk is still queued when the next connect starts: it must leave
  // the connect's watch alone, and nothing of the broken-off stream reaches the next server.
  std::string wire;
  LoopbackPeer second([&](PeerConn& c) { wire = c.RecvLine(); });
  sock->SetPort(second.Port());
  QTimer::singleShot(2000, sock.get(),
                     [this] { sock->Cancel(); });  // keeps a failing test from hanging
  ASSERT_NO_THROW(sock->Connect());
  sock->Writeln("QUIT");
  ASSERT_TRUE(PumpUntil([&] { return second.Done() && peer.Done(); }));
  EXPECT_EQ(wire, "QUIT\r\n");
}

// The send dialogue's status handler may abort a send, and so close the connection, from any
// status report, also from the one the receive handler makes before it reads.
TEST_F(SockReentryTest, StatusHandlerThatDisconnectsBeforeAReadClosesOnce) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 ready\r\n");
    done.Wait();
  });
  int disconnects = 0, events = 0;
  sock->OnDisconnect = [&](TSockClient&) { ++disconnects; };
  sock->OnDataReady = [&](TSockClient&) { ++events; };
  ConnectTo(peer);
  sock->SetReportLevel(8);
  sock->OnStatus = [&](TSockClient& s, const std::string& status) {
    if (status == "ReadToStream" && s.Connected()) s.Disconnect();
  };
  ASSERT_TRUE(PumpUntil([&] { return disconnects > 0; }));
  PumpUntil([] { return false; }, 50);  // a second close would come by now
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(events, 0);  // the read never happened
  done.Open();

  sock->OnStatus = nullptr;
  Gate again;
  LoopbackPeer second([&](PeerConn& c) {
    c.Send("220 again\r\n");
    again.Wait();
  });
  sock->SetPort(second.Port());
  sock->Connect();
  EXPECT_EQ(sock->ReadLn(), "220 again\r\n");
  EXPECT_TRUE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
  again.Open();
}

TEST_F(SockReentryTest, StatusHandlerThatDisconnectsOnAReceiveErrorClosesOnce) {
  Gate connected;
  LoopbackPeer peer([&](PeerConn& c) {
    // Reset only once the client has seen its connect succeed, or the reset can beat the
    // connect's own outcome and turn it into a failed connect.
    connected.Wait();
    struct linger reset {
      1, 0
    };
    ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);  // the close resets
  });
  int disconnects = 0;
  sock->OnDisconnect = [&](TSockClient&) { ++disconnects; };
  sock->SetReportLevel(8);
  sock->OnStatus = [&](TSockClient& s, const std::string& status) {
    if (status == "Looking Up Error Message" && s.Connected()) s.Disconnect();
  };
  ConnectTo(peer);
  connected.Open();
  ASSERT_TRUE(PumpUntil([&] { return disconnects > 0; }));
  PumpUntil([] { return false; }, 50);  // a second close would come by now
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(sock->LastErrorCode(), 10054);

  sock->OnStatus = nullptr;
  Gate again;
  LoopbackPeer second([&](PeerConn& c) {
    c.Send("220 again\r\n");
    again.Wait();
  });
  sock->SetPort(second.Port());
  sock->Connect();
  EXPECT_EQ(sock->ReadLn(), "220 again\r\n");
  EXPECT_EQ(disconnects, 1);
  again.Open();
}

// ---- handlers that destroy the client while a call waits

TEST_F(SockReentryTest, ClientDestroyedByADataHandlerEndsTheWaitingRead) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 no line end yet");
    done.Wait();
  });
  ConnectTo(peer);
  int events = 0;
  sock->OnDataReady = [&](TSockClient&) {
    ++events;
    sock.reset();
  };
  TSockClient* raw = sock.get();
  try {
    raw->ReadLn();
    FAIL() << "a read on a destroyed client returned";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
  EXPECT_EQ(events, 1);
  EXPECT_EQ(sock, nullptr);
  done.Open();
}

TEST_F(SockReentryTest, ClientDestroyedDuringAStreamSendEndsIt) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });  // reads nothing: the send must wait
  ConnectTo(peer);
  const std::string data = RandomBytes(8 << 20, 13);
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  TSockClient* raw = sock.get();
  QTimer::singleShot(50, [&] { sock.reset(); });
  try {
    raw->SendStream(stream);
    FAIL() << "a send on a destroyed client returned";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket send aborted");
  }
  EXPECT_EQ(sock, nullptr);
  done.Open();
}

TEST_F(SockReentryTest, ClientDestroyedByAProgressHandlerEndsTheSend) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.RecvAll();
    done.Open();
  });
  ConnectTo(peer);
  const std::string data = RandomBytes(100000, 14);
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  sock->OnSendProgress = [&](TSockClient&) { sock.reset(); };
  TSockClient* raw = sock.get();
  EXPECT_THROW(raw->SendStream(stream), EAbortError);
  EXPECT_EQ(sock, nullptr);
  EXPECT_TRUE(done.Wait());
}

TEST_F(SockReentryTest, ClientDestroyedWhileConnectWaitsEndsTheConnect) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });
  sock->SetPort(peer.Port());
  int failures = 0;
  sock->OnConnectionFailed = [&](TSockClient&) { ++failures; };
  sock->OnConnect = [&](TSockClient&) { sock.reset(); };
  TSockClient* raw = sock.get();
  try {
    raw->Connect();
    FAIL() << "a connect on a destroyed client returned";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Connection Canceled");
  }
  EXPECT_EQ(failures, 0);  // the client is gone: it raises nothing more
  EXPECT_EQ(sock, nullptr);
  done.Open();
}

// A status handler may destroy the client at any report, or replace itself while it runs;
// the client then touches nothing of itself, and the waiting call raises its abort.
TEST_F(SockReentryTest, ClientDestroyedByAStatusHandlerAtAnyReport) {
  for (const std::string when :
       {"Connecting", "Resolve Host", "Timer On", "Timer Off", "ReadToStream"}) {
    SetUp();
    Gate done;
    LoopbackPeer peer([&](PeerConn& c) {
      c.Send("220 ready\r\n");
      done.Wait();
    });
    sock->SetPort(peer.Port());
    sock->SetReportLevel(8);
    auto seen = std::make_shared<std::string>();
    sock->OnStatus = [&, seen](TSockClient& s, const std::string& status) {
      if (status != when) return;
      s.OnStatus = nullptr;  // the closure that runs is gone with it
      *seen = status;        // and its captures are still used
      sock.reset();
    };
    TSockClient* raw = sock.get();
    try {
      raw->Connect();
      if (sock) raw->ReadLn();
    } catch (const ESockError&) {
    }
    PumpUntil([&] { return sock == nullptr; }, 2000);
    EXPECT_EQ(sock, nullptr) << when;
    done.Open();
    test::Knock(peer.Port());  // a peer the client never reached stops waiting for it
  }
}

TEST_F(SockReentryTest, ClientDestroyedByOnDisconnectAfterTheServerClosed) {
  LoopbackPeer peer([](PeerConn& c) { c.Send("221 bye\r\n"); });
  ConnectTo(peer);
  int disconnects = 0;
  sock->OnDisconnect = [&](TSockClient&) {
    ++disconnects;
    sock.reset();
  };
  ASSERT_TRUE(PumpUntil([&] { return sock == nullptr; }));
  EXPECT_EQ(disconnects, 1);
}

// A handler that drops the connection and connects again while a read or send of the old
// connection still waits further up the stack: that call ends with "Connection closed", the new
// server's greeting is not taken for the old reply, nothing of the old send reaches the new
// server, and a send waiting without time-out does not wait for ever.
TEST_F(SockReentryTest, HandlerThatConnectsAgainEndsTheOldConnectionsWaits) {
  for (const char* call : {"ReadLn", "Writeln", "SendStream"}) {
    SCOPED_TRACE(call);
    sock = std::make_unique<TSockClient>();
    sock->SetHost("127.0.0.1");
    sock->SetTimeOut(0);
    Gate done;
    LoopbackPeer first([&](PeerConn& c) {
      c.Send("250-part");  // a data event, but no line: ReadLn keeps waiting
      done.Wait();
    });
    std::string wire;
    LoopbackPeer second([&](PeerConn& c) {
      c.Send("220 second\r\n");
      wire = c.RecvAll();
    });
    bool once = false;
    auto reconnect = [&](TSockClient& s) {
      if (once) return;
      once = true;
      s.Disconnect();
      s.SetPort(second.Port());
      s.Connect();
    };
    sock->OnDataReady = reconnect;
    sock->OnSendProgress = reconnect;
    QTimer::singleShot(3000, sock.get(),
                       [this] { sock->Cancel(); });  // keeps a failure from hanging
    sock->SetPort(first.Port());
    sock->Connect();
    TMemoryStream stream;
    stream.Write(std::string(1 << 20, 's').data(), 1 << 20);
    try {
      if (std::string(call) == "ReadLn") sock->ReadLn();
      if (std::string(call) == "Writeln") sock->Writeln(std::string(64 << 20, 'w'));
      if (std::string(call) == "SendStream") sock->SendStream(stream);
      ADD_FAILURE() << "returned";
    } catch (const EAbortError&) {
      ADD_FAILURE() << "waited on after the connection was replaced";
    } catch (const ESockError& e) {
      EXPECT_STREQ(e.what(), "Connection closed");
    }
    EXPECT_TRUE(once);
    ASSERT_TRUE(sock->Connected());
    EXPECT_EQ(sock->ReadLn(), "220 second\r\n");
    sock->Writeln("QUIT");
    sock->Disconnect();
    done.Open();
    ASSERT_TRUE(PumpUntil([&] { return second.Done(); }));
    EXPECT_TRUE(wire == "QUIT\r\n") << wire.size() << " bytes";
  }
}

// A progress handler that sends a stream or a line of its own while the first one goes out: the
// stream must neither end as if whole after its first chunk nor carry the line inside it.
TEST_F(SockReentryTest, SendsFromAProgressHandlerAreRefused) {
  const std::string data = RandomBytes(200000, 17);
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) { wire = c.RecvBytes(data.size() + 1); });
  TMemoryStream stream, other;
  stream.Write(data.data(), data.size());
  other.Write("other", 5);
  std::vector<std::string> refusals;
  sock->OnSendProgress = [&](TSockClient& s) {
    if (!refusals.empty()) return;
    for (int call = 0; call < 2; ++call) {
      try {
        call == 0 ? s.SendStream(other) : s.Writeln("NOOP");
        refusals.push_back("accepted");
      } catch (const ESockError& e) {
        refusals.push_back(e.what());
      }
    }
  };
  ConnectTo(peer);
  ASSERT_NO_THROW(sock->SendStream(stream));
  EXPECT_EQ(refusals,
            (std::vector<std::string>{"Already sending a stream", "Already sending a stream"}));
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(data.size()));
  sock->Disconnect();
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_TRUE(wire == data) << wire.size() << " bytes";
}

}  // namespace
}  // namespace tavrin::net
