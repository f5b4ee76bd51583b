// TSendLog: the plain-text log of one send, one line per recipient under a short header.
//
// StartLog drops the previous log and writes the nine header lines; AddLogLine appends a recipient
// as OK or FAILED with the reply table's description. The log lives in memory only; the log window
// shows it and copies it to the clipboard. GUI thread.
#pragma once

#include <string>
#include <vector>

namespace tavrin::app {

// `text` padded with blanks or cut to exactly `width` characters.
std::string FitText(const std::string& text, int width);

class TSendLog {
 public:
  // `date` and `time`: the moment of Send in the locale's short date and long time formats.
  void StartLog(const std::string& programCaption, const std::string& senderName,
                const std::string& date, const std::string& time);
  void AddLogLine(const std::string& currentName, bool recipientOK, const std::string& replyText);

  const std::vector<std::string>& LogLines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace tavrin::app
