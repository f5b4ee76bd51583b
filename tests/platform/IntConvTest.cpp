#include "platform/IntConv.h"

#include <gtest/gtest.h>

using tavrin::platform::StrToInt;

TEST(StrToInt, AcceptsDecimalWithBlanksAndSign) {
  EXPECT_EQ(StrToInt("25"), 25);
  EXPECT_EQ(StrToInt("   25"), 25);
  EXPECT_EQ(StrToInt("+25"), 25);
  EXPECT_EQ(StrToInt("-25"), -25);
  EXPECT_EQ(StrToInt("70000"), 70000);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
}

TEST(StrToInt, AcceptsHexadecimalAfterEachPrefix) {
  EXPECT_EQ(StrToInt("$19"), 25);
  EXPECT_EQ(StrToInt("x19"), 25);
  EXPECT_EQ(StrToInt("X19"), 25);
  EXPECT_EQ(StrToInt("0x19"), 25);
  EXPECT_EQ(StrToInt("$ff"), 255);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
}

TEST(StrToInt, RefusesWhatIsNotAWholeInteger) {
  for (const char* bad : {"", " ", "25x", "2 5", "25 ", "$", "0x", "--1", "$1G", "2147483648",
                          "-2147483649", "$100000000", "1.5", "x"})
    EXPECT_FALSE(StrToInt(bad).has_value()) << '"' << bad << '"';
}
