// A journaled send in a process of its own, for the kill proof (journal_kill_test.sh).
//   journal_probe prepare FOLDER TABLE   writes a new journal for a fixed message to TABLE
//                                        (two recipients per transaction); prints its path
//   journal_probe send FOLDER PORT       sends from the open journal in FOLDER to 127.0.0.1:PORT,
//                                        as Resume does: only the recipients without an outcome,
//                                        leaving out those that may have been delivered (printed
//                                        as "skipped N"); nothing when every journal is closed
// Exits 0 when the send ran to its end (whatever the server said), 2 on a fault of its own.
#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "send/MailSend.h"
#include "send/MessageAssembly.h"
#include "send/SendJournal.h"

using namespace tavrin::app;

namespace {

int Prepare(const std::string& folder, const std::string& table) {
  JournalHead head;
  head.started = std::time(nullptr);
  head.subject = "Proof";
  head.tableFile = table;
  head.nameField = "NAME";
  head.emailField = "EMAIL";
  head.returnEmail = "sender@example.com";
  head.boundary = Boundary();
  MessageInput in{"Sender", "sender@example.com",     "Club",
                  "Proof",  {"Hello,", "once only."}, InternetDate(0),
                  "token"};
  head.lines = BuildMessage(in, head.boundary);
  const auto live = LiveRecords(table);
  if (!std::holds_alternative<std::int64_t>(live)) return std::cerr << "table\n", 2;
  head.total = std::get<std::int64_t>(live);
  auto made = TSendJournal::Create(folder, head);
  if (auto* error = std::get_if<std::string>(&made)) return std::cerr << *error << "\n", 2;
  std::cout << std::get<std::unique_ptr<TSendJournal>>(made)->Path() << "\n";
  return 0;
}

int Send(QCoreApplication& app, const std::string& folder, int port) {
  std::optional<JournalState> open;
  for (const std::string& path : JournalFiles(folder)) {
    auto read = ReadJournal(path);
    if (auto* error = std::get_if<std::string>(&read)) return std::cerr << *error << "\n", 2;
    if (!std::get<JournalState>(read).closed) open = std::get<JournalState>(std::move(read));
  }
  if (!open) return 0;
  auto reopened = TSendJournal::Reopen(*open);
  if (auto* error = std::get_if<std::string>(&reopened)) return std::cerr << *error << "\n", 2;
  auto journal = std::get<std::unique_ptr<TSendJournal>>(std::move(reopened));
  for (const std::int32_t record : open->mayHaveBeenDelivered) {
    std::cout << "skipped " << record << "\n";
    journal->Skip(record, kMayHaveBeenDelivered);
  }
  if (!journal->Flush()) return std::cerr << journal->Error() << "\n", 2;

  SendSetup setup;
  setup.server = "127.0.0.1";
  setup.port = port;
  setup.tableFile = open->head.tableFile;
  setup.nameField = open->head.nameField;
  setup.emailField = open->head.emailField;
  setup.returnEmail = open->head.returnEmail;
  setup.recipientsPerMessage = 2;
  setup.tempDir = QDir::tempPath().toStdString();
  TMailSend send(setup);
  send.Dialogue().mostReconnections = 0;
  MailMessage message;
  message.lines = open->head.lines;
  message.boundary = open->head.boundary;
  message.settledBefore = SettledFor(*open, false);
  send.Log().StartLog("P", "S", "d", "t");
  journal->Bind(send.Events(), send.Log());
  send.Events().ended = [&app] { QTimer::singleShot(0, &app, &QCoreApplication::quit); };
  send.Start(std::move(message));
  if (send.Running()) app.exec();
  return journal->Error().empty() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "prepare" && argc == 4) return Prepare(argv[2], argv[3]);
  if (mode == "send" && argc == 4) return Send(app, argv[2], std::atoi(argv[3]));
  std::cerr << "usage: journal_probe prepare FOLDER TABLE | send FOLDER PORT\n";
  return 2;
}
