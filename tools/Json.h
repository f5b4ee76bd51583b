// The small JSON writing the command-line tools need: string literals from UTF-8 text.
// Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::tools {

// `utf8` as a JSON string literal, quotes included. Quote, backslash and control characters are
// escaped; other bytes pass through unchanged (the caller hands in valid UTF-8).
std::string JsonString(std::string_view utf8);

}  // namespace tavrin::tools
