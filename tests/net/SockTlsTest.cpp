// The socket client over TLS against an OpenSSL server on loopback: the dialogue going on
// encrypted from inside the data event, handshake failures (each drops the connection), plain
// bytes slipped in before the handshake, records the read notifier cannot see, a key update,
// streams, how the server ends the connection, and a handler that destroys the client.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <malloc.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <QTimer>
#include <functional>
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

const char kCannotMake[] = "The encrypted connection could not be made: ";

// Bytes the test thread's allocations hold (not what the allocator keeps back: the sanitizer
// build keeps freed memory a while).
long HeapBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 heap = mallinfo2();
  return static_cast<long>(heap.uordblks + heap.hblkhd);  // large blocks are mapped apart
#endif
}

// What `call` raised, as "<kind>: <text>"; "" when it returned.
std::string Raised(const std::function<void()>& call) {
  try {
    call();
    return "";
  } catch (const ECertificateError& e) {
    return std::string("certificate: ") + e.what();
  } catch (const ETlsError& e) {
    return std::string("tls: ") + e.what();
  } catch (const EAbortError& e) {
    return std::string("abort: ") + e.what();
  } catch (const ESockError& e) {
    return std::string("sock: ") + e.what();
  }
}

class SockTlsTest : public test::LoopbackClientTest {
 protected:
  void SetUp() override {
    LoopbackClientTest::SetUp();
    sock->SetCaFile(TlsCertificates::Get().ca);
    sock->OnDisconnect = [this](TSockClient&) { ++disconnects; };
  }
  // The server's side of "STARTTLS": its go-ahead, then the handshake.
  static bool GoAhead(PeerConn& c, TlsServer& tls) {
    if (c.RecvLine() != "STARTTLS\r\n") return false;
    c.Send("220 go ahead\r\n");
    return tls.Accept();
  }
  void StartTls(const char* serverName = "localhost") {
    sock->Writeln("STARTTLS");
    ASSERT_EQ(sock->ReadLn(), "220 go ahead\r\n");
    sock->StartTLS(serverName);
  }
  int disconnects = 0;
};

// ---- the dialogue

class SockTlsNameTest : public SockTlsTest, public ::testing::WithParamInterface<const char*> {};

// The send dialogue runs from the data event: the go-ahead's handler starts TLS and sends the
// next command while the event still runs. Disconnect then says close_notify, and the next
// connection is plain.
TEST_P(SockTlsNameTest, DataHandlerStartsTlsAndTheDialogueGoesOnEncrypted) {
  bool closeNotify = false;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    c.Send("220 ready\r\n");
    if (!GoAhead(c, tls)) return;
    tls.Send(tls.RecvLine() == "EHLO me\r\n" ? "250 hello\r\n" : "500 garbled\r\n");
    closeNotify = tls.ReadsCloseNotify();
  });
  std::vector<std::string> lines;
  sock->OnDataReady = [&](TSockClient& s) {
    while (s.LineAvailable()) {
      lines.push_back(s.ReadLn());
      if (lines.back() == "220 ready\r\n") s.Writeln("STARTTLS");
      if (lines.back() != "220 go ahead\r\n") continue;
      s.StartTLS(GetParam());
      s.Writeln("EHLO me");
    }
  };
  ConnectTo(peer);
  ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
  EXPECT_EQ(lines,
            (std::vector<std::string>{"220 ready\r\n", "220 go ahead\r\n", "250 hello\r\n"}));
  EXPECT_TRUE(sock->Secure());
  sock->Disconnect();
  ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
  EXPECT_TRUE(closeNotify);

  std::string plainLine;
  LoopbackPeer plain([&](PeerConn& c) { plainLine = c.RecvLine(); });
  sock->OnDataReady = nullptr;
  ConnectTo(plain);
  EXPECT_FALSE(sock->Secure());
  sock->Writeln("HELO plain");
  ASSERT_TRUE(PumpUntil([&] { return plain.Done(); }));
  EXPECT_EQ(plainLine, "HELO plain\r\n");
}

INSTANTIATE_TEST_SUITE_P(HostNameAndAddress, SockTlsNameTest,
                         ::testing::Values("localhost", "127.0.0.1"));

// ---- handshake failures: each drops the connection

struct FailureCase {
  const char* name;
  const char* server;  // the certificate it shows, or how it fails: "close", "silent"
  const char* serverName;
  bool cancel;  // Cancel instead of the time-out ends a wait
  std::string raised;
};

class SockTlsFailureTest : public SockTlsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SockTlsFailureTest, HandshakeFailureIsReportedAndDropsTheConnection) {
  const FailureCase& f = GetParam();
  const auto& certs = TlsCertificates::Get();
  const std::string server = f.server;
  Gate finished;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, server == "other"  ? certs.otherHost
                     : server == "self" ? certs.selfSigned
                     : server == "cn"   ? certs.commonNameOnly
                                        : certs.localhost);
    if (c.RecvLine() != "STARTTLS\r\n") return;
    c.Send("220 go ahead\r\n");
    if (server == "close")
      c.RecvBytes(5);  // the ClientHello's record header, then the connection closes
    else if (server == "silent")
      finished.Wait(10000);
    else
      tls.Accept();
  });
  sock->SetTimeOut(f.cancel ? 0 : 500);
  ConnectTo(peer);
  if (f.cancel) QTimer::singleShot(100, sock.get(), [this] { sock->Cancel(); });
  EXPECT_EQ(Raised([&] { StartTls(f.serverName); }), f.raised);
  finished.Open();
  EXPECT_FALSE(sock->Connected());
  EXPECT_FALSE(sock->Secure());
  EXPECT_EQ(disconnects, 1);
}

const std::string kUnverified = "certificate: The server's certificate could not be verified: ";
INSTANTIATE_TEST_SUITE_P(
    Handshake, SockTlsFailureTest,
    ::testing::Values(
        FailureCase{"OtherHost", "other", "localhost", false, kUnverified + "hostname mismatch"},
        FailureCase{"SelfSigned", "self", "localhost", false,
                    kUnverified + "self-signed certificate"},
        FailureCase{"CommonNameOnly", "cn", "localhost", false, kUnverified + "hostname mismatch"},
        FailureCase{"OtherAddress", "localhost", "::1", false, kUnverified + "IP address mismatch"},
        FailureCase{"ServerCloses", "close", "localhost", false,
                    std::string("tls: ") + kCannotMake + "the server closed the connection"},
        FailureCase{"SilentServerTimesOut", "silent", "localhost", false,
                    "sock: Socket read timed out"},
        FailureCase{"SilentServerCanceled", "silent", "localhost", true,
                    "abort: Connection Canceled"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- what the client reads once encrypted

// A man in the middle appends plain replies to the go-ahead: one arrives with it, one later but
// before the handshake. Neither may ever be read as the server's answer.
TEST_F(SockTlsTest, PlainBytesBeforeTheHandshakeAreNeverRead) {
  Gate goAheadRead, injected;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    c.RecvLine();
    c.Send("220 go ahead\r\n250 injected with the go-ahead\r\n");
    goAheadRead.Wait();
    c.Send("250 injected before the handshake\r\n");
    injected.Open();
    if (tls.Accept()) tls.Send("250 real\r\n");
  });
  ConnectTo(peer);
  sock->Writeln("STARTTLS");
  EXPECT_EQ(sock->ReadLn(), "220 go ahead\r\n");
  goAheadRead.Open();
  ASSERT_TRUE(injected.Wait());
  ::usleep(50000);  // the second injected line waits in the socket
  sock->StartTLS("localhost");
  EXPECT_EQ(sock->ReadLn(), "250 real\r\n");
}

// Records that all arrived before the client looked, while reading pauses at the line limit:
// those held inside OpenSSL raise no read notification, yet every line is read.
TEST_F(SockTlsTest, RecordsHeldInsideOpenSslAreAllRead) {
  Gate sent;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.Send("250-two lines\r\n250-in one record\r\n");
    for (int i = 0; i < 100; ++i) tls.Send("250-line " + std::to_string(100 + i) + "\r\n");
    sent.Open();
    tls.RecvLine();
  });
  ConnectTo(peer);
  StartTls();
  sock->SetMaxLineLength(64);
  ASSERT_TRUE(sent.Wait());
  ::usleep(50000);
  EXPECT_EQ(sock->ReadLn(), "250-two lines\r\n");
  EXPECT_EQ(sock->ReadLn(), "250-in one record\r\n");
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(sock->ReadLn(), "250-line " + std::to_string(100 + i) + "\r\n");
  sock->Writeln("QUIT");
}

// A key update the server asks for is answered with the client's next write.
TEST_F(SockTlsTest, KeyUpdateFromTheServerKeepsBothDirectionsWorking) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    SSL_key_update(tls.Ssl(), SSL_KEY_UPDATE_REQUESTED);
    tls.Send("250 rekeyed\r\n");
    tls.Send(tls.RecvLine() == "NOOP\r\n" ? "250 fine\r\n" : "500 garbled\r\n");
  });
  ConnectTo(peer);
  StartTls();
  EXPECT_EQ(sock->ReadLn(), "250 rekeyed\r\n");
  sock->Writeln("NOOP");
  EXPECT_EQ(sock->ReadLn(), "250 fine\r\n");
}

// A server that reads nothing sends records of renegotiation requests, 4096 to a record, each
// answered with an alert: once the answers pile up unsent the client stops reading, so its
// memory stays bounded, and the connection stays.
TEST_F(SockTlsTest, AnswersTheServerDoesNotReadStopTheReading) {
  Gate finished;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    SSL_set_max_proto_version(tls.Ssl(), TLS1_2_VERSION);
    SSL_set_cipher_list(tls.Ssl(), "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256");
    if (!tls.Accept()) return;
    c.Send(tls.ForgeRecord(SSL3_RT_APPLICATION_DATA, "220 ready\r\n"));
    const std::string requests(16384, '\0');  // each: type 0 (hello request), length 0
    for (int i = 0; i < 2000 && !finished.Wait(0); ++i)
      c.Send(tls.ForgeRecord(SSL3_RT_HANDSHAKE, requests));
  });
  ConnectTo(peer);
  sock->StartTLS("localhost");
  EXPECT_EQ(sock->ReadLn(), "220 ready\r\n");
  const long before = HeapBytes();
  PumpUntil([] { return false; }, 3000);
  EXPECT_LT(HeapBytes() - before, 16 << 20) << "bytes more";
  EXPECT_TRUE(sock->Connected());
  finished.Open();
  sock.reset();
}

// TLS from the first byte. A close without close_notify after the last reply is a plain close;
// bytes that are no record break the connection with a TLS error.
TEST_F(SockTlsTest, TlsFromTheFirstByteAndHowTheServerEndsIt) {
  for (bool garbage : {false, true}) {
    LoopbackPeer peer([&](PeerConn& c) {
      TlsServer tls(c, TlsCertificates::Get().localhost);
      if (!tls.Accept()) return;
      tls.Send("220 secure greeting\r\n");
      if (garbage) c.Send("250 not encrypted\r\n");
    });
    ConnectTo(peer);
    sock->StartTLS("localhost");
    EXPECT_EQ(sock->ReadLn(), "220 secure greeting\r\n");
    const std::string raised = Raised([&] { sock->ReadLn(); });
    if (garbage)
      EXPECT_EQ(raised.rfind(std::string("tls: ") + kCannotMake, 0), 0u) << raised;
    else
      EXPECT_EQ(raised, "sock: Connection closed");
  }
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
  StartTls();
  platform::TMemoryStream stream;
  stream.Write(data.data(), data.size());
  sock->SendStream(stream);
  EXPECT_EQ(sock->BytesWritten(), static_cast<std::int64_t>(data.size()));
  EXPECT_GT(progress, 100);
  EXPECT_EQ(sock->ReadLn(), "250 queued\r\n");
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes, not the same";
}

// The server stops reading after 1 MiB: the time-out ends the send, without the write handler
// spinning while the socket is full, and drops the connection.
TEST_F(SockTlsTest, StreamToAServerThatStopsReadingEndsByTimeOut) {
  Gate finished;
  LoopbackPeer peer([&](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.RecvBytes(1 << 20);
    finished.Wait(15000);
  });
  ConnectTo(peer);
  StartTls();
  int writes = 0;
  sock->SetTimeOut(1000);
  sock->SetReportLevel(8);
  sock->OnStatus = [&](TSockClient&, const std::string& s) { writes += s == "WriteFromStream"; };
  platform::TMemoryStream stream;
  stream.Write(std::string(20 << 20, 'x').data(), 20 << 20);
  EXPECT_EQ(Raised([&] { sock->SendStream(stream); }), "sock: Socket send timed out");
  finished.Open();
  EXPECT_FALSE(sock->Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_LT(writes, 3000) << "the write handler spun while the socket was full";
}

// ---- handlers

// A progress handler that closes in the middle of a stream, by Disconnect or by destroying the
// client: no close_notify follows, so the server sees the stream cut off, not ended whole.
TEST_F(SockTlsTest, StreamClosedByAHandlerEndsWithoutCloseNotify) {
  for (bool destroy : {false, true}) {
    bool closeNotify = true;
    std::size_t received = 0;
    LoopbackPeer peer([&](PeerConn& c) {
      TlsServer tls(c, TlsCertificates::Get().localhost);
      if (!tls.Accept()) return;
      char buffer[65536];
      int n;
      while ((n = SSL_read(tls.Ssl(), buffer, sizeof buffer)) > 0)
        received += static_cast<std::size_t>(n);
      closeNotify = SSL_get_error(tls.Ssl(), n) == SSL_ERROR_ZERO_RETURN;
    });
    if (!sock) SetUp();
    ConnectTo(peer);
    sock->StartTLS("localhost");
    int progress = 0;
    sock->OnSendProgress = [&](TSockClient& s) {
      if (++progress != 5) return;
      if (destroy)
        sock.reset();
      else
        s.Disconnect();
    };
    TSockClient* client = sock.get();
    platform::TMemoryStream stream;
    stream.Write(std::string(8 << 20, 'x').data(), 8 << 20);
    EXPECT_NE(Raised([&] { client->SendStream(stream); }), "");
    ASSERT_TRUE(PumpUntil([&] { return peer.Done(); }));
    EXPECT_LT(received, std::size_t{8} << 20);
    EXPECT_FALSE(closeNotify) << (destroy ? "destroyed" : "disconnected") << " after " << received
                              << " bytes";
  }
}

TEST_F(SockTlsTest, ClientDestroyedByADataHandlerEndsTheWaitingCall) {
  LoopbackPeer peer([](PeerConn& c) {
    TlsServer tls(c, TlsCertificates::Get().localhost);
    if (!GoAhead(c, tls)) return;
    tls.RecvLine();
    tls.Send("250 last words\r\n");
    tls.RecvLine();
  });
  ConnectTo(peer);
  StartTls();
  TSockClient* client = sock.get();
  sock->OnDataReady = [this](TSockClient&) { sock.reset(); };
  // The reply may come while the line still goes out, or during the read.
  EXPECT_EQ(Raised([&] {
              client->Writeln("GO");
              client->ReadLn();
            }).rfind("abort: ", 0),
            0u);
  EXPECT_EQ(sock, nullptr);
}

}  // namespace
}  // namespace tavrin::net
