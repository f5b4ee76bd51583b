// Text between UTF-8 (the terminal, CSV and JSON) and the 8-bit code page a table holds (one of
// platform/TextPage.h: 437, Windows-1252, 1250, 1251, 1253, 852, 866, 737), converted directly, so every character the page holds is kept and every
// stored byte reads as its own character. UTF-8 is decoded strictly. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/TextPage.h"

namespace tavrin::tools {

using CodePage = platform::TextPage;

// Every byte as its character, in UTF-8.
std::string ToUtf8(std::string_view bytes, CodePage page);

// Whether `text` is well-formed UTF-8: no overlong form, surrogate, value above U+10FFFF, stray
// continuation byte or cut sequence.
bool IsValidUtf8(std::string_view text);

// Valid UTF-8 to the code page; a character the page does not hold becomes '?' and sets *lossy.
std::string FromUtf8(std::string_view utf8, CodePage page, bool* lossy);

// The first character of `utf8` (valid UTF-8) that `page` cannot hold, in UTF-8; "" when it holds
// them all.
std::string FirstUnheld(std::string_view utf8, CodePage page);

}  // namespace tavrin::tools
