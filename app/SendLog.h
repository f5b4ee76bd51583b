// TSendLog: the plain-text log of one send, one line per recipient under a short header.
//
// StartLog drops the previous log and writes the nine header lines; AddLogLine appends a recipient
// as OK or FAILED with the reply table's description. The lines are UTF-8 and their columns count
// characters, not bytes. The log lives in memory only; the log window shows it and copies it to the
// clipboard. GUI thread.
#pragma once

#include <string>
#include <vector>

namespace tavrin::app {

// UTF-8 `text` padded with blanks or cut to exactly `width` characters (never half of one).
std::string FitText(const std::string& text, int width);

class TSendLog {
 public:
  // All UTF-8. `date` and `time`: the moment of Send in the locale's short date and long time
  // formats.
  void StartLog(const std::string& programCaption, const std::string& senderName,
                const std::string& date, const std::string& time);
  // `currentName` as the recipients table gives it, in the program's 8-bit text (Windows-1252);
  // `replyText` a description or the server's own words, shown as UTF-8 when they are, else read
  // as Windows-1252. Both are converted here, once.
  void AddLogLine(const std::string& currentName, bool recipientOK, const std::string& replyText);

  const std::vector<std::string>& LogLines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace tavrin::app
