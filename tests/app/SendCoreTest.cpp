// The send as a core of its own: a TMailSend made from a plain setup, and the attachment encoder
// that reads and encodes each attachment once per send.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <QByteArray>
#include <filesystem>

#include "../net/LoopbackPeer.h"
#include "send/AttachmentEncoder.h"
#include "send/MailSend.h"
#include "SendSupport.h"

namespace tavrin::app::testing {
namespace {

const std::vector<std::pair<std::string, std::string>> kTwo = {{"Ann", "ann@example.com"},
                                                               {"Bob", "bob@example.com"}};

std::string Decoded(const std::string& base64Lines) {
  return QByteArray::fromBase64(QByteArray::fromStdString(base64Lines)).toStdString();
}

std::string ReadAll(platform::TStream& stream) {
  std::string bytes(static_cast<std::size_t>(stream.Size()), '\0');
  stream.SetPosition(0);
  if (!bytes.empty()) stream.ReadBuffer(bytes.data(), bytes.size());
  return bytes;
}

// A send made from a setup reaches the server, port and table it names, with the socket's
// minute-long time-out, and reports its outcome, its log and the reply table's words.
TEST_F(SendTest, AMailSendFromASetupDeliversToEveryoneAndReportsItsOutcome) {
  MakeTable(kTwo);
  SmtpServer server(root_ / "outbox", {});
  SendSetup setup;
  setup.server = "127.0.0.1";
  setup.port = server.Port();
  setup.tableFile = (root_ / "rcpt.dbf").string();
  setup.nameField = "NAME";
  setup.emailField = "EMAIL";
  setup.returnEmail = "sender@example.com";
  setup.tempDir = (root_ / "tmp").string();
  setup.caFile = (root_ / "ca.pem").string();
  TMailSend send(setup);
  EXPECT_EQ(send.Socket().Host(), "127.0.0.1");
  EXPECT_EQ(send.Socket().Port(), server.Port());
  EXPECT_EQ(send.Socket().TimeOut(), 60000);
  EXPECT_EQ(send.Socket().CaFile(), setup.caFile);
  std::vector<SendOutcome> told;
  std::vector<std::string> transcript;
  send.Events().outcome = [&](const SendOutcome& o) { told.push_back(o); };
  send.Events().transcript = [&](const std::string& line) { transcript.push_back(line); };
  send.Log().StartLog("P", "S", "d", "t");
  const SendJob job = Job();
  send.Start({job.messageLines, job.boundary, {}});
  ASSERT_TRUE(net::test::PumpUntil([&] { return !send.Running(); }, 20000)) << "send hung";
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].kind, FailureKind::kNone);
  EXPECT_EQ(told[0].deliveredTo, 2);
  EXPECT_EQ(Outcomes(send.Log()), (std::vector<std::string>{"Ann ok", "Bob ok"}));
  EXPECT_NE(std::find(transcript.begin(), transcript.end(), "<domain> Service ready"),
            transcript.end());
  EXPECT_EQ(server.Messages().size(), 1u);
}

// A send that cannot connect says so by its kind, and the table and the log stay whole.
TEST_F(SendTest, AMailSendToAClosedPortEndsAsAConnectionFailure) {
  MakeTable(kTwo);
  SendSetup setup;
  setup.server = "127.0.0.1";
  setup.port = net::test::ClosedPort();
  setup.tableFile = (root_ / "rcpt.dbf").string();
  setup.nameField = "NAME";
  setup.emailField = "EMAIL";
  setup.returnEmail = "sender@example.com";
  setup.tempDir = (root_ / "tmp").string();
  TMailSend send(setup);
  std::vector<FailureKind> told;
  send.Events().outcome = [&](const SendOutcome& o) { told.push_back(o.kind); };
  send.Log().StartLog("P", "S", "d", "t");
  const SendJob job = Job();
  send.Start({job.messageLines, job.boundary, {}});
  ASSERT_TRUE(net::test::PumpUntil([&] { return !send.Running(); }, 20000)) << "send hung";
  EXPECT_EQ(told, std::vector<FailureKind>{FailureKind::kConnectionFailed});
  EXPECT_EQ(Outcomes(send.Log()).size(), 2u);
}

// Every transaction carries the same attachments, read and encoded once for the whole send.
TEST_F(SendTest, AttachmentsAreEncodedOncePerSendHoweverManyTransactionsCarryThem) {
  MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}, {"Cy", "cy@example.com"}});
  const std::string first = net::test::RandomBytes(200000, 7), second = "short\r\n";
  WriteFile(root_ / "a.bin", first);
  WriteFile(root_ / "b.txt", second);
  SmtpServer server(root_ / "outbox", {});
  SendJob job = Job({"x"}, {(root_ / "a.bin").string(), (root_ / "b.txt").string()});
  job.recipientsPerMessage = 1;
  Send(server.Port(), job);
  ASSERT_TRUE(failures.empty()) << failures[0];
  EXPECT_EQ(kinds, std::vector<FailureKind>{FailureKind::kNone});
  EXPECT_EQ(dialogue->AttachmentEncodings(), 2u);
  ASSERT_EQ(server.Messages().size(), 3u);
  for (const auto& file : server.Messages()) {
    const DecodedMail mail = DecodeMail(file);
    ASSERT_EQ(mail.attachments.size(), 2u);
    EXPECT_EQ(mail.attachments[0].second, first);
    EXPECT_EQ(mail.attachments[1].second, second);
  }
  // A second send encodes them again: an attachment may have changed in between.
  Send(server.Port(), job);
  EXPECT_EQ(dialogue->AttachmentEncodings(), 4u);
  EXPECT_TRUE(std::filesystem::is_empty(root_ / "tmp"));  // the file had no name to leave behind
}

TEST_F(SendTest, TheEncoderKeepsEachEncodingApartAndNamesWhatFailed) {
  const std::string first = net::test::RandomBytes(100001, 3), empty;
  WriteFile(root_ / "a.bin", first);
  WriteFile(root_ / "e.bin", empty);
  int slices = 0;
  TAttachmentEncoder encoder((root_ / "tmp").string(), [&] { ++slices; });
  encoder.Encode(1, (root_ / "a.bin").string());
  encoder.Encode(0, (root_ / "e.bin").string());
  EXPECT_TRUE(encoder.Has(0) && encoder.Has(1));
  EXPECT_FALSE(encoder.Has(2));
  EXPECT_EQ(encoder.Encodings(), 2u);
  EXPECT_GE(slices, 2);  // the event loop ran while the work went on
  EXPECT_EQ(Decoded(ReadAll(*encoder.Encoded(1))), first);
  EXPECT_EQ(ReadAll(*encoder.Encoded(0)), "");
  const std::string lines = ReadAll(*encoder.Encoded(1));
  EXPECT_EQ(lines.substr(lines.size() - 2), "\r\n");
  EXPECT_EQ(lines.find("\r\n"), 60u);  // lines as the mail data carries them

  const std::string missing = (root_ / "gone.bin").string();
  try {
    encoder.Encode(2, missing);
    ADD_FAILURE() << "a missing file was encoded";
  } catch (const EAttachmentError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to read attachment " + missing);
  }
  EXPECT_EQ(Decoded(ReadAll(*encoder.Encoded(1))), first);  // the others stand
  encoder.Release();
  EXPECT_FALSE(encoder.Has(1));

  const std::string nowhere = (root_ / "no such folder").string();
  TAttachmentEncoder lost(nowhere, [] {});
  try {
    lost.Encode(0, (root_ / "a.bin").string());
    ADD_FAILURE() << "encoded without a temporary file";
  } catch (const EAttachmentError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to create a temporary file in " + nowhere);
  }
}

// On a full disk an encoding fails with the reason, leaves the others whole, and its remnant
// makes no room short for the next one.
TEST_F(SendTest, AnEncodingOntoAFullDiskFailsAloneAndLeavesItsRoom) {
  const std::string first = net::test::RandomBytes(10000, 4),
                    large = net::test::RandomBytes(100000, 5);
  const std::string second = net::test::RandomBytes(20000, 6);
  WriteFile(root_ / "first.bin", first);
  WriteFile(root_ / "large.bin", large);
  WriteFile(root_ / "second.bin", second);
  const std::string full = (root_ / "full").string();
  std::filesystem::create_directories(full);
  const pid_t pid = ::fork();
  if (pid == 0) {  // a mount of its own, gone with the child
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") != 0)
      ::_exit(77);
    int rc = 0;
    TAttachmentEncoder encoder(full, [] {});
    encoder.Encode(0, (root_ / "first.bin").string());
    try {
      encoder.Encode(1, (root_ / "large.bin").string());
      rc = 2;
    } catch (const EAttachmentError& error) {
      if (std::string(error.what()) != "Unable to write the temporary file in " + full) rc = 3;
    }
    try {
      encoder.Encode(1, (root_ / "second.bin").string());
      if (Decoded(ReadAll(*encoder.Encoded(0))) != first) rc = 4;
      if (Decoded(ReadAll(*encoder.Encoded(1))) != second) rc = 5;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
      rc = 6;
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here for a small tmpfs";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tavrin::app::testing
