// The transaction part of the send dialogue: "Mail From:", the recipients, the outcome of the mail
// data for the log, and the next transaction for the recipients a limit left over.
//
// A transaction takes recipients until the table ends, the job's own limit is reached, or the
// server answers one with "no room" (452, 552, or the enhanced status x.5.3 whatever the code).
// Those it had no room for open the next transaction on the same connection, once the mail data of
// this one has gone. A recipient is logged only when its transaction ends, so OK always means the
// server accepted the mail data it belongs to. An address outside ASCII goes only in a transaction
// opened with SMTPUTF8; read during one without, it waits for the next. A transaction the server
// cuts off (421, a closed connection) before its mail data goes again, with the recipients it had
// accepted and those not yet tried, on a new connection that opens the session from the greeting.
// A record whose address an earlier record had, or whose opt-out field is true, gets no message
// and is logged with the reason. A test send reads only its one record and addresses the return
// address instead.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "send/MessageAssembly.h"
#include "send/Placeholders.h"
#include "send/SendDialogue.h"
#include "send/SendText.h"

#include "platform/CodePage.h"

namespace tavrin::app {
namespace {

using namespace sendtext;
using State = TSendDialogue::State;

// A window of pipelined commands: at most this many, and at most this many bytes.
constexpr int kWindowCommands = 100;
constexpr std::size_t kWindowBytes = 64 * 1024;

// A reply kept for the log: without its line end, and bounded (a hostile server's long lines
// times every recipient would fill the memory). Cut between characters of UTF-8 text.
std::string LoggedReply(const std::string& line) {
  constexpr std::size_t kMost = 512;
  std::string text = WithoutLineEnd(line);
  if (text.size() <= kMost) return text;
  std::size_t cut = kMost;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

bool NoRoom(int code, const std::string& line) {
  return code == 452 || code == 552 || TooManyRecipients(line);
}

}  // namespace

bool OutsideAscii(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool SendableAddress(const std::string& address) {
  return !address.empty() && address.find('?') == std::string::npos &&
         IsPlainAddress(platform::AnsiToUtf8(address));
}

// "451 4.5.3 Too many recipients", "550 5.5.3 ...": any class, subject 5, detail 3 (RFC 3463).
bool TooManyRecipients(const std::string& line) {
  if (line.size() < 4 || (line[3] != ' ' && line[3] != '-')) return false;
  std::size_t at = 4;
  const auto number = [&] {  // one to three digits; -1 when none
    int value = 0, digits = 0;
    while (at < line.size() && digits < 4 && line[at] >= '0' && line[at] <= '9')
      value = value * 10 + (line[at++] - '0'), ++digits;
    return digits == 0 || digits > 3 ? -1 : value;
  };
  const int kind = number();
  if (kind != 2 && kind != 4 && kind != 5) return false;
  if (at >= line.size() || line[at++] != '.' || number() != 5) return false;
  if (at >= line.size() || line[at++] != '.' || number() != 3) return false;
  return at == line.size() || line[at] == ' ' || line[at] == '\r' || line[at] == '\n';
}

void TSendDialogue::ResetTransactions() {
  walkStarted_ = false;
  inFlight_.clear();
  waiting_.clear();
  utf8Waiting_.clear();
  outcomes_.clear();
  settled_.clear();
  roomRefusal_.clear();
  accepted_ = 0;
  deliveredTo_ = 0;
  failedCount_ = 0;
  messageSize_.reset();
  utf8Transaction_ = false;
  resetting_ = false;
  transactionBegun_ = false;
  reconnecting_ = false;
  reconnections_ = 0;
  lastCutOff_.clear();
  ++connection_;
}

// Opens a transaction with "Mail From:"; with pipelining its first recipients go in the same write.
void TSendDialogue::SendMailFrom() {
  if (events.transactionDelay) {  // pacing: the window stays live while it waits
    int most = 0;
    const std::int64_t delay = events.transactionDelay(most);
    if (delay < 0 || !Running()) {
      Stop();
      throw SendStopped{};
    }
    if (delay > 0)
      return QTimer::singleShot(delay, &replyTimer_, [this, alive = alive_, at = connection_] {
        if (!Running() || at != connection_) return;
        Act([this] { SendMailFrom(); });
        if (*alive) DrainReplies();
      });
    if (most > 0) job_.recipientsPerMessage = most;
  }
  SetState(State::kMailFrom);  // a failed write from here on cuts a transaction off
  transactionBegun_ = true;
  accepted_ = 0;
  outcomes_.clear();
  roomRefusal_.clear();
  resetting_ = false;
  const bool utf8Offered = extensions_.Has("SMTPUTF8");
  if (OutsideAscii(job_.returnEmail) && !utf8Offered)
    return Abort(FailureKind::kReturnAddressRefused, kReturnNotAscii);
  if (job_.personalised) {
    if (!walkStarted_) StartWalk();
    pacedAlready_ = true;  // the pacer was asked above, for this first message
    return OpenPersonal("");
  }
  utf8Transaction_ = utf8Offered && (OutsideAscii(job_.returnEmail) || !utf8Waiting_.empty() ||
                                     std::any_of(waiting_.begin(), waiting_.end(),
                                                 [](const Addressee& a) { return a.utf8; }));
  std::string mailFrom = "Mail From:<" + job_.returnEmail + ">";
  if (extensions_.Has("SIZE")) {
    // A message the server would refuse at the end is not sent at all.
    const std::uint64_t size = MessageSize(job_.messageLines);
    if (const auto limit = extensions_.SizeLimit(); limit && size > *limit)
      return Abort(FailureKind::kMessageTooLarge, TooLargeText(*limit));
    mailFrom += " SIZE=" + std::to_string(size);
  }
  if (utf8Transaction_) mailFrom += " SMTPUTF8";
  if (!Pipelining()) return SendCommand(mailFrom, State::kMailFrom);
  if (!walkStarted_) StartWalk();
  SendWindow(mailFrom);
}

void TSendDialogue::StartWalk() {
  walkStarted_ = true;
  recipientNo_ = 0;
  if (job_.testRecord) {
    recipientCount_ = 1;
    return;  // NextTestAddressee finds its record
  }
  recipientCount_ = table_.RecordTotal();
  table_.GoFirst();
}

// With pipelining the reply to "Mail From:" may come ahead of those to the window's recipients.
void TSendDialogue::OnMailFromReply(int code, const std::string& line, bool proceed) {
  if (resetting_) {  // the reply to "RSET"
    resetting_ = false;
    if (code / 100 != 2) return Unexpected(line);
    return SendMailFrom();
  }
  if (!proceed || code / 100 != 2) return Unexpected(line);
  if (!walkStarted_) StartWalk();
  if (inFlight_.empty()) return SendNextRecipient();
  SetState(State::kRcpt);  // the window's replies are still due
}

void TSendDialogue::SendNextRecipient() { SendWindow(""); }

// Sends `mailFrom` (when not empty) and the next recipients in one write: one recipient, or a
// window of them when the server takes pipelined commands. With nobody left the transaction ends.
void TSendDialogue::SendWindow(const std::string& mailFrom) {
  StepProgress(recipientCount_, recipientNo_);
  StepShown(true);
  const int most = Pipelining() ? kWindowCommands : 1;
  std::string window = mailFrom.empty() ? std::string() : mailFrom + "\r\n";
  int commands = mailFrom.empty() ? 0 : 1;
  Addressee next;
  while (commands < most && RoomForAnother() && NextAddressee(next)) {
    const std::string address(next.Address());
    std::string command =
        "Rcpt To:<" + (next.utf8 ? platform::AnsiToUtf8(address) : address) + ">\r\n";
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
  Sent(mailFrom.empty() ? State::kRcpt : State::kMailFrom);
}

// What an earlier try settled for record `recordNo`, when the record still has the address it had
// then (a table rewritten in between may have moved its records).
std::unordered_map<std::int32_t, SettledRecipient>::const_iterator TSendDialogue::SettledBefore(
    std::int32_t recordNo, std::string_view address) const {
  const auto key = [](std::string_view text) {  // as the walk sends it: no brackets around it
    std::string a = TrimField(std::string(text));
    if (a.size() >= 2 && a.front() == '<' && a.back() == '>') a = a.substr(1, a.size() - 2);
    return TRecipientFilter::AddressKey(a);
  };
  const auto before = job_.settledBefore.find(recordNo);
  if (before == job_.settledBefore.end() || before->second.address.empty() ||
      key(before->second.address) == key(address))
    return before;
  return job_.settledBefore.end();
}

// The next recipient to address: one a window left over first, then one put aside for a
// transaction with SMTPUTF8 (when this is one), then the table's next live record. A record whose
// address cannot be sent is logged as refused and passed over.
bool TSendDialogue::NextAddressee(Addressee& next) {
  while (!waiting_.empty()) {
    next = std::move(waiting_.front());
    waiting_.pop_front();
    if (Admit(next)) {
      Announce(next);
      return true;
    }
  }
  while (utf8Transaction_ && !utf8Waiting_.empty()) {
    next = std::move(utf8Waiting_.front());
    utf8Waiting_.pop_front();
    if (Admit(next)) {
      Announce(next);
      return true;
    }
  }
  if (job_.testRecord) return NextTestAddressee(next);
  while (table_.IsOpen() && !table_.AtEnd()) {
    ++recipientNo_;
    if (table_.RecordDeleted()) {
      table_.SkipBy(1);
      continue;
    }
    std::string name = TrimField(table_.GetField(job_.nameField));
    std::string address = TrimField(table_.GetField(job_.emailField));
    // An address already written in its brackets is sent once bracketed; any other bracket would
    // end the address early and pass the rest to the server as parameters of the command.
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
      address = TrimField(address.substr(1, address.size() - 2));
    // A blank, a control character or a bracket would end the command early or add to it.
    const bool sendable = !HasControl(name) && SendableAddress(address);
    if (const auto before = SettledBefore(recipientNo_, address);
        before != job_.settledBefore.end()) {  // later than every record read: order kept
      // Settled by an earlier try and not sent again; its address still counts, so a later copy
      // of it is a duplicate on this try as well.
      if (sendable) filter_.Judge(recipientNo_, address, table_);
      table_.SkipBy(1);
      if (table_.AtEnd()) table_.Close();  // not needed again for this send
      settled_.push_back({Addressee(recipientNo_, name, address, false), before->second.status,
                          before->second.reply});
      continue;
    }
    // Judged while the record is current: the opt-out field and a personalised message's values
    // are read from it.
    const RecipientVerdict verdict =
        sendable ? filter_.Judge(recipientNo_, address, table_) : RecipientVerdict{};
    if (sendable && verdict.Send() && job_.personalised) BuildPersonal(recipientNo_, address);
    table_.SkipBy(1);
    if (table_.AtEnd()) table_.Close();  // not needed again for this send
    next = Addressee(recipientNo_, name, address, OutsideAscii(address));
    Announce(next);
    if (!sendable) {
      Refuse(std::move(next), kInvalidAddress);
      continue;
    }
    if (!verdict.Send()) {
      Skip(std::move(next), verdict.LogText());
      continue;
    }
    const std::int32_t number = next.recordNo;
    if (Admit(next)) return true;
    if (job_.personalised) TakeBuilt(number);  // refused: its message is not needed
  }
  return false;
}

// The test send's one record, addressed to the return address; its message is built from the
// record as that recipient would receive it.
bool TSendDialogue::NextTestAddressee(Addressee& next) {
  if (testTaken_ || !table_.IsOpen()) return false;
  testTaken_ = true;
  const std::int32_t number = *job_.testRecord;
  table_.GoFirst();
  if (number > 1) table_.SkipBy(number - 1);
  if (number < 1 || table_.AtEnd())
    throw std::runtime_error("The recipients table has no record " + std::to_string(number) + ".");
  recipientNo_ = number;
  const std::string name = TrimField(table_.GetField(job_.nameField));
  if (job_.personalised) BuildPersonal(number, TrimField(table_.GetField(job_.emailField)));
  table_.Close();
  const std::string address = platform::Utf8ToAnsi(job_.returnEmail);
  next = Addressee(number, HasControl(name) ? std::string() : name, address,
                   OutsideAscii(job_.returnEmail));
  Announce(next);
  return Admit(next);
}

// The record's own message, made while its record is current: only the values go into it, so
// what it holds is that record's and no other's.
void TSendDialogue::BuildPersonal(std::int32_t recordNo, const std::string& address) {
  MessageInput input = PersonalisedInput(job_.input, RecordValues(table_), address);
  input.MessageIdToken = NewMessageIdToken();
  built_.emplace_back(recordNo, BuildMessage(input, job_.boundary));
}

std::vector<std::string> TSendDialogue::BuiltLines(std::int32_t recordNo) const {
  for (const auto& [number, lines] : built_)
    if (number == recordNo) return lines;
  return {};
}

std::vector<std::string> TSendDialogue::TakeBuilt(std::int32_t recordNo) {
  for (auto it = built_.begin(); it != built_.end(); ++it) {
    if (it->first != recordNo) continue;
    std::vector<std::string> lines = std::move(it->second);
    built_.erase(it);
    return lines;
  }
  return {};
}

// A duplicate or an opt-out: no message, and the reason in the log.
void TSendDialogue::Skip(Addressee who, const std::string& why) {
  ++failedCount_;  // settled: a cut-off after it is no longer the same step
  outcomes_.push_back({std::move(who), RecipientStatus::kNotSent, why});
}

// Whether `who` may go in this transaction. An address outside ASCII goes only to a server that
// takes it (else it is refused, and nothing is sent for it), and only in a transaction opened
// with SMTPUTF8 (else it waits for the next).
bool TSendDialogue::Admit(Addressee& who) {
  if (!who.utf8) return true;
  if (!extensions_.Has("SMTPUTF8")) {
    Refuse(std::move(who), kInvalidAddress);
    return false;
  }
  if (utf8Transaction_) return true;
  utf8Waiting_.push_back(std::move(who));
  return false;
}

void TSendDialogue::Refuse(Addressee who, const std::string& reply) {
  ++failedCount_;
  outcomes_.push_back({std::move(who), RecipientStatus::kFailed, reply});
}

// `who` has left the table or its queue and is in no list yet: a handler that stops the send here
// finds it through announcing_, so it is logged with everyone else, and the walk goes no further.
void TSendDialogue::Announce(const Addressee& who) {
  auto alive = alive_;
  announcing_ = &who;
  if (events.progress) events.progress(recipientCount_, job_.testRecord ? 1 : who.recordNo);
  if (*alive && Running() && events.status) {
    if (job_.personalised)
      events.status("Sending message " + GroupedCount(job_.testRecord ? 1 : who.recordNo) + " of " +
                    GroupedCount(recipientCount_));
    else
      events.status("Processing individual " + std::to_string(who.recordNo) + " of " +
                    std::to_string(recipientCount_));
  }
  if (!*alive) throw SendStopped{};
  announcing_ = nullptr;
  if (!Running()) throw SendStopped{};
}

bool TSendDialogue::RoomForAnother() const {
  const int limit = job_.recipientsPerMessage;
  return limit <= 0 || accepted_ + static_cast<std::int64_t>(inFlight_.size()) < limit;
}

bool TSendDialogue::MoreToAddress() {
  return !waiting_.empty() || !utf8Waiting_.empty() || (table_.IsOpen() && !table_.AtEnd());
}

// Replies come in the order the commands went. Any refusal of one recipient (4xx or 5xx except
// 421, which closes the service) costs that recipient alone; "no room" once the transaction holds
// a recipient only moves it to the next transaction. Recipients the server accepted after such a
// reply are in this one. With nobody accepted yet, no limit on recipients can have been reached:
// the server means that one (a full mailbox), and it is refused alone, so the send goes on. Every
// transaction delivers to someone, so the send always ends.
void TSendDialogue::OnRcptReply(int code, const std::string& line, bool proceed) {
  const int kind = code / 100;
  if (code == 421 || (kind != 2 && kind != 4 && kind != 5) || (kind == 2 && !proceed) ||
      inFlight_.empty())
    return Unexpected(line);
  Addressee who = std::move(inFlight_.front());
  inFlight_.pop_front();
  if (kind == 2) {
    ++accepted_;
    outcomes_.push_back({std::move(who), RecipientStatus::kOk, ""});
  } else if (NoRoom(code, line) && accepted_ > 0) {
    if (roomRefusal_.empty()) roomRefusal_ = line;
    waiting_.push_back(std::move(who));
  } else {
    Refuse(std::move(who), LoggedReply(line));
  }
  if (!inFlight_.empty()) return;  // the rest of the window's replies are due
  AfterWindow();
}

// Every reply of the window is in: the mail data goes when the transaction is full, else the next
// window.
void TSendDialogue::AfterWindow() {
  const int limit = job_.recipientsPerMessage;
  if (!roomRefusal_.empty() || (limit > 0 && accepted_ >= limit))
    return SendCommand("Data", State::kData);
  SendNextRecipient();
}

// Nobody is left to address in this transaction.
void TSendDialogue::EndTransaction() {
  if (accepted_ > 0) return SendCommand("Data", State::kData);
  LogTransaction(RecipientStatus::kFailed, "");  // refusals only
  if (MoreToAddress()) {
    // Only addresses outside ASCII are left, and this transaction was opened without SMTPUTF8.
    resetting_ = true;
    return SendCommand("RSET", State::kMailFrom);
  }
  SendQuit();
}

void TSendDialogue::OnDotReply(int code, const std::string& line) {
  // A reply of no kind that answers "." (a second 354): the message may have been kept.
  if (code / 100 != 2 && code / 100 != 4 && code / 100 != 5) return Unexpected(line);
  if (code / 100 != 2) {
    failedCount_ += accepted_;
    LogTransaction(RecipientStatus::kFailed, LoggedReply(line));
    return Unexpected(line);
  }
  deliveredTo_ += accepted_;
  LogTransaction(RecipientStatus::kOk, LoggedReply(line));
  if (MoreToAddress()) return SendMailFrom();
  SendQuit();
}

// Settles the transaction's lines: the recipients the server accepted take `accepted` and `reply`
// (the reply to the mail data, or why it was not sent). Then writes the settled lines in table
// order, up to the first record still to be addressed: the log reads the same however the
// recipients were split into transactions or windows. A record settled twice keeps its first
// line. The lines leave the dialogue as they go into the log, so a long transaction is never held
// twice.
void TSendDialogue::LogTransaction(RecipientStatus accepted, const std::string& reply) {
  const auto byRecord = [](const Outcome& a, const Outcome& b) {
    return a.who.recordNo < b.who.recordNo;
  };
  if (!std::is_sorted(outcomes_.begin(), outcomes_.end(), byRecord))  // they mostly are
    std::stable_sort(outcomes_.begin(), outcomes_.end(), byRecord);
  const std::int32_t bound = FirstUnsettled();
  std::deque<Outcome> later;
  bool any = false;
  std::int32_t last = 0;
  // Both queues in record order: merged, the lines settled before first.
  while (!settled_.empty() || !outcomes_.empty()) {
    const bool before =
        !settled_.empty() &&
        (outcomes_.empty() || settled_.front().who.recordNo <= outcomes_.front().who.recordNo);
    std::deque<Outcome>& from = before ? settled_ : outcomes_;
    Outcome o = std::move(from.front());
    from.pop_front();
    if (any && o.who.recordNo == last) continue;
    any = true;
    last = o.who.recordNo;
    const bool takesReply = !before && o.status == RecipientStatus::kOk;
    if (takesReply) o.status = accepted;
    if (!before && o.status != RecipientStatus::kNotSent && events.recipientSettled)
      events.recipientSettled(o.who.recordNo, o.status, takesReply ? reply : std::string(o.Reply()),
                              std::string(o.who.Address()));
    if (o.who.recordNo >= bound) {
      if (takesReply) o.SetReply(reply);
      later.push_back(std::move(o));
      continue;
    }
    const std::string address = platform::AnsiToUtf8(std::string(o.who.Address()));
    if (takesReply)
      log_.AddRecipient(o.who.recordNo, o.who.Name(), address, o.status, reply);
    else
      log_.AddRecipient(o.who.recordNo, o.who.Name(), address, o.status, std::string(o.Reply()));
  }
  settled_ = std::move(later);
  if (events.transactionSettled) events.transactionSettled();
}

// The first record still to be addressed; INT32_MAX when none is.
std::int32_t TSendDialogue::FirstUnsettled() const {
  std::int32_t bound = INT32_MAX;
  for (const auto* queue : {&waiting_, &inFlight_, &utf8Waiting_})
    for (const Addressee& who : *queue) bound = std::min(bound, who.recordNo);
  return bound;
}

// The send stops for `reason`: everyone not yet logged is, as not sent, to the end of the table.
// The transaction's accepted recipients are not sent for `acceptedReason` (the final "." may
// have gone out unconfirmed).
void TSendDialogue::LogUnsent(const std::string& reason, const std::string& acceptedReason) {
  for (Outcome& o : outcomes_) {
    if (o.status != RecipientStatus::kOk) continue;
    o.status = RecipientStatus::kNotSent;
    o.SetReply(acceptedReason);
  }
  if (announcing_ != nullptr)
    outcomes_.push_back({*std::exchange(announcing_, nullptr), RecipientStatus::kNotSent, reason});
  for (auto* queue : {&inFlight_, &waiting_, &utf8Waiting_}) {
    for (Addressee& who : *queue)
      outcomes_.push_back({std::move(who), RecipientStatus::kNotSent, reason});
    queue->clear();
  }
  // The records the walk has not reached. A table that cannot be read further ends the list.
  try {
    if (!job_.testRecord && table_.IsOpen() && table_.HasField(job_.nameField) &&
        table_.HasField(job_.emailField)) {
      if (!walkStarted_) StartWalk();
      for (; !table_.AtEnd(); table_.SkipBy(1)) {
        ++recipientNo_;
        if (table_.RecordDeleted()) continue;
        Addressee who{recipientNo_, TrimField(table_.GetField(job_.nameField)),
                      TrimField(table_.GetField(job_.emailField)), false};
        if (const auto before = SettledBefore(recipientNo_, who.Address());
            before != job_.settledBefore.end())
          settled_.push_back({std::move(who), before->second.status, before->second.reply});
        else
          outcomes_.push_back({std::move(who), RecipientStatus::kNotSent, reason});
      }
    }
  } catch (const std::exception&) {
  }
  LogTransaction(RecipientStatus::kNotSent, reason);
}

// ---------------------------------------------------------------- a new connection

// A transaction can be cut off and tried again from its "Mail From:" until its final "." has
// gone out (after that the server may have taken it), and on a new connection while the session
// opens again.
bool TSendDialogue::MayTryAgain() const {
  if (!transactionBegun_ || delivered_) return false;
  switch (state_) {
    case State::kGreeting:
    case State::kHelo:
    case State::kEhlo:
    case State::kStartTls:
    case State::kAuthPlain:
    case State::kAuthLogin:
    case State::kAuthUser:
    case State::kAuthPassword:
    case State::kMailFrom:
    case State::kRcpt:
    case State::kData:
    case State::kMailData: return true;
    // A personalised send awaiting a message's final reply: that message stays unconfirmed, and
    // the next recipient goes on a new connection.
    case State::kDot: return job_.personalised;
    default: return false;
  }
}

// The server cut the transaction off (421, or the connection is gone): opens a new connection,
// which greets, secures and signs in again before "Mail From:". Not when the bound is reached, nor
// when the same step was cut off last time with no recipient settled since. False when no new
// connection is opened; the caller ends the send.
bool TSendDialogue::TryAgain() {
  if (!Running() || !MayTryAgain() || reconnections_ >= mostReconnections) return false;
  const std::string step =
      std::string(StateName(state_)) + "/" + std::to_string(failedCount_ + deliveredTo_);
  if (step == lastCutOff_) return false;
  lastCutOff_ = step;
  ++reconnections_;
  ++connection_;
  PersonalCutOff();
  RequeueTransaction();
  auto alive = alive_;
  reconnecting_ = true;
  try {
    sock_.Disconnect();
  } catch (const std::exception&) {
  }
  if (!*alive) return true;
  reconnecting_ = false;
  if (!Running()) return true;
  closedWhileActing_ = false;
  continuationLines_ = 0;
  replyTimer_.stop();
  extensions_.Clear();
  secured_ = false;
  SetState(State::kConnecting);
  ConnectServer();
  return true;
}

// The refused recipients of the cut-off transaction keep their refusal; those it accepted and
// those whose replies never came wait, in table order, before everyone not yet tried.
void TSendDialogue::RequeueTransaction() {
  std::deque<Addressee> again;
  std::deque<Outcome> refused;
  for (Outcome& o : outcomes_) {
    if (o.status == RecipientStatus::kOk)
      again.push_back(std::move(o.who));
    else
      refused.push_back(std::move(o));
  }
  for (Addressee& who : inFlight_) again.push_back(std::move(who));
  for (Addressee& who : waiting_) again.push_back(std::move(who));
  std::stable_sort(again.begin(), again.end(),
                   [](const Addressee& a, const Addressee& b) { return a.recordNo < b.recordNo; });
  inFlight_.clear();
  waiting_ = std::move(again);
  outcomes_ = std::move(refused);
  accepted_ = 0;
  roomRefusal_.clear();
  resetting_ = false;
  LogTransaction(RecipientStatus::kFailed, "");  // refusals only
}

// Commands go out in windows only to a server that said in its reply to EHLO that it takes them.
bool TSendDialogue::Pipelining() const { return extensions_.Has("PIPELINING"); }

// Every octet of the mail data but the transparency dots and the final ".", from the attachments'
// sizes as they are now.
std::uint64_t TSendDialogue::MessageSize(const std::vector<std::string>& lines) {
  if (messageSize_ && !job_.personalised) return *messageSize_;
  std::vector<std::pair<std::string, std::uint64_t>> files;
  for (const std::string& path : job_.attachments) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    files.emplace_back(path, error ? 0 : size);  // one gone since Send is named when it is read
  }
  std::uint64_t size = MessageSizeOnWire(lines, job_.boundary, files) - 3;  // ".\r\n"
  for (const std::string& line : lines) size -= MailDataLine(line).size() - line.size();
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
  const std::string figure =
      std::to_string(units / scale) + (fraction.empty() ? "" : "." + fraction);
  return "The message is larger than the server accepts (" + figure + " MB).";
}

}  // namespace tavrin::app
