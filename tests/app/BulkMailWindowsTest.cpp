// The bulk-mail settings (reply address, unsubscribe link, opt-out field) in the settings file and
// the configuration dialog, and the preview window that shows one recipient's message.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "AppFixture.h"
#include "windows/PreviewWindow.h"

namespace tavrin::app::testing {
namespace {

class BulkMailSettings : public AppFixture {};

TEST_F(BulkMailSettings, TheKeysAreReadKeptAndOnlyWrittenWhenTheyChange) {
  const SettingsPlaces places{IniPath(), Root() + "/home", Root() + "/tmp"};
  WriteIni("[Options]\nSenderName=Ann\n");
  Settings s;
  LoadSettings(s, places);
  EXPECT_EQ(s.OptOutField, "");
  EXPECT_EQ(s.ListUnsubscribe, "");
  EXPECT_EQ(s.ReplyTo, "");
  ASSERT_EQ(SaveSettings(s, places), std::nullopt);
  EXPECT_EQ(ReadIni().find("OptOutField"), std::string::npos);
  EXPECT_EQ(ReadIni().find("ListUnsubscribe"), std::string::npos);
  EXPECT_EQ(ReadIni().find("ReplyTo"), std::string::npos);

  s.OptOutField = "OPTOUT";
  s.ListUnsubscribe = "https://example.com/u?e={EMAIL}";
  s.ReplyTo = "office@example.com";
  ASSERT_EQ(SaveSettings(s, places), std::nullopt);
  Settings again;
  LoadSettings(again, places);
  EXPECT_EQ(again.OptOutField, "OPTOUT");
  EXPECT_EQ(again.ListUnsubscribe, "https://example.com/u?e={EMAIL}");
  EXPECT_EQ(again.ReplyTo, "office@example.com");
  // Emptied again, each is written empty: the file says what the user chose.
  again.ReplyTo.clear();
  ASSERT_EQ(SaveSettings(again, places), std::nullopt);
  EXPECT_NE(ReadIni().find("ReplyTo=\n"), std::string::npos);
}

class BulkMailDialog : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    CreateDefaultTable();
    StartProgram();
    Config().show();
  }
  void Fill(const char* replyTo, const char* unsubscribe, const char* optOut) {
    Config().edtReplyTo->setText(replyTo);
    Config().edtListUnsubscribe->setText(unsubscribe);
    Config().edtOptOutField->setText(optOut);
  }
  void ExpectRefused(const std::string& message, QWidget* field) {
    dialogs_.shown.clear();
    QTest::mouseClick(Config().btnOK, Qt::LeftButton);
    EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{message});
    EXPECT_EQ(Config().focusWidget(), field);
    EXPECT_TRUE(Config().isVisible());
  }
};

TEST_F(BulkMailDialog, EachFieldIsCheckedWithItsMessageAndFocus) {
  for (const char* bad : {"office", "a b@example.com", "<x@example.com>", "a@b, c@d"}) {
    Fill(bad, "", "");
    ExpectRefused("Please enter a plain reply-to address such as name@example.com.",
                  Config().edtReplyTo);
  }
  for (const char* bad : {"leave@example.com", "http://example.com/u", "https://", "mailto:x"}) {
    Fill("", bad, "");
    ExpectRefused(
        "Please enter the unsubscribe link as a mailto: address or an https URL, such as "
        "https://example.com/unsubscribe.",
        Config().edtListUnsubscribe);
  }
  for (const char* bad : {"OPT OUT", "1OPTOUT", "OPTOUTFIELD", "OPT-OUT"}) {
    Fill("", "", bad);
    ExpectRefused(
        "Please enter the opt-out field as the name of a logical field of the recipients "
        "table, such as OPTOUT.",
        Config().edtOptOutField);
  }
  EXPECT_EQ(AppSettings().ReplyTo, "");
}

TEST_F(BulkMailDialog, AcceptedValuesAreTrimmedStoredAndShownAgain) {
  Fill(" office@example.com ", " https://example.com/u?e={EMAIL} ", " OptOut ");
  QTest::mouseClick(Config().btnOK, Qt::LeftButton);
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_EQ(AppSettings().ReplyTo, "office@example.com");
  EXPECT_EQ(AppSettings().ListUnsubscribe, "https://example.com/u?e={EMAIL}");
  EXPECT_EQ(AppSettings().OptOutField, "OptOut");
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("ReplyTo=office@example.com\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ListUnsubscribe=https://example.com/u?e={EMAIL}\n"), std::string::npos);
  EXPECT_NE(ini.find("OptOutField=OptOut\n"), std::string::npos);
  Config().show();
  EXPECT_EQ(Config().edtReplyTo->text(), "office@example.com");
  EXPECT_EQ(Config().edtOptOutField->text(), "OptOut");
}

class Preview : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    StartOnTable("Ann Martin,ann@example.org\nBob,bob@example.org\nCy,cy@example.org\n");
    Main().edtTo->setText("{NAME}");
    Main().edtSubject->setText("Hello {NAME}");
    Main().mmoMessage->setPlainText("Dear {NAME}, your address is {EMAIL}.\n{{NAME}}");
    QTest::keyClick(&Main(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
    preview_ = Main().findChild<TfrmPreview*>("frmPreview");
  }
  std::string Text() const { return preview_->mmoPreview->toPlainText().toStdString(); }
  bool Shows(const std::string& part) const { return Text().find(part) != std::string::npos; }

  TfrmPreview* preview_ = nullptr;
};

TEST_F(Preview, ShowsEachRecordsOwnMessageAndMovesBetweenRecords) {
  ASSERT_NE(preview_, nullptr);
  EXPECT_TRUE(preview_->isVisible());
  EXPECT_TRUE(Shows("From: John Doe <sender@example.com>\n")) << Text();
  EXPECT_TRUE(Shows("To: Ann Martin <ann@example.org>\nSubject: Hello Ann Martin\nDate: "));
  EXPECT_TRUE(Shows("\n\nDear Ann Martin, your address is ann@example.org.\n{NAME}\n"));
  EXPECT_EQ(preview_->lblRecords->text(), "of 3");
  EXPECT_FALSE(preview_->btnPrevious->isEnabled());

  QTest::mouseClick(preview_->btnNext, Qt::LeftButton);
  EXPECT_EQ(preview_->Record(), 2);
  EXPECT_TRUE(Shows("To: Bob <bob@example.org>\nSubject: Hello Bob\n"));
  EXPECT_FALSE(Shows("Ann"));  // nothing of another record
  preview_->edtRecord->setValue(3);
  EXPECT_TRUE(Shows("Dear Cy, your address is cy@example.org."));
  EXPECT_FALSE(preview_->btnNext->isEnabled());
  preview_->ShowRecord(99);  // kept within the table
  EXPECT_EQ(preview_->Record(), 3);
}

TEST_F(Preview, FollowsTheComposeWindowAndSaysWhatSendWouldRefuse) {
  ASSERT_NE(preview_, nullptr);
  Main().edtSubject->setText("News for {NAME}");
  EXPECT_TRUE(QTest::qWaitFor([this] { return Shows("Subject: News for Ann Martin\n"); }));
  Main().mmoMessage->setPlainText("Hi {CITY}");
  EXPECT_TRUE(QTest::qWaitFor([this] {
    return Text() == "The message uses {CITY}, but the recipients table has no field CITY.";
  })) << Text();
  Main().mmoMessage->setPlainText("Hi");
  ASSERT_TRUE(Main().lstAttachments->AddFile(Root() + "/people.csv"));
  EXPECT_TRUE(QTest::qWaitFor([this] { return Shows("Attachments: people.csv ("); })) << Text();
}

TEST_F(Preview, SaysWhichRecordsGetNoMessageAndWhatSettingsSendWouldRefuse) {
  ASSERT_NE(preview_, nullptr);
  const std::string tool = TAVRIN_DBFTOOL;
  ASSERT_EQ(
      std::system((tool + " delete " + Root() + "/home/Tavrin/tavrin.dbf 2 >/dev/null").c_str()),
      0);
  preview_->ShowRecord(2);
  EXPECT_TRUE(Shows("This record is marked as deleted: it receives no message.\n\nFrom: "));
  preview_->ShowRecord(3);
  EXPECT_FALSE(Shows("marked as deleted"));
  AppSettings().OptOutField = "NAME";
  preview_->Refresh();
  EXPECT_EQ(Text(),
            "The opt-out field NAME named in the settings is not a logical field of the recipients "
            "table.");
  AppSettings().OptOutField.clear();
  AppSettings().ListUnsubscribe = "https://example.com/u?e={EMAIL}";
  preview_->Refresh();
  EXPECT_TRUE(Shows("List-Unsubscribe: <https://example.com/u?e=cy%40example.org>\n")) << Text();
}

TEST(PreviewText, HeadersAttachmentsAndBodyInReadingOrder) {
  MessageInput m;
  m.SenderName = "John";
  m.ReturnEmail = "john@example.com";
  m.To = "Ann";
  m.ToAddress = "ann@example.org";
  m.ReplyTo = "office@example.com";
  m.Subject = "Hi";
  m.Date = "Mon, 07 Dec 2026 10:15:00 +0100";
  m.ListUnsubscribe = "mailto:leave@example.com";
  m.Body = {"line 1", "", "line 3"};
  EXPECT_EQ(PreviewText(m, {{"/a/b/report.pdf", 1234567}, {"/gone.txt", -1}}),
            "From: John <john@example.com>\nTo: Ann <ann@example.org>\n"
            "Reply-To: office@example.com\nSubject: Hi\nDate: Mon, 07 Dec 2026 10:15:00 +0100\n"
            "List-Unsubscribe: <mailto:leave@example.com>\n"
            "Attachments: report.pdf (1,234,567 bytes), gone.txt (missing)\n\n"
            "line 1\n\nline 3\n");
}

}  // namespace
}  // namespace tavrin::app::testing
