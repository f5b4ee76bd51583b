#include "platform/ProfileFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using tavrin::platform::ProfileFile;

namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tavrin-ini-" + std::to_string(::getpid()) + "-" +
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
  EXPECT_FALSE(fs::exists(dir_ / "missing-folder"));
}

}  // namespace
