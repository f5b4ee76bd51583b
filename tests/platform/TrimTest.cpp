#include "platform/Trim.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using tavrin::platform::Trim;
using tavrin::platform::TrimControls;
using tavrin::platform::TrimLeft;
using tavrin::platform::TrimRight;

// Code page bytes above 127 are letters, not padding, although a plain char holds them as negative.
TEST(Trim, ControlsGoAtBothEndsButHighBytesStay) {
  EXPECT_EQ(TrimControls("\t\r\n \x01 ab c\x1f\x7f "), "ab c\x1f\x7f");
  EXPECT_EQ(TrimControls("\x82name\x9a"), "\x82name\x9a");
  EXPECT_EQ(TrimControls(" \0x\0 "s), "x");
  EXPECT_EQ(TrimControls(" \t\r\n"), "");
  EXPECT_EQ(TrimControls(""), "");
}

TEST(Trim, OnlyTheGivenPadGoesAndOnlyAtTheChosenEnd) {
  EXPECT_EQ(Trim(" \tkey = v \t", " \t"), "key = v");
  EXPECT_EQ(Trim("\r value\r", " "), "\r value\r");
  EXPECT_EQ(Trim(" \0name\0\0"s, " \0"s), "name");
  EXPECT_EQ(TrimLeft("  a b  ", " "), "a b  ");
  EXPECT_EQ(TrimRight("  a b  ", " "), "  a b");
  for (const char* allPad : {"", " ", "   "}) {
    EXPECT_EQ(Trim(allPad, " "), "");
    EXPECT_EQ(TrimLeft(allPad, " "), "");
    EXPECT_EQ(TrimRight(allPad, " "), "");
  }
}
