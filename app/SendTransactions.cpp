// The transaction part of the send dialogue: "Mail From:", the recipients, the outcome of the mail
// data for the log, and the next transaction for the recipients a limit left over.
//
// A transaction takes recipients until the table ends, the job's own limit is reached, or the
// server answers one with 452 or 552 (no room for more in this message). Those it had no room for
// open the next transaction on the same connection, once the mail data of this one has gone. A
// recipient is logged only when its transaction ends, so OK always means the server accepted the
// mail data it belongs to.
#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "app/MessageAssembly.h"
#include "app/SendDialogue.h"
#include "app/SendText.h"

namespace tavrin::app {
namespace {

using namespace sendtext;
using State = TSendDialogue::State;

// A window of pipelined commands: at most this many, and at most this many bytes.
constexpr int kWindowCommands = 100;
constexpr std::size_t kWindowBytes = 64 * 1024;

constexpr const char* kInvalidAddress = "Invalid address";
constexpr const char* kNotSent = "Not sent: send stopped";

bool NoRoom(int code) { return code == 452 || code == 552; }

}  // namespace

void TSendDialogue::ResetTransactions() {
  walkStarted_ = false;
  inFlight_.clear();
  waiting_.clear();
  outcomes_.clear();
  settled_.clear();
  roomRefusal_.clear();
  accepted_ = 0;
  deliveredTo_ = 0;
  messageSize_.reset();
}

// Opens a transaction with "Mail From:"; with pipelining its first recipients go in the same write.
void TSendDialogue::SendMailFrom() {
  accepted_ = 0;
  outcomes_.clear();
  roomRefusal_.clear();
  std::string mailFrom = "Mail From:<" + job_.returnEmail + ">";
  if (extensions_.Has("SIZE")) {
    // A message the server would refuse at the end is not sent at all.
    const std::uint64_t size = MessageSize();
    if (const auto limit = extensions_.SizeLimit(); limit && size > *limit) return Abort(TooLargeText(*limit));
    mailFrom += " SIZE=" + std::to_string(size);
  }
  if (!Pipelining()) return SendCommand(mailFrom, State::kMailFrom, commandTimeOutMs);
  if (!walkStarted_) StartWalk();
  SendWindow(mailFrom);
}

void TSendDialogue::StartWalk() {
  walkStarted_ = true;
  recipientNo_ = 0;
  recipientCount_ = table_.RecordTotal();
  table_.GoFirst();
}

// With pipelining the reply to "Mail From:" may come ahead of those to the window's recipients.
void TSendDialogue::OnMailFromReply(int code, const std::string& line, bool proceed) {
  if (!proceed || code / 100 != 2) return Unexpected(line);
  if (!walkStarted_) StartWalk();
  if (inFlight_.empty()) return SendNextRecipient();
  SetState(State::kRcpt);
  replyTimer_.start(commandTimeOutMs);
}

void TSendDialogue::SendNextRecipient() { SendWindow(""); }

// Sends `mailFrom` (when not empty) and the next recipients in one write: one recipient, or a
// window of them when the server takes pipelined commands. With nobody left the transaction ends.
void TSendDialogue::SendWindow(const std::string& mailFrom) {
  if (events.progress) events.progress(recipientCount_, recipientNo_);
  if (events.progressShown) events.progressShown(true);
  const int most = Pipelining() ? kWindowCommands : 1;
  std::string window = mailFrom.empty() ? std::string() : mailFrom + "\r\n";
  int commands = mailFrom.empty() ? 0 : 1;
  Addressee next;
  while (commands < most && RoomForAnother() && NextAddressee(next)) {
    std::string command = "Rcpt To:<" + next.address + ">\r\n";
    if (commands > 0 && window.size() + command.size() > kWindowBytes) {
      waiting_.push_front(std::move(next));  // opens the next window
      break;
    }
    window += command;
    inFlight_.push_back(std::move(next));
    ++commands;
  }
  if (commands == 0) return EndTransaction();
  SendLines(window);
  SetState(mailFrom.empty() ? State::kRcpt : State::kMailFrom);
  replyTimer_.start(commandTimeOutMs);
}

// The next recipient to address: one a window left over first, then the table's next live record.
// A record whose address cannot be sent is logged as refused and passed over.
bool TSendDialogue::NextAddressee(Addressee& next) {
  if (!waiting_.empty()) {
    next = std::move(waiting_.front());
    waiting_.pop_front();
    Announce(next.recordNo);
    return true;
  }
  while (table_.IsOpen() && !table_.AtEnd()) {
    ++recipientNo_;
    if (table_.RecordDeleted()) {
      table_.SkipBy(1);
      continue;
    }
    std::string name = TrimField(table_.GetField(job_.nameField));
    std::string address = TrimField(table_.GetField(job_.emailField));
    table_.SkipBy(1);
    if (table_.AtEnd()) table_.Close();  // not needed again for this send
    // An address already written in its brackets is sent once bracketed; any other bracket would
    // end the address early and pass the rest to the server as parameters of the command.
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
      address = TrimField(address.substr(1, address.size() - 2));
    Announce(recipientNo_);
    // An empty address, or a control character that would end the command early, is never sent.
    if (address.empty() || HasControl(address) || HasControl(name) ||
        address.find_first_of("<>") != std::string::npos) {
      outcomes_.push_back({recipientNo_, std::move(name), false, kInvalidAddress});
      continue;
    }
    next = Addressee{recipientNo_, std::move(name), std::move(address), ""};
    return true;
  }
  return false;
}

void TSendDialogue::Announce(std::int32_t recordNo) {
  if (events.progress) events.progress(recipientCount_, recordNo);
  if (events.status)
    events.status("Processing individual " + std::to_string(recordNo) + " of " +
                  std::to_string(recipientCount_));
}

bool TSendDialogue::RoomForAnother() const {
  const int limit = job_.recipientsPerMessage;
  return limit <= 0 || accepted_ + static_cast<std::int64_t>(inFlight_.size()) < limit;
}

bool TSendDialogue::MoreToAddress() {
  return !waiting_.empty() || (table_.IsOpen() && !table_.AtEnd());
}

// Replies come in the order the commands went. Any refusal of one recipient (4xx or 5xx except
// 421, which closes the service) costs that recipient alone; "no room" (452, 552) once the
// transaction holds a recipient only moves it to the next transaction. Recipients the server
// accepted after such a reply are in this one. With nobody accepted yet, no limit on recipients
// can have been reached: the server means that one (a full mailbox), and it is refused alone, so
// the send goes on. Every transaction delivers to someone, so the send always ends.
void TSendDialogue::OnRcptReply(int code, const std::string& line, bool proceed) {
  const int kind = code / 100;
  if (code == 421 || (kind != 2 && kind != 4 && kind != 5) || (kind == 2 && !proceed) ||
      inFlight_.empty())
    return Unexpected(line);
  Addressee who = std::move(inFlight_.front());
  inFlight_.pop_front();
  if (kind == 2) {
    ++accepted_;
    outcomes_.push_back({who.recordNo, std::move(who.name), true, ""});
  } else if (NoRoom(code) && accepted_ > 0) {
    if (roomRefusal_.empty()) roomRefusal_ = line;
    who.refusal = RefusalDetail(code, line);
    waiting_.push_back(std::move(who));
  } else {
    outcomes_.push_back({who.recordNo, std::move(who.name), false, RefusalDetail(code, line)});
  }
  if (!inFlight_.empty()) return replyTimer_.start(commandTimeOutMs);
  AfterWindow();
}

// Every reply of the window is in: the mail data goes when the transaction is full, else the next
// window.
void TSendDialogue::AfterWindow() {
  const int limit = job_.recipientsPerMessage;
  if (!roomRefusal_.empty() || (limit > 0 && accepted_ >= limit))
    return SendCommand("Data", State::kData, commandTimeOutMs);
  SendNextRecipient();
}

// Nobody is left to address in this transaction.
void TSendDialogue::EndTransaction() {
  if (accepted_ > 0) return SendCommand("Data", State::kData, commandTimeOutMs);
  LogTransaction(nullptr);  // refusals only
  delivered_ = true;
  SendCommand("Quit", State::kQuit, commandTimeOutMs);
}

void TSendDialogue::OnDotReply(int code, const std::string& line) {
  if (code / 100 != 2) {
    const std::string refusal = RefusalDetail(code, line);
    LogTransaction(&refusal);
    return Unexpected(line);
  }
  deliveredTo_ += accepted_;
  LogTransaction(nullptr);
  if (MoreToAddress()) return SendMailFrom();
  delivered_ = true;
  SendCommand("Quit", State::kQuit, commandTimeOutMs);
}

// Settles the transaction's lines: the accepted recipients are OK unless `refusal` says why the
// mail data did not reach them.
void TSendDialogue::LogTransaction(const std::string* refusal) {
  for (Outcome& o : outcomes_) {
    if (o.accepted && refusal != nullptr) o = {o.recordNo, std::move(o.name), false, *refusal};
    settled_.emplace(o.recordNo, std::move(o));
  }
  outcomes_.clear();
  WriteSettled();
}

// Writes the settled lines in table order, up to the first record still to be addressed: the log
// reads the same however the recipients were split into transactions or windows.
void TSendDialogue::WriteSettled() {
  std::int32_t bound = INT32_MAX;
  for (const auto* queue : {&waiting_, &inFlight_})
    for (const Addressee& who : *queue) bound = std::min(bound, who.recordNo);
  auto end = settled_.lower_bound(bound);
  for (auto it = settled_.begin(); it != end; ++it)
    log_.AddLogLine(it->second.name, it->second.accepted, it->second.detail);
  settled_.erase(settled_.begin(), end);
}

// The send stops: everyone read from the table and not yet logged is, as not sent.
void TSendDialogue::LogUnsent() {
  const std::string notSent = kNotSent;
  for (Addressee& who : inFlight_) outcomes_.push_back({who.recordNo, std::move(who.name), true, ""});
  for (Addressee& who : waiting_)
    outcomes_.push_back({who.recordNo, std::move(who.name), false,
                         who.refusal.empty() ? notSent : std::move(who.refusal)});
  inFlight_.clear();
  waiting_.clear();
  LogTransaction(&notSent);
}

// Commands go out in windows only to a server that said in its reply to EHLO that it takes them.
bool TSendDialogue::Pipelining() const { return extensions_.Has("PIPELINING"); }

// Every octet of the mail data but the transparency dots and the final ".", from the attachments'
// sizes as they are now.
std::uint64_t TSendDialogue::MessageSize() {
  if (messageSize_) return *messageSize_;
  std::vector<std::pair<std::string, std::uint64_t>> files;
  for (const std::string& path : job_.attachments) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    files.emplace_back(path, error ? 0 : size);  // one gone since Send is named when it is read
  }
  std::uint64_t size = MessageSizeOnWire(job_.messageLines, job_.boundary, files) - 3;  // ".\r\n"
  for (const std::string& line : job_.messageLines) size -= MailDataLine(line).size() - line.size();
  messageSize_ = size;
  return size;
}

std::string TooLargeText(std::uint64_t limitOctets) {
  // Decimal megabytes, rounded down so the message is larger than the figure shown too: one
  // decimal, or three below 0.1 MB; no trailing zeros.
  const int decimals = limitOctets >= 100000 ? 1 : 3;
  const std::uint64_t unit = decimals == 1 ? 100000 : 1000;
  const std::uint64_t scale = decimals == 1 ? 10 : 1000;
  const std::uint64_t units = limitOctets / unit;
  std::string fraction = std::to_string(units % scale);
  fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  const std::string figure = std::to_string(units / scale) + (fraction.empty() ? "" : "." + fraction);
  return "The message is larger than the server accepts (" + figure + " MB).";
}

}  // namespace tavrin::app
