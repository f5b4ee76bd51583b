// The configuration dialog's checks, in their order, with message and focus.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTest>

#include "AppFixture.h"
#include "windows/Centring.h"
#include "program/SendAccess.h"

namespace tavrin::app::testing {
namespace {

class ConfigDialog : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    CreateDefaultTable();
    StartProgram();
    Config().show();
  }
  void Fill(const char* name, const char* email, const char* server, const char* port) {
    Config().edtName->setText(name);
    Config().edtEmailAddress->setText(email);
    Config().edtEmailServer->setText(server);
    Config().edtPort->setText(port);
  }
  void ExpectRefused(const std::string& message, QWidget* field) {
    dialogs_.shown.clear();
    QTest::mouseClick(Config().btnOK, Qt::LeftButton);
    EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{message});
    EXPECT_EQ(Config().focusWidget(), field);
    EXPECT_TRUE(Config().isVisible());
    EXPECT_EQ(Config().result(), 0);
  }
};

TEST_F(ConfigDialog, ShowsTheSettingsUnderTheProgramCaption) {
  EXPECT_EQ(Config().windowTitle(), "My Email Program Setup");
  EXPECT_EQ(Config().edtName->text(), "John Doe");
  EXPECT_EQ(Config().edtEmailAddress->text(), "sender@example.com");
  EXPECT_EQ(Config().edtEmailServer->text(), "smtp.example.com");
  EXPECT_EQ(Config().edtPort->text(), "25");
}

TEST_F(ConfigDialog, EachCheckRefusesWithItsMessageAndFocus) {
  Fill("", "", "", "");
  ExpectRefused("You must enter your name.", Config().edtName);
  Fill("Ann", "", "", "");
  ExpectRefused("You must enter your email address.", Config().edtEmailAddress);
  Fill("Ann", "ann.example.com", "", "");
  ExpectRefused("You must enter your email address.", Config().edtEmailAddress);
  Fill("Ann", "ann@example.com", "", "");
  ExpectRefused("You must enter your email server (SMTP).", Config().edtEmailServer);
  Fill("Ann", "ann@example.com", "smtp.example.com", "");
  ExpectRefused("The server port must be specified.", Config().edtPort);
  Fill("Ann", "ann@example.com", "smtp.example.com", "25x");
  ExpectRefused("The server port must be a valid integer.", Config().edtPort);
  EXPECT_EQ(AppSettings().SenderName, "John Doe");  // nothing stored by a refused OK
}

// Blanks alone are no name and no server, and the address must be one plain mailbox: anything
// that would make the From header name a second address is refused.
TEST_F(ConfigDialog, BlankNamesAndAddressListsAreRefused) {
  Fill(" \t ", "ann@example.com", "smtp.example.com", "25");
  ExpectRefused("You must enter your name.", Config().edtName);
  Fill("Ann", "ann@example.com", "   ", "25");
  ExpectRefused("You must enter your email server (SMTP).", Config().edtEmailServer);
  for (const char* address : {"john@example.com>, <ceo@victim.example", "ann @example.com",
                              "\"Ann\"@example.com", "a@b,c@d"}) {
    Fill("Ann", address, "smtp.example.com", "25");
    ExpectRefused("Please enter a plain e-mail address such as name@example.com.",
                  Config().edtEmailAddress);
  }
  EXPECT_EQ(AppSettings().ReturnEmail, "sender@example.com");
}

TEST_F(ConfigDialog, AcceptedValuesAreStoredAsTypedAppliedAndWrittenAtOnce) {
  Fill(" Ann ", "@", "mail.example.org", "$19");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(ReadIni(),
            "[Options]\nSenderName= Ann \nReturnEmail=@\nServerName=mail.example.org\n"
            "ServerPort=$19\n[Defaults]\nTo=Everyone on the mailing list\n");
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(Config().result(), QDialog::Accepted);
  EXPECT_EQ(AppSettings().SenderName, " Ann ");
  EXPECT_EQ(AppSettings().ReturnEmail, "@");
  EXPECT_EQ(AppSettings().ServerPort, "$19");
  EXPECT_EQ(Main().NextSendSetup().port, 25);
  EXPECT_EQ(Main().NextSendSetup().server, "mail.example.org");
}

// A value comes back from the dialog whole however long it is, and on one line.
TEST_F(ConfigDialog, ValuesComeBackWholeAndOnOneLine) {
  const std::string name(40000, 'n');
  AppSettings().SenderName = name;
  Config().hide();
  Config().show();
  Config().edtEmailServer->setText("smtp.example.com\r\nBcc: all@example.com");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(AppSettings().SenderName, name);
  EXPECT_EQ(AppSettings().ServerName, "smtp.example.com  Bcc: all@example.com");
}

// A port is a number from 1 to 65535, and its field shows five digits whole.
TEST_F(ConfigDialog, PortOutsideTheRangeIsRefusedAndFiveDigitsFit) {
  for (const char* port : {"-1", "0", "65536", "99999", "$10000"}) {
    Fill("Ann", "ann@", "mail", port);
    ExpectRefused("The port must be a number from 1 to 65535.", Config().edtPort);
  }
  QLineEdit* edit = Config().edtPort;
  QStyleOptionFrame option;
  option.initFrom(edit);
  option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
  const QRect text = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
  EXPECT_GE(text.width() - 4, edit->fontMetrics().horizontalAdvance("99999"));

  Fill("Ann", "ann@", "mail", "65535");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(Config().result(), QDialog::Accepted);
  EXPECT_EQ(Main().NextSendSetup().port, 65535);
}

TEST_F(ConfigDialog, OkFillsAnEmptyToSettingWithTheSample) {
  AppSettings().To = "";
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(AppSettings().To, kSampleToDescription);
  AppSettings().To = "Members";
  Config().show();
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(AppSettings().To, "Members");
}

// None 25, STARTTLS 587, TLS 465: a port still at the usual one of the choice before follows the
// new choice; any other port, and showing the settings, leave it alone.
TEST_F(ConfigDialog, SecurityChoiceCarriesAPortLeftAtTheUsualOne) {
  QComboBox* security = Config().cboSecurity;
  const std::pair<int, const char*> steps[] = {{1, "587"}, {2, "465"}, {0, "25"}, {2, "465"}};
  for (const auto& [choice, port] : steps) {
    security->setCurrentIndex(choice);
    EXPECT_EQ(Config().edtPort->text(), port) << choice;
  }
  Config().edtPort->setText("2525");
  security->setCurrentIndex(1);
  EXPECT_EQ(Config().edtPort->text(), "2525");

  Config().hide();
  AppSettings().Security = "tls";
  AppSettings().ServerPort = "25";
  Config().show();
  EXPECT_EQ(security->currentIndex(), 2);
  EXPECT_EQ(Config().edtPort->text(), "25");
}

// A port that usually needs another choice gets a note, never a refusal: OK still takes it.
TEST_F(ConfigDialog, APortThatUsuallyNeedsAnotherChoiceIsNotedNotRefused) {
  Config().hide();
  AppSettings().Security = "STARTTLS";
  AppSettings().ServerPort = "465";
  Config().show();
  EXPECT_EQ(Config().lblPortNote->text().toStdString(), PortNote(465, Security::kStartTls));
  EXPECT_NE(PortNote(465, Security::kNone).find("TLS"), std::string::npos);
  Config().cboSecurity->setCurrentIndex(2);  // TLS: the port agrees
  EXPECT_TRUE(Config().lblPortNote->text().isEmpty());
  Config().edtPort->setText("587");
  EXPECT_NE(Config().lblPortNote->text().toStdString().find("STARTTLS"), std::string::npos);
  Config().edtPort->setText("2525");
  EXPECT_TRUE(Config().lblPortNote->text().isEmpty());
  Config().edtPort->setText("587");
  Fill("Ann", "ann@example.com", "smtp.example.com", "587");
  dialogs_.shown.clear();
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(AppSettings().ServerPort, "587");
}

TEST_F(ConfigDialog, UserNameOverAPlainConnectionIsRefusedAfterTheOtherChecks) {
  Config().edtUserName->setText("ann");
  Fill("", "ann@example.com", "smtp.example.com", "25");
  ExpectRefused("You must enter your name.", Config().edtName);
  Fill("Ann", "ann@example.com", "smtp.example.com", "25");
  ExpectRefused(kPasswordNeedsEncryption, Config().cboSecurity);
  EXPECT_EQ(AppSettings().UserName, "");
  Config().cboSecurity->setCurrentIndex(1);
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(Config().result(), QDialog::Accepted);
}

// The settings file gets the choice and the user name after the kept keys, never the password;
// the store gets it while "Remember password" is ticked and loses it when it is not.
TEST_F(ConfigDialog, ThePasswordGoesOnlyToTheStoreAndTheRun) {
  Config().cboSecurity->setCurrentIndex(1);
  Config().edtUserName->setText(" ann ");
  Config().edtPassword->setText("s3cret");
  Config().chkRememberPassword->setChecked(true);
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(ReadIni(),
            "[Options]\nSenderName=John Doe\nReturnEmail=sender@example.com\n"
            "ServerName=smtp.example.com\nServerPort=587\nSecurity=STARTTLS\n"
            "UserName=ann\n[Defaults]\nTo=Everyone on the mailing list\n");
  const std::string key = "ann@smtp.example.com";
  EXPECT_EQ(secrets_.secrets, (std::map<std::string, std::string>{{key, "s3cret"}}));
  EXPECT_TRUE(Config().edtPassword->text().isEmpty());

  Config().show();
  EXPECT_EQ(Config().edtPassword->text(), "s3cret");
  EXPECT_TRUE(Config().chkRememberPassword->isChecked());
  Config().chkRememberPassword->setChecked(false);
  Config().edtEmailServer->setText("mail.example.org");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_TRUE(secrets_.secrets.empty());
  ASSERT_NE(services_->passwords.Find("ann@mail.example.org"), nullptr);
  EXPECT_EQ(*services_->passwords.Find("ann@mail.example.org"), "s3cret");
  Main().close();
  EXPECT_EQ(ReadIni().find("s3cret"), std::string::npos);
  EXPECT_TRUE(dialogs_.Messages().empty());
}

// Clearing the field is how the user takes a password back: it must not come back in the field
// or at the next send, whether "Remember password" stays ticked or not.
TEST_F(ConfigDialog, AnEmptiedPasswordIsForgottenByTheRunAndTheStore) {
  const std::string key = "ann@smtp.example.com";
  for (const bool remember : {true, false}) {
    SCOPED_TRACE(remember ? "remember ticked" : "remember not ticked");
    Config().cboSecurity->setCurrentIndex(1);
    Config().edtUserName->setText("ann");
    Config().edtPassword->setText("s3cret");
    Config().chkRememberPassword->setChecked(true);
    QTest::mouseClick(Config().btnOK, Qt::LeftButton);
    Config().show();
    ASSERT_EQ(Config().edtPassword->text(), "s3cret");
    Config().edtPassword->clear();
    Config().chkRememberPassword->setChecked(remember);
    QTest::mouseClick(Config().btnOK, Qt::LeftButton);
    EXPECT_EQ(services_->passwords.Find(key), nullptr);
    EXPECT_TRUE(secrets_.secrets.empty());
    Config().show();
    EXPECT_TRUE(Config().edtPassword->text().isEmpty());
    EXPECT_FALSE(Config().chkRememberPassword->isChecked());
  }
  EXPECT_TRUE(dialogs_.Messages().empty());
}

TEST_F(ConfigDialog, AStoreThatDoesNotTakeThePasswordIsToldAndTheRunKeepsIt) {
  secrets_.answers = false;
  Config().cboSecurity->setCurrentIndex(2);
  Config().edtUserName->setText("ann");
  Config().edtPassword->setText("pw");
  Config().chkRememberPassword->setChecked(true);
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(Config().result(), QDialog::Accepted);
  ASSERT_EQ(dialogs_.Messages().size(), 1u);
  EXPECT_NE(dialogs_.Messages()[0].find("could not be kept"), std::string::npos);
  EXPECT_NE(services_->passwords.Find("ann@smtp.example.com"), nullptr);
}

// A store that is locked or slow when the dialog opens shows no password and an unticked box; an
// OK for some other change must not then delete the password the store does hold.
TEST_F(ConfigDialog, AStoreThatDidNotAnswerWhenShownKeepsItsPassword) {
  const std::string key = "ann@smtp.example.com";
  AppSettings().Security = "STARTTLS";
  AppSettings().UserName = "ann";
  secrets_.secrets[key] = "pw";
  Config().hide();
  secrets_.answers = false;
  Config().show();
  ASSERT_TRUE(Config().edtPassword->text().isEmpty());
  ASSERT_FALSE(Config().chkRememberPassword->isChecked());
  secrets_.answers = true;  // unlocked while the dialog was open
  Config().edtPort->setText("2525");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_EQ(Config().result(), QDialog::Accepted);
  EXPECT_EQ(secrets_.secrets, (std::map<std::string, std::string>{{key, "pw"}}));
}

TEST(Centring, HalvesRoundToTheEvenNeighbour) {
  EXPECT_EQ(HalfRoundedToEven(10), 5);
  EXPECT_EQ(HalfRoundedToEven(5), 2);
  EXPECT_EQ(HalfRoundedToEven(7), 4);
  EXPECT_EQ(HalfRoundedToEven(1), 0);
  EXPECT_EQ(HalfRoundedToEven(0), 0);
  EXPECT_EQ(HalfRoundedToEven(-3), -2);
  EXPECT_EQ(HalfRoundedToEven(-5), -2);
}

}  // namespace
}  // namespace tavrin::app::testing
