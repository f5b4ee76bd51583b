// TSendLog: the plain-text log of one send, one line per recipient under a short header.
//
// StartLog drops the previous log and writes the nine header lines; AddLogLine appends a recipient
// as OK or FAILED with the reply table's description. The lines are UTF-8 and their columns count
// characters, not bytes. The log lives in memory only; the log window shows it and copies it to the
// clipboard. GUI thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::app {

// UTF-8 `text` padded with blanks or cut to exactly `width` characters (never half of one).
std::string FitText(const std::string& text, int width);

// What became of one recipient of a send.
enum class RecipientStatus {
  kOk,       // the server accepted the recipient and then the message
  kFailed,   // the server refused the recipient (or the message for it)
  kNotSent,  // the send stopped before this recipient had a final outcome
};

// One recipient's line of the log, kept whole for the log window, the log files and the clipboard.
struct LogEntry {
  std::int32_t recordNo = 0;
  std::string name;     // UTF-8
  std::string address;  // UTF-8
  RecipientStatus status = RecipientStatus::kNotSent;
  std::string reply;    // UTF-8: the server's own reply (code and text) or why it was not sent
};

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
  // One recipient in full: `entry.name` in the program's 8-bit text as the table gives it,
  // `entry.address` and `entry.reply` as AddLogLine takes its texts; converted to UTF-8 here.
  void AddRecipient(LogEntry entry);

  const std::vector<std::string>& LogLines() const { return lines_; }
  const std::vector<LogEntry>& Entries() const { return entries_; }

 private:
  std::vector<std::string> lines_;
  std::vector<LogEntry> entries_;
};

}  // namespace tavrin::app
