#include "platform/LineEscape.h"

#include <gtest/gtest.h>

#include <string>

using tavrin::platform::EscapeLine;
using tavrin::platform::UnescapeLine;

// Every byte value comes back as it was, and the escaped text holds no line end (nor a tab when
// tabs separate fields), so one value can never spill into the next line or field.
TEST(LineEscape, EveryByteComesBackAndNoLineEndIsWritten) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  all += "\\x41\\\\n";  // text that looks like escapes stays text
  for (const bool escapeTab : {false, true}) {
    const std::string escaped = EscapeLine(all, escapeTab);
    EXPECT_EQ(escaped.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    EXPECT_EQ(escaped.find('\t') == std::string::npos, escapeTab);
    EXPECT_EQ(UnescapeLine(escaped), all);
  }
  EXPECT_EQ(EscapeLine("a\x01\x7f", false), "a\\x01\\x7F");
}

TEST(LineEscape, TextNoWriterCouldHaveWrittenIsRefused) {
  for (const char* bad : {"end\\", "\\q", "\\x4", "\\xG1", "\\x"})
    EXPECT_FALSE(UnescapeLine(bad).has_value()) << bad;
  EXPECT_EQ(UnescapeLine("\\x4a\\t"), "J\t");
}
