// send_bench: one whole send through the program's dialogue to a server on 127.0.0.1.
//
//   send_bench PORT TABLE [ATTACHMENT] [--message-out FILE] [--starttls --ca-file CA.pem]
//              [--sign-in] [--per-message N] [--personalised]
//
// Prints the send's wall time, the longest pause of the event loop during it (a 10 ms timer that
// measures its own lateness), and the peak resident memory above the idle program. With
// --message-out it also writes the message (without attachments) as sent, so another client can
// send the very same bytes. With --starttls the connection is encrypted after the greeting, the
// server's certificate checked against CA.pem. With --sign-in the send signs in (as "bench"), so
// it greets with EHLO and uses what the server lists: pipelining, SIZE. With --per-message the
// table goes in transactions of at most N recipients, each carrying the attachment; the count of
// attachment encodings shows it was read and encoded once. With --personalised every record gets a
// message of its own: a 2 KB body with two placeholders, To and Subject filled from the record;
// --message-out then writes the first record's message, its attachment part's header lines
// included (the encoded text is left for the reader to append). Asserts nothing; figures only.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>

#include "send/DatasetRecipientTable.h"
#include "send/MessageAssembly.h"
#include "send/Placeholders.h"
#include "send/SendDialogue.h"
#include "platform/Paths.h"

namespace {

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  return -1;
}

// The message every run sends; with `messageOut` it is also written out as it goes on the wire.
tavrin::app::SendJob BenchJob(const std::string& attachment, const std::string& messageOut,
                              bool startTls) {
  using namespace tavrin;
  app::SendJob job;
  job.serverName = "127.0.0.1";
  job.returnEmail = "sender@example.com";
  job.nameField = "NAME";
  job.emailField = "EMAIL";
  job.boundary = app::Boundary();
  app::MessageInput in{"Bench",
                       "sender@example.com",
                       "Everyone",
                       "Benchmark",
                       {"Hello,", "", "this is the benchmark message.", "."},
                       app::InternetDate(0),
                       "bench"};
  job.messageLines = app::BuildMessage(in, job.boundary);
  if (!attachment.empty()) job.attachments = {attachment};
  job.tempDir = platform::TempDir();
  if (startTls) job.security = app::Security::kStartTls;
  if (!messageOut.empty()) {
    std::ofstream out(messageOut, std::ios::binary);
    for (const auto& line : job.messageLines) out << line << "\r\n";
    out << "\r\n--" << job.boundary << "--\r\n";
  }
  return job;
}

// A 2 KB body naming the recipient twice, written out for record 1 ("Person 00000") when asked.
void MakePersonal(tavrin::app::SendJob& job, const std::string& messageOut) {
  using namespace tavrin;
  job.personalised = true;
  std::vector<std::string> body{"Dear {NAME},", ""};
  while (body.size() < 30)
    body.push_back("This line is part of the two kilobyte body of the benchmark message ok.");
  body.push_back("We write to you at {EMAIL}.");
  job.input = app::MessageInput{"Bench", "sender@example.com", "{NAME}", "Hello {NAME}",
                                body,    app::InternetDate(0), ""};
  if (messageOut.empty()) return;
  app::MessageInput first = app::PersonalisedInput(
      job.input,
      [](const std::string& field) {
        return field == "NAME" ? std::string("Person 00000")
                               : std::string("person00000@example.com");
      },
      "person00000@example.com");
  first.MessageIdToken = app::NewMessageIdToken();
  std::ofstream out(messageOut, std::ios::binary);
  for (const auto& line : app::BuildMessage(first, job.boundary)) out << line << "\r\n";
  for (const auto& path : job.attachments)
    for (const auto& line : app::AttachmentHeaderLines(job.boundary, path)) out << line << "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: send_bench PORT TABLE [ATTACHMENT] [--message-out FILE] "
                 "[--starttls --ca-file CA.pem] [--sign-in] [--per-message N]\n");
    return 2;
  }
  using namespace tavrin;
  std::string attachment, messageOut, caFile;
  bool startTls = false, signIn = false, personalised = false;
  int perMessage = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::string(argv[i]) == "--message-out" && i + 1 < argc)
      messageOut = argv[++i];
    else if (std::string(argv[i]) == "--ca-file" && i + 1 < argc)
      caFile = argv[++i];
    else if (std::string(argv[i]) == "--starttls")
      startTls = true;
    else if (std::string(argv[i]) == "--personalised")
      personalised = true;
    else if (std::string(argv[i]) == "--sign-in")
      signIn = true;
    else if (std::string(argv[i]) == "--per-message" && i + 1 < argc)
      perMessage = std::stoi(argv[++i]);
    else
      attachment = argv[i];
  }
  net::TSockClient sock;
  sock.SetHost("127.0.0.1");
  sock.SetPort(std::stoi(argv[1]));
  sock.SetTimeOut(60000);
  if (!caFile.empty()) sock.SetCaFile(caFile);
  app::TReplyTable replies;
  app::TSendLog log;
  dataset::TXbDbf recipients("tblRecipients");
  recipients.SetDbfFileName(argv[2]);
  app::TDatasetRecipientTable table(recipients);
  app::TSendDialogue dialogue(sock, replies, log, table);
  log.StartLog("Bench", "Bench", "", "");

  app::SendJob job = BenchJob(attachment, personalised ? std::string() : messageOut, startTls);
  if (personalised) MakePersonal(job, messageOut);
  if (signIn) job.userName = job.password = "bench";
  job.recipientsPerMessage = perMessage;
  std::string failure;
  bool completed = false;
  dialogue.events.failed = [&](const std::string& text) { failure = text; };
  dialogue.events.completed = [&](const std::string&) { completed = true; };

  qint64 longestPauseMs = 0;
  QElapsedTimer sinceTick;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 pause = sinceTick.elapsed() - 10;
    if (pause > 100 && qEnvironmentVariableIsSet("SEND_BENCH_TRACE"))
      std::fprintf(stderr, "pause %lld ms in state %s\n", static_cast<long long>(pause),
                   app::TSendDialogue::StateName(dialogue.CurrentState()));
    longestPauseMs = std::max(longestPauseMs, pause);
    sinceTick.restart();
  });
  ticker.setTimerType(Qt::PreciseTimer);

  const long idleKb = StatusKb("VmRSS:");
  QElapsedTimer clock;
  clock.start();
  sinceTick.start();
  ticker.start(10);
  dialogue.Start(job);
  QEventLoop loop;  // as the program runs: the event loop waits until something happens
  dialogue.events.ended = [&] { loop.quit(); };
  if (dialogue.Running()) loop.exec();
  const double seconds = clock.elapsed() / 1000.0;
  ticker.stop();
  const long peakKb = StatusKb("VmHWM:");

  if (!completed) {
    std::printf("send failed: %s\n", failure.c_str());
    return 1;
  }
  std::printf("tavrin send: %.3f s, %zu log lines\n", seconds, log.Entries().size());
  std::printf("longest event-loop pause: %lld ms\n", static_cast<long long>(longestPauseMs));
  std::printf("attachment encodings: %llu\n",
              static_cast<unsigned long long>(dialogue.AttachmentEncodings()));
  std::printf("peak memory above idle: %.1f MiB (idle %.1f MiB, peak %.1f MiB)\n",
              (peakKb - idleKb) / 1024.0, idleKb / 1024.0, peakKb / 1024.0);
  return 0;
}
