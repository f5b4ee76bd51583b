// The send log's layout and the log window.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "AppFixture.h"
#include "app/LogWindow.h"
#include "app/SendLog.h"

namespace tavrin::app::testing {
namespace {

TEST(SendLog, FitTextPadsOrCutsToExactlyTheWidth) {
  EXPECT_EQ(FitText("Ann", 35), "Ann" + std::string(32, ' '));
  EXPECT_EQ(FitText(std::string(40, 'x'), 35), std::string(35, 'x'));
  EXPECT_EQ(FitText(std::string(35, 'y'), 35), std::string(35, 'y'));
  EXPECT_EQ(FitText("", 3), "   ");
  EXPECT_EQ(FitText("abc", 0), "");
  // UTF-8 counts in characters and is never cut inside one.
  EXPECT_EQ(FitText("Zo\xC3\xAB", 5), "Zo\xC3\xAB  ");
  EXPECT_EQ(FitText("\xCE\xB1\xCE\xB2\xCE\xB3", 2), "\xCE\xB1\xCE\xB2");
}

TEST(SendLog, TableNamesAndServerWordsBecomeUtf8Once) {
  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  log.AddLogLine("Zo\xEB", false, "Bo\xEEte pleine");  // the table's and a server's 8-bit text
  log.AddLogLine("Cy", false, "\xCE\xB3\xCE\xB5\xCE\xBC\xCE\xAC\xCF\x84\xCE\xBF");  // UTF-8 words stay
  EXPECT_EQ(log.LogLines()[9], FitText("Zo\xC3\xAB", 35) + "  FAILED  " + FitText("Bo\xC3\xAEte pleine", 25));
  EXPECT_EQ(log.LogLines()[10].substr(45), FitText("\xCE\xB3\xCE\xB5\xCE\xBC\xCE\xAC\xCF\x84\xCE\xBF", 25));
}

TEST(SendLog, HeaderAndRecipientLinesLineUpInTheirColumns) {
  TSendLog log;
  log.StartLog("My Email Program", "John Doe", "07/12/2026", "10:15:00");
  log.AddLogLine("Ann", true, "Requested mail action okay, completed");
  log.AddLogLine(std::string(40, 'B'), false,
                 "Requested action not taken: mailbox unavailable[E.g., mailbox not found, no "
                 "access]");
  const std::vector<std::string> expected = {
      "My Email Program Log",
      "",
      "John Doe",
      "",
      "",
      "Date: 07/12/2026    Time: 10:15:00",
      "",
      "Name" + std::string(31, ' ') + "  Status  Details",
      std::string(70, '-'),
      "Ann" + std::string(32, ' ') + "  OK",
      std::string(35, 'B') + "  FAILED  Requested action not take",
  };
  EXPECT_EQ(log.LogLines(), expected);
  const std::string& failed = log.LogLines().back();
  EXPECT_EQ(failed.find("FAILED"), 37u);     // status in column 38
  EXPECT_EQ(failed.find("Requested"), 45u);  // details in column 46
  EXPECT_EQ(log.LogLines()[7].find("Details"), 45u);
}

TEST(SendLog, ASecondSendStartsFromAnEmptyLog) {
  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  log.AddLogLine("Ann", true, "");
  log.StartLog("P", "S", "d2", "t2");
  EXPECT_EQ(log.LogLines().size(), 9u);
  EXPECT_EQ(log.LogLines()[5], "Date: d2    Time: t2");
}

class LogWindow : public AppFixture {};

TEST_F(LogWindow, ShowsTheLinesAndCopiesTheEditedTextToTheClipboard) {
  AppSettings().ProgramCaption = "Club Mailer";
  TfrmLog window(dialogs_);
  window.SetLines({"Club Mailer Log", "", "\xCE\x86\xCE\xBD\xCE\xBD\xCE\xB1  OK"});  // Άννα
  window.show();
  EXPECT_EQ(window.windowTitle(), "Club Mailer Log");
  EXPECT_EQ(window.size(), QSize(603, 424));
  window.reLog->appendPlainText("note added by hand");
  QTest::mouseClick(window.btnCopyToClipboard, Qt::LeftButton);
  EXPECT_EQ(dialogs_.clipboard, "Club Mailer Log\n\n\xCE\x86\xCE\xBD\xCE\xBD\xCE\xB1  OK\nnote added by hand");
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(LogWindow, MainWindowStartsTheLogFromTheSettingsAndEmptiesTheMessage) {
  CreateDefaultTable();
  StartProgram();
  Main().MessageLines = {"old"};
  Main().SendState = 5;
  Main().StartLog();
  const auto& lines = Main().sendLog.LogLines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "My Email Program Log");
  EXPECT_EQ(lines[2], "John Doe");
  EXPECT_EQ(lines[5].rfind("Date: ", 0), 0u);
  EXPECT_NE(lines[5].find("    Time: "), std::string::npos);
  EXPECT_TRUE(Main().MessageLines.empty());
  EXPECT_EQ(Main().SendState, 0);
}

TEST_F(LogWindow, TranscriptKeepsEachReplyAndItsDescriptionAcrossSends) {
  CreateDefaultTable();
  StartProgram();
  EXPECT_TRUE(Main().CheckReplyLine("220 mail.example.com ready\r\n"));
  EXPECT_FALSE(Main().CheckReplyLine("299 odd\r\n"));
  Main().StartLog();  // a new send does not clear the transcript
  EXPECT_TRUE(Main().CheckReplyLine("550 no such user\r\n"));
  EXPECT_FALSE(Main().Memo1->isVisible());
  EXPECT_EQ(Main().Memo1->toPlainText(),
            "220 mail.example.com ready\n<domain> Service ready\n299 odd\n<domain> Service ready\n"
            "550 no such user\nRequested action not taken: mailbox unavailable[E.g., mailbox not "
            "found, no access]");
}

}  // namespace
}  // namespace tavrin::app::testing
