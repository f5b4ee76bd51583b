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
#include "app/DatasetRecipientTable.h"
#include "app/MessageAssembly.h"
#include "app/SendDialogue.h"

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
  SmtpServer(const std::filesystem::path& outbox, const std::vector<std::string>& arguments) : outbox_(outbox) {
    QStringList args{TAVRIN_SOURCE_DIR "/tools/smtp_capture.py", "--port", "0", "--outbox",
                     QString::fromStdString(outbox.string())};
    for (const auto& a : arguments) args << QString::fromStdString(a);
    process_.start("/usr/bin/python3", args);
    const bool ready = process_.waitForReadyRead(15000);
    const QByteArray line = process_.readLine().trimmed();
    if (!ready || !line.startsWith("READY ")) {
      ADD_FAILURE() << "capture server did not start: " << process_.readAllStandardError().toStdString();
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
    auto& e = dialogue->events;
    e.status = [this](const std::string& t) { statuses.push_back(t); };
    e.failed = [this](const std::string& t) { failures.push_back(t); };
    e.completed = [this](const std::vector<std::string>& lines, const std::string& note) {
      completedLog = lines;
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
    ASSERT_EQ(std::system((std::string(TAVRIN_DBFTOOL) + " " + args + " >/dev/null").c_str()), 0) << args;
  }

  SendJob Job(const std::vector<std::string>& body = {"Hello,", "the meeting is on Friday."},
              const std::vector<std::string>& attachments = {}) {
    SendJob job;
    job.serverName = "127.0.0.1";
    job.returnEmail = "sender@example.com";
    job.nameField = "NAME";
    job.emailField = "EMAIL";
    job.boundary = Boundary();
    MessageInput in{"John Doe", "sender@example.com", "Club", "News", body,
                    InternetDate(0), "token"};
    job.messageLines = BuildMessage(in, job.boundary);
    job.attachments = attachments;
    job.tempDir = (root_ / "tmp").string();
    return job;
  }

  // Runs a send to `port` until it ends (at most 20 s).
  void Send(int port, SendJob job) {
    sock->SetPort(port);
    dialogue->Start(std::move(job));
    EXPECT_TRUE(net::test::PumpUntil([this] { return !dialogue->Running(); }, 20000)) << "send hung";
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
  std::vector<std::string> statuses, failures, notes, completedLog;
  int completions = 0, ends = 0;
};

}  // namespace tavrin::app::testing
