// Opening the session with today's servers: "EHLO" and its extension list, sign-in with PLAIN
// and LOGIN, and the refusals that end a send before the sender is named. Against the capture
// server, and against a scripted peer where the exact bytes matter.
#include <QByteArray>

#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

using net::test::LoopbackPeer;
using net::test::PeerConn;

const std::string kUser = "ann";
const std::string kPassword = "p4ss:w\xC3\xB6rd!";  // 11 bytes: every BASE64 tail length occurs below

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
  SendJob SignInJob(const std::string& password = kPassword) {
    SendJob job = Job();
    job.userName = kUser;
    job.password = password;
    return job;
  }
  // Nothing the user or a log could see holds the password or a line that encodes it.
  void ExpectNoSecretIn(const std::vector<std::string>& texts) {
    for (const std::string& secret : {kPassword, Base64(kPassword), Base64('\0' + kUser + '\0' + kPassword)})
      for (const std::string& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << text;
  }
  std::vector<std::string> shown;  // the transcript events
};

// ---- sign-in

class SignIn : public SessionTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SignIn, DeliversAfterTheServerAcceptsAndShowsNoSecret) {
  const std::string mechanism = GetParam();
  SmtpServer server(root_ / "outbox", {"--auth-user", kUser, "--auth-password", kPassword,
                                       "--auth-mechanisms", mechanism});
  Send(server.Port(), SignInJob());
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(server.Transcript(), "EHLO [127.0.0.1]\nAUTH " + mechanism +
                                     " accepted\nMAIL FROM:<sender@example.com>\nRCPT TO:<ann@example.com>\n"
                                     "RCPT TO:<bob@example.com>\nDATA END\nQUIT\n");
  EXPECT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Signing in..."), statuses.end());
  ExpectNoSecretIn(shown);
  ExpectNoSecretIn(statuses);
  ExpectNoSecretIn(log.LogLines());
}

INSTANTIATE_TEST_SUITE_P(PlainAndLogin, SignIn, ::testing::Values("PLAIN", "LOGIN"));

// ---- what ends the send before the sender is named

TEST_F(SessionTest, AWrongPasswordNoMechanismNoStartTlsOrARefusedEhloEndsTheSendWithItsCause) {
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
                          std::string(kSignInRefused) + " : The message has not been sent.",
                          std::string(kNoSignIn) + " : The message has not been sent.",
                          "Unexpected error! 502 5.5.2 Not here : The message has not been sent.",
                          std::string(kNoStartTls) + " : The message has not been sent."}));
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(ends, 4);
  ExpectNoSecretIn(shown);
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
  EXPECT_EQ(wire, "EHLO [127.0.0.1]\r\n" + credentials + "Mail From:<sender@example.com>\r\n");
  EXPECT_TRUE(dialogue->Extensions().Has("PIPELINING"));
  EXPECT_EQ(dialogue->Extensions().SizeLimit(), 1000000u);
  if (login) {
    EXPECT_NE(std::find(shown.begin(), shown.end(), "334 UGFzc3dvcmQ6"), shown.end());
  }
  ExpectNoSecretIn(shown);
}

INSTANTIATE_TEST_SUITE_P(PlainAndLogin, SignInWire, ::testing::Bool());

}  // namespace
}  // namespace tavrin::app::testing
