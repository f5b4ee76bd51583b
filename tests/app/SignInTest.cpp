// The connection's security, the account and its password: the settings keys as written by hand,
// what Send gathers before it starts, and where the password comes from.
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>

#include "AppFixture.h"
#include "program/SendAccess.h"
#include "platform/SecretStore.h"

namespace tavrin::app::testing {
namespace {

// A settings file as the program wrote it before it knew about security and sign-in.
constexpr const char* kKeptKeys =
    "[Options]\nSenderName=Ann\nReturnEmail=ann@example.com\nServerName=127.0.0.1\nServerPort=25\n";

class SignIn : public AppFixture {
 protected:
  void Start(const std::string& options) {
    WriteIni(kKeptKeys + options + "[Defaults]\nTo=Club\n");
    CreateDefaultTable();
    StartProgram();
  }
  // Presses Send on a complete message. True when the send started: only then does the To
  // setting take the field's text (the send then fails on the empty table, which is told).
  bool PressSend() {
    AppSettings().To = "before";
    Main().edtTo->setText("Members");
    Main().edtSubject->setText("News");
    Main().mmoMessage->setPlainText("Hello");
    Main().btnSendClick();
    EXPECT_EQ(dialogs_.busyDepth, 0);
    EXPECT_FALSE(Main().Sending());
    return AppSettings().To == "Members";
  }
};

// A password shortened in place leaves its old bytes past the string's end: the wipe reaches them.
TEST(WipeSecret, ClearsTheWholeBufferNotOnlyTheCurrentText) {
  std::string secret = "correct horse battery staple";
  secret.resize(3);
  const char* buffer = secret.data();
  const std::size_t capacity = secret.capacity();
  platform::WipeSecret(secret);
  EXPECT_TRUE(secret.empty());
  ASSERT_EQ(secret.data(), buffer);  // the same buffer, still owned by the string
  EXPECT_TRUE(std::all_of(buffer, buffer + capacity, [](char c) { return c == 0; }));
}

TEST_F(SignIn, HandWrittenKeysAreReadInAnyCaseAndLeftAsWritten) {
  Start("Security=starttls\nUserName=ann\nRecipientsPerMessage=$10\n");
  const std::string ini = ReadIni();
  EXPECT_EQ(ParseSecurity(AppSettings().Security), Security::kStartTls);
  EXPECT_EQ(AppSettings().UserName, "ann");
  EXPECT_EQ(RecipientsPerMessageLimit(AppSettings(), dialogs_), 16);
  WhenConfigShows([](TfrmConfiguration& config) { config.btnOKClick(); });
  Main().btnConfigureClick();
  Main().close();
  EXPECT_EQ(ReadIni(), ini);
  EXPECT_TRUE(dialogs_.Messages().empty());
}

// An unknown value is never read as None: it is told at start, refuses every Send, survives an
// OK that makes no choice, and only a choice in the dialog replaces it.
TEST_F(SignIn, UnknownSecurityStopsEverySendUntilAChoiceIsMade) {
  Start("Security=SSL\n");
  const std::vector<std::string> told{UnknownSecurityMessage("SSL")};
  EXPECT_EQ(dialogs_.Messages(), told);
  EXPECT_FALSE(PressSend());
  EXPECT_EQ(dialogs_.Messages().size(), 2u);

  WhenConfigShows([](TfrmConfiguration& config) {
    EXPECT_EQ(config.cboSecurity->currentIndex(), -1);
    config.btnOKClick();
  });
  Main().btnConfigureClick();
  EXPECT_NE(ReadIni().find("Security=SSL\n"), std::string::npos);
  EXPECT_FALSE(PressSend());

  WhenConfigShows([](TfrmConfiguration& config) {
    config.cboSecurity->setCurrentIndex(2);
    config.btnOKClick();
  });
  Main().btnConfigureClick();
  EXPECT_NE(ReadIni().find("Security=TLS\n"), std::string::npos);
  EXPECT_TRUE(PressSend());
}

TEST_F(SignIn, AUserNameOverAPlainConnectionIsRefusedBeforeAnyPasswordIsSought) {
  Start("Security=none\nUserName=ann\n");
  EXPECT_FALSE(PressSend());
  EXPECT_EQ(dialogs_.Messages(), std::vector<std::string>{kPasswordNeedsEncryption});
  EXPECT_TRUE(dialogs_.PasswordPrompts().empty());
  EXPECT_TRUE(secrets_.calls.empty());
}

TEST_F(SignIn, SendAsksOnlyWhenNothingIsKnownAndOncePerRun) {
  Start("Security=TLS\nUserName=ann\n");
  dialogs_.passwordAnswers = {"pw \xC3\xA9"};
  EXPECT_TRUE(PressSend());
  EXPECT_TRUE(PressSend());
  EXPECT_EQ(dialogs_.PasswordPrompts(), std::vector<std::string>{"Password for ann at 127.0.0.1:"});
  EXPECT_EQ(secrets_.calls, std::vector<std::string>{"read ann@127.0.0.1"});

  const auto access = GatherSendAccess(*services_, AppSettings());
  ASSERT_TRUE(access);
  SendJob job;
  access->FillJob(job);
  EXPECT_EQ(job.security, Security::kTls);
  EXPECT_EQ(job.userName, "ann");
  EXPECT_EQ(job.password, "pw \xC3\xA9");
  EXPECT_EQ(ReadIni().find("pw"), std::string::npos);
}

TEST_F(SignIn, AStoredPasswordIsUsedWithoutAskingAndAnEmptyOneOrNoStoreAsks) {
  Start("Security=STARTTLS\nUserName=ann\n");
  secrets_.secrets["ann@127.0.0.1"] = "kept";
  const auto access = GatherSendAccess(*services_, AppSettings());
  ASSERT_TRUE(access);
  EXPECT_EQ(access->password, "kept");
  EXPECT_TRUE(dialogs_.PasswordPrompts().empty());

  AppSettings().UserName = "carol";
  secrets_.secrets["carol@127.0.0.1"] = "";
  dialogs_.passwordAnswers = {"typed"};
  EXPECT_EQ(GatherSendAccess(*services_, AppSettings())->password, "typed");

  AppSettings().UserName = "bob";
  secrets_.secrets["bob@127.0.0.1"] = "kept too";
  secrets_.answers = false;
  dialogs_.passwordAnswers = {"typed too"};
  EXPECT_EQ(GatherSendAccess(*services_, AppSettings())->password, "typed too");
  EXPECT_EQ(dialogs_.PasswordPrompts().size(), 2u);
}

// A password the server refused is neither used again nor read again from the store: the next
// Send asks, and what is typed then is used.
TEST_F(SignIn, APasswordTheServerRefusedIsAskedForAgain) {
  Start("Security=TLS\nUserName=ann\n");
  secrets_.secrets["ann@127.0.0.1"] = "wrong";
  EXPECT_TRUE(PressSend());
  Main().SendEnded({FailureKind::kSignInRefused, kSignInRefused});
  dialogs_.passwordAnswers = {"right"};
  EXPECT_TRUE(PressSend());
  EXPECT_EQ(dialogs_.PasswordPrompts(), std::vector<std::string>{"Password for ann at 127.0.0.1:"});
  ASSERT_NE(services_->passwords.Find("ann@127.0.0.1"), nullptr);
  EXPECT_EQ(*services_->passwords.Find("ann@127.0.0.1"), "right");
}

// A refused password leaves the store as well, or it would be tried at every start; when it was
// kept there, the next one the server accepts takes its place. Without a stored one nothing is
// written, and a passing failure ("454") keeps the password.
TEST_F(SignIn, ARefusedPasswordLeavesTheStoreAndTheNextOneAcceptedTakesItsPlace) {
  Start("Security=TLS\nUserName=ann\n");
  secrets_.secrets["ann@127.0.0.1"] = "wrong";
  auto access = GatherSendAccess(*services_, AppSettings());
  ASSERT_TRUE(access && access->passwordJudged);
  access->passwordJudged(false);
  EXPECT_EQ(secrets_.secrets.count("ann@127.0.0.1"), 0u);
  dialogs_.passwordAnswers = {"right"};
  access = GatherSendAccess(*services_, AppSettings());
  EXPECT_EQ(access->password, "right");
  EXPECT_EQ(secrets_.secrets.count("ann@127.0.0.1"), 0u);  // not before the server has taken it
  access->passwordJudged(true);
  EXPECT_EQ(secrets_.secrets["ann@127.0.0.1"], "right");

  AppSettings().UserName = "bob";
  dialogs_.passwordAnswers = {"bad", "good"};
  GatherSendAccess(*services_, AppSettings())->passwordJudged(false);
  GatherSendAccess(*services_, AppSettings())->passwordJudged(true);
  EXPECT_EQ(secrets_.secrets.count("bob@127.0.0.1"), 0u);
  EXPECT_EQ(dialogs_.PasswordPrompts().size(), 3u);

  Main().SendEnded(
      {FailureKind::kSignInFailedForNow, std::string(kSignInFailedForNow) + "454 4.7.0 Try later"});
  ASSERT_NE(services_->passwords.Find("bob@127.0.0.1"), nullptr);
  EXPECT_EQ(*services_->passwords.Find("bob@127.0.0.1"), "good");
}

// Cancel, or OK with nothing typed, leaves everything as it was: no message, no send, no password
// kept, so the next Send asks again.
TEST_F(SignIn, CancellingThePasswordPromptCancelsTheSendQuietly) {
  Start("Security=TLS\nUserName=ann\n");
  dialogs_.passwordAnswers = {std::nullopt, ""};
  EXPECT_FALSE(PressSend());
  EXPECT_FALSE(PressSend());
  EXPECT_TRUE(dialogs_.Messages().empty());
  EXPECT_TRUE(Main().btnSend->isEnabled());
  EXPECT_EQ(services_->passwords.Find("ann@127.0.0.1"), nullptr);
  dialogs_.passwordAnswers = {"pw"};
  EXPECT_TRUE(PressSend());
  EXPECT_EQ(dialogs_.PasswordPrompts().size(), 3u);
}

}  // namespace
}  // namespace tavrin::app::testing
