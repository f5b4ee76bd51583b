// TSendLog: the log of one send, a short header and every recipient whole (name, address, status,
// the server's reply), as the log window, the clipboard and the log files show it.
//
// StartLog drops the previous log and makes the nine header lines; AddRecipient keeps a recipient.
// The text lines are made from the entries on demand, so a send to many recipients holds each
// recipient once, compactly: name and address packed together in large blocks, and each distinct
// reply text once however many recipients share it (every recipient of a delivered message does).
// Every text shown or written has its control characters (and the characters that reorder or break
// lines) replaced by visible ones: a name or a reply cannot forge a line. The lines are UTF-8 and
// their columns count characters, not bytes. GUI thread; once complete, it may be read from
// another thread while nothing changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin::app {

// UTF-8 `text` padded with blanks or cut to exactly `width` characters (never half of one).
std::string FitText(const std::string& text, int width);

// UTF-8 `text` with each control character shown: C0 controls and DEL as their control pictures
// (CR as U+240D, LF as U+240A, ESC as U+241B), C1 controls, line and paragraph separators and the
// bidirectional marks, embeddings, overrides and isolates as U+FFFD. A byte that is not UTF-8 also
// becomes U+FFFD. Every character stays one character, so columns keep their places.
std::string VisibleText(std::string_view text);

// What became of one recipient of a send.
enum class RecipientStatus {
  kOk,       // the server accepted the recipient and then the message
  kFailed,   // the server refused the recipient (or the message for it)
  kNotSent,  // the send stopped before this recipient had a final outcome
};

// "OK", "FAILED" or "Not sent".
const char* StatusWord(RecipientStatus status);

// One recipient's line of the log, kept whole for the log window, the log files and the clipboard.
struct LogEntry {
  std::int32_t recordNo = 0;
  std::string name;     // UTF-8
  std::string address;  // UTF-8
  RecipientStatus status = RecipientStatus::kNotSent;
  std::string reply;  // UTF-8: the server's own reply (code and text) or why it was not sent
};

class TSendLog {
 public:
  // All UTF-8. `date` and `time`: the moment of Send in the locale's short date and long time
  // formats.
  void StartLog(const std::string& programCaption, const std::string& senderName,
                const std::string& date, const std::string& time);
  // One recipient: `entry.name` in the program's 8-bit text (Windows-1252) as the table gives it;
  // `entry.address` and `entry.reply` (the server's words) taken as UTF-8 when they are, else read
  // as Windows-1252. All converted to UTF-8 here.
  void AddRecipient(LogEntry entry);
  // The same from its parts, without a LogEntry of copies on the way.
  void AddRecipient(std::int32_t recordNo, std::string_view name, std::string_view address,
                    RecipientStatus status, const std::string& reply);

  // The recipients in the order added, each read back as a LogEntry (UTF-8, as AddRecipient made
  // it): a view that stays valid until the log changes.
  class EntryList {
   public:
    class iterator {
     public:
      using iterator_category = std::input_iterator_tag;
      using value_type = LogEntry;
      using difference_type = std::ptrdiff_t;
      using pointer = void;
      using reference = LogEntry;
      iterator(const TSendLog* log, std::size_t index) : log_(log), index_(index) {}
      LogEntry operator*() const { return log_->Entry(index_); }
      iterator& operator++() { return ++index_, *this; }
      iterator operator++(int) {
        iterator was = *this;
        ++index_;
        return was;
      }
      bool operator==(const iterator& other) const { return index_ == other.index_; }

     private:
      const TSendLog* log_;
      std::size_t index_;
    };
    explicit EntryList(const TSendLog& log) : log_(&log) {}
    std::size_t size() const { return log_->entries_.size(); }
    bool empty() const { return log_->entries_.empty(); }
    LogEntry operator[](std::size_t index) const { return log_->Entry(index); }
    iterator begin() const { return {log_, 0}; }
    iterator end() const { return {log_, size()}; }

   private:
    const TSendLog* log_;
  };

  // The header lines, then one line per recipient.
  std::size_t LineCount() const { return header_.size() + entries_.size(); }
  std::string Line(std::size_t index) const;
  // The widest line in characters.
  std::size_t WidestLine() const;
  // Every line, each ended with "\n" but the last, in blocks of about `blockBytes`: `sink` is called
  // once per block.
  template <typename Sink>
  void WriteText(Sink&& sink, std::size_t blockBytes = 1 << 16) const;
  // The whole log as one text, lines joined by "\n".
  std::string Text() const;
  // The recipients as CSV (RFC 4180, CR LF line ends) under a heading row: name, address, status,
  // reply (for an OK too), control characters shown as in the lines. A cell a spreadsheet would take
  // for a formula (it begins with = + - or @) gets a leading apostrophe. `row`: 0 is the heading,
  // then 1 to Entries().size().
  std::string CsvRow(std::size_t row) const;

  // Every line in one vector, made on the first call after a change.
  const std::vector<std::string>& LogLines() const;
  EntryList Entries() const { return EntryList(*this); }

 private:
  // One recipient: 32 bytes, its texts kept elsewhere.
  struct Stored {
    const char* text;  // the name's bytes, then the address's, in one of blocks_
    std::uint32_t nameBytes;
    std::uint32_t addressBytes;
    std::int32_t recordNo;
    std::uint32_t reply;  // in replies_
    RecipientStatus status;
  };
  LogEntry Entry(std::size_t index) const;
  std::string_view Name(const Stored& e) const { return {e.text, e.nameBytes}; }
  std::string_view Address(const Stored& e) const { return {e.text + e.nameBytes, e.addressBytes}; }
  const char* Keep(std::string_view name, std::string_view address);
  std::uint32_t ReplyIndex(std::string reply);

  std::vector<std::string> header_;
  std::deque<Stored> entries_;  // grows in blocks: nothing is copied, and no room stands unused
  // The names and addresses, packed; a block is never moved, so Stored::text stays put.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0, blockSize_ = 0;  // of blocks_.back()
  // Every distinct reply once; replyIndex_ views replies_'s texts, which a deque never moves.
  std::deque<std::string> replies_;
  std::unordered_map<std::string_view, std::uint32_t> replyIndex_;
  mutable std::vector<std::string> lines_;  // LogLines()'s copy; empty until asked for
  mutable bool linesStale_ = true;
};

template <typename Sink>
void TSendLog::WriteText(Sink&& sink, std::size_t blockBytes) const {
  std::string block;
  const std::size_t count = LineCount();
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) block += '\n';
    block += Line(i);
    if (block.size() >= blockBytes) {
      sink(block);
      block.clear();
    }
  }
  if (!block.empty()) sink(block);
}

}  // namespace tavrin::app
