// What the send tests share: a real SMTP server (the capture server under Debian's Python) started
// and stopped per test, recipients tables written with dbftool, and a dialogue wired to a real
// socket client with every report it makes recorded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../net/LoopbackPeer.h"
#include "send/DatasetRecipientTable.h"
#include "send/MessageAssembly.h"
#include "send/SendDialogue.h"

namespace tavrin::app::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The capture server on 127.0.0.1, on a free port, with the test's refusals and replies.
class SmtpServer {
 public:
  SmtpServer(const std::filesystem::path& outbox, const std::vector<std::string>& arguments)
      : outbox_(outbox) {
    QStringList args{TAVRIN_SOURCE_DIR "/tools/smtp_capture.py", "--port", "0", "--outbox",
                     QString::fromStdString(outbox.string())};
    for (const auto& a : arguments) args << QString::fromStdString(a);
    process_.start("/usr/bin/python3", args);
    const bool ready = process_.waitForReadyRead(15000);
    const QByteArray line = process_.readLine().trimmed();
    if (!ready || !line.startsWith("READY ")) {
      ADD_FAILURE() << "capture server did not start: "
                    << process_.readAllStandardError().toStdString();
      return;
    }
    port_ = line.mid(6).toInt();
  }
  ~SmtpServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(2000);
  }
  int Port() const { return port_; }
  // The commands as the server understood them, one per line.
  std::string Transcript() const { return ReadFile(outbox_ / "transcript.log"); }
  std::vector<std::filesystem::path> Messages() const {
    std::vector<std::filesystem::path> out;
    if (!std::filesystem::exists(outbox_)) return out;
    for (const auto& e : std::filesystem::directory_iterator(outbox_))
      if (e.path().extension() == ".eml") out.push_back(e.path());
    return out;
  }

 private:
  std::filesystem::path outbox_;
  QProcess process_;
  int port_ = 0;
};

// A message as an independent reader sees it: Python's email package (its modern policy) reads the
// file the capture server kept.
struct DecodedMail {
  std::string subject;
  std::vector<std::string> fromNames, fromAddresses;  // one entry per From address
  std::vector<std::string> toGroups;                  // the display names of the To groups
  std::size_t toAddresses = 0;
  std::size_t headerDefects = 0;  // what the reader found wrong in From, To and Subject
  std::string body;               // the plain-text part, line ends as "\n"
  std::vector<std::pair<std::string, std::string>> attachments;  // file name, decoded bytes
};

inline DecodedMail DecodeMail(const std::filesystem::path& file) {
  static const char* const kReader = R"(
import sys, email, email.policy
m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
out = []
def put(text): out.append(text.encode('utf-8').hex())
put(str(m['Subject']))
put(str(len(m['From'].addresses)))
for a in m['From'].addresses: put(a.display_name); put(a.addr_spec)
put(str(len(m['To'].groups)))
for g in m['To'].groups: put(g.display_name or '')
put(str(len(m['To'].addresses)))
put(str(sum(len(m[k].defects) for k in ('From', 'To', 'Subject'))))
put(m.get_body(('plain',)).get_content().replace('\r\n', '\n'))
for p in m.iter_attachments(): put(p.get_filename()); out.append(p.get_payload(decode=True).hex())
print(' '.join(out))
)";
  QProcess python;
  python.start("/usr/bin/python3", {"-c", kReader, QString::fromStdString(file.string())});
  python.waitForFinished(30000);
  const QList<QByteArray> fields = python.readAllStandardOutput().trimmed().split(' ');
  EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
  std::size_t next = 0;
  auto take = [&] {
    return next < static_cast<std::size_t>(fields.size())
               ? QByteArray::fromHex(fields[static_cast<qsizetype>(next++)]).toStdString()
               : std::string();
  };
  auto count = [&] {
    const std::string digits = take();
    return digits.empty() ? std::size_t{0} : static_cast<std::size_t>(std::stoul(digits));
  };
  DecodedMail mail;
  mail.subject = take();
  for (std::size_t n = count(); n > 0; --n) {
    mail.fromNames.push_back(take());
    mail.fromAddresses.push_back(take());
  }
  for (std::size_t n = count(); n > 0; --n) mail.toGroups.push_back(take());
  mail.toAddresses = count();
  mail.headerDefects = count();
  mail.body = take();
  while (next < static_cast<std::size_t>(fields.size())) {
    std::string name = take();
    mail.attachments.emplace_back(name, take());
  }
  return mail;
}

// The log as "Ann ok", "Bob failed 550 ...", "Cy not sent <reason>": each recipient's name,
// status and, unless OK, the whole reply or reason.
inline std::vector<std::string> Outcomes(const TSendLog& log) {
  std::vector<std::string> out;
  for (const LogEntry& e : log.Entries()) {
    if (e.status == RecipientStatus::kOk)
      out.push_back(e.name + " ok");
    else
      out.push_back(e.name + (e.status == RecipientStatus::kFailed ? " failed " : " not sent ") +
                    e.reply);
  }
  return out;
}

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavrin-send-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "tmp");
    sock = std::make_unique<net::TSockClient>();
    sock->SetHost("127.0.0.1");
    sock->SetTimeOut(5000);
    dataset.SetDbfFileName((root_ / "rcpt.dbf").string());
    dialogue = std::make_unique<TSendDialogue>(*sock, replies, log, table);
    // Most scripted peers serve one connection: a send that connected again would wait for a
    // greeting that never comes. The tests of new connections allow them.
    dialogue->mostReconnections = 0;
    auto& e = dialogue->events;
    e.status = [this](const std::string& t) { statuses.push_back(t); };
    e.failed = [this](const std::string& t) { failures.push_back(t); };
    e.outcome = [this](const SendOutcome& o) {
      kinds.push_back(o.kind);
      lastOutcome = o;
    };
    e.completed = [this](const std::string& note) {
      notes.push_back(note);
      ++completions;
    };
    e.ended = [this] { ++ends; };
    log.StartLog("P", "S", "d", "t");
  }
  void TearDown() override {
    dialogue.reset();
    sock.reset();
    std::filesystem::remove_all(root_);
  }

  // Writes the recipients table with dbftool: one CSV row per record, NAME and EMAIL.
  void MakeTable(const std::vector<std::pair<std::string, std::string>>& rows,
                 const std::vector<int>& deleted = {}) {
    const std::string table = (root_ / "rcpt.dbf").string();
    std::string csv = "NAME,EMAIL\r\n";
    for (const auto& [name, email] : rows) csv += "\"" + name + "\",\"" + email + "\"\r\n";
    WriteFile(root_ / "rcpt.csv", csv);
    std::filesystem::remove(table);
    Tool("create " + table + " NAME,C,40 EMAIL,C,60");
    if (!rows.empty()) Tool("import " + table + " " + (root_ / "rcpt.csv").string());
    for (int n : deleted) Tool("delete " + table + " " + std::to_string(n));
  }
  static void Tool(const std::string& args) {
    ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " " + args + " >/dev/null").c_str()), 0)
        << args;
  }

  SendJob Job(const std::vector<std::string>& body = {"Hello,", "the meeting is on Friday."},
              const std::vector<std::string>& attachments = {}) {
    SendJob job;
    job.serverName = "127.0.0.1";
    job.returnEmail = "sender@example.com";
    job.nameField = "NAME";
    job.emailField = "EMAIL";
    job.boundary = Boundary();
    MessageInput in{"John Doe", "sender@example.com", "Club", "News",
                    body,       InternetDate(0),      "token"};
    job.messageLines = BuildMessage(in, job.boundary);
    job.attachments = attachments;
    job.tempDir = (root_ / "tmp").string();
    return job;
  }

  // Runs a send to `port` until it ends (at most 20 s).
  void Send(int port, SendJob job) {
    sock->SetPort(port);
    dialogue->Start(std::move(job));
    EXPECT_TRUE(net::test::PumpUntil([this] { return !dialogue->Running(); }, 20000))
        << "send hung";
  }

  // The recipient lines of the log, without the nine header lines.
  std::vector<std::string> RecipientLines() const {
    const auto& all = log.LogLines();
    return std::vector<std::string>(all.begin() + std::min<std::size_t>(9, all.size()), all.end());
  }

  std::filesystem::path root_;
  std::unique_ptr<net::TSockClient> sock;
  TReplyTable replies;
  TSendLog log;
  dataset::TXbDbf dataset{"tblRecipients"};
  TDatasetRecipientTable table{dataset};
  std::unique_ptr<TSendDialogue> dialogue;
  std::vector<std::string> statuses, failures, notes;
  std::vector<FailureKind> kinds;  // each outcome's kind, in order
  SendOutcome lastOutcome;
  int completions = 0, ends = 0;
};

}  // namespace tavrin::app::testing
