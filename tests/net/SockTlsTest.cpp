// The socket client over TLS against an OpenSSL server on loopback: the handshake and the
// certificate checks, failures during the handshake (each must drop the connection and raise
// no signal), plain bytes slipped in before it, records the read notifier cannot see, streams,
// a peer that stops reading, the close, and a handler that destroys the client.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "TlsPeer.h"
#include "net/SockClient.h"
#include "platform/Stream.h"

namespace tavrin::net {
namespace {

using test::Gate;
using test::LoopbackPeer;
using test::PeerConn;
using test::PumpUntil;
using test::TlsCertificates;
using test::TlsServer;

class SockTlsTest : public test::LoopbackClientTest {
 protected:
  void SetUp() override {
    LoopbackClientTest::SetUp();
    sock->SetCaFile(TlsCertificates::Get().ca);
    sock->OnDisconnect = [this](TSockClient&) { ++disconnects; };
  }
  // The server's side of "STARTTLS": its go-ahead, then the handshake with `pem`.
  static bool GoAhead(PeerConn& c, TlsServer& tls, const std::string& extra = "") {
    if (c.RecvLine() != "STARTTLS\r\n") return false;
    c.Send("220 go ahead\r\n" + extra);
    return tls.Accept();
  }
  void AskForTls() {
    sock->Writeln("STARTTLS");
    EXPECT_EQ(sock->ReadLn(), "220 go ahead\r\n");
  }
  int disconnects = 0;
};

// ---- the handshake

class SockTlsNameTest : public SockTlsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SockTlsNameTest, LinesGoBothWaysOnceTheCertificateMatches) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.Send("250 secured\r\n");
    tls.Send(tls.RecvLine() == "EHLO me\r\n" ? "250 hello\r\n" : "500 garbled\r\n");
    tls.ReadsCloseNotify();
  });
  ConnectTo(peer);
  AskForTls();
  EXPECT_FALSE(sock->Secure());
  sock->StartTLS(GetParam());
  EXPECT_TRUE(sock->Secure());
  EXPECT_EQ(sock->ReadLn(), "250 secured\r\n");
  sock->Writeln("EHLO me");
  EXPECT_EQ(sock->ReadLn(), "250 hello\r\n");
  sock->Disconnect();
  EXPECT_FALSE(sock->Secure());
}

INSTANTIATE_TEST_SUITE_P(HostNameAndAddress, SockTlsNameTest, ::testing::Values("localhost", "127.0.0.1"));

// The send dialogue runs from the data event: the go-ahead's handler starts TLS and sends the
// next command while the event is still running.
TEST_F(SockTlsTest, DataHandlerStartsTlsAndGoesOn) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    c.Send("220 ready\r\n");
    if (!GoAhead(c, tls)) return;
    tls.Send(tls.RecvLine() == "EHLO me\r\n" ? "250 hello\r\n" : "500 garbled\r\n");
    tls.RecvLine();
  });
  std::vector<std::string> lines;
  sock->OnDataReady = [&](TSockClient& s) {
    while (s.LineAvailable()) {
      lines.push_back(s.ReadLn());
      if (lines.back() == "220 ready\r\n") s.Writeln("STARTTLS");
      if (lines.back() != "220 go ahead\r\n") continue;
      s.StartTLS("localhost");
      s.Writeln("EHLO me");
    }
  };
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
  EXPECT_EQ(lines.back(), "250 hello\r\n");
  EXPECT_TRUE(sock->Secure());
  sock->Writeln("QUIT");
}

// ---- failures during the handshake: each drops the connection

struct CertificateCase {
  const char* name;
  const char* pem;  // which of the test certificates the server shows
  const char* serverName;
  const char* text;
};

class SockTlsCertificateTest : public SockTlsTest, public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(SockTlsCertificateTest, UnverifiedCertificateIsRefusedWithItsReason) {
  const auto& certs = TlsCertificates::Get();
  const std::string pem = std::string(GetParam().pem) == "other" ? certs.otherHost
                        : std::string(GetParam().pem) == "self" ? certs.selfSigned : certs.localhost;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, pem);
    GoAhead(c, tls);
  });
  ConnectTo(peer);
  AskForTls();
  try {
    sock->StartTLS(GetParam().serverName);
    ADD_FAILURE() << "the handshake succeeded";
  } catch (const ECertificateError& e) {
    EXPECT_EQ(e.what(), std::string("The server's certificate could not be verified: ") + GetParam().text);
  }
  EXPECT_FALSE(sock->Connected());
  EXPECT_FALSE(sock->Secure());
  EXPECT_EQ(disconnects, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, SockTlsCertificateTest,
    ::testing::Values(CertificateCase{"OtherHost", "other", "localhost", "hostname mismatch"},
                      CertificateCase{"SelfSigned", "self", "localhost", "self-signed certificate"},
                      CertificateCase{"OtherAddress", "localhost", "::1", "IP address mismatch"},
                      CertificateCase{"NameNotAddress", "other", "127.0.0.1", "IP address mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SockTlsTest, ServerClosingDuringTheHandshakeIsATlsError) {
  LoopbackPeer peer([](PeerConn& c) {
    c.RecvLine();
    c.Send("220 go ahead\r\n");
    c.RecvBytes(5);  // the ClientHello's record header
    c.Close();
  });
  ConnectTo(peer);
  AskForTls();
  EXPECT_THROW(
      {
        try {
          sock->StartTLS("localhost");
        } catch (const ECertificateError&) {
          ADD_FAILURE() << "not a certificate failure";
        } catch (const ETlsError& e) {
          EXPECT_EQ(std::string(e.what()),
                    "The encrypted connection could not be made: the server closed the connection");
          throw;
        }
      },
      ETlsError);
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
}

// A server that takes the connection and never answers the ClientHello.
TEST_F(SockTlsTest, SilentServerEndsTheHandshakeByTimeOutOrCancel) {
  for (bool cancel : {false, true}) {
    Gate done;
    LoopbackPeer peer([&](PeerConn& c) {
      c.RecvLine();
      c.Send("220 go ahead\r\n");
      done.Wait(10000);
    });
    sock->SetTimeOut(cancel ? 0 : 300);
    ConnectTo(peer);
    AskForTls();
    if (cancel) QTimer::singleShot(100, sock.get(), [this] { sock->Cancel(); });
    try {
      sock->StartTLS("localhost");
      ADD_FAILURE() << "the handshake succeeded";
    } catch (const EAbortError&) {
      EXPECT_TRUE(cancel);
    } catch (const ESockError& e) {
      EXPECT_FALSE(cancel);
      EXPECT_EQ(std::string(e.what()), "Socket read timed out");
    }
    EXPECT_FALSE(sock->Connected());
    done.Open();
  }
  EXPECT_EQ(disconnects, 2);
}

// ---- what the client reads once encrypted

// A man in the middle appends plain replies to the go-ahead: some arrive with it, some later but
// before the handshake. None of them may ever be read as the server's answer.
TEST_F(SockTlsTest, PlainBytesBeforeTheHandshakeAreNeverRead) {
  Gate goAheadRead, injected;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    c.RecvLine();
    c.Send("220 go ahead\r\n250 injected with the go-ahead\r\n");
    goAheadRead.Wait();
    c.Send("250 injected before the handshake\r\n");
    injected.Open();
    if (!tls.Accept()) return;
    tls.Send("250 real\r\n");
  });
  ConnectTo(peer);
  AskForTls();
  goAheadRead.Open();
  ASSERT_TRUE(injected.Wait());
  ::usleep(50000);  // the injected line is in the socket, unread
  sock->StartTLS("localhost");
  EXPECT_EQ(sock->ReadLn(), "250 real\r\n");
}

// Lines that sit decrypted inside OpenSSL raise no read notification: two lines in one record,
// and three records that all came before the client looked.
TEST_F(SockTlsTest, EveryLineOfRecordsReceivedTogetherIsRead) {
  Gate sent;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.Send("250-one\r\n250 two\r\n");
    tls.Send("250-three\r\n");
    tls.Send("250-four\r\n");
    tls.Send("250 five\r\n");
    sent.Open();
    tls.RecvLine();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  ASSERT_TRUE(sent.Wait());
  ::usleep(50000);
  for (const char* line : {"250-one\r\n", "250 two\r\n", "250-three\r\n", "250-four\r\n", "250 five\r\n"})
    EXPECT_EQ(sock->ReadLn(), line);
  sock->Writeln("QUIT");
}

// Reading pauses once the receive buffer holds a line limit; records still inside OpenSSL then
// are read when ReadLn makes room, though the socket has nothing more to report.
TEST_F(SockTlsTest, RecordsHeldWhileReadingPausedAreReadLater) {
  Gate sent;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    for (int i = 0; i < 100; ++i) tls.Send("250-line " + std::to_string(100 + i) + "\r\n");
    sent.Open();
    tls.RecvLine();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  sock->SetMaxLineLength(64);
  ASSERT_TRUE(sent.Wait());
  ::usleep(50000);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(sock->ReadLn(), "250-line " + std::to_string(100 + i) + "\r\n");
  sock->Writeln("QUIT");
}

// Bytes that are no TLS record, after the handshake, break the connection with a TLS error.
TEST_F(SockTlsTest, PlainBytesAfterTheHandshakeEndTheReadWithATlsError) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    c.Send("250 not encrypted\r\n");
    c.RecvAll();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  EXPECT_THROW(sock->ReadLn(), ETlsError);
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
}

// A server that speaks TLS from the first byte: the greeting comes once encrypted.
TEST_F(SockTlsTest, TlsFromTheFirstByteReadsTheGreeting) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!tls.Accept()) return;
    tls.Send("220 secure greeting\r\n");
    tls.RecvLine();
  });
  std::vector<std::string> lines;
  sock->OnDataReady = [&](TSockClient& s) {
    while (s.LineAvailable()) lines.push_back(s.ReadLn());
  };
  ConnectTo(peer);
  sock->StartTLS("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  EXPECT_EQ(lines, std::vector<std::string>{"220 secure greeting\r\n"});
  sock->Writeln("QUIT");
}

// A TLS 1.3 key update the server asks for is answered within the client's next write.
TEST_F(SockTlsTest, KeyUpdateFromTheServerKeepsBothDirectionsWorking) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    SSL_key_update(tls.Ssl(), SSL_KEY_UPDATE_REQUESTED);
    tls.Send("250 rekeyed\r\n");
    tls.Send(tls.RecvLine() == "NOOP\r\n" ? "250 fine\r\n" : "500 garbled\r\n");
    tls.RecvLine();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  EXPECT_EQ(sock->ReadLn(), "250 rekeyed\r\n");
  sock->Writeln("NOOP");
  EXPECT_EQ(sock->ReadLn(), "250 fine\r\n");
  sock->Writeln("QUIT");
}

// ---- streams

TEST_F(SockTlsTest, LargeStreamArrivesWholeWithProgress) {
  const std::string data = test::RandomBytes(20 << 20, 7);
  std::string received;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    received = tls.RecvBytes(data.size());
    tls.Send("250 queued\r\n");
  });
  int progress = 0;
  sock->OnSendProgress = [&](TSockClient&) { ++progress; };
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  platform::TMemoryStream stream;
  stream.Write(data.data(), data.size());
  sock->SendStream(stream);
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(data.size()));
  EXPECT_GT(progress, 100);
  EXPECT_EQ(sock->ReadLn(), "250 queued\r\n");
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes, not the same";
}

// The server stops reading after 1 MiB: the send ends by the time-out, without spinning while
// the socket is full, and drops the connection.
TEST_F(SockTlsTest, StreamToAServerThatStopsReadingEndsByTimeOut) {
  Gate finished;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.RecvBytes(1 << 20);
    finished.Wait(15000);
  });
  int writes = 0;
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  sock->SetTimeOut(1000);
  sock->SetReportLevel(8);
  sock->OnStatus = [&](TSockClient&, const std::string& s) { writes += s == "WriteFromStream"; };
  platform::TMemoryStream stream;
  stream.Write(std::string(20 << 20, 'x').data(), 20 << 20);
  try {
    sock->SendStream(stream);
    ADD_FAILURE() << "the stream went out";
  } catch (const ESockError& e) {
    EXPECT_EQ(std::string(e.what()), "Socket send timed out");
  }
  finished.Open();
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_LT(writes, 3000) << "the write handler spun while the socket was full";
}

// ---- the close

TEST_F(SockTlsTest, DisconnectSendsCloseNotifyAndTheNextConnectionIsPlain) {
  bool closeNotify = false;
  std::string plainLine;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    closeNotify = tls.ReadsCloseNotify();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  sock->Disconnect();
  LoopbackPeer plain([&](PeerConn& c) { plainLine = c.RecvLine(); });
  ConnectTo(plain);
  EXPECT_FALSE(sock->Secure());
  sock->Writeln("HELO plain");
  sock->Disconnect();
  ASSERT_TRUE(PumpUntil([&] { return peer.Done() && plain.Done(); }));
  EXPECT_TRUE(closeNotify);
  EXPECT_EQ(plainLine, "HELO plain\r\n");
}

TEST_F(SockTlsTest, ServerClosingWithoutCloseNotifyIsAPlainClose) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.Send("221 bye\r\n");
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  EXPECT_EQ(sock->ReadLn(), "221 bye\r\n");
  try {
    sock->ReadLn();
    ADD_FAILURE() << "a line after the close";
  } catch (const ETlsError& e) {
    ADD_FAILURE() << e.what();
  } catch (const ESockError& e) {
    EXPECT_EQ(std::string(e.what()), "Connection closed");
  }
}

// The server resets the connection in the middle of a stream. A send after the reset fails, with
// EPIPE once the reset was seen, which would end the run by a signal without MSG_NOSIGNAL.
TEST_F(SockTlsTest, ServerResettingDuringAStreamEndsItWithoutASignal) {
  for (int round = 0; round < 3; ++round) {
    LoopbackPeer peer([&](PeerConn& c) {
      TlsServer tls(c, TlsCertificates::Get().localhost);
      if (!GoAhead(c, tls)) return;
      tls.RecvBytes(256 << 10);
      linger abort{1, 0};
      ::setsockopt(c.Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    });
    ConnectTo(peer);
    AskForTls();
    sock->StartTLS("localhost");
    platform::TMemoryStream stream;
    stream.Write(std::string(8 << 20, 'x').data(), 8 << 20);
    EXPECT_THROW(sock->SendStream(stream), ESockError);
    EXPECT_FALSE(sock->Connected());
  }
  EXPECT_EQ(disconnects, 3);
}

// ---- handlers

TEST_F(SockTlsTest, ClientDestroyedByADataHandlerEndsTheWaitingRead) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.RecvLine();
    tls.Send("250 last words\r\n");
    tls.RecvLine();
  });
  ConnectTo(peer);
  AskForTls();
  sock->StartTLS("localhost");
  TSockClient* client = sock.get();
  sock->OnDataReady = [this](TSockClient&) { sock.reset(); };
  // The reply may come while the line still goes out, or during the read.
  EXPECT_THROW(
      {
        client->Writeln("GO");
        client->ReadLn();
      },
      EAbortError);
  EXPECT_EQ(sock, nullptr);
}

}  // namespace
}  // namespace tavrin::net
