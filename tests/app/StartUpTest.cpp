// Program start: settings file, table check, first-run mode, and handing the settings out.
#include <sys/resource.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <system_error>

#include "AppFixture.h"
#include "program/SettingsLocation.h"
#include "platform/CodePage.h"
#include "platform/CodePageQt.h"

namespace tavrin::app::testing {
namespace {

class StartUp : public AppFixture {
 protected:
  // Starts the program with every file write failing as on a full disk ("File too large").
  void StartOnAFullDisk() {
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 16;
    ::setrlimit(RLIMIT_FSIZE, &small);
    StartProgram();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
  }
};

TEST_F(StartUp, FirstStartWritesExactlyTheFiveKeptKeys) {
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(
      ReadIni(),
      "[Options]\nSenderName=John Doe\nReturnEmail=sender@example.com\n"
      "ServerName=smtp.example.com\nServerPort=25\n[Defaults]\nTo=Everyone on the mailing list\n");
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_FALSE(AppSettings().FirstRun);
  EXPECT_EQ(AppSettings().TempFileName, Root() + "/tmp/temp.out");
}

TEST_F(StartUp, HandWrittenKeysAndCommentsSurviveTheWriteBack) {
  WriteIni("; kept by hand\n[Options]\nProgramCaption=Club Mailer\nDir=" + Root() +
           "/lists\nTableName=clients.dbf\n");
  std::filesystem::create_directories(Root() + "/lists");
  std::ofstream(Root() + "/lists/clients.dbf") << "";
  StartProgram();
  EXPECT_EQ(ReadIni(), "; kept by hand\n[Options]\nProgramCaption=Club Mailer\nDir=" + Root() +
                           "/lists\nTableName=clients.dbf\nSenderName=John Doe\n"
                           "ReturnEmail=sender@example.com\nServerName=smtp.example.com\n"
                           "ServerPort=25\n[Defaults]\nTo=Everyone on the mailing list\n");
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/lists/clients.dbf");
  EXPECT_EQ(Main().windowTitle(), "Club Mailer");
  EXPECT_EQ(platform::Dialogs::ApplicationTitle(), "Club Mailer");
}

// Text in any script goes from the file to the windows and back without a change; a value written
// by hand in an 8-bit editor reads as Windows-1252 text. Only the Send refuses what it can't send.
TEST_F(StartUp, SettingsKeepTheirTextFromFileToWindowToFile) {
  const std::string ini =
      "[Options]\nProgramCaption=Caf\xE9 News\nSenderName=\xCE\x91\xCE\xBD\xCE\xBD\xCE\xB1 "
      "\xE5\xBC\xA0\nReturnEmail=anna@example.com\nServerName=smtp.m\xFCller.example\nServerPort="
      "25\n"
      "[Defaults]\nTo=\xD0\x9A\xD0\xBB\xD1\x83\xD0\xB1\n";
  WriteIni(ini);
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(ReadIni(), ini);  // starting changes nothing
  EXPECT_EQ(Main().windowTitle(), QString::fromUtf8("Caf\xC3\xA9 News"));
  EXPECT_EQ(Main().edtTo->text(), QString::fromUtf8("\xD0\x9A\xD0\xBB\xD1\x83\xD0\xB1"));
  EXPECT_EQ(AppSettings().ServerName, "smtp.m\xC3\xBCller.example");
  WhenConfigShows([](TfrmConfiguration& config) {
    EXPECT_EQ(config.edtName->text(),
              QString::fromUtf8("\xCE\x91\xCE\xBD\xCE\xBD\xCE\xB1 \xE5\xBC\xA0"));
    QTest::mouseClick(config.btnOK, Qt::LeftButton);
  });
  Main().btnConfigureClick();
  Main().close();
  EXPECT_EQ(ReadIni(), ini);
  EXPECT_FALSE(FitsWindows1252(AppSettings().SenderName));
  EXPECT_TRUE(FitsWindows1252("Jos\xC3\xA9 \xE2\x82\xAC"));
  EXPECT_EQ(SettingToAnsi("Jos\xC3\xA9 \xE2\x82\xAC"), "Jos\xE9 \x80");
}

TEST_F(StartUp, MissingTableIsReportedWithItsPathAndEndsTheProgramAsAFailure) {
  StartProgram();
  ASSERT_EQ(dialogs_.Messages(), std::vector<std::string>{std::string(kNoDatabaseMessage) + "\n" +
                                                          Root() + "/home/Tavrin/tavrin.dbf"});
  EXPECT_EQ(dialogs_.shown[0].caption, "My Email Program");
  EXPECT_EQ(terminateCalls_, 1);
  EXPECT_NE(services_->exitStatus, 0);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/home/Tavrin/tavrin.dbf");
}

// A folder named in an 8-bit code page (not UTF-8) is named as it is, not with a '?' for its letter.
TEST_F(StartUp, MissingTableInAFolderWithAn8BitNameNamesItWhole) {
  WriteIni("[Options]\nDir=" + Root() + "/caf\xE9\n");
  StartProgram();
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{std::string(kNoDatabaseMessage) + "\n" +
                                                          Root() + "/caf\xE9/tavrin.dbf"});
}

// A name without extension finds its table the way the table engine opens it, and "~/" is home.
TEST_F(StartUp, TableNameWithoutExtensionFindsTheLowerCaseFileInTheHomeFolder) {
  WriteIni("[Options]\nDir=~/lists\nTableName=clients\n");
  std::filesystem::create_directories(Root() + "/home/lists");
  std::ofstream(Root() + "/home/lists/clients.dbf") << "";
  StartProgram();
  EXPECT_TRUE(dialogs_.shown.empty());
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "/home/lists/clients.dbf");
}

TEST_F(StartUp, FolderWithTrailingSlashGivesADoubledSlash) {
  WriteIni("[Options]\nDir=" + Root() + "/\nTableName=t.dbf\n");
  std::ofstream(Root() + "/t.dbf") << "";
  StartProgram();
  EXPECT_EQ(Main().NextSendSetup().tableFile, Root() + "//t.dbf");
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(StartUp, SettingsReachTheSocketClientAndToField) {
  WriteIni("[Options]\nServerName=mail.example.org\nServerPort=$19\n[Defaults]\nTo=Club members\n");
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(Main().NextSendSetup().server, "mail.example.org");
  EXPECT_EQ(Main().NextSendSetup().port, 25);
  EXPECT_EQ(Main().edtTo->text(), "Club members");
  EXPECT_EQ(Main().edtTo->palette().color(QPalette::Text), QColor(Qt::black));
}

// A hand-edited port that is no port is told once, however often the settings are applied again.
TEST_F(StartUp, HandEditedPortThatIsNoPortIsReportedOnceAndKeepsThePort) {
  WriteIni("[Options]\nServerPort=smtp\n");
  CreateDefaultTable();
  StartProgram();
  for (int i = 0; i < 2; ++i) {
    WhenConfigShows([](TfrmConfiguration& config) { config.reject(); });
    Main().btnConfigureClick();
  }
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{
                "The server port in the settings file is not a valid integer: smtp"});
  EXPECT_EQ(Main().NextSendSetup().port, 0);
  EXPECT_EQ(terminateCalls_, 0);

  AppSettings().ServerPort = "99999";
  Main().ApplySettings();
  EXPECT_EQ(dialogs_.Messages().back(),
            "The server port in the settings file is not a number from 1 to 65535: 99999");
  EXPECT_EQ(Main().NextSendSetup().port, 0);
}

TEST_F(StartUp, EmptyReturnEmailStartsInFirstRunModeAndCancelEndsTheProgram) {
  WriteIni("[Options]\nReturnEmail=\n");
  CreateDefaultTable();
  StartProgram();
  EXPECT_TRUE(AppSettings().FirstRun);
  bool configWasUp = false;
  WhenConfigShows([&](TfrmConfiguration& config) {
    configWasUp = config.isVisible();
    EXPECT_EQ(config.windowTitle(), "My Email Program Setup");
    QTest::mouseClick(config.btnCancel, Qt::LeftButton);
  });
  Main().show();
  EXPECT_TRUE(configWasUp);
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{"Since this is your first time running My Email Program you "
                                     "will be taken into the setup screen."});
  EXPECT_GE(terminateCalls_, 1);
}

// Once the first-run setup has given a sender address, Cancel just closes the dialog: the program
// and the message being written go on.
TEST_F(StartUp, CancelAfterTheFirstRunSetupKeepsTheProgramAndTheMessage) {
  WriteIni("[Options]\nReturnEmail=\n");
  CreateDefaultTable();
  StartProgram();
  WhenConfigShows([](TfrmConfiguration& config) {
    config.edtEmailAddress->setText("me@example.net");
    QTest::mouseClick(config.btnOK, Qt::LeftButton);
  });
  Main().show();
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_EQ(AppSettings().ReturnEmail, "me@example.net");

  Main().mmoMessage->setPlainText("Dear members,");
  WhenConfigShows([](TfrmConfiguration& config) { config.reject(); });
  Main().btnConfigureClick();
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_EQ(Main().mmoMessage->toPlainText(), "Dear members,");
}

// A settings file that can't be written (here: a disk that is full) is told once, when the write
// is tried, and the file is left as it was.
TEST_F(StartUp, SettingsThatCannotBeSavedAreToldOnceAndTheFileIsKept) {
  WriteIni("[Options]\nDir=" + Root() + "/home/Tavrin\n");
  CreateDefaultTable();
  StartOnAFullDisk();
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{"The settings could not be saved to " +
                                                          IniPath() + ": File too large"});
  EXPECT_EQ(dialogs_.shown.at(0).caption, "My Email Program");  // before the settings were read
  EXPECT_EQ(ReadIni(), "[Options]\nDir=" + Root() + "/home/Tavrin\n");
  EXPECT_EQ(terminateCalls_, 0);
}

// The reason comes from the system in the user's language, as UTF-8: it is shown in the program's
// 8-bit text like every other message, not as its UTF-8 bytes.
TEST_F(StartUp, TheReasonASaveFailedIsShownInTheUsersLanguageWhole) {
  CreateDefaultTable();
  ::setenv("LANGUAGE", "de", 1);
  const std::string reason =
      std::generic_category().message(EFBIG);  // "Die Datei ist zu gro\u00DF"
  StartOnAFullDisk();
  ::unsetenv("LANGUAGE");
  if (std::none_of(reason.begin(), reason.end(), [](char c) { return (c & 0x80) != 0; }))
    GTEST_SKIP() << "the system has no translated messages";
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{"The settings could not be saved to " + IniPath() + ": " +
                                     platform::Utf8ToAnsi(reason)});
}

// A file partly overwritten with binary bytes: the lines that are still text keep their values,
// the user is told which lines were skipped, and the file is not rewritten (nor called unsaved).
TEST_F(StartUp, SettingsFileWithBinaryLinesKeepsTheReadableValuesAndIsLeftAlone) {
  CreateDefaultTable();
  const std::string damaged = std::string("[Options]\nServerName=mail.example.org\n") +
                              std::string("\x01\x02\0\x7F\xFF garbage", 14) +
                              "\nReturnEmail=ann@example.org\nSenderName=Ann\n";
  WriteIni(damaged);
  StartProgram();
  EXPECT_EQ(AppSettings().ServerName, "mail.example.org");
  EXPECT_EQ(AppSettings().ReturnEmail, "ann@example.org");
  EXPECT_EQ(AppSettings().SenderName, "Ann");
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_EQ(dialogs_.Messages()[0], "Some lines of the settings file " + IniPath() +
                                        " could not be read and were skipped (line 3). The "
                                        "settings of the other lines are used; the file is left "
                                        "as it is.");
  Main().close();
  EXPECT_EQ(ReadIni(), damaged);
  EXPECT_EQ(dialogs_.Messages().size(), 1u);  // nothing said about saving at close either
}

TEST_F(StartUp, BrowserTitleFollowsTheCaptionOnceSettingsAreAppliedAgain) {
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(program_->frmBrowser()->windowTitle(), "Database Browser");
  EXPECT_FALSE(program_->frmBrowser()->isVisible());
  WhenConfigShows([](TfrmConfiguration& config) { config.reject(); });
  Main().btnConfigureClick();  // a normal-run Cancel: just closes, then settings apply again
  EXPECT_EQ(terminateCalls_, 0);
  EXPECT_EQ(program_->frmBrowser()->windowTitle(), "My Email Program Database Browser");
}

TEST_F(StartUp, ShowingTheWindowPutsPlaceholdersAndFocusInPlace) {
  CreateDefaultTable();
  StartProgram();
  Main().show();
  EXPECT_EQ(Main().edtSubject->text(), kSubjectPlaceholder);
  EXPECT_EQ(Main().edtSubject->palette().color(QPalette::Text), QColor(128, 128, 128));
  EXPECT_EQ(Main().focusWidget(), Main().edtTo);
  EXPECT_EQ(Main().edtTo->text(), "Everyone on the mailing list");
}

TEST_F(StartUp, ClosingTheMainWindowSavesTheSettings) {
  CreateDefaultTable();
  StartProgram();
  AppSettings().To = "Friends of the club";
  Main().close();
  EXPECT_NE(ReadIni().find("To=Friends of the club"), std::string::npos);
}

// Beside the program in its own writable folder, never in a system program folder (a root run of
// an installed program would write /usr/bin/Tavrin.ini for everyone).
TEST_F(StartUp, SettingsGoBesideAWritableProgramButNeverIntoASystemFolder) {
  const std::string config = Root() + "/config";
  EXPECT_EQ(ChooseSettingsFile(Root(), config), Root() + "/Tavrin.ini");
  EXPECT_EQ(ChooseSettingsFile("/usr/bin", config), config + "/Tavrin/Tavrin.ini");
  EXPECT_TRUE(std::filesystem::is_directory(config + "/Tavrin"));
  EXPECT_FALSE(std::filesystem::exists("/usr/bin/Tavrin.ini"));
}

}  // namespace
}  // namespace tavrin::app::testing
