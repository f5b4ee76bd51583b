#include "platform/CodePage.h"

#include <gtest/gtest.h>

using namespace tavrin::platform;

TEST(CodePage, AccentedLettersRoundTripBetweenOemAndAnsi) {
  // "Müller, Éric, ñ" in Windows-1252.
  const std::string ansi = "M\xFCller, \xC9ric, \xF1";
  const std::string oem = AnsiToOem(ansi);
  EXPECT_EQ(oem, "M\x81ller, \x90ric, \xA4");
  EXPECT_EQ(OemToAnsi(oem), ansi);
}

TEST(CodePage, TranslationKeepsLengthAndAsciiAndFallsBackToLookAlikes) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string oem = AnsiToOem(all);
  const std::string ansi = OemToAnsi(all);
  ASSERT_EQ(oem.size(), 256u);
  ASSERT_EQ(ansi.size(), 256u);
  EXPECT_EQ(oem.substr(0, 128), all.substr(0, 128));
  EXPECT_EQ(ansi.substr(0, 128), all.substr(0, 128));
  EXPECT_NE(OemToAnsi(std::string("\xC4")), "\xC4");  // box drawing has no 1252 letter
}

TEST(CodePage, UpperCasingFollowsWindows1252) {
  EXPECT_EQ(AnsiUpper(std::string("abc\xE9\xFF\x9A\xF7\xDF")), "ABC\xC9\x9F\x8A\xF7\xDF");
}

TEST(CodePage, Utf8RoundTripAndUnmappableCharacters) {
  const std::string ansi = "Caf\xE9 \x80 \x93quoted\x94";
  const std::string utf8 = AnsiToUtf8(ansi);
  EXPECT_EQ(utf8, "Caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cquoted\xE2\x80\x9D");
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD!"), "?!");  // not in Windows-1252
  EXPECT_EQ(Utf8ToAnsi("ab\xC3"), "ab?");        // cut-off sequence
  EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "??");       // not UTF-8 at all
}

TEST(CodePage, TextOfUnknownOriginIsKeptWhenUtf8AndElseReadAsWindows1252) {
  for (const char* good :
       {"", "plain", "\xCE\xB1\xE2\x82\xAC\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(IsUtf8(good)) << good;
    EXPECT_EQ(TextToUtf8(good), good);
  }
  // Cut, stray, overlong, surrogate and past U+10FFFF.
  for (const char* bad :
       {"ab\xC3", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
    EXPECT_FALSE(IsUtf8(bad)) << bad;
  EXPECT_EQ(TextToUtf8("Bo\xEEte \x80"), "Bo\xC3\xAEte \xE2\x82\xAC");
}
