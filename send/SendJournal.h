// SendJournal: what one send has done so far, kept on disk so that a send that stopped half-way
// (Stop, a time-out, a rate limit, a killed program, a power cut) can be resumed without anyone
// getting the message twice.
//
// One file per send, as $XDG_DATA_HOME/Tavrin/journal/send-*.journal (~/.local/share when unset;
// folder 0700, file 0600). Its head (the message lines as they go out, the attachments with their
// sizes and modification times, the table and its fields, the number of recipients, the start
// time) is written whole (temporary sibling, fsync, rename) before the send connects. Lines are
// then appended, one per recipient once its outcome is final, each transaction's lines written and
// fdatasync'ed before the next transaction starts. Before a transaction's final "." goes out, a
// "Sent" line naming its accepted recipients is synced too: a transaction whose outcome never
// reached the file is then known as one that "may have been delivered". "Closed" ends a journal
// whose every recipient is final, or one the user discarded.
//
// The text is "Key<TAB>field..." per line, every field escaped (\\, \t, \n, \r, \xHH), so any byte
// round-trips. A last line without its line end is a write the program did not finish: it is
// ignored. Any other fault refuses the whole file with the reason, and the file stays as it is.
// Reading never changes a file. No state shared between objects; GUI (or main) thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <QTimer>

#include "send/MessageAssembly.h"
#include "send/MailSend.h"
#include "send/SendDialogue.h"
#include "send/SendLog.h"

namespace tavrin::app {

struct JournalAttachment {
  std::string path;  // the file system's own bytes
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
};

// What a send is, written before it connects.
struct JournalHead {
  std::int64_t started = 0;  // seconds since the epoch
  std::string subject;       // UTF-8, for the Resume question only
  std::string tableFile;     // the recipients table (.dbf)
  std::string nameField, emailField;
  std::int64_t total = 0;  // the table's live records when the send started
  std::string returnEmail;
  std::vector<std::string> lines;  // the message's header block and body, no line ends
  std::string boundary;
  std::vector<JournalAttachment> attachments;
  // The logical field whose true value skips a record; "": none. A Resume skips the same records.
  std::string optOutField;
  // One message per recipient: each is built again from `input` (its placeholders filled from
  // the record) when the send resumes, with the same Date; `lines` then stays empty.
  bool personalised = false;
  MessageInput input;
};

enum class JournalOutcome {
  kAccepted,  // the server took the recipient and then the message
  kRefused,   // the server refused it (or its message); the reply says why
  kSkipped,   // left out on purpose: a duplicate, opted out, or may have been delivered already
};

struct JournalRecord {
  JournalOutcome outcome = JournalOutcome::kAccepted;
  std::int64_t at = 0;  // seconds since the epoch
  std::string reply;    // UTF-8 or the server's bytes; why for a refusal or a skip
  std::string address;  // the record's address then (8-bit text); "" in older journals
};

// A journal as read back.
struct JournalState {
  std::string path;
  JournalHead head;
  std::map<std::int32_t, JournalRecord> final;  // by record number: at most one each
  // Records of a transaction whose final "." went out with no outcome written afterwards.
  std::set<std::int32_t> mayHaveBeenDelivered;
  bool closed = false;
  std::optional<std::int64_t> pausedUntil;  // the day's limit stopped it until then

  std::int64_t Reached() const { return static_cast<std::int64_t>(final.size()); }
};

// $XDG_DATA_HOME/Tavrin/journal, or `homeDir`/.local/share/Tavrin/journal.
std::string JournalFolder(const std::string& homeDir);
// The journals in `folder`, oldest first by name; none when it does not exist.
std::vector<std::string> JournalFiles(const std::string& folder);

// The text of a journal, and the state it holds or why it is refused.
std::variant<JournalState, std::string> ParseJournal(const std::string& text);
std::variant<JournalState, std::string> ReadJournal(const std::string& path);

// The attachments as they are now against the head: nothing when each is unchanged, else the
// words naming the first that changed or went missing.
std::optional<std::string> AttachmentChange(const JournalHead& head);
// The attachment as it is now; none when it cannot be read.
std::optional<JournalAttachment> AttachmentNow(const std::string& path);

// The table's live records (those not marked deleted); why not, when it cannot be read.
std::variant<std::int64_t, std::string> LiveRecords(const std::string& tableFile);

// The head of the journal of a send about to start: the message and its attachments as they are
// now, the table, its live records at this moment. A table or attachment that cannot be read is
// left for the send itself to fail on, with its own words.
JournalHead JournalHeadFor(const std::string& subject, const SendSetup& setup,
                           const MailMessage& message, std::int64_t started);

// "The send of "SUBJECT" on DATE reached N of M recipients. Send to the remaining M-N?"
std::string ResumeQuestion(const JournalState& state, const std::string& date);

// The outcomes to give a resumed send: every final record, and (unless `include`) the records
// that may have been delivered, as not sent.
std::unordered_map<std::int32_t, SettledRecipient> SettledFor(const JournalState& state,
                                                              bool includeMayHaveBeenDelivered);

// When each recipient every journal in `folder` records as accepted at or after `since` (seconds
// since the epoch) went out, in milliseconds since the epoch, oldest first: what the day's limit
// counts. Journals that cannot be read count nothing.
std::deque<std::int64_t> SentTimes(const std::string& folder, std::int64_t since);

inline constexpr const char* kMayHaveBeenDelivered = "May have been delivered by an earlier try.";
inline constexpr const char* kJournalNotWritten = "The send journal could not be written: ";

class TSendJournal {
 public:
  // A new journal in `folder` (made when missing), its head written and synced. Why not, else.
  static std::variant<std::unique_ptr<TSendJournal>, std::string> Create(const std::string& folder,
                                                                         const JournalHead& head);
  // The journal of `state` reopened for appending. Why not, else.
  static std::variant<std::unique_ptr<TSendJournal>, std::string> Reopen(const JournalState& state);
  ~TSendJournal();
  TSendJournal(const TSendJournal&) = delete;
  TSendJournal& operator=(const TSendJournal&) = delete;

  const std::string& Path() const { return path_; }
  // Empty until a write failed; then why, and nothing more is written.
  const std::string& Error() const { return error_; }

  // Keeps a final outcome to be written by the next Flush. RecipientStatus::kNotSent is no outcome
  // and is passed over.
  void Settle(std::int32_t recordNo, RecipientStatus status, const std::string& reply,
              const std::string& address = {});
  void Skip(std::int32_t recordNo, const std::string& reason);
  // Writes and syncs what Settle kept, and whatever was written unsynced; false when the journal
  // could not be written.
  bool Flush();
  // Writes what Settle kept without waiting for the disk: a process killed now loses none of it,
  // and the next "Sent" line's sync, or one a moment later, takes it to the disk. A send then
  // costs one sync per transaction, not two.
  bool WriteSettled();
  // Before a transaction's final ".": what Settle kept and its accepted records, written and
  // synced together.
  bool DataEnding(const std::vector<std::int32_t>& records);
  bool Pause(std::int64_t until);
  bool Resumed();
  // Marks the journal complete, or discarded: it is offered for Resume no more.
  bool Close();
  bool IsFinal(std::int32_t recordNo) const { return final_.count(recordNo) != 0; }

  // Hooks the journal into a send's events: outcomes as they become final, the "Sent" line before
  // each final ".", and, once the send has ended, Close when every recipient of `log` is final.
  // Keeps any `outcome` handler already set, and calls it after. The journal must outlive the send.
  void Bind(SendEvents& events, const TSendLog& log);

 private:
  TSendJournal(std::string path, int fd);
  bool Append(const std::string& lines);
  void Ended(const TSendLog& log);

  std::string path_;
  int fd_ = -1;
  std::string error_;
  std::string pending_;           // lines kept by Settle for the next Flush
  std::set<std::int32_t> final_;  // written (or pending) final outcomes
  bool unsynced_ = false;         // lines were written since the last sync
  QTimer syncSoon_;               // syncs what WriteSettled wrote if nothing else does first
};

}  // namespace tavrin::app
