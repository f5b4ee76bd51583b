// The socket client over TLS against an OpenSSL server on loopback: the handshake and the
// certificate checks, failures during the handshake (each must drop the connection and raise
// no signal), plain bytes slipped in before it, records the read notifier cannot see, streams,
// a peer that stops reading, the close, and a handler that destroys the client.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

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

}  // namespace
}  // namespace tavrin::net
