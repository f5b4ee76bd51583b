// The program's one set of trimming helpers. Which characters count as padding is the caller's
// choice, since a stored field, a settings line and a mail header each have their own; the bytes of
// code 32 or below (the blank and every control character, NUL included) are the common case and
// have a helper of their own. Pure functions, any thread; each result is a view into its argument.
#pragma once

#include <string_view>

namespace tavrin::platform {

// Removes the bytes of code 32 or below at both ends.
std::string_view TrimControls(std::string_view s);

// Remove every character found in `pad` at both ends, at the start, or at the end.
std::string_view Trim(std::string_view s, std::string_view pad);
std::string_view TrimLeft(std::string_view s, std::string_view pad);
std::string_view TrimRight(std::string_view s, std::string_view pad);

}  // namespace tavrin::platform
