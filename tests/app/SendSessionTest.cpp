// Opening the session with today's servers: "EHLO" and its extension list, STARTTLS and TLS from
// the first byte, sign-in with PLAIN and LOGIN, and the refusals and broken handshakes that end a
// send before the sender is named. Against the capture server with certificates from a test
// authority made for the run, and against a scripted peer where the exact bytes matter.
#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <set>

#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

const std::string kUser = "ann";
const std::string kPassword =
    "p4ss:w\xC3\xB6rd!";  // 11 bytes: every BASE64 tail length occurs below

std::string Base64(const std::string& bytes) {
  return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

class SessionTest : public SendTest {
 protected:
  void SetUp() override {
    SendTest::SetUp();
    dialogue->events.transcript = [this](const std::string& line) { shown.push_back(line); };
    MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}});
  }
  SendJob SignInJob() {
    SendJob job = Job();
    job.userName = kUser;
    job.password = kPassword;
    return job;
  }
  // Nothing the user or a log could see holds the password or a line that encodes it.
  void ExpectNoSecretIn(const std::vector<std::string>& texts) {
    for (const std::string& secret :
         {kPassword, Base64(kPassword), Base64('\0' + kUser + '\0' + kPassword)})
      for (const std::string& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << text;
  }
  std::vector<std::string> shown;  // the transcript events
};

// ---- what ends the send before the sender is named

TEST_F(SessionTest, AWrongPasswordNoMechanismNoStartTlsOrAnUnknownEhloEndsTheSendWithItsCause) {
  {
    SmtpServer server(root_ / "outbox", {"--auth-user", kUser, "--auth-password", "other"});
    Send(server.Port(), SignInJob());
    EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\nAUTH PLAIN refused\n");
  }
  {
    SmtpServer server(root_ / "outbox2", {"--auth-user", kUser, "--auth-password", kPassword,
                                          "--auth-mechanisms", "CRAM-MD5"});
    Send(server.Port(), SignInJob());
    EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\n");
  }
  {
    SmtpServer server(root_ / "outbox3", {"--reply=EHLO=502 5.5.2 Not here"});
    Send(server.Port(), SignInJob());
    EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\n");
  }
  {  // asked for encryption, the server offers none: nothing goes out in plain text
    SmtpServer server(root_ / "outbox4", {"--auth-user", kUser, "--auth-password", kPassword});
    SendJob job = SignInJob();
    job.security = Security::kStartTls;
    Send(server.Port(), job);
    EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\n");
  }
  EXPECT_EQ(failures, (std::vector<std::string>{
                          std::string(kSignInRefused) + "; the message has not been sent.",
                          "The server does not offer sign-in with a user name and password; the "
                          "message has not been sent.",
                          "The server does not offer sign-in with a user name and password; the "
                          "message has not been sent.",
                          "The server does not offer an encrypted connection (STARTTLS); the "
                          "message has not been sent."}));
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(ends, 4);
  EXPECT_EQ(kinds, (std::vector<FailureKind>{FailureKind::kSignInRefused, FailureKind::kNotOffered,
                                             FailureKind::kNotOffered, FailureKind::kNotOffered}));
  ExpectNoSecretIn(shown);
}

// ---- the greeting

// Every send greets with EHLO and the address literal; a server that does not know EHLO (500,
// 502, 504) gets HELO with the literal, another refusal ends the send. The status says what the
// send waits for.
TEST_F(SessionTest, EhloAlwaysAndHeloWithTheAddressLiteralWhenEhloIsUnknown) {
  for (const std::string refusal :
       {"", "500 what?", "502 5.5.2 Not here", "504 no", "550 go away"}) {
    SCOPED_TRACE(refusal);
    failures.clear();
    statuses.clear();
    std::string wire;
    LoopbackPeer peer([&](PeerConn& c) {
      c.Send("220 hi\r\n");
      wire += c.RecvLine();
      if (!refusal.empty()) {
        c.Send(refusal + "\r\n");
        if (refusal[0] == '5' && refusal[1] == '5') return (void)c.RecvAll();
        wire += c.RecvLine();
      }
      c.Send("250 hello\r\n");
      wire += c.RecvLine();
      c.Send("421 enough for the test\r\n");
      c.RecvAll();
    });
    Send(peer.Port(), Job());
    const std::string mail = "Mail From:<sender@example.com>";
    if (refusal.empty())
      EXPECT_EQ(wire.substr(0, wire.find(" SIZE")), "EHLO [127.0.0.1]\r\n" + mail + "\r\n");
    else if (refusal[1] == '5')
      EXPECT_EQ(wire, "EHLO [127.0.0.1]\r\n");
    else
      EXPECT_EQ(wire, "EHLO [127.0.0.1]\r\nHELO [127.0.0.1]\r\n" + mail + "\r\n");
    EXPECT_NE(
        std::find(statuses.begin(), statuses.end(),
                  "Waiting for the server at 127.0.0.1:" + std::to_string(peer.Port()) + " ..."),
        statuses.end());
    EXPECT_EQ(failures.size(), 1u);
  }
}

// ---- the bytes on the wire

class SignInWire : public SessionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SignInWire, ExtendedHelloListsTheExtensionsAndTheCredentialsGoOutEncoded) {
  const bool login = GetParam();
  std::string wire;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 mail.example.com ready\r\n");
    wire += c.RecvLine();
    c.Send(std::string("250-mail.example.com\r\n250-PIPELINING\r\n250-SIZE 1000000\r\n250 AUTH ") +
           (login ? "LOGIN" : "PLAIN LOGIN") + "\r\n");
    wire += c.RecvLine();
    if (login) {
      c.Send("334 VXNlcm5hbWU6\r\n");
      wire += c.RecvLine();
      c.Send("334 UGFzc3dvcmQ6\r\n");
      wire += c.RecvLine();
    }
    c.Send("235 2.7.0 Accepted\r\n");
    wire += c.RecvLine();
    c.Send("421 enough\r\n");
  });
  Send(peer.Port(), SignInJob());
  const std::string credentials =
      login ? "AUTH LOGIN\r\n" + Base64(kUser) + "\r\n" + Base64(kPassword) + "\r\n"
            : "AUTH PLAIN " + Base64('\0' + kUser + '\0' + kPassword) + "\r\n";
  // The server listed SIZE: the message's size follows the sender.
  EXPECT_EQ(wire.substr(0, wire.rfind(" SIZE=")),
            "EHLO [127.0.0.1]\r\n" + credentials + "Mail From:<sender@example.com>");
  EXPECT_TRUE(dialogue->Extensions().Has("PIPELINING"));
  EXPECT_EQ(dialogue->Extensions().SizeLimit(), 1000000u);
  if (login) {
    EXPECT_NE(std::find(shown.begin(), shown.end(), "334 UGFzc3dvcmQ6"), shown.end());
  }
  ExpectNoSecretIn(shown);
}

// A server that says the credentials back: PLAIN's line returned as a challenge, LOGIN's password
// refused in a reply of two lines that holds it encoded and in plain words.
TEST_P(SignInWire, CredentialsTheServerSaysBackAreShownNowhere) {
  const bool login = GetParam();
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 hi\r\n");
    c.RecvLine();
    c.Send(std::string("250-mail.example.com\r\n250 AUTH ") + (login ? "LOGIN" : "PLAIN") + "\r\n");
    const std::string plain = c.RecvLine();
    if (!login) {
      c.Send("334 " + plain.substr(11));
    } else {
      c.Send("334 VXNlcm5hbWU6\r\n");
      c.RecvLine();
      c.Send("334 UGFzc3dvcmQ6\r\n");
      const std::string encoded = c.RecvLine();
      c.Send("535-5.7.8 Bad: " + encoded + "535 5.7.8 (" + kPassword + ")\r\n");
    }
    c.RecvAll();
  });
  Send(peer.Port(), SignInJob());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].substr(0, 7), login ? "The ser" : "Unexpec");
  EXPECT_EQ(shown.size(), login ? 7u : 4u);
  ExpectNoSecretIn(shown);
  ExpectNoSecretIn(failures);
  ExpectNoSecretIn(statuses);
}

INSTANTIATE_TEST_SUITE_P(PlainAndLogin, SignInWire, ::testing::Bool());

// Only an acceptance or a 5xx judges the password; a passing failure shows the server's words
// and leaves the password be.
TEST_F(SessionTest, ThePasswordIsJudgedOnlyByAnAcceptanceOrA5xx) {
  for (const std::string reply : {"235 2.7.0 Accepted", "535 5.7.8 Bad credentials",
                                  "454 4.7.0 Temporary authentication failure"}) {
    SCOPED_TRACE(reply);
    failures.clear();
    std::vector<bool> judged;
    LoopbackPeer peer([&](PeerConn& c) {
      c.Send("220 hi\r\n");
      c.RecvLine();
      c.Send("250-mail.example.com\r\n250 AUTH PLAIN\r\n");
      c.RecvLine();
      c.Send(reply + "\r\n");
      c.RecvLine();
      c.Send("421 enough\r\n");
      c.RecvAll();
    });
    SendJob job = SignInJob();
    job.passwordJudged = [&](bool accepted) { judged.push_back(accepted); };
    Send(peer.Port(), job);
    ASSERT_EQ(failures.size(), 1u);
    if (reply[0] == '2') {
      EXPECT_EQ(judged, std::vector<bool>{true});
    } else if (reply[0] == '5') {
      EXPECT_EQ(judged, std::vector<bool>{false});
      EXPECT_EQ(failures[0].rfind(kSignInRefused, 0), 0u) << failures[0];
      EXPECT_EQ(kinds.back(), FailureKind::kSignInRefused);
    } else {
      EXPECT_TRUE(judged.empty());
      EXPECT_EQ(failures[0].rfind(kSignInFailedForNow + reply, 0), 0u) << failures[0];
      EXPECT_EQ(kinds.back(), FailureKind::kSignInFailedForNow);
    }
  }
}

// ---- encrypted connections

// The test authority and its certificates, made once for all these tests.
class TlsTest : public SessionTest {
 protected:
  static void SetUpTestSuite() {
    certs_ =
        std::filesystem::temp_directory_path() / ("tavrin-certs-" + std::to_string(::getpid()));
    const std::string command =
        "/usr/bin/python3 " TAVRIN_SOURCE_DIR "/tools/test_ca.py " + certs_.string();
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(certs_); }
  void SetUp() override {
    SessionTest::SetUp();
    sock->SetCaFile((certs_ / "ca.pem").string());
  }
  // The capture server's arguments for `identity` (server, other, self) in `mode`, and sign-in.
  static std::vector<std::string> Tls(const std::string& identity, const std::string& mode) {
    return {"--tls-cert", (certs_ / (identity + ".crt")).string(),
            "--tls-key",  (certs_ / (identity + ".key")).string(),
            mode,         "--auth-user",
            kUser,        "--auth-password",
            kPassword};
  }
  static SendJob Secured(SendJob job, Security security) {
    job.security = security;
    return job;
  }
  inline static std::filesystem::path certs_;
};

const std::string kTail =
    "MAIL FROM:<sender@example.com>\nRCPT TO:<ann@example.com>\n"
    "RCPT TO:<bob@example.com>\nDATA END\nQUIT\n";

TEST_F(TlsTest, StartTlsAsksForTheExtensionsAgainAndSignsInOnlyWhenEncrypted) {
  SmtpServer server(root_ / "outbox", Tls("server", "--starttls"));
  Send(server.Port(), Secured(SignInJob(), Security::kStartTls));
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(server.Transcript(),
            "EHLO [127.0.0.1]\nSTARTTLS\nEHLO [127.0.0.1]\nAUTH PLAIN accepted\n" + kTail);
  EXPECT_EQ(server.Messages().size(), 1u);
  // The list from before the handshake is gone: the server offers STARTTLS only before it.
  EXPECT_FALSE(dialogue->Extensions().Has("STARTTLS"));
  EXPECT_TRUE(dialogue->Extensions().OffersAuth("PLAIN"));
  for (const char* step : {"Securing the connection...", "Signing in..."})
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), step), statuses.end()) << step;
  ExpectNoSecretIn(shown);
  ExpectNoSecretIn(statuses);
  ExpectNoSecretIn(log.LogLines());
  ExpectNoSecretIn({server.Transcript()});
}

TEST_F(TlsTest, TlsFromTheFirstByteWithLoginDeliversAMebibyteAttachmentByteForByte) {
  const std::string data = net::test::RandomBytes(1 << 20, 11);
  WriteFile(root_ / "big.bin", data);
  std::vector<std::string> args = Tls("server", "--implicit-tls");
  args.insert(args.end(), {"--auth-mechanisms", "LOGIN"});
  SmtpServer server(root_ / "outbox", args);
  SendJob job = SignInJob();
  job.attachments = {(root_ / "big.bin").string()};
  Send(server.Port(), Secured(job, Security::kTls));
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\nAUTH LOGIN accepted\n" + kTail);
  ASSERT_EQ(server.Messages().size(), 1u);
  QProcess python;  // the attachment as a mail program reads it
  python.start(
      "/usr/bin/python3",
      {"-c",
       "import email,hashlib,sys\n"
       "m=email.message_from_binary_file(open(sys.argv[1],'rb'))\n"
       "for p in m.walk():\n"
       "  if p.get_filename(): print(hashlib.sha256(p.get_payload(decode=True)).hexdigest())\n",
       QString::fromStdString(server.Messages()[0].string())});
  ASSERT_TRUE(python.waitForFinished(20000));
  EXPECT_EQ(python.readAllStandardOutput().toStdString(),
            QCryptographicHash::hash(QByteArray::fromStdString(data), QCryptographicHash::Sha256)
                    .toHex()
                    .toStdString() +
                "\n");
  ExpectNoSecretIn(shown);
}

// A personalised send, pipelined over STARTTLS, with an attachment: each recipient's message,
// made while the server reads the one before, reaches the server whole with its own text.
TEST_F(TlsTest, APersonalisedPipelinedSendOverStartTlsGivesEachItsOwnMessage) {
  const std::string data = net::test::RandomBytes(5000, 3);
  WriteFile(root_ / "notes.bin", data);
  std::vector<std::string> args = Tls("server", "--starttls");
  args.push_back("--pipelining");
  SmtpServer server(root_ / "outbox", args);
  SendJob job = Secured(SignInJob(), Security::kStartTls);
  job.personalised = true;
  job.input = MessageInput{"John Doe",  "sender@example.com",        "{NAME}",
                           "Hi {NAME}", {"Dear {NAME} at {EMAIL}."}, InternetDate(0),
                           ""};
  job.attachments = {(root_ / "notes.bin").string()};
  Send(server.Port(), job);
  ASSERT_TRUE(failures.empty()) << failures[0];
  ASSERT_EQ(server.Messages().size(), 2u);
  std::set<std::string> bodies;
  for (const auto& file : server.Messages()) {
    const DecodedMail mail = DecodeMail(file);
    bodies.insert(mail.body);
    ASSERT_EQ(mail.attachments.size(), 1u);
    EXPECT_TRUE(mail.attachments[0].second == data);
  }
  EXPECT_EQ(bodies, (std::set<std::string>{"Dear Ann at ann@example.com.\n",
                                           "Dear Bob at bob@example.com.\n"}));
}

// A "421" cuts the transaction off: the new connection is secured and signed in again before
// "Mail From:", with the password kept for it, and nothing goes out in plain text.
TEST_F(TlsTest, ANewConnectionAfterA421IsSecuredAndSignedInAgain) {
  for (const bool implicit : {false, true}) {
    SCOPED_TRACE(implicit ? "TLS" : "STARTTLS");
    log.StartLog("P", "S", "d", "t");
    failures.clear();
    std::vector<std::string> args = Tls("server", implicit ? "--implicit-tls" : "--starttls");
    args.insert(args.end(), {"--refuse", "bob@example.com=421 4.7.0 Error: too many errors"});
    SmtpServer server(root_ / ("outbox" + std::to_string(implicit)), args);
    dialogue->mostReconnections = kMostReconnections;
    Send(server.Port(), Secured(SignInJob(), implicit ? Security::kTls : Security::kStartTls));
    const std::string opening =
        implicit ? "EHLO [127.0.0.1]\nAUTH PLAIN accepted\n"
                 : "EHLO [127.0.0.1]\nSTARTTLS\nEHLO [127.0.0.1]\nAUTH PLAIN accepted\n";
    const std::string attempt = opening +
                                "MAIL FROM:<sender@example.com>\nRCPT TO:<ann@example.com>\n"
                                "RCPT TO:<bob@example.com>\n";
    // The same step cut off twice in a row ends the send.
    EXPECT_EQ(server.Transcript().substr(0, 2 * attempt.size()), attempt + attempt);
    EXPECT_EQ(server.Messages().size(), 0u);
    const std::string reason = "Unexpected error! 421 4.7.0 Error: too many errors";
    EXPECT_EQ(Outcomes(log),
              (std::vector<std::string>{"Ann not sent " + reason, "Bob not sent " + reason}));
  }
}

// A certificate that fails the check ends the send with the reason; nothing more is sent.
struct CertificateCase {
  const char* identity;
  const char* mode;
  const char* transcript;
};
void PrintTo(const CertificateCase& c, std::ostream* os) { *os << c.identity << " " << c.mode; }

class BadCertificate : public TlsTest, public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(BadCertificate, EndsTheSendWithTheReasonAndSendsNothingMore) {
  SmtpServer server(root_ / "outbox", Tls(GetParam().identity, GetParam().mode));
  const bool startTls = std::string(GetParam().mode) == "--starttls";
  Send(server.Port(), Secured(SignInJob(), startTls ? Security::kStartTls : Security::kTls));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("The server's certificate could not be verified: ", 0), 0u)
      << failures[0];
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kCertificateRejected});
  EXPECT_EQ(server.Transcript(), GetParam().transcript);
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_EQ(ends, 1);
}

INSTANTIATE_TEST_SUITE_P(OtherHostAndSelfSigned, BadCertificate,
                         ::testing::Values(CertificateCase{"other", "--starttls",
                                                           "EHLO [127.0.0.1]\nSTARTTLS\n"},
                                           CertificateCase{"self", "--implicit-tls", ""}));

// A Stop, or a handler that lets go of the dialogue, at any report of a shared send over STARTTLS
// with two attachments (securing, signing in, the message, each attachment, the progress panel
// shown and hidden): the send ends once with everyone logged, or goes without touching the
// dialogue it let go of.
TEST_F(TlsTest, AStopOrAnEndFromAnyReportOfASecuredSendWithAttachmentsIsSafe) {
  WriteFile(root_ / "a.bin", net::test::RandomBytes(3000, 4));
  WriteFile(root_ / "b.bin", net::test::RandomBytes(70000, 5));
  for (const bool destroy : {false, true}) {
    for (int at = 1;; ++at) {
      SCOPED_TRACE((destroy ? "end at report " : "stop at report ") + std::to_string(at));
      log.StartLog("P", "S", "d", "t");
      ends = 0;
      if (!dialogue) {
        dialogue = std::make_unique<TSendDialogue>(*sock, replies, log, table);
        dialogue->mostReconnections = 0;
      }
      SmtpServer server(root_ / "outbox", Tls("server", "--starttls"));
      int reports = 0;
      bool acted = false;
      const auto count = [&] {
        if (++reports != at || !dialogue->Running()) return;
        acted = true;
        if (destroy)
          dialogue.reset();
        else
          dialogue->Stop();
      };
      auto& e = dialogue->events;
      e.ended = [&] { ++ends; };
      e.status = [&](const std::string&) { count(); };
      e.progress = [&](std::int64_t, std::int64_t) { count(); };
      e.progressShown = [&](bool) { count(); };
      e.transcript = [&](const std::string&) { count(); };
      SendJob job = Secured(SignInJob(), Security::kStartTls);
      job.attachments = {(root_ / "a.bin").string(), (root_ / "b.bin").string()};
      sock->SetPort(server.Port());
      dialogue->Start(job);
      EXPECT_TRUE(net::test::PumpUntil([&] { return !dialogue || !dialogue->Running(); }, 10000));
      if (!acted) break;  // the whole send ran without reaching report `at`
      if (destroy) continue;
      EXPECT_EQ(ends, 1);
      EXPECT_EQ(log.Entries().size(), 2u);
    }
  }
}

// A server that answers STARTTLS and then closes, or never answers the handshake. The line it
// slips in after its 220 came unencrypted and is never read as a reply.
class BrokenHandshake : public TlsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokenHandshake, EndsTheSendWithinTheTimeOutAndNothingGoesOutInPlainText) {
  const bool closes = GetParam();
  sock->SetTimeOut(1000);
  std::string afterStartTls;
  LoopbackPeer peer([&](PeerConn& c) {
    c.Send("220 hi\r\n");
    c.RecvLine();
    c.Send("250-mail.example.com\r\n250 STARTTLS\r\n");
    c.RecvLine();
    c.Send("220 go ahead\r\n250 forged\r\n");
    if (closes) return c.Close();
    afterStartTls = c.RecvAll();  // the client's hello, until the client gives up
  });
  QElapsedTimer clock;
  clock.start();
  Send(peer.Port(), Secured(SignInJob(), Security::kStartTls));
  EXPECT_LT(clock.elapsed(), 10000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("The connection to the server failed: ", 0), 0u) << failures[0];
  EXPECT_EQ(completions, 0);
  ASSERT_TRUE(net::test::PumpUntil([&] { return peer.Done(); }, 10000));
  for (const char* plain : {"EHLO", "AUTH", "Mail From"})
    EXPECT_EQ(afterStartTls.find(plain), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ClosesOrFallsSilent, BrokenHandshake, ::testing::Bool());

}  // namespace
}  // namespace tavrin::app::testing
