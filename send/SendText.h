// Small text rules the send dialogue's files share: what counts as a control character, how a
// table field is trimmed, and how a reply line is shown. Pure functions; any thread.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/Trim.h"

namespace tavrin::app::sendtext {

// The send ended while an action waited (an abort or Stop from a nested event or a handler):
// thrown to unwind the action quietly.
struct SendStopped {};

inline bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

inline bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), IsControl);
}

// Blanks around a field, and the zero bytes some writers pad with, are not part of its value.
inline std::string TrimField(const std::string& text) {
  return std::string(platform::Trim(text, std::string_view(" \0", 2)));
}

inline std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The server's own words after the code, for a refusal the reply table does not describe.
inline std::string ServerText(const std::string& line) {
  std::string text = WithoutLineEnd(line);
  const auto digit = text.find_first_of("0123456789");
  if (digit == std::string::npos || digit + 3 >= text.size()) return text;
  return TrimField(text.substr(digit + 4));
}

// The server's line as a person is shown it: one line, and no longer than a message box can hold.
inline std::string ShownReply(const std::string& line) {
  constexpr std::size_t kShownMax = 512;
  std::string shown = WithoutLineEnd(line);
  if (shown.size() > kShownMax) shown = shown.substr(0, kShownMax) + "...";
  std::replace_if(shown.begin(), shown.end(), IsControl, ' ');
  return shown;
}

}  // namespace tavrin::app::sendtext
