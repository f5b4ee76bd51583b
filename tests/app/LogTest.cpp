// The send log's lines, its files, the log window and the transcript.
#include <sys/stat.h>

#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>

#include "AppFixture.h"
#include "SendSupport.h"
#include "send/LogFiles.h"
#include "windows/LogWindow.h"
#include "send/MimeEncoding.h"
#include "send/SendLog.h"

namespace tavrin::app::testing {
namespace {

TEST(SendLog, FitTextPadsOrCutsToExactlyTheWidth) {
  EXPECT_EQ(FitText("Ann", 35), "Ann" + std::string(32, ' '));
  EXPECT_EQ(FitText(std::string(40, 'x'), 35), std::string(35, 'x'));
  EXPECT_EQ(FitText("", 3), "   ");
  EXPECT_EQ(FitText("abc", 0), "");
  // UTF-8 counts in characters and is never cut inside one.
  EXPECT_EQ(FitText("Zo\xC3\xAB", 5), "Zo\xC3\xAB  ");
  EXPECT_EQ(FitText("\xCE\xB1\xCE\xB2\xCE\xB3", 2), "\xCE\xB1\xCE\xB2");
}

TEST(SendLog, EachRecipientShowsItsAddressAndTheWholeReplyInColumns) {
  TSendLog log;
  log.StartLog("My Email Program", "John Doe", "07/12/2026", "10:15:00");
  log.AddRecipient({1, "Ann", "ann@example.com", RecipientStatus::kOk, "250 2.0.0 Ok: queued"});
  const std::string refusal =
      "550 5.1.1 <bob@example.org>: Recipient address rejected: User unknown";
  log.AddRecipient({2, std::string(40, 'B'), "bob@example.org", RecipientStatus::kFailed, refusal});
  log.AddRecipient({3, "Zo\xEB", std::string(45, 'z') + "@example.org", RecipientStatus::kNotSent,
                    "Bo\xEEte pleine"});  // the table's and a server's 8-bit text
  const auto& lines = log.LogLines();
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7),
            (std::vector<std::string>{"My Email Program Log", "", "John Doe", "", "",
                                      "Date: 07/12/2026    Time: 10:15:00", ""}));
  EXPECT_EQ(lines[7], FitText("Name", 35) + "  " + FitText("Address", 40) + "  Status    Details");
  EXPECT_EQ(lines[8], std::string(lines[7].size(), '-'));
  EXPECT_EQ(lines[9], FitText("Ann", 35) + "  " + FitText("ann@example.com", 40) + "  OK");
  EXPECT_EQ(lines[10], std::string(35, 'B') + "  " + FitText("bob@example.org", 40) +
                           "  FAILED    " + refusal);
  EXPECT_EQ(lines[10].find("FAILED"), lines[7].find("Status"));
  // A long address is never cut: the rest moves along.
  EXPECT_EQ(lines[11], FitText("Zo\xC3\xAB", 35) + "  " + log.Entries()[2].address +
                           "  Not sent  Bo\xC3\xAEte pleine");
  std::size_t widest = 0;
  for (const auto& line : lines) widest = std::max(widest, CharacterCount(line));
  EXPECT_EQ(log.WidestLine(), widest);
  EXPECT_EQ(log.Text(), lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n\n\n" + lines[5] +
                            "\n\n" + lines[7] + "\n" + lines[8] + "\n" + lines[9] + "\n" +
                            lines[10] + "\n" + lines[11]);

  log.StartLog("P", "S", "d2", "t2");  // a second send starts from an empty log
  EXPECT_EQ(log.LogLines().size(), 9u);
  EXPECT_EQ(log.LogLines()[5], "Date: d2    Time: t2");
}

// A name or reply holding line ends, escape sequences or direction overrides cannot forge a line
// or hide what follows; every character stays one column wide.
TEST(SendLog, ControlCharactersAreShownNotObeyed) {
  EXPECT_EQ(VisibleText("Eve\r\nAnn  OK"),
            "Eve\xE2\x90\x8D\xE2\x90\x8A"
            "Ann  OK");
  EXPECT_EQ(VisibleText("550 \x1B[31mred\x1B[0m\t\x7F"),
            "550 \xE2\x90\x9B[31mred\xE2\x90\x9B[0m\xE2\x90\x89\xE2\x90\xA1");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(VisibleText("a\xE2\x80\xAE"
                        "b\xE2\x81\xA6"
                        "c\xC2\x85"
                        "d\xE2\x80\xA8"
                        "e"),  // U+202E U+2066 NEL U+2028
            "a" + fffd + "b" + fffd + "c" + fffd + "d" + fffd + "e");
  EXPECT_EQ(VisibleText("x\xFFy\xE2\x82"), "x" + fffd + "y" + fffd + fffd);  // not UTF-8
  EXPECT_EQ(VisibleText("Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x93\xA7"),
            "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x93\xA7");

  TSendLog log;
  log.StartLog("P", "S\r\nForged", "d", "t");
  log.AddRecipient(
      {1, "Eve\r\nMallory", "eve@example.org", RecipientStatus::kFailed, "550 \x1B[2Jgone"});
  const std::string text = log.Text();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\x1B'), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
  const std::string& line = log.LogLines()[9];
  EXPECT_EQ(CharacterCount(line.substr(0, line.find("eve@example.org"))), 37u);
}

// The log packs names and addresses together and keeps each reply text once: every recipient
// still reads back whole, whatever its length, however the replies repeat, and after a new send.
TEST(SendLog, RecipientsReadBackWholeWhateverTheirLengthOrSharedReplies) {
  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  std::vector<LogEntry> added;
  for (int i = 1; i <= 3000; ++i) {  // more than one block of texts
    const auto status = i % 3 == 0 ? RecipientStatus::kFailed : RecipientStatus::kOk;
    const std::string n = std::to_string(i);
    added.push_back({i, std::string("Person ").append(n),
                     std::string("p").append(n).append("@example.com"), status,
                     status == RecipientStatus::kOk
                         ? std::string("250 Ok: queued")
                         : std::string("550 No ").append(std::to_string(i % 2))});
    if (i == 1500)  // a name longer than a block, an empty address and reply
      added.push_back({-1, std::string(70000, 'N'), "", RecipientStatus::kNotSent, ""});
  }
  for (const LogEntry& e : added) log.AddRecipient(e);
  ASSERT_EQ(log.Entries().size(), added.size());
  std::size_t i = 0;
  for (const LogEntry& e : log.Entries()) {
    const LogEntry& want = added[i++];
    EXPECT_EQ(e.recordNo, want.recordNo);
    EXPECT_EQ(e.name, want.name);
    EXPECT_EQ(e.address, want.address);
    EXPECT_EQ(e.status, want.status);
    EXPECT_EQ(e.reply, want.reply);
  }
  EXPECT_EQ(log.Line(9 + 1500),
            std::string(35, 'N') + "  " + std::string(40, ' ') + "  Not sent  ");
  EXPECT_EQ(log.Line(9 + added.size() - 1), "Person 3000" + std::string(24, ' ') +
                                                "  p3000@example.com" + std::string(23, ' ') +
                                                "  FAILED    550 No 0");

  log.StartLog("P", "S", "d", "t");
  log.AddRecipient({7, "Ann", "ann@example.com", RecipientStatus::kFailed, "550 No 1"});
  ASSERT_EQ(log.Entries().size(), 1u);
  EXPECT_EQ(log.Entries()[0].reply, "550 No 1");
  EXPECT_EQ(log.CsvRow(1), "Ann,ann@example.com,FAILED,550 No 1\r\n");
}

TEST(SendLog, CsvQuotesCellsAndDisarmsFormulas) {
  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  log.AddRecipient({1, "Doe, \"Jo\"", "jo@example.org", RecipientStatus::kOk, "250 Ok"});
  log.AddRecipient(
      {2, "=HYPERLINK(\"x\")", "+1@example.org", RecipientStatus::kFailed, "-550 @no"});
  log.AddRecipient({3, "@Ann\nB", "", RecipientStatus::kNotSent, "The send was stopped."});
  EXPECT_EQ(log.CsvRow(0), "Name,Address,Status,Reply\r\n");
  EXPECT_EQ(log.CsvRow(1), "\"Doe, \"\"Jo\"\"\",jo@example.org,OK,250 Ok\r\n");
  EXPECT_EQ(log.CsvRow(2), "\"'=HYPERLINK(\"\"x\"\")\",'+1@example.org,FAILED,'-550 @no\r\n");
  EXPECT_EQ(log.CsvRow(3),
            "'@Ann\xE2\x90\x8A"
            "B,,Not sent,The send was stopped.\r\n");
}

class LogFiles : public AppFixture {};

TEST_F(LogFiles, EachSendIsKeptAsPrivateTextAndCsvUnderItsOwnName) {
  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  log.AddRecipient({1, "Ann", "ann@example.com", RecipientStatus::kOk, "250 Ok"});
  log.AddRecipient(
      {2, "Bob, Jr.", "bob@example.com", RecipientStatus::kFailed, "550 No, \"never\""});
  const std::string folder = Root() + "/data/Tavrin/logs";
  const std::time_t when = 1'800'000'000;
  const SavedLog first = SaveLogFiles(log, folder, when);
  const SavedLog second = SaveLogFiles(log, folder, when);  // the same second
  ASSERT_EQ(first.error, "");
  ASSERT_EQ(second.error, "");
  EXPECT_NE(first.textPath, second.textPath);
  EXPECT_EQ(second.textPath.substr(0, second.textPath.size() - 6) + ".txt",
            first.textPath);  // "-2.txt"
  EXPECT_EQ(std::filesystem::path(first.textPath).parent_path(), folder);
  EXPECT_EQ(std::filesystem::path(first.csvPath).replace_extension(".txt"), first.textPath);

  auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  EXPECT_EQ(mode(folder), 0700);
  EXPECT_EQ(mode(first.textPath), 0600);
  EXPECT_EQ(mode(first.csvPath), 0600);
  EXPECT_EQ(ReadFile(first.textPath), log.Text() + "\n");
  EXPECT_EQ(ReadFile(first.csvPath),
            "Name,Address,Status,Reply\r\nAnn,ann@example.com,OK,250 Ok\r\n"
            "\"Bob, Jr.\",bob@example.com,FAILED,\"550 No, \"\"never\"\"\"\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}),
            4);  // no temporaries left
  EXPECT_NE(SavedLogText(first).find(first.textPath), std::string::npos);

  // A folder that cannot be made is said, and nothing is lost but the files.
  WriteFile(Root() + "/plain", "x");
  const SavedLog refused = SaveLogFiles(log, Root() + "/plain/logs", when);
  EXPECT_EQ(refused.textPath, "");
  EXPECT_EQ(SavedLogText(refused).rfind("This log could not be saved. ", 0), 0u)
      << SavedLogText(refused);

  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(LogsFolder("/home/u"), "/home/u/.local/share/Tavrin/logs");
  ::setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(LogsFolder("/home/u"), "/xdg/Tavrin/logs");
  ::unsetenv("XDG_DATA_HOME");
}

class LogWindow : public AppFixture {};

TEST_F(LogWindow, ShowsTheLogReadOnlyGrowsWithTheWindowAndCopiesEveryLine) {
  AppSettings().ProgramCaption = "Club Mailer";
  TSendLog log;
  log.StartLog("Club Mailer", "S", "d", "t");
  log.AddRecipient({1, "\xC1nna", "anna@example.com", RecipientStatus::kOk, "250 Ok"});  // Ánna
  TfrmLog window(dialogs_);
  window.SetLog(log, "This log is saved as /x/send.txt, and as CSV beside it.");
  window.show();
  EXPECT_EQ(window.windowTitle(), "Club Mailer Log");
  EXPECT_EQ(window.reLog->model()->rowCount(), 10);
  EXPECT_EQ(window.reLog->model()->index(9, 0).data().toString().toStdString(), log.LogLines()[9]);
  EXPECT_FALSE(window.reLog->model()->flags(window.reLog->model()->index(9, 0)) &
               Qt::ItemIsEditable);
  EXPECT_TRUE(window.lblSaved->isVisible());
  const QSize before = window.reLog->size();
  window.resize(window.size() + QSize(200, 100));
  QApplication::processEvents();
  EXPECT_EQ(window.reLog->size(), before + QSize(200, 100));

  QTest::mouseClick(window.btnCopyToClipboard, Qt::LeftButton);
  EXPECT_EQ(dialogs_.clipboard, log.Text());
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(LogWindow, MainWindowStartsTheLogFromTheSettings) {
  CreateDefaultTable();
  StartProgram();
  TSendLog log;
  Main().StartLog(log);
  const auto& lines = log.LogLines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "My Email Program Log");
  EXPECT_EQ(lines[2], "John Doe");
  EXPECT_EQ(lines[5].rfind("Date: ", 0), 0u);
  EXPECT_NE(lines[5].find("    Time: "), std::string::npos);
}

TEST_F(LogWindow, TranscriptKeepsTheLatestRepliesAcrossSendsAndShowsThemOnDemand) {
  CreateDefaultTable();
  StartProgram();
  // As a send reports each reply: the line as received, then the reply table's description.
  TReplyTable table;
  table.Transcript = [this](const std::string& text) { Main().AddTranscript(text); };
  const auto reply = [&](const std::string& line) {
    Main().AddTranscript(line.substr(0, line.find_last_not_of("\r\n") + 1));
    return table.CheckReply(line);
  };
  EXPECT_TRUE(reply("220 mail.example.com ready\r\n"));
  EXPECT_FALSE(reply("299 odd\r\n"));
  TSendLog log;
  Main().StartLog(log);  // a new send does not clear the transcript
  EXPECT_TRUE(reply("550 no such user\r\n"));
  const QString expected =
      "220 mail.example.com ready\n<domain> Service ready\n299 odd\n<domain> Service ready\n"
      "550 no such user\nRequested action not taken: mailbox unavailable[E.g., mailbox not "
      "found, no access]";
  EXPECT_EQ(Main().TranscriptText(), expected);
  EXPECT_TRUE(Main().Memo1->toPlainText().isEmpty());  // nothing laid out until it is shown
  Main().show();
  Main().Memo1->show();
  EXPECT_EQ(Main().Memo1->toPlainText(), expected);

  for (std::size_t i = 0; i < TfrmEmailMerge::kTranscriptLines; ++i) reply("250 ok\r\n");
  const QString text = Main().TranscriptText();
  EXPECT_EQ(text.count('\n') + 1, static_cast<qsizetype>(TfrmEmailMerge::kTranscriptLines));
  EXPECT_TRUE(text.startsWith("250 ok\n"));
  // A reply cannot write a line of its own, colour the panel or turn the text around.
  reply(
      "550 no\r250 forged \x1B[31m\xE2\x80\xAE"
      "desrever\r\n");
  EXPECT_TRUE(
      Main().TranscriptText().contains(QString::fromUtf8("550 no\xE2\x90\x8D"
                                                         "250 forged \xE2\x90\x9B[31m\xEF\xBF\xBD"
                                                         "desrever")))
      << Main().TranscriptText().right(120).toStdString();
}

}  // namespace
}  // namespace tavrin::app::testing
