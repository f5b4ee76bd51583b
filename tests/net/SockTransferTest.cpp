// The socket client moving bytes against scripted loopback peers: line framing across pieces,
// the data event on close, the read-more request, exact bytes of lines and streams, progress,
// time-outs, Cancel and failures while sending.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QTimer>
#include <cstring>
#include <memory>
#include <random>
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

// A stream of `size` zero bytes that holds no memory; it fails after `failAt` bytes if set.
class GeneratedStream : public platform::TStream {
 public:
  explicit GeneratedStream(std::int64_t size, std::int64_t failAt = -1)
      : size_(size), failAt_(failAt) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    if (failAt_ >= 0 && pos_ + static_cast<std::int64_t>(count) > failAt_)
      throw platform::TStreamError("Cannot read file attachment.bin: Input/output error");
    std::size_t n = static_cast<std::size_t>(
        std::min<std::int64_t>(count, std::max<std::int64_t>(0, size_ - pos_)));
    std::memset(buffer, 0, n);
    pos_ += static_cast<std::int64_t>(n);
    return n;
  }
  void Write(const void*, std::size_t) override { throw platform::TStreamError("read only"); }
  std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override {
    pos_ = (origin == platform::SeekOrigin::Begin ? 0
            : origin == platform::SeekOrigin::End ? size_
                                                  : pos_) +
           offset;
    return pos_;
  }
  std::int64_t Size() override { return size_; }
  void SetSize(std::int64_t) override {}

 private:
  std::int64_t size_, failAt_, pos_ = 0;
};

class SockTransferTest : public test::LoopbackClientTest {
 protected:
  void SetUp() override {
    LoopbackClientTest::SetUp();
    sock->OnDisconnect = [this](TSockClient&) { ++disconnects; };
  }
  // The reply handler of the send dialogue: one ReadLn per data event.
  void ReadOneLinePerEvent() {
    sock->OnDataReady = [this](TSockClient& s) {
      ++events;
      try {
        lines.push_back(s.ReadLn());
      } catch (const ESockError& e) {
        errors.push_back(e.what());
        throw;
      }
    };
  }

  int events = 0, disconnects = 0;
  std::vector<std::string> lines, errors;
};

// ---- receiving and line framing

TEST_F(SockTransferTest, ReplySplitInTwoIsReturnedWholeByTheNestedRead) {
  Gate firstPieceSeen, lineRead, secondLineRead;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 he");
    firstPieceSeen.Wait();
    c.Send("llo\r\n");
    lineRead.Wait();
    c.Send("250 next\r\n");
    secondLineRead.Wait();
  });
  sock->OnDataReady = [&](TSockClient& s) {
    if (++events == 1) firstPieceSeen.Open();
    try {
      lines.push_back(s.ReadLn());
      (lines.size() == 1 ? lineRead : secondLineRead).Open();
    } catch (const ESockError& e) {
      errors.push_back(e.what());
    }
  };
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return disconnects == 1 && errors.size() >= 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"220 hello\r\n", "250 next\r\n"}));
  // The first call never got a line of its own; it ends when the server closes.
  EXPECT_EQ(errors.front(), "Connection closed");
}

TEST_F(SockTransferTest, RepliesSplitAtEveryByteReadTheSame) {
  const std::string reply = "250-first\r\n250 last\r\n";
  const std::size_t splits = reply.size() - 1;
  std::vector<Gate> firstPieceSeen(splits), linesRead(splits);
  LoopbackPeer peer([&](PeerConn& c) {
    for (std::size_t k = 1; k <= splits; ++k) {
      c.Send(reply.substr(0, k));
      if (!firstPieceSeen[k - 1].Wait()) return;
      c.Send(reply.substr(k));
      if (!linesRead[k - 1].Wait()) return;
    }
  });
  sock->OnDataReady = [&](TSockClient&) { ++events; };
  ConnectTo(peer);
  for (std::size_t k = 1; k <= splits; ++k) {
    int before = events;  // events only move while the loop is pumped
    ASSERT_TRUE(PumpUntil([&] { return events > before; })) << k;
    firstPieceSeen[k - 1].Open();
    EXPECT_EQ(sock->ReadLn(), "250-first\r\n") << "split at " << k;
    EXPECT_EQ(sock->ReadLn(), "250 last\r\n") << "split at " << k;
    EXPECT_FALSE(sock->LineAvailable());
    linesRead[k - 1].Open();
  }
}

TEST_F(SockTransferTest, TwoLinesInOnePieceLeaveTheSecondBuffered) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("250-first\r\n250 second\n");
    done.Wait();
  });
  ReadOneLinePerEvent();
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  EXPECT_EQ(lines, std::vector<std::string>{"250-first\r\n"});
  EXPECT_TRUE(sock->LineAvailable());
  EXPECT_EQ(sock->ReadLn(), "250 second\n");  // a bare LF ends a line too
  EXPECT_FALSE(sock->LineAvailable());
  done.Open();
}

TEST_F(SockTransferTest, ServerCloseRaisesADataEventForTheEmptyReceive) {
  LoopbackPeer peer([](PeerConn&) {});
  ReadOneLinePerEvent();
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return disconnects == 1; }));
  EXPECT_EQ(events, 1);
  EXPECT_EQ(errors, std::vector<std::string>{"Connection closed"});
  EXPECT_FALSE(sock->Connected());
}

TEST_F(SockTransferTest, HandlerMayDisconnectAfterTheLastReply) {
  Gate done;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("221 closing\r\n");
    done.Wait();
  });
  sock->OnDataReady = [&](TSockClient& s) {
    lines.push_back(s.ReadLn());
    s.Disconnect();
  };
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return disconnects == 1; }));
  EXPECT_EQ(lines, std::vector<std::string>{"221 closing\r\n"});
  EXPECT_FALSE(sock->Connected());
  done.Open();
  LoopbackPeer next([](PeerConn& c) { c.Send("220 again\r\n"); });
  ConnectTo(next);
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines.back(), "220 again\r\n");
}

TEST_F(SockTransferTest, ServerClosingMidLineEndsTheReadWithAnError) {
  LoopbackPeer peer([](PeerConn& c) { c.Send("250 unfinish"); });
  ConnectTo(peer);
  try {
    sock->ReadLn();
    FAIL() << "no line was complete";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Connection closed");
  }
  EXPECT_FALSE(sock->LineAvailable());
}

TEST_F(SockTransferTest, ReadTimesOutWhenNothingArrives) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });
  ConnectTo(peer);
  sock->SetTimeOut(50);
  EXPECT_THROW(
      {
        try {
          sock->ReadLn();
        } catch (const ESockError& e) {
          EXPECT_STREQ(e.what(), "Socket read timed out");
          throw;
        }
      },
      ESockError);
  done.Open();
}

TEST_F(SockTransferTest, ReadBeforeAnyConnectionFailsAtOnce) {
  EXPECT_THROW(sock->ReadLn(), ESockError);
}

TEST_F(SockTransferTest, StaleLinesOfAnEarlierConnectionAreNotReadAfterReconnect) {
  {
    LoopbackPeer old([](PeerConn& c) { c.Send("221 bye\r\n"); });
    ConnectTo(old);
    ASSERT_TRUE(PumpUntil([&] { return disconnects == 1; }));
  }
  ASSERT_TRUE(sock->LineAvailable());
  Gate done;
  LoopbackPeer fresh([&](PeerConn& c) {
    c.Send("220 hi\r\n");
    done.Wait();
  });
  ConnectTo(fresh);
  EXPECT_EQ(sock->ReadLn(), "220 hi\r\n");
  done.Open();
}

// A receive that fills a whole chunk asks for a further read at once, without a new read
// notification; that read finds nothing, so it raises no data event.
TEST_F(SockTransferTest, FullChunkAsksForAnotherRead) {
  for (std::size_t size : {std::size_t{16382}, std::size_t{16383}}) {
    SetUp();
    events = 0;
    int reads = 0;
    Gate done;
    LoopbackPeer peer([&](PeerConn& c) {
      c.Send(std::string(size, 'x'));
      done.Wait();
    });
    sock->SetReportLevel(8);
    sock->OnStatus = [&](TSockClient&, const std::string& s) { reads += s == "ReadToStream"; };
    sock->OnDataReady = [&](TSockClient&) { ++events; };
    ConnectTo(peer);
    ASSERT_TRUE(PumpUntil([&] { return events > 0; }));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(events, 1) << size;
    EXPECT_EQ(reads, size == 16383 ? 2 : 1) << size;
    done.Open();
  }
}

// ---- sending lines and buffers

TEST_F(SockTransferTest, LinesGoOutExactlyWithCrLf) {
  std::string wire;
  const std::string longLine(20000, 'x');
  LoopbackPeer peer([&](PeerConn& c) { wire = c.RecvBytes(6 + 2 + 4 + longLine.size() + 2 + 3); });
  ConnectTo(peer);
  sock->Writeln("HELO");
  sock->Write("AB");
  sock->Writeln(std::string("CD\0EF", 5));  // cut at the zero, line end kept
  sock->Writeln(longLine);                  // longer than one chunk, sent whole
  sock->SendBuffer("end\0ignored", 0);      // length 0: up to the first zero byte
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_EQ(wire, "HELO\r\nABCD\r\n" + longLine + "\r\nend");
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(wire.size()));
}

TEST_F(SockTransferTest, EmptyTextSendsNothingAndReturns) {
  sock->Write("");
  sock->Write(std::string("\0x", 2));
  sock->SendBuffer("", 0);
  EXPECT_EQ(sock->BytesWritten(), 0);
}

TEST_F(SockTransferTest, SendingWithoutAConnectionRaisesTheSocketError) {
  try {
    sock->Writeln("QUIT");
    FAIL() << "sent without a connection";
  } catch (const EAbortError&) {
    FAIL() << "not an abort";
  } catch (const ESockError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 3), "100") << e.what();
  }
  TMemoryStream stream;
  stream.Write("data", 4);
  EXPECT_THROW(sock->SendStream(stream), ESockError);
}

// ---- sending streams
// A peer that reads in small bites makes the socket refuse and split sends at many points;
// what arrives is still every byte once, in order, lines and stream alike.
TEST_F(SockTransferTest, SlowReaderGetsEveryByteInOrder) {
  std::mt19937 rng(99);
  std::string data(3 << 20, '\0');
  for (char& ch : data) ch = static_cast<char>(rng());
  const std::string longLine(200000, 'L');
  const std::string expected = "MAIL FROM:<a@b>\r\n" + data + longLine + "\r\n.\r\n";
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    std::size_t bite = 1;
    while (wire.size() < expected.size()) {
      std::string got = c.RecvBytes(std::min(bite, expected.size() - wire.size()));
      if (got.empty()) break;
      wire += got;
      bite = bite * 7 % 65521 + 1;
    }
  });
  TMemoryStream stream;
  stream.Write(data.data(), data.size());
  ConnectTo(peer);
  sock->Writeln("MAIL FROM:<a@b>");
  sock->SendStream(stream);
  sock->Writeln(longLine);
  sock->Writeln(".");
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }, 20000));
  EXPECT_EQ(wire.size(), expected.size());
  EXPECT_TRUE(wire == expected);
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(data.size() + longLine.size() + 5));
}

// Megabytes written in one piece go out a large send at a time: a peer that reads in bites of
// every size still gets every byte once, in order, and one that resets part-way ends the write
// with an error rather than a wait.
TEST_F(SockTransferTest, MegabytesInOneWriteArriveOnceOrFailOnAReset) {
  std::string data = test::RandomBytes(5 << 20, 5);
  for (char& ch : data) ch = ch == '\0' ? 'z' : ch;  // a text ends at its first zero
  std::string wire;
  {
    LoopbackPeer peer([&](PeerConn& c) {
      std::size_t bite = 1;
      while (wire.size() < data.size()) {
        std::string got = c.RecvBytes(std::min(bite, data.size() - wire.size()));
        if (got.empty()) break;
        wire += got;
        bite = bite * 13 % 300007 + 1;
      }
    });
    ConnectTo(peer);
    sock->Write(data);
    ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }, 20000));
    EXPECT_EQ(wire.size(), data.size());
    EXPECT_TRUE(wire == data);
  }
  sock->Disconnect();
  LoopbackPeer resetting([](PeerConn& c) {
    c.RecvBytes(1500000);
    struct linger reset {
      1, 0
    };
    ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  });
  ConnectTo(resetting);
  const std::string more = data + data + data + data;  // more than the kernel buffers hold
  EXPECT_THROW(sock->Write(more), ESockError);
  EXPECT_FALSE(sock->Connected());
}

TEST_F(SockTransferTest, LineLongerThanEveryBufferIsReadWhole) {
  const std::string longLine = std::string(100000, 'x') + "\r\n";
  LoopbackPeer peer([&](PeerConn& c) { c.Send(longLine + "250 ok\r\n"); });
  ConnectTo(peer);
  EXPECT_TRUE(sock->ReadLn() == longLine);
  EXPECT_EQ(sock->ReadLn(), "250 ok\r\n");
}

TEST_F(SockTransferTest, StreamGoesOutChunkByChunkWithProgress) {
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) { wire = c.RecvBytes(100000 + 3); });
  TMemoryStream stream;
  std::mt19937 rng(7);
  std::string data(100000, '\0');
  for (char& ch : data) ch = static_cast<char>(rng());
  stream.Write(data.data(), data.size());  // left at its end: SendStream starts from 0 anyway
  std::vector<std::int64_t> progress;
  sock->OnSendProgress = [&](TSockClient& s) {
    EXPECT_EQ(s.StreamSize(), 100000);
    progress.push_back(s.BytesWritten());
  };
  ConnectTo(peer);
  sock->SendStream(stream);
  EXPECT_GE(progress.size(), 7u);
  EXPECT_EQ(progress.back(), 100000);
  EXPECT_EQ(sock->BytesWritten(), sock->StreamSize());
  std::size_t events = progress.size();
  sock->Writeln("x");  // lines keep adding to the count, without progress events
  EXPECT_EQ(sock->BytesWritten(), 100003);
  EXPECT_EQ(progress.size(), events);
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_EQ(wire, data + "x\r\n");
}

TEST_F(SockTransferTest, EmptyStreamReturnsAtOnce) {
  TMemoryStream empty;
  int progress = 0;
  sock->OnSendProgress = [&](TSockClient&) { ++progress; };
  sock->SendStream(empty);
  EXPECT_EQ(sock->StreamSize(), 0);
  EXPECT_EQ(progress, 0);
}

TEST_F(SockTransferTest, StreamSendTimesOutWhenThePeerStopsReading) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });
  ConnectTo(peer);
  sock->SetTimeOut(200);
  GeneratedStream huge(std::int64_t{1} << 30);
  try {
    sock->SendStream(huge);
    FAIL() << "a gigabyte went into a peer that reads nothing";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Socket send timed out");
  }
  EXPECT_LT(sock->BytesWritten(), sock->StreamSize());
  done.Open();
}

TEST_F(SockTransferTest, PeerResetEndsAStreamSendWithAnError) {
  LoopbackPeer peer([](PeerConn& c) {
    c.RecvBytes(100000);
    struct linger reset {
      1, 0
    };
    ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  });
  ConnectTo(peer);
  GeneratedStream huge(std::int64_t{1} << 30);
  try {
    sock->SendStream(huge);
    FAIL() << "sent a gigabyte into a reset connection";
  } catch (const ESockError& e) {
    // the reset or the broken pipe, in the socket error texts
    const std::string text = e.what();
    EXPECT_TRUE(text.rfind("100", 0) == 0 && text.find(':') == 5) << text;
  }
}

TEST_F(SockTransferTest, StreamReadFailureReachesTheCaller) {
  LoopbackPeer peer([](PeerConn& c) { c.RecvAll(); });
  ConnectTo(peer);
  GeneratedStream failing(100000, 40000);
  EXPECT_THROW(sock->SendStream(failing), platform::TStreamError);
  sock->Disconnect();
}

// ---- Cancel

TEST_F(SockTransferTest, CancelAbortsReadsAndSends) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });
  ConnectTo(peer);
  QTimer::singleShot(20, [this] { sock->Cancel(); });
  try {
    sock->ReadLn();
    FAIL() << "read not aborted";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
  EXPECT_TRUE(sock->Canceled());  // a read leaves it set
  EXPECT_THROW(sock->ReadLn(), EAbortError);

  sock->Writeln("ignored");  // a buffer send while cancelled does nothing
  EXPECT_EQ(sock->BytesWritten(), 0);
  EXPECT_TRUE(sock->Canceled());

  TMemoryStream stream;
  stream.Write("data", 4);
  try {
    sock->SendStream(stream);
    FAIL() << "stream not aborted";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket send aborted");
  }
  EXPECT_FALSE(sock->Canceled());  // a send clears it
  done.Open();
}

TEST_F(SockTransferTest, CancelDuringAStreamSendAbortsIt) {
  Gate done;
  LoopbackPeer peer([&](PeerConn&) { done.Wait(); });
  ConnectTo(peer);
  sock->SetTimeOut(0);
  GeneratedStream huge(std::int64_t{1} << 30);
  QTimer::singleShot(50, [this] { sock->Cancel(); });
  EXPECT_THROW(sock->SendStream(huge), EAbortError);
  EXPECT_FALSE(sock->Canceled());
  done.Open();
}

}  // namespace
}  // namespace tavrin::net
