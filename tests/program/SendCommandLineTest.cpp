// tavrin-send's command line, its exit status and its password file, without running a send.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "program/SendCommandLine.h"

namespace tavrin::app {
namespace {

SendCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tavrin-send");
  return ParseSendCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(SendCommandLine, OptionsInEitherFormAndOneMessage) {
  const SendCommandLine a = Parse({"--settings", "s.ini", "--table=t.dbf", "--dry-run", "m.eml"});
  EXPECT_EQ(a.action, SendCommandLine::Action::kRun);
  EXPECT_EQ(a.settingsFile, "s.ini");
  EXPECT_EQ(a.table, "t.dbf");
  EXPECT_TRUE(a.dryRun);
  EXPECT_EQ(a.message, "m.eml");
  // After "--" a name that starts with a dash is a message file.
  const SendCommandLine b = Parse({"--", "-odd.eml"});
  EXPECT_EQ(b.action, SendCommandLine::Action::kRun);
  EXPECT_EQ(b.message, "-odd.eml");
  EXPECT_FALSE(b.dryRun);
  EXPECT_EQ(Parse({"m.eml", "--help"}).action, SendCommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"--version"}).action, SendCommandLine::Action::kVersion);
}

TEST(SendCommandLine, WhatIsWrongIsNamed) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{}, "no message file"},
      {{"a.eml", "b.eml"}, "only one message"},
      {{"--bogus", "a.eml"}, "unknown option --bogus"},
      {{"-x", "a.eml"}, "unknown option -x"},
      {{"a.eml", "--settings"}, "--settings needs"},
      {{"--table=", "a.eml"}, "--table needs"},
      {{""}, "empty"},
      {{"--settingsfoo", "a.eml"}, "unknown option"},
  };
  for (const auto& [args, error] : cases) {
    const SendCommandLine line = Parse(args);
    EXPECT_EQ(line.action, SendCommandLine::Action::kUsageError) << error;
    EXPECT_NE(line.error.find(error), std::string::npos) << line.error;
  }
}

TEST(SendExitStatus, AllNoneOrSome) {
  constexpr FailureKind kRanToItsEnd = FailureKind::kNone;
  EXPECT_EQ(SendExitStatus(kRanToItsEnd, {3, 0, 0}), kSendExitAllAccepted);
  EXPECT_EQ(SendExitStatus(kRanToItsEnd, {2, 1, 0}), kSendExitPartly);
  EXPECT_EQ(SendExitStatus(kRanToItsEnd, {2, 0, 1}), kSendExitPartly);
  EXPECT_EQ(SendExitStatus(kRanToItsEnd, {0, 2, 1}), kSendExitNothingSent);
  EXPECT_EQ(SendExitStatus(kRanToItsEnd, {0, 0, 0}), kSendExitNothingSent);  // an empty table
  EXPECT_EQ(SendExitStatus(FailureKind::kNoRecipientAccepted, {0, 2, 0}), kSendExitNothingSent);

  TSendLog log;
  log.StartLog("P", "S", "d", "t");
  log.AddRecipient({1, "Ann", "ann@example.com", RecipientStatus::kOk, ""});
  log.AddRecipient({2, "Bob", "bob@example.com", RecipientStatus::kFailed, "550 No"});
  log.AddRecipient({3, "Cy", "cy@example.com", RecipientStatus::kNotSent, "stopped"});
  const SendTally tally = TallyOf(log);
  EXPECT_EQ(tally.accepted, 1);
  EXPECT_EQ(tally.refused, 1);
  EXPECT_EQ(tally.notSent, 1);
}

// A send cut short is never "all accepted": with someone accepted it is 1, with no one 2, whatever
// the kind of failure, even when the log has no one left over (a stop after the last reply).
TEST(SendExitStatus, AFailureOrStopIsNeverAllAccepted) {
  for (const FailureKind kind :
       {FailureKind::kStopped, FailureKind::kConnectionFailed, FailureKind::kTimedOut,
        FailureKind::kSignInRefused, FailureKind::kServerRefused, FailureKind::kLocalFile}) {
    SCOPED_TRACE(static_cast<int>(kind));
    EXPECT_EQ(SendExitStatus(kind, {2, 0, 1}), kSendExitPartly);
    EXPECT_EQ(SendExitStatus(kind, {2, 0, 0}), kSendExitPartly);
    EXPECT_EQ(SendExitStatus(kind, {0, 0, 2}), kSendExitNothingSent);
    EXPECT_EQ(SendExitStatus(kind, {0, 0, 0}), kSendExitNothingSent);
  }
}

class PasswordFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("tavrin-pwfile-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string Write(const std::string& bytes, mode_t mode) {
    const std::string path = (root_ / "pw").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), mode);
    return path;
  }
  std::filesystem::path root_;
};

TEST_F(PasswordFileTest, OwnersAloneAndOneLineEndDropped) {
  for (const auto& [bytes, expected] :
       std::vector<std::pair<std::string, std::string>>{{"secret\n", "secret"},
                                                        {"secret\r\n", "secret"},
                                                        {"se cret ", "se cret "},
                                                        {"two\n\n", "two\n"}}) {
    const PasswordFile read = ReadPasswordFile(Write(bytes, 0600));
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.password, expected);
  }
  EXPECT_EQ(ReadPasswordFile(Write("secret", 0400)).password, "secret");
  for (mode_t mode : {0640, 0604, 0620, 0602, 0660}) {
    const PasswordFile read = ReadPasswordFile(Write("secret", mode));
    EXPECT_EQ(read.password, "") << std::oct << mode;
    EXPECT_NE(read.error.find("chmod 600"), std::string::npos) << read.error;
  }
}

TEST_F(PasswordFileTest, OnlyARegularFileOfAPasswordsSize) {
  EXPECT_NE(ReadPasswordFile((root_ / "none").string()).error.find("cannot be opened"),
            std::string::npos);
  EXPECT_NE(ReadPasswordFile(root_.string()).error.find("not a regular file"), std::string::npos);
  const std::string fifo = (root_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(ReadPasswordFile(fifo).error.find("not a regular file"), std::string::npos);
  EXPECT_NE(ReadPasswordFile(Write("\n", 0600)).error.find("is empty"), std::string::npos);
  EXPECT_NE(ReadPasswordFile(Write(std::string(5000, 'x'), 0600)).error.find("larger"),
            std::string::npos);
  // A link is judged by the file it reaches.
  const std::string link = (root_ / "link").string();
  std::filesystem::create_symlink(Write("secret", 0644), link);
  EXPECT_NE(ReadPasswordFile(link).error.find("chmod 600"), std::string::npos);
}

}  // namespace
}  // namespace tavrin::app
