// TReplyTable: judges each SMTP reply line by its three-digit code.
//
// A fixed table of 21 codes says whether the send goes on or stops. The table keeps the description
// of the last known reply (ReplyText) for the send log; it is not reset between recipients or sends.
// Each judged line adds ReplyText to the transcript, when one is attached. GUI thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavrin::app {

class TReplyTable {
 public:
  // True: the send may go on; false: it must stop. `line` is one reply line with its line end.
  bool CheckReply(const std::string& line);

  // The three-digit code of a reply line: it starts at the first decimal digit before the line's
  // last character. Nothing when there is no such digit or the three characters are not all digits.
  static std::optional<int> ReplyCode(const std::string& line);

  std::string ReplyText;
  // Receives ReplyText after every judged line (the hidden transcript memo). May be empty.
  std::function<void(const std::string&)> Transcript;
};

}  // namespace tavrin::app
