// The draft file on its own (every field back byte for byte, broken files set aside) and the main
// window keeping it: restored at start, saved at close and after edits, New Message asking only
// about a message that was not sent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QKeySequence>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "AppFixture.h"
#include "program/Draft.h"

namespace tavrin::app::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Draft FullDraft() {
  Draft d;
  d.to = "Members of the Škoda club, 北京";
  d.subject = "Tea at five \\n is not a line break\t(tab)";
  d.body = std::string("Line one\r\nline two\n\nback\\slash \\x41 \x01\x7f end\n") + '\0' + "after";
  d.attachments = {"/home/u/plain.pdf", "/home/u/new\nline.txt", std::string("/tmp/\xff\xfe raw"),
                   "/tmp/back\\slash: colon"};
  d.personalised = true;
  d.sent = true;
  d.otherKeys = {{"SendAt", "tomorrow\nlater"}, {"X-Later", ""}};
  return d;
}

class DraftFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("tavrin-draft-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name()) /
              "draft";
    fs::remove_all(folder_.parent_path());
  }
  void TearDown() override { fs::remove_all(folder_.parent_path()); }
  std::string Folder() const { return folder_.string(); }
  fs::path folder_;
};

TEST_F(DraftFile, EveryFieldComesBackByteForByte) {
  const Draft written = FullDraft();
  ASSERT_EQ(SaveDraft(Folder(), written), std::nullopt);
  struct stat st {};
  ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(DraftPath(Folder()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  const DraftRead read = ReadDraft(Folder());
  ASSERT_TRUE(read.draft.has_value()) << read.note;
  EXPECT_TRUE(read.note.empty());
  EXPECT_TRUE(read.draft->SameMessage(written));
  EXPECT_TRUE(read.draft->sent);
  EXPECT_EQ(read.draft->attachments, written.attachments);
  EXPECT_EQ(read.draft->body, written.body);
  EXPECT_EQ(read.draft->otherKeys, written.otherKeys);
  // One record a line: no byte of a value breaks the file's lines.
  const std::string text = ReadAll(DraftPath(Folder()));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 13);
  EXPECT_EQ(text.find('\0'), std::string::npos);

  // A later save replaces it whole, and nothing but the draft and its lock stays in the folder.
  Draft later;
  later.subject = "second";
  ASSERT_EQ(SaveDraft(Folder(), later), std::nullopt);
  const DraftRead again = ReadDraft(Folder());
  ASSERT_TRUE(again.draft.has_value());
  EXPECT_TRUE(again.draft->SameMessage(later));
  EXPECT_FALSE(again.draft->sent);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".lock", "message.txt"}));
}

TEST_F(DraftFile, NoDraftIsNoNote) {
  const DraftRead read = ReadDraft(Folder());
  EXPECT_FALSE(read.draft.has_value());
  EXPECT_TRUE(read.note.empty());
  EXPECT_TRUE(read.keep);
  EXPECT_FALSE(fs::exists(folder_));  // reading makes nothing
}

TEST_F(DraftFile, BrokenDraftsAreSetAsideNeverReplaced) {
  const std::string whole = DraftText(FullDraft());
  const std::map<std::string, std::string> broken = {
      {"cut in a line", whole.substr(0, whole.size() / 2)},
      {"without its last line", whole.substr(0, whole.rfind("End\n"))},
      {"empty", ""},
      {"another program's file", "[Options]\nTo=x\n"},
      {"a bad escape", "Tavrin draft 1\nTo: a\\q\nEnd\n"},
      {"a cut escape", "Tavrin draft 1\nTo: a\\x4\nEnd\n"},
      {"a line without a key", "Tavrin draft 1\njust words\nEnd\n"},
      {"a flag neither yes nor no", "Tavrin draft 1\nSent: maybe\nEnd\n"},
      {"more after the end", whole + "To: x\n"},
  };
  int n = 0;
  for (const auto& [what, text] : broken) {
    SCOPED_TRACE(what);
    fs::create_directories(folder_);
    std::ofstream(DraftPath(Folder()), std::ios::binary) << text;
    const DraftRead read = ReadDraft(Folder());
    EXPECT_FALSE(read.draft.has_value());
    EXPECT_TRUE(read.keep);
    ++n;
    const std::string aside =
        DraftPath(Folder()) + ".broken" + (n == 1 ? "" : "-" + std::to_string(n));
    EXPECT_NE(read.note.find("set aside as " + aside), std::string::npos) << read.note;
    EXPECT_FALSE(fs::exists(DraftPath(Folder())));
    EXPECT_EQ(ReadAll(aside), text);  // kept as it was
  }
  // A folder where the file should be is set aside too, and saving works again afterwards.
  fs::create_directories(DraftPath(Folder()));
  EXPECT_FALSE(ReadDraft(Folder()).draft.has_value());
  EXPECT_FALSE(fs::exists(DraftPath(Folder())));
  ASSERT_EQ(SaveDraft(Folder(), FullDraft()), std::nullopt);
  EXPECT_TRUE(ReadDraft(Folder()).draft.has_value());
}

TEST_F(DraftFile, KeysOfALaterVersionAreWrittenBackAsTheyCame) {
  fs::create_directories(folder_);
  const std::string text =
      "Tavrin draft 1\nTo: a\nSubject: s\nPersonalised: no\nSent: no\nFilter: COUNTRY\\x3D\"NO\"\n"
      "Body: b\nEnd\n";
  auto parsed = ParseDraft(text);
  ASSERT_TRUE(std::holds_alternative<Draft>(parsed));
  EXPECT_EQ(std::get<Draft>(parsed).otherKeys,
            (std::vector<std::pair<std::string, std::string>>{{"Filter", "COUNTRY=\"NO\""}}));
  EXPECT_EQ(DraftText(std::get<Draft>(parsed)),
            "Tavrin draft 1\nTo: a\nSubject: s\nPersonalised: no\nSent: no\nFilter: "
            "COUNTRY=\"NO\"\nBody: b\nEnd\n");
}

// Whatever is left under the temporary name (a FIFO, a file of an older run) neither holds the
// save up nor stops it; the save runs in a child, so a save that blocks fails here instead.
TEST_F(DraftFile, WhateverHoldsTheTemporaryNameIsReplaced) {
  fs::create_directories(folder_);
  const std::string temp = (folder_ / "message.txt.new").string();
  ASSERT_EQ(::mkfifo(temp.c_str(), 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);
    ::_exit(SaveDraft(Folder(), FullDraft()) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the save blocked on a FIFO";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAll(folder_ / "message.txt"), DraftText(FullDraft()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
}

// ---- The main window keeping the draft.

class DraftWindow : public AppFixture {
 protected:
  std::string Folder() const { return Root() + "/home/.local/share/Tavrin/draft"; }
  QTimer* Timer() { return Main().findChild<QTimer*>("draftTimer"); }
  void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->setText(text);
  }
  void Restart() {
    Main().close();
    program_.reset();
    StartProgram();
    Main().show();
  }
  QString StatusMessage() { return Main().StatusBar->currentMessage(); }
  // What the window hears when a send has ended; the log window it opens is closed at once.
  // What a send tells the draft when it completes (note: who it did not reach).
  void CompleteSend(const std::string& note) { Main().DraftSendCompleted(note); }
};

TEST_F(DraftWindow, TheMessageIsSavedAfterEditsAndAtCloseAndRestoredAtStart) {
  StartOnTable("Ann,ann@example.com\n");
  EXPECT_FALSE(fs::exists(DraftPath(Folder())));  // nothing typed, nothing written
  ASSERT_NE(Timer(), nullptr);
  Timer()->setInterval(0);  // the wait itself is not what this test is about
  Type(Main().edtSubject, QString::fromUtf8("Sommerfest – Ø"));
  EXPECT_TRUE(Timer()->isActive());
  ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(DraftPath(Folder())); }));
  EXPECT_EQ(ReadDraft(Folder()).draft->subject, "Sommerfest – Ø");

  const std::string attachment = Root() + "/odd\tname é.txt";
  std::ofstream(attachment) << "x";
  Main().lstAttachments->AddFile(attachment);
  Main().mmoMessage->setPlainText(QString::fromUtf8("Dear all,\n\nbring cake. ✓"));
  Restart();  // the close saves what the timer has not yet

  EXPECT_EQ(Main().edtSubject->text(), QString::fromUtf8("Sommerfest – Ø"));
  EXPECT_EQ(Main().mmoMessage->toPlainText(), QString::fromUtf8("Dear all,\n\nbring cake. ✓"));
  ASSERT_EQ(Main().lstAttachments->Count(), 1);
  EXPECT_EQ(Main().lstAttachments->GetFilePath(0), attachment);
  EXPECT_FALSE(Timer()->isActive());  // filling the window is no change to save

  // A file that went away meanwhile is named in the bar, and the rest is restored.
  Main().close();
  fs::remove(attachment);
  program_.reset();
  StartProgram();
  Main().show();
  EXPECT_EQ(Main().lstAttachments->Count(), 0);
  EXPECT_EQ(StatusMessage(), "1 of the draft's attachments could not be found again.");
  EXPECT_EQ(Main().edtSubject->text(), QString::fromUtf8("Sommerfest – Ø"));
}

TEST_F(DraftWindow, ABrokenDraftIsSetAsideWithANoteAndTheStartGoesOn) {
  fs::create_directories(Folder());
  std::ofstream(DraftPath(Folder()), std::ios::binary) << "Tavrin draft 1\nSubject: cut";
  StartOnTable("Ann,ann@example.com\n");
  EXPECT_TRUE(dialogs_.shown.empty());  // nothing blocks the start
  EXPECT_TRUE(StatusMessage().startsWith("The draft could not be restored and was set aside as "))
      << StatusMessage().toStdString();
  EXPECT_EQ(ReadAll(DraftPath(Folder()) + ".broken"), "Tavrin draft 1\nSubject: cut");
  EXPECT_EQ(Main().edtSubject->text(), kSubjectPlaceholder);
  // The next message is kept again.
  Type(Main().edtSubject, "new");
  Main().close();
  EXPECT_EQ(ReadDraft(Folder()).draft->subject, "new");
}

TEST_F(DraftWindow, NewMessageAsksOnlyWhenTheMessageWasNotSent) {
  StartOnTable("Ann,ann@example.com\n");
  auto confirms = [&] {
    return std::count_if(dialogs_.shown.begin(), dialogs_.shown.end(),
                         [](const auto& s) { return s.kind == "confirm"; });
  };
  ASSERT_NE(Main().miNewMessage, nullptr);
  Main().miNewMessage->trigger();  // nothing written yet: nothing to ask about
  EXPECT_EQ(confirms(), 0);

  Type(Main().edtSubject, "Minutes");
  Main().mmoMessage->setPlainText("text");
  dialogs_.confirmAnswers = {false};
  Main().miNewMessage->trigger();
  EXPECT_EQ(confirms(), 1);
  EXPECT_EQ(Main().mmoMessage->toPlainText(), "text");  // declined: kept

  // A send that reached everyone: the message may go, still kept until the next change.
  CompleteSend("");
  EXPECT_TRUE(ReadDraft(Folder()).draft->sent);
  Main().mmoMessage->setPlainText("text!");
  Main().miNewMessage->trigger();  // changed since the send: asked (and answered yes)
  EXPECT_EQ(confirms(), 2);
  EXPECT_TRUE(Main().mmoMessage->toPlainText().isEmpty());
  EXPECT_TRUE(ReadDraft(Folder()).draft->body.empty());

  Type(Main().edtSubject, "Again");
  Main().mmoMessage->setPlainText("once more");
  CompleteSend("");
  Restart();  // sent is remembered across runs
  EXPECT_EQ(Main().edtSubject->text(), "Again");
  Main().miNewMessage->trigger();
  EXPECT_EQ(confirms(), 2);
  EXPECT_EQ(Main().edtSubject->text(), kSubjectPlaceholder);

  // A send that did not reach everyone does not count as sent.
  Type(Main().edtSubject, "Partly");
  CompleteSend("The message did not reach 1 recipient.");
  dialogs_.confirmAnswers = {false};
  Main().miNewMessage->trigger();
  EXPECT_EQ(confirms(), 3);
}

// Ctrl+N and Ctrl+S each belong to one command of the main window.
TEST_F(DraftWindow, NewAndSaveKeysClashWithNothing) {
  StartOnTable("Ann,ann@example.com\n");
  std::map<QString, QStringList> owners;
  for (QAction* action : Main().findChildren<QAction*>())
    for (const QKeySequence& key : action->shortcuts())
      if (!key.isEmpty()) owners[key.toString()] << action->objectName();
  for (QShortcut* shortcut : Main().findChildren<QShortcut*>())
    owners[shortcut->key().toString()] << shortcut->objectName();
  const QString newKey = QKeySequence(QKeySequence::New).toString();
  const QString saveKey = QKeySequence(QKeySequence::Save).toString();
  EXPECT_EQ(owners[newKey], QStringList{"miNewMessage"});
  EXPECT_EQ(owners[saveKey], QStringList{"miSaveMessage"});
}

}  // namespace
}  // namespace tavrin::app::testing
