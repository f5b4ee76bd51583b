// The escaping of values kept one to a line in the program's own text files (drafts, send
// journals): a value written through EscapeLine holds no line end and, when asked, no tab, so a
// line and its tab-separated fields can be told apart whatever the value was; UnescapeLine gives the
// value back byte for byte. Pure functions, any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrin::platform {

// "\\" for a backslash, "\n" and "\r" for the line ends, "\t" for a tab when `escapeTab`, "\xHH"
// (upper-case hex) for any other control character and DEL; every other byte as it is.
std::string EscapeLine(std::string_view value, bool escapeTab);

// The value EscapeLine wrote; nothing for a text it cannot have written (an unknown escape, a
// backslash at the end, "\x" without two hex digits). "\t" is read whether or not tabs were
// escaped.
std::optional<std::string> UnescapeLine(std::string_view text);

}  // namespace tavrin::platform
