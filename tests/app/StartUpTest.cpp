// Program start: settings file, table check, first-run mode, and handing the settings out.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "AppFixture.h"
#include "platform/CodePageQt.h"

namespace tavrin::app::testing {
namespace {

class StartUp : public AppFixture {};

TEST_F(StartUp, FirstStartWritesExactlyTheFiveKeptKeys) {
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(ReadIni(),
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
  EXPECT_EQ(Main().tblRecipients.DbfFileName(), Root() + "/lists/clients.dbf");
  EXPECT_EQ(Main().windowTitle(), "Club Mailer");
  EXPECT_EQ(platform::Dialogs::ApplicationTitle(), "Club Mailer");
}

TEST_F(StartUp, SettingsFileIsUtf8TextAndHandWritten8BitTextIsKept) {
  WriteIni("[Options]\nSenderName=Jos\xC3\xA9 M\xC3\xBCller\nProgramCaption=Caf\xE9 News\n");
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(AppSettings().SenderName, "Jos\xE9 M\xFCller");        // Windows-1252 inside
  EXPECT_EQ(AppSettings().ProgramCaption, "Caf\xE9 News");          // not UTF-8: taken as it is
  EXPECT_EQ(Main().windowTitle(), QString::fromUtf8("Caf\xC3\xA9 News"));
  EXPECT_NE(ReadIni().find("SenderName=Jos\xC3\xA9 M\xC3\xBCller\n"), std::string::npos);
}

TEST_F(StartUp, MissingTableIsReportedAndEndsTheProgram) {
  StartProgram();
  ASSERT_EQ(dialogs_.Messages(), std::vector<std::string>{kNoDatabaseMessage});
  EXPECT_EQ(dialogs_.shown[0].caption, "My Email Program");
  EXPECT_EQ(terminateCalls_, 1);
  EXPECT_EQ(Main().tblRecipients.DbfFileName(), Root() + "/home/Tavrin/tavrin.dbf");
}

TEST_F(StartUp, FolderWithTrailingSlashGivesADoubledSlash) {
  WriteIni("[Options]\nDir=" + Root() + "/\nTableName=t.dbf\n");
  std::ofstream(Root() + "/t.dbf") << "";
  StartProgram();
  EXPECT_EQ(Main().tblRecipients.DbfFileName(), Root() + "//t.dbf");
  EXPECT_TRUE(dialogs_.shown.empty());
}

TEST_F(StartUp, SettingsReachTheSocketClientAndToField) {
  WriteIni("[Options]\nServerName=mail.example.org\nServerPort=$19\n[Defaults]\nTo=Club members\n");
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(Main().sock.Host(), "mail.example.org");
  EXPECT_EQ(Main().sock.Port(), 25);
  EXPECT_EQ(Main().sock.TimeOut(), 60000);
  EXPECT_EQ(Main().edtTo->text(), "Club members");
  EXPECT_EQ(Main().edtTo->palette().color(QPalette::Text), QColor(Qt::black));
}

TEST_F(StartUp, HandEditedPortThatIsNoIntegerIsReportedAndKeepsThePort) {
  WriteIni("[Options]\nServerPort=smtp\n");
  CreateDefaultTable();
  StartProgram();
  EXPECT_EQ(dialogs_.Messages(),
            std::vector<std::string>{
                "The server port in the settings file is not a valid integer: smtp"});
  EXPECT_EQ(Main().sock.Port(), 0);
  EXPECT_EQ(terminateCalls_, 0);
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

TEST_F(StartUp, FirstRunConfirmedGoesOnAndLaterCancelStillEndsTheProgram) {
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

  // FirstRun is never cleared: cancelling the dialog later in the same run ends the program too.
  WhenConfigShows([](TfrmConfiguration& config) { config.reject(); });
  Main().btnConfigureClick();
  EXPECT_EQ(terminateCalls_, 1);
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

}  // namespace
}  // namespace tavrin::app::testing
