// The personalised send: one message per recipient, each in a transaction of its own, all on one
// connection.
//
// Every transaction is "Mail From:", one "Rcpt To:" and "Data". With pipelining the three go in
// one write, and the next recipient's three follow the final "." of the message before in the
// same write, so a message costs no round trip of its own; without it, one command at a time. The
// replies come in the order the commands went, and due_ says what each answers. A refused
// recipient costs that recipient alone ("RSET" clears the transaction the server still holds).
// Each message is built when its record is read and let go once its mail data has gone; the
// attachments are encoded once for the whole send. With pipelining the next message's mail data
// is made while the server reads the one before, so it goes out the moment "Data" is answered:
// the server then waits on the client for no more than a round trip per message. A server that closes or answers 421 gets a new
// connection, and the send goes on with the recipients that have no final outcome; a message whose
// final "." went out unanswered is not sent again (the server may have taken it). The count of
// new connections starts again with each message delivered: a server that takes a few messages
// per connection serves a send of any length, one that takes none ends it.
#include <string>
#include <utility>
#include <vector>

#include "send/MessageAssembly.h"
#include "send/SendDialogue.h"
#include "send/SendText.h"

#include "platform/CodePage.h"
#include "platform/Stream.h"

namespace tavrin::app {
namespace {

using namespace sendtext;
using State = TSendDialogue::State;

// A reply kept for the log, without its line end and bounded, cut between UTF-8 characters.
std::string LoggedReply(const std::string& line) {
  constexpr std::size_t kMost = 512;
  std::string text = WithoutLineEnd(line);
  if (text.size() <= kMost) return text;
  std::size_t cut = kMost;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

template <class Who>
std::string RcptCommand(const Who& who) {
  const std::string address(who.Address());
  return "Rcpt To:<" + (who.utf8 ? platform::AnsiToUtf8(address) : address) + ">\r\n";
}

}  // namespace

// Opens the next recipient's transaction; `before` (the previous message's final ".") goes in
// the same write. With nobody left, "Quit" follows the last reply.
void TSendDialogue::OpenPersonal(std::string before) {
  // Paced: each message waits for the pacer, with nothing of the send outstanding meanwhile (the
  // paced send does not pipeline across messages, so `before` is empty here).
  if (events.transactionDelay && !std::exchange(pacedAlready_, false)) {
    if (!before.empty()) SendLines(std::exchange(before, std::string()));
    int most = 0;
    const std::int64_t delay = events.transactionDelay(most);
    if (delay < 0 || !Running()) {
      Stop();
      throw SendStopped{};
    }
    if (delay > 0) {
      pacedAlready_ = true;
      return QTimer::singleShot(delay, &replyTimer_, [this, alive = alive_, at = connection_] {
        if (!Running() || at != connection_) return;
        Act([this] { OpenPersonal(""); });
        if (*alive) DrainReplies();
      });
    }
  }
  StepShown(true);
  utf8Transaction_ = extensions_.Has("SMTPUTF8");  // each transaction decides for its recipient
  Addressee next;
  const bool found = NextAddressee(next);
  LogTransaction(RecipientStatus::kFailed, "");  // the refusals and skips read meanwhile
  if (!found) {
    if (!before.empty()) SendLines(before);
    if (due_.empty()) return SendQuit();
    return AwaitNext();
  }
  std::string mailFrom = "Mail From:<" + job_.returnEmail + ">";
  if (extensions_.Has("SIZE")) {
    std::vector<std::string> none;
    const std::vector<std::string>* lines = &none;
    for (const auto& [number, built] : built_)
      if (number == next.recordNo) lines = &built;
    const std::uint64_t size = MessageSize(*lines);
    if (const auto limit = extensions_.SizeLimit(); limit && size > *limit)
      return Abort(FailureKind::kMessageTooLarge, TooLargeText(*limit));
    mailFrom += " SIZE=" + std::to_string(size);
  }
  if (utf8Transaction_ && (next.utf8 || OutsideAscii(job_.returnEmail))) mailFrom += " SMTPUTF8";
  mailFrom += "\r\n";
  const std::string rcpt = RcptCommand(next);
  inFlight_.push_back(std::move(next));
  personalOpen_ = true;
  personalAccepted_ = false;
  if (Pipelining()) {
    const std::int32_t opened = inFlight_.back().recordNo;
    ((before += mailFrom) += rcpt) += "Data\r\n";
    SendLines(before);
    due_.insert(due_.end(), {Due::kMailFrom, Due::kRcpt, Due::kData});
    PrepareMailData(opened);  // while the server reads the message before
  } else {
    SendLines(before + mailFrom);
    due_.push_back(Due::kMailFrom);
  }
  AwaitNext();
}

// The state is that of the first reply due, and its time-out counts from now; with none due the
// next transaction opens.
void TSendDialogue::AwaitNext() {
  if (due_.empty()) return OpenPersonal("");
  switch (due_.front()) {
    case Due::kMailFrom:
    case Due::kReset: return Sent(State::kMailFrom);
    case Due::kRcpt: return Sent(State::kRcpt);
    case Due::kData: return Sent(State::kData);
    case Due::kDot: return Sent(State::kDot);
  }
}

void TSendDialogue::OnPersonalReply(int code, const std::string& line, bool proceed) {
  const Due due = due_.front();
  due_.pop_front();
  const int kind = code / 100;
  switch (due) {
    case Due::kReset:
      if (code == 421) return Unexpected(line);
      return AwaitNext();
    case Due::kMailFrom:
      if (!proceed || kind != 2 || !personalOpen_) return Unexpected(line);
      if (!Pipelining()) {
        SendLines(RcptCommand(inFlight_.back()));
        due_.push_back(Due::kRcpt);
      }
      return AwaitNext();
    case Due::kRcpt:
      if (code == 421 || (kind != 2 && kind != 4 && kind != 5) || (kind == 2 && !proceed) ||
          !personalOpen_)
        return Unexpected(line);
      if (kind == 2) {
        personalAccepted_ = true;
        if (!Pipelining()) {
          SendLines("Data\r\n");
          due_.push_back(Due::kData);
        }
        return AwaitNext();
      }
      {
        Addressee who = std::move(inFlight_.back());
        inFlight_.pop_back();
        personalOpen_ = false;
        TakeBuilt(who.recordNo);
        Refuse(std::move(who), LoggedReply(line));
      }
      LogTransaction(RecipientStatus::kFailed, "");
      if (!Pipelining()) {  // with pipelining the reply to "Data" is still due, and "RSET" follows it
        SendLines("RSET\r\n");
        due_.push_back(Due::kReset);
      }
      return AwaitNext();
    case Due::kData:
      if (code == 354) {
        if (personalOpen_ && personalAccepted_) return SendPersonalData();
        // Mail data asked for with no recipient taken: an empty message ends it, to nobody.
        SendLines(".\r\n");
        due_.push_back(Due::kReset);
        return AwaitNext();
      }
      if (code == 421 || (kind != 4 && kind != 5)) return Unexpected(line);
      if (personalOpen_) {  // the server took the recipient, then refused the message for it
        Addressee who = std::move(inFlight_.back());
        inFlight_.pop_back();
        personalOpen_ = false;
        TakeBuilt(who.recordNo);
        Refuse(std::move(who), LoggedReply(line));
        LogTransaction(RecipientStatus::kFailed, "");
      }
      SendLines("RSET\r\n");
      due_.push_back(Due::kReset);
      return AwaitNext();
    case Due::kDot: {
      if (inFlight_.empty()) return Unexpected(line);
      if (kind != 2 && kind != 4 && kind != 5) {  // no answer to "."; the message may be kept
        due_.push_front(Due::kDot);
        return Unexpected(line);
      }
      Addressee who = std::move(inFlight_.front());
      inFlight_.pop_front();
      if (kind == 2) {
        ++deliveredTo_;
        reconnections_ = 0;  // the server serves this connection: a later cut-off is a new one
        lastCutOff_.clear();
        outcomes_.push_back({std::move(who), RecipientStatus::kOk, ""});
        LogTransaction(RecipientStatus::kOk, LoggedReply(line));
        return AwaitNext();
      }
      Refuse(std::move(who), LoggedReply(line));
      LogTransaction(RecipientStatus::kFailed, "");
      if (code == 421) return Unexpected(line);
      return AwaitNext();
    }
  }
}

// The open transaction's message, then its final "."; with pipelining that goes with the next
// transaction's commands. The message goes first: the server reads it while the next recipient's
// message is made.
void TSendDialogue::SendPersonalData() {
  personalOpen_ = false;
  const std::int32_t recordNo = inFlight_.back().recordNo;
  SetState(State::kMailData);
  // Held here while it goes out: a handler may end the send, or let go of the dialogue, meanwhile.
  std::string data;
  const bool made = prepared_.recordNo == recordNo;
  if (made) data = std::move(prepared_.text);
  prepared_.recordNo = -1;
  if (!made) PersonalMailData(BuiltLines(recordNo), data, true);
  SendLines(data);
  // Let go of only once it has gone whole: cut off on the way, it goes again on a new connection.
  TakeBuilt(recordNo);
  data.clear();
  prepared_.text = std::move(data);  // its room serves the next message
  // The journal knows the message is going before its final "." can reach the server.
  if (events.dataEnding && !events.dataEnding({recordNo}))
    return Abort(FailureKind::kLocalFile, kJournalFailed);
  due_.push_back(Due::kDot);
  if (Pipelining() && !events.transactionDelay) return OpenPersonal(".\r\n");
  SendLines(".\r\n");
  AwaitNext();
}

// Makes the mail data of the message for `recordNo` ahead of the server's go-ahead for it, when
// its attachments are encoded already and small enough to be held in memory. Encoding runs the
// event loop, and a failure is the send's only at the go-ahead: then the message is made there.
void TSendDialogue::PrepareMailData(std::int32_t recordNo) {
  prepared_.recordNo = -1;
  prepared_.text.clear();
  for (std::size_t i = 0; i < job_.attachments.size(); ++i)
    if (!encoder_ || !encoder_->Has(i)) return;
  for (const auto& [number, lines] : built_) {
    if (number != recordNo) continue;
    try {
      if (PersonalMailData(lines, prepared_.text, false)) prepared_.recordNo = recordNo;
    } catch (const std::exception&) {  // met again, and reported, when the message is sent
    }
    if (prepared_.recordNo < 0) prepared_.text.clear();
    return;
  }
}

// Appends the mail data but its final "." to `text`: the message, then each attachment's part.
// An encoding of a few MB at most is read into memory once and goes out with the text; a larger
// one is streamed from the temporary file for each message, when `mayStream` (what came before it
// is sent first); otherwise this stops there and answers false.
bool TSendDialogue::PersonalMailData(const std::vector<std::string>& lines, std::string& text,
                                     bool mayStream) {
  constexpr std::uint64_t kMostHeld = 8 * 1024 * 1024;
  for (const std::string& line : lines) (text += MailDataLine(line)) += "\r\n";
  heldEncodings_.resize(job_.attachments.size());
  for (std::size_t i = 0; i < job_.attachments.size(); ++i) {
    const std::shared_ptr<TAttachmentEncoder> encoder = EncodedAttachment(i);
    for (const std::string& header : AttachmentHeaderLines(job_.boundary, job_.attachments[i]))
      (text += MailDataLine(header)) += "\r\n";
    if (!heldEncodings_[i]) {
      const std::unique_ptr<platform::TStream> encoded = encoder->Encoded(i);
      const auto size = static_cast<std::uint64_t>(encoded->Size());
      if (heldBytes_ + size <= kMostHeld) {
        std::string bytes(static_cast<std::size_t>(size), '\0');
        encoded->SetPosition(0);
        if (!bytes.empty()) encoded->ReadBuffer(bytes.data(), bytes.size());
        heldBytes_ += size;
        heldEncodings_[i] = std::move(bytes);
      }
    }
    if (heldEncodings_[i]) {
      text += *heldEncodings_[i];
      continue;
    }
    if (!mayStream) return false;
    SendLines(text);
    text.clear();
    const std::unique_ptr<platform::TStream> encoded = encoder->Encoded(i);
    auto alive = alive_;
    sock_.SendStream(*encoded);
    if (!*alive || !Running()) throw SendStopped{};
  }
  const std::vector<std::string> closing = ClosingLines(job_.boundary);
  for (std::size_t i = 0; i + 1 < closing.size(); ++i) (text += MailDataLine(closing[i])) += "\r\n";
  return true;
}

// The connection is gone: a message whose final "." went out unanswered stays unconfirmed and is
// not sent again; the open transaction's recipient goes on the new connection.
void TSendDialogue::PersonalCutOff() {
  if (!job_.personalised) return;
  PersonalUnconfirmed();
  for (Outcome& o : outcomes_) {
    if (o.status != RecipientStatus::kOk) continue;
    o.status = RecipientStatus::kNotSent;
    o.SetReply(kUnconfirmed);
    ++failedCount_;
  }
  due_.clear();
  personalOpen_ = false;
  personalAccepted_ = false;
}

// The message awaiting its final reply joins the transaction's lines as accepted, so an end of
// the send reports it as unconfirmed.
void TSendDialogue::PersonalUnconfirmed() {
  if (!job_.personalised || due_.empty() || due_.front() != Due::kDot || inFlight_.empty()) return;
  due_.pop_front();
  outcomes_.push_back({std::move(inFlight_.front()), RecipientStatus::kOk, ""});
  inFlight_.pop_front();
}

}  // namespace tavrin::app
