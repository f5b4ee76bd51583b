// The engine reads each table's text by the code page its language-driver byte names, and every
// code page a table may be in maps each byte to a character of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "dbf/Engine.h"
#include "platform/TextPage.h"
#include "tests/dbf/tool/ToolRunner.h"

namespace tavrin::tools::test {
namespace {

using platform::TextPage;

TEST(TextPageTest, EveryByteOfEveryPageIsACharacterOfItsOwn) {
  for (int p = 0; p <= static_cast<int>(TextPage::Dos737); ++p) {
    const auto page = static_cast<TextPage>(p);
    const char16_t* high = platform::HighHalf(page);
    EXPECT_EQ(std::set<char16_t>(high, high + 128).size(), 128u) << platform::PageNumber(page);
    EXPECT_EQ(platform::PageOfLanguageDriver(platform::LanguageDriverOf(page)), page);
    EXPECT_EQ(platform::PageFromNumber(platform::PageNumber(page)), page);
  }
  EXPECT_EQ(platform::LanguageDriverOf(TextPage::Win1251), 0xC9);
  EXPECT_EQ(platform::LanguageDriverOf(TextPage::Dos866), 0x65);
  EXPECT_EQ(platform::PageOfLanguageDriver(0x26), TextPage::Dos866);  // another writer's byte
  EXPECT_EQ(platform::PageOfLanguageDriver(0x00), TextPage::Oem437);
  EXPECT_EQ(platform::HighHalf(TextPage::Win1251)[0xC0 - 0x80], u'\u0410');  // А
  EXPECT_EQ(platform::HighHalf(TextPage::Dos737)[0x80 - 0x80], u'\u0391');   // Α
}

class TablePageEngineTest : public ::testing::Test {
 protected:
  // A one-field table with `driver` as its language byte and `bytes` stored in its one record.
  std::string Make(std::uint8_t driver, const std::string& bytes) {
    const std::string path =
        dir_.Path(std::string("t").append(std::to_string(driver)).append(".dbf"));
    dbf::ErrorSilencer quiet;
    dbf::CreateDbf(path, {{"NAME", 'C', static_cast<int>(bytes.size()), 0}}, driver);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4);
    f.write("\x01\0\0\0", 4);
    f.seekp(65);
    f.write((" " + bytes + "\x1A").data(), static_cast<std::streamsize>(bytes.size() + 2));
    return path;
  }
  // The field as the program reads it (Windows-1252), with translation on as the program has it.
  std::string ReadAsProgram(const std::string& path) {
    dbf::ErrorSilencer quiet;
    dbf::Settings().noTranslation = false;
    dbf::Select(1);
    dbf::UseFile(path);
    const std::string value = dbf::GetString(1);
    dbf::USE("");
    return value;
  }
  ToolDir dir_;
};

TEST_F(TablePageEngineTest, TheProgramReadsEachTableByItsLanguageDriverByte) {
  EXPECT_EQ(ReadAsProgram(Make(0x01, "\x82t\xE1")), "\xE9t\xDF");     // 437: é t ß
  EXPECT_EQ(ReadAsProgram(Make(0x03, "\xE9t\xDF")), "\xE9t\xDF");     // 1252 as it is
  EXPECT_EQ(ReadAsProgram(Make(0xC8, "\xE9\xE8\xDF")), "\xE9?\xDF");  // 1250: é, č has no 1252 twin
  EXPECT_EQ(ReadAsProgram(Make(0xC9, "\xC0z")), "?z");                // 1251: А
  EXPECT_EQ(ReadAsProgram(Make(0x64, "\x82\x9F")), "\xE9?");          // 852: é, č
}

}  // namespace
}  // namespace tavrin::tools::test
