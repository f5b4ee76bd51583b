#include "platform/ProfileFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using tavrin::platform::ProfileFile;

namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tavrin-ini-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "Tavrin.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(ProfileFileTest, MissingFileGivesDefaultsAndIsCreatedOnWrite) {
  ProfileFile ini(path_);
  EXPECT_EQ(ini.ReadString("Options", "Dir", "fallback"), "fallback");
  ASSERT_TRUE(ini.WriteString("Options", "SenderName", "Jane"));
  EXPECT_EQ(Contents(), "[Options]\nSenderName=Jane\n");
}

TEST_F(ProfileFileTest, NamesMatchWithoutCaseAndValuesAreTrimmedNotUnescaped) {
  Write("; comment\n[ options ]\n  returnemail =   a@b.c  \nDir=c:\\x\n");
  ProfileFile ini(path_);
  EXPECT_EQ(ini.ReadString("OPTIONS", "ReturnEmail", "-"), "a@b.c");
  EXPECT_EQ(ini.ReadString("Options", "DIR", "-"), "c:\\x");
  EXPECT_EQ(ini.ReadString("Defaults", "Dir", "-"), "-");
}

TEST_F(ProfileFileTest, PresentKeyWithEmptyValueIsEmptyNotDefault) {
  Write("[Options]\nReturnEmail=\n");
  EXPECT_EQ(ProfileFile(path_).ReadString("Options", "ReturnEmail", "default"), "");
}

TEST_F(ProfileFileTest, WritingKeepsOtherLinesCommentsAndOrder) {
  Write("; my settings\n[Options]\nDir=/data\nSenderName=Old\n\n[Other]\nx=1\n");
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.WriteString("options", "sendername", "New"));
  ASSERT_TRUE(ini.WriteString("Options", "ServerPort", "25"));
  ASSERT_TRUE(ini.WriteString("Defaults", "To", "all"));
  EXPECT_EQ(Contents(),
            "; my settings\n[Options]\nDir=/data\nsendername=New\nServerPort=25\n\n[Other]\nx=1\n"
            "[Defaults]\nTo=all\n");
}

TEST_F(ProfileFileTest, WindowsLineEndsArePreserved) {
  Write("[Options]\r\nDir=/data\r\n");
  ProfileFile ini(path_);
  EXPECT_EQ(ini.ReadString("Options", "Dir", "-"), "/data");
  ASSERT_TRUE(ini.WriteString("Options", "Dir", "/other"));
  EXPECT_EQ(Contents(), "[Options]\r\nDir=/other\r\n");
}

TEST_F(ProfileFileTest, UnwritableFolderReportsFailureAndLeavesNothing) {
  ProfileFile ini((dir_ / "missing-folder" / "Tavrin.ini").string());
  EXPECT_FALSE(ini.WriteString("Options", "Dir", "x"));
  EXPECT_EQ(ini.Error(), "its folder could not be written (No such file or directory)");
  EXPECT_FALSE(fs::exists(dir_ / "missing-folder"));
}

// Editors save with a byte-order mark: the first section is still found, and the mark stays.
TEST_F(ProfileFileTest, ByteOrderMarkIsSkippedAndKept) {
  Write("\xEF\xBB\xBF[Options]\nSenderName=Anna\n");
  ProfileFile ini(path_);
  EXPECT_EQ(ini.ReadString("Options", "SenderName", "-"), "Anna");
  ASSERT_TRUE(ini.WriteString("Options", "ServerPort", "25"));
  EXPECT_EQ(Contents(), "\xEF\xBB\xBF[Options]\nSenderName=Anna\nServerPort=25\n");
}

// CR, LF and CR LF all end a line; each kept line keeps its own end and new lines take the file's.
// A line break inside a value never reaches the file, where it could start a section of its own.
TEST_F(ProfileFileTest, EveryLineEndIsReadAndKeptAndValuesStayOnOneLine) {
  Write("[Options]\rDir=/data\r\nTableName=t.dbf\n");
  ProfileFile ini(path_);
  EXPECT_EQ(ini.ReadString("Options", "Dir", "-"), "/data");
  EXPECT_EQ(ini.ReadString("Options", "TableName", "-"), "t.dbf");
  ASSERT_TRUE(ini.WriteString("Options", "SenderName", "Ann\r\n[Options]\nReturnEmail=x@evil"));
  EXPECT_EQ(Contents(),
            "[Options]\rDir=/data\r\nTableName=t.dbf\n"
            "SenderName=Ann  [Options] ReturnEmail=x@evil\r");
  EXPECT_EQ(ini.ReadString("Options", "ReturnEmail", "-"), "-");
}

// A start reads some fifteen keys, each from the whole file: a hand-edited file of a million line
// ends must not keep the program from showing for many seconds.
TEST_F(ProfileFileTest, ReadingAFileOfManyLinesTakesLittleTime) {
  Write("[Options]\r" + std::string(ProfileFile::kMaxSize - 40, '\r') + "SenderName=Ann\r");
  const ProfileFile ini(path_);
#ifdef __OPTIMIZE__
  const double budget = 0.5;  // seconds of processor time
#else
  const double budget = 10;  // an unoptimized, instrumented build is some twenty times slower
#endif
  const std::clock_t start = std::clock();
  for (int i = 0; i < 15; ++i) EXPECT_EQ(ini.ReadString("Options", "SenderName", "-"), "Ann");
  EXPECT_LT(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC, budget);
}

// A write that would make the file too large to be read again is refused: the next start would
// find none of the settings and could never write them.
TEST_F(ProfileFileTest, AWriteThatWouldMakeTheFileTooLargeToReadIsRefused) {
  Write("[Options]\nReturnEmail=ann@example.com\n");
  ProfileFile ini(path_);
  EXPECT_FALSE(ini.WriteString("Options", "SenderName", std::string(ProfileFile::kMaxSize, 'n')));
  EXPECT_EQ(ini.Error(), "the file would grow larger than 1 MiB");
  EXPECT_TRUE(Contents() == "[Options]\nReturnEmail=ann@example.com\n");
}

// The replacement goes to a link's target, keeps the file's permissions, and never touches a file
// that is read-only or that could not be read as text (written back, it would be corrupted).
TEST_F(ProfileFileTest, WritesThroughLinksKeepsPermissionsAndLeavesUnusableFilesAlone) {
  fs::create_directories(dir_ / "real");
  const fs::path target = dir_ / "real" / "settings.ini";
  std::ofstream(target) << "[Options]\nDir=/data\n";
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real/settings.ini", path_);
  ProfileFile ini(path_);
  ASSERT_TRUE(ini.WriteString("Options", "SenderName", "Ann"));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(Contents(), "[Options]\nDir=/data\nSenderName=Ann\n");
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  fs::permissions(target, fs::perms::owner_read | fs::perms::group_read);
  EXPECT_FALSE(ini.WriteString("Options", "SenderName", "Bob"));
  EXPECT_EQ(ini.Error(), "the file is read-only");
  EXPECT_EQ(Contents(), "[Options]\nDir=/data\nSenderName=Ann\n");

  fs::remove(path_);
  const std::string utf16("\xFF\xFE[\0O\0]\0\n\0", 10);
  Write(utf16);
  EXPECT_FALSE(ini.WriteString("Options", "SenderName", "Bob"));
  EXPECT_EQ(ini.Error(), "the file could not be read (it is not a UTF-8 text file)");
  EXPECT_EQ(Contents(), utf16);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

}  // namespace
