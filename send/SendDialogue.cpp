#include "send/SendDialogue.h"

#include <map>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <cassert>
#include <cctype>
#include <stdexcept>

#include "send/AttachmentEncoder.h"
#include "send/MessageAssembly.h"
#include "send/SendText.h"
#include "platform/SecretStore.h"

#include "dbf/Errors.h"
#include "net/SockErrorText.h"
#include "platform/CodePage.h"
#include "platform/Stream.h"

Q_LOGGING_CATEGORY(lcSend, "tavrin.send", QtWarningMsg)

namespace tavrin::app {
namespace {

using State = TSendDialogue::State;
using namespace sendtext;

// A reply line begins with its three-digit code, followed by a blank, a hyphen (a line before the
// last) or the line's end. Anything else is no reply: its code cannot be trusted, wherever digits
// stand in it.
bool WellFormedReply(const std::string& line) {
  const std::string text = WithoutLineEnd(line);
  const auto digit = [&](std::size_t i) {
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
  };
  return digit(0) && digit(1) && digit(2) && (text.size() == 3 || text[3] == ' ' || text[3] == '-');
}

bool IsContinuation(const std::string& line) { return line.size() > 3 && line[3] == '-'; }

// A failure text of the socket client inside a sentence: no error number, the first word in
// lower case unless it is an abbreviation, and the full stop the sentence ends with.
std::string SocketReason(const std::string& text) {
  std::string words = net::WithoutErrorNumber(text);
  if (words.size() > 1 && std::isupper(static_cast<unsigned char>(words[0])) &&
      std::islower(static_cast<unsigned char>(words[1])))
    words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  if (!words.empty() && words.back() != '.') words += '.';
  return words;
}

struct Failure {
  FailureKind kind = FailureKind::kNone;
  std::string message;  // "" when there is none
};

// What a step that threw has come to: the kind by the exception's type, never by its words.
Failure FailureFor(const std::exception& error) {
  if (dynamic_cast<const EAttachmentError*>(&error) != nullptr)
    return {FailureKind::kLocalFile, error.what()};
  if (dynamic_cast<const net::ECertificateError*>(&error) != nullptr)
    return {FailureKind::kCertificateRejected,
            "The connection to the server failed: " + SocketReason(error.what())};
  if (dynamic_cast<const net::ESockError*>(&error) != nullptr)
    return {FailureKind::kConnectionFailed,
            "The connection to the server failed: " + SocketReason(error.what())};
  if (dynamic_cast<const dbf::EDbfError*>(&error) != nullptr)
    return {FailureKind::kLocalFile,
            "Unable to read the recipients table: " + WithoutLineEnd(error.what())};
  return {FailureKind::kInternal, std::string("The send failed: ") + error.what()};
}

}  // namespace

// ---------------------------------------------------------------- free helpers

std::vector<std::string> SplitBodyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    lines.push_back(std::move(line));
    line.clear();
  }
  lines.push_back(std::move(line));
  return lines;
}

std::optional<std::string> RefusalOf(const std::vector<std::string>& texts,
                                     const std::string& returnEmail) {
  for (const std::string& text : texts)
    if (text.find('\0') != std::string::npos)
      return "The message holds a NUL character, which cannot be sent. Remove it and try again.";
  // A settings file edited by hand is held to the rule Properties keeps.
  if (!platform::IsUtf8(returnEmail) || returnEmail.find('@') == std::string::npos ||
      !IsPlainAddress(returnEmail))
    return std::string(kReturnNotPlain);
  return std::nullopt;
}

std::string GroupedCount(std::int64_t n) {
  const std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out = n < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

namespace {

// A test send's Subject: "[Test] " ahead of the subject's text, plain or encoded words alike (an
// encoded word needs only the blank before it).
void MarkTestSubject(std::vector<std::string>& lines) {
  for (std::string& line : lines) {
    if (line.empty()) return;  // the end of the header block
    if (line.size() >= 8 && platform::AnsiUpper(line.substr(0, 8)) == "SUBJECT:") {
      const std::size_t text = line.find_first_not_of(' ', 8);
      line.insert(text == std::string::npos ? line.size() : text,
                  text == std::string::npos ? " [Test]" : "[Test] ");
      return;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------- life

TSendDialogue::TSendDialogue(net::TSockClient& sock, TReplyTable& replies, TSendLog& log,
                             TRecipientTable& table)
    : sock_(sock), replies_(replies), log_(log), table_(table) {
  replyTimer_.setSingleShot(true);
  QObject::connect(&replyTimer_, &QTimer::timeout,
                   [this] { Abort(FailureKind::kTimedOut, kNoAnswer); });
  sock_.OnDataReady = [this](net::TSockClient&) { OnDataReady(); };
  sock_.OnDisconnect = [this](net::TSockClient&) { OnServerClosed(); };
  sock_.OnConnectionFailed = [this](net::TSockClient& s) {
    OnConnectFailed(s.TimedOut(), s.LastErrorCode());
  };
  sock_.OnInvalidHost = [this](net::TSockClient& s, bool&) { OnNameNotFound(s.LastErrorCode()); };
  sock_.OnSendProgress = [this](net::TSockClient& s) {
    if (Running() && events.progress) events.progress(s.StreamSize(), s.BytesWritten());
  };
}

TSendDialogue::~TSendDialogue() {
  *alive_ = false;
  sock_.OnDataReady = nullptr;
  sock_.OnDisconnect = nullptr;
  sock_.OnConnectionFailed = nullptr;
  sock_.OnInvalidHost = nullptr;
  sock_.OnSendProgress = nullptr;
  ForgetSecrets();
  if (Running()) {
    state_ = State::kIdle;
    sock_.Disconnect();
    table_.Close();
  }
}

const char* TSendDialogue::StateName(State state) {
  static constexpr const char* kNames[] = {
      "Idle",      "Connecting", "Greeting",  "Helo",     "Ehlo",         "StartTls",
      "Handshake", "AuthPlain",  "AuthLogin", "AuthUser", "AuthPassword", "MailFrom",
      "Rcpt",      "Data",       "MailData",  "Dot",      "Quit"};
  return kNames[static_cast<int>(state)];
}

// This is the only place the state changes.
void TSendDialogue::SetState(State next) {
  qCDebug(lcSend) << "state" << StateName(state_) << "->" << StateName(next);
  state_ = next;
}

void TSendDialogue::Start(SendJob job) {
  assert(!Running());
  job_ = std::move(job);
  platform::WipeSecret(
      job.password);  // a short one was copied, not moved, and its bytes stay behind
  delivered_ = false;
  if (job_.testRecord) {
    job_.input.Subject = "[Test] " + job_.input.Subject;
    if (!job_.personalised) MarkTestSubject(job_.messageLines);
  }
  filter_ = TRecipientFilter(job_.optOutField);
  {
    // The addresses an earlier try delivered to count as seen, wherever their records are now: a
    // record moved by a rewritten table is then a duplicate, not a second message.
    std::map<std::int32_t, std::string> delivered;
    for (const auto& [record, settled] : job_.settledBefore)
      if (settled.status == RecipientStatus::kOk && !settled.address.empty())
        delivered.emplace(record, settled.address);
    for (const auto& [record, address] : delivered) filter_.Judge(record, address, false);
  }
  refusedAsIs_ = false;
  testTaken_ = false;
  built_.clear();
  prepared_ = PreparedData();
  due_.clear();
  personalOpen_ = false;
  personalAccepted_ = false;
  ResetTransactions();
  closedWhileActing_ = false;
  continuationLines_ = 0;
  accepted_ = 0;
  recipientNo_ = 0;
  extensions_.Clear();
  secured_ = false;
  SetState(State::kConnecting);
  auto alive = alive_;
  Act([this] {
    if (CheckBeforeConnect()) ConnectServer();
  });
  if (*alive) DrainReplies();
}

// Runs one step of the dialogue; a failure inside it ends the send with a message naming the cause.
void TSendDialogue::Act(const std::function<void()>& action) {
  auto alive = alive_;
  const bool outer = !acting_;
  acting_ = true;
  Failure failure;
  try {
    action();
  } catch (const SendStopped&) {
  } catch (const std::exception& error) {
    failure = FailureFor(error);
    // A write that found the connection gone: the transaction may go again on a new one.
    if (dynamic_cast<const net::ESockError*>(&error) != nullptr && *alive && Running()) {
      try {
        if (TryAgain()) failure = {};
      } catch (const SendStopped&) {
        failure = {};
      } catch (const std::exception& again) {
        failure = FailureFor(again);
      }
    }
  }
  if (!*alive) return;
  if (outer) acting_ = false;
  if (failure.kind != FailureKind::kNone && Running()) Abort(failure.kind, failure.message);
}

// ---------------------------------------------------------------- reply handling

void TSendDialogue::OnDataReady() { DrainReplies(); }

// Consumes every complete line already buffered, one at a time; never waits for a line. A data
// event that comes while a step runs leaves the lines to this loop, which picks them up when the
// step has returned.
void TSendDialogue::DrainReplies() {
  if (acting_ || !Running()) return;
  auto alive = alive_;
  acting_ = true;
  // A line beyond the limit is read too: the read fails at once, where waiting for the rest of
  // it would last until the reply time-out.
  while (Running() && (sock_.LineAvailable() || sock_.LineTooLong())) {
    std::string line;
    try {
      line = sock_.ReadLn();
    } catch (const net::ELineTooLong&) {
      acting_ = false;
      Abort(FailureKind::kReplyNotUnderstood, kLineTooLong);
      return;
    } catch (const std::exception&) {
      break;
    }
    HandleLine(line);
    if (!*alive) return;
  }
  acting_ = false;
  if (Running() && closedWhileActing_) OnServerClosed();
}

void TSendDialogue::OnServerClosed() {
  if (!Running() || reconnecting_) return;
  if (acting_) {
    closedWhileActing_ = true;  // the running step meets the closed socket or drains after it
    return;
  }
  closedWhileActing_ = false;
  auto alive = alive_;
  const std::uint64_t connection = connection_;
  DrainReplies();  // the server's last words first: a 221 or a 421 before it closed
  if (!*alive || !Running() || connection != connection_) return;  // a 421 opened a new one
  if (state_ == State::kQuit) return Complete();
  Act([this] {
    if (!TryAgain()) Abort(FailureKind::kConnectionFailed, "The server closed the connection!");
  });
  if (*alive) DrainReplies();
}

void TSendDialogue::HandleLine(const std::string& received) {
  const std::string line = WithoutSecrets(received);
  if (!WellFormedReply(received)) {
    if (events.transcript) {
      auto alive = alive_;
      events.transcript(WithoutLineEnd(line));
      if (!*alive) return;
    }
    return Abort(FailureKind::kReplyNotUnderstood, kNotUnderstood + ShownReply(line));
  }
  // A reply of a few lines is normal; one that never ends would fill the transcript for ever.
  constexpr int kMaxReplyLines = 1000;
  if (IsContinuation(line)) {
    if (state_ == State::kEhlo) extensions_.AddReplyLine(line);
    if (++continuationLines_ > kMaxReplyLines)
      return Abort(FailureKind::kReplyNotUnderstood, "The server's reply has too many lines!");
    if (events.transcript) events.transcript(WithoutLineEnd(line));
    return;
  }
  continuationLines_ = 0;
  if (events.transcript) {
    auto alive = alive_;
    events.transcript(WithoutLineEnd(line));
    // The handler let go of the dialogue, or ended the send: the reply answers nothing now, and
    // a personalised send would take it for the next step of a transaction it has written off.
    if (!*alive || !Running()) return;
  }
  if (state_ == State::kEhlo) extensions_.AddReplyLine(line);
  const bool proceed = replies_.CheckReply(line);
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  // Each reply is judged once. One that leaves others of a pipelined window still due gives them
  // the whole time-out again, counted from this reply.
  if (state_ != State::kQuit) replyTimer_.stop();
  auto alive = alive_;
  Act([&] { Dispatch(code, line, proceed); });
  if (*alive && Running() && !replyTimer_.isActive() && (!inFlight_.empty() || !due_.empty()))
    replyTimer_.start(commandTimeOutMs);
}

void TSendDialogue::Dispatch(int code, const std::string& line, bool proceed) {
  if (job_.personalised && !due_.empty()) return OnPersonalReply(code, line, proceed);
  switch (state_) {
    case State::kGreeting: return OnGreetingReply(code, line, proceed);
    case State::kHelo: return OnHeloReply(code, line, proceed);
    case State::kEhlo: return OnEhloReply(code, line, proceed);
    case State::kStartTls: return OnStartTlsReply(code, line);
    case State::kAuthPlain:
    case State::kAuthLogin:
    case State::kAuthUser:
    case State::kAuthPassword: return OnAuthReply(code, line);
    case State::kMailFrom: return OnMailFromReply(code, line, proceed);
    case State::kRcpt: return OnRcptReply(code, line, proceed);
    case State::kData: return OnDataReply(code, line);
    case State::kDot: return OnDotReply(code, line);
    case State::kQuit: return Complete();
    case State::kIdle: return;
    case State::kConnecting:
    case State::kHandshake:
    case State::kMailData: break;
  }
  Abort(FailureKind::kInternal,
        std::string("Internal error: a reply in state ") + StateName(state_));
}

// 421: the server closes the service; a transaction it cut off may go again on a new connection.
void TSendDialogue::Unexpected(const std::string& line) {
  if (TReplyTable::ReplyCode(line) == 421 && TryAgain()) return;
  Abort(FailureKind::kServerRefused, "Unexpected error! " + ShownReply(line));
}

void TSendDialogue::OnGreetingReply(int code, const std::string& line, bool proceed) {
  if (!proceed || code / 100 != 2) return Unexpected(line);
  SendEhlo();
}

// A server that does not know "EHLO" lists nothing: what the send asks of it is judged on that.
void TSendDialogue::OnHeloReply(int code, const std::string& line, bool proceed) {
  if (!proceed || code / 100 != 2) return Unexpected(line);
  AfterEhlo();
}

void TSendDialogue::OnDataReply(int code, const std::string& line) {
  if (code != 354) return Unexpected(line);
  SendMailData(job_.messageLines);
}

// ---------------------------------------------------------------- sending

bool TSendDialogue::CheckBeforeConnect() {
  for (const std::string& path : job_.attachments) {
    const QFileInfo file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.isFile() || !file.isReadable()) {
      Abort(FailureKind::kLocalFile, "Unable to read attachment " + path);
      return false;
    }
  }
  table_.Open();
  for (const std::string* field : {&job_.nameField, &job_.emailField}) {
    if (!table_.HasField(*field)) {
      Abort(FailureKind::kLocalFile, "The recipients table has no field " + *field);
      return false;
    }
  }
  // A field the message names and the table lacks, or bulk-mail settings it cannot hold, refuse
  // the send here, before the server sees anything.
  std::vector<std::string> texts{job_.input.To, job_.input.Subject};
  texts.insert(texts.end(), job_.input.Body.begin(), job_.input.Body.end());
  if (const auto refusal =
          BulkMailRefusal(texts, job_.input.ListUnsubscribe, job_.input.ReplyTo, filter_, table_)) {
    refusedAsIs_ = true;  // the refusal says all: nothing has been sent, nor tried
    Abort(FailureKind::kLocalFile, *refusal);
    return false;
  }
  table_.GoFirst();
  while (!table_.AtEnd() && table_.RecordDeleted()) table_.SkipBy(1);
  if (table_.AtEnd()) {
    Abort(FailureKind::kLocalFile, kNoRecords);
    return false;
  }
  return true;
}

void TSendDialogue::ConnectServer() {
  StepStatus("Connecting to " + job_.serverName + " ...");
  sock_.SetMaxLineLength(kMaxReplyLine);
  auto alive = alive_;
  try {
    sock_.Connect();
  } catch (const std::exception& error) {
    // The socket's events have said why, unless the look-up timed out or was cancelled.
    if (*alive && state_ == State::kConnecting) {
      Transcribe(std::string("Connecting failed: ") + error.what());
      if (!*alive) return;
      std::string reason = net::WithoutErrorNumber(error.what());
      std::transform(reason.begin(), reason.end(), reason.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      Abort(sock_.TimedOut() ? FailureKind::kTimedOut : FailureKind::kConnectionFailed,
            "Unable to connect to " + ServerAndPort(" port ") + ": " + reason + ".");
    }
    return;
  }
  if (!*alive || state_ != State::kConnecting) return;
  if (job_.security == Security::kTls && !SecureConnection()) return;
  Sent(State::kGreeting);  // the connection is the greeting's command
  if (events.status) events.status("Waiting for the server at " + ServerAndPort(":") + " ...");
}

std::string TSendDialogue::ServerAndPort(const char* between) const {
  const std::string& name = job_.serverName.empty() ? sock_.Host() : job_.serverName;
  return name + between + std::to_string(sock_.Port() & 0xFFFF);
}

// Reports in the middle of a step: a handler may stop the send or let go of the dialogue, and the
// step then goes no further (the action running it ends quietly).
void TSendDialogue::StepStatus(const std::string& text) {
  if (!events.status) return;
  auto alive = alive_;
  events.status(text);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::StepProgress(std::int64_t total, std::int64_t done) {
  if (!events.progress) return;
  auto alive = alive_;
  events.progress(total, done);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::StepShown(bool shown) {
  if (!events.progressShown) return;
  auto alive = alive_;
  events.progressShown(shown);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::Transcribe(const std::string& note) {
  if (events.transcript) events.transcript(note);
}

// The words say why; the socket's error number stays in the transcript, for whoever helps.
void TSendDialogue::OnConnectFailed(bool timedOut, int errorCode) {
  if (!Running()) return;
  const std::string reason = timedOut ? "no answer in time" : net::SocketErrorWords(errorCode);
  auto alive = alive_;
  Transcribe("Connecting failed: " +
             (timedOut ? std::string("Connection Timed out") : net::SocketErrorText(errorCode)));
  if (!*alive) return;
  Abort(timedOut ? FailureKind::kTimedOut : FailureKind::kConnectionFailed,
        "Unable to connect to " + ServerAndPort(" port ") + ": " + reason + ".");
}

void TSendDialogue::OnNameNotFound(int errorCode) {
  if (!Running()) return;
  const std::string name = job_.serverName.empty() ? sock_.Host() : job_.serverName;
  auto alive = alive_;
  Transcribe("Looking up " + name + " failed: " + net::SocketErrorText(errorCode));
  if (!*alive) return;
  if (errorCode == 11004)
    return Abort(FailureKind::kNameNotFound, "The server name " + name + " has no IPv4 address.");
  Abort(FailureKind::kNameNotFound, "The server name " + name + " could not be found.");
}

void TSendDialogue::SendLine(const std::string& line) {
  auto alive = alive_;
  if (!sock_.Connected()) throw net::ESockError("Connection closed");
  sock_.Writeln(line);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::SendLines(const std::string& lines) {
  auto alive = alive_;
  if (!sock_.Connected()) throw net::ESockError("Connection closed");
  sock_.Write(lines);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::SendCommand(const std::string& command, State next) {
  SendLine(command);
  Sent(next);
}

// The only place the reply timer starts for a command: each reply then has the whole time-out of
// the state it is awaited in, counted from when its command went out.
void TSendDialogue::Sent(State next) {
  SetState(next);
  replyTimer_.start(TimeOutFor(next));
}

int TSendDialogue::TimeOutFor(State state) const {
  switch (state) {
    case State::kGreeting: return greetingTimeOutMs;
    case State::kDot: return dataEndTimeOutMs;
    default: return commandTimeOutMs;
  }
}

// The shared message, its attachments and the final ".", line by line with its progress.
void TSendDialogue::SendMailData(const std::vector<std::string>& lines) {
  SetState(State::kMailData);
  StepProgress(static_cast<std::int64_t>(lines.size()) - 1, 0);
  StepStatus("Processing main message");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    StepProgress(static_cast<std::int64_t>(lines.size()) - 1, static_cast<std::int64_t>(i));
    SendLine(MailDataLine(lines[i]));
  }
  for (std::size_t i = 0; i < job_.attachments.size(); ++i) SendAttachment(i);
  const std::vector<std::string> closing = ClosingLines(job_.boundary);
  std::string end;
  for (std::size_t i = 0; i + 1 < closing.size(); ++i) (end += MailDataLine(closing[i])) += "\r\n";
  SendLines(end);
  StepShown(false);
  if (events.dataEnding) {
    std::vector<std::int32_t> records;
    for (const Outcome& o : outcomes_)
      if (o.status == RecipientStatus::kOk) records.push_back(o.who.recordNo);
    if (!events.dataEnding(records)) return Abort(FailureKind::kLocalFile, kJournalFailed);
  }
  SendLine(closing.back());  // the final "."
  auto alive = alive_;
  if (events.status) events.status("Waiting for server acceptance.");
  if (!*alive || !Running()) throw SendStopped{};
  Sent(State::kDot);
}

// The attachment is encoded the first time a transaction carries it; later transactions send the
// same bytes.
void TSendDialogue::SendAttachment(std::size_t index) {
  const std::string& path = job_.attachments[index];
  StepProgress(0, 0);
  StepStatus("Processing attachment " + std::to_string(index + 1) + " of " +
             std::to_string(job_.attachments.size()));
  const std::shared_ptr<TAttachmentEncoder> encoder = EncodedAttachment(index);
  std::string headers;
  for (const std::string& header : AttachmentHeaderLines(job_.boundary, path))
    (headers += MailDataLine(header)) += "\r\n";
  SendLines(headers);
  const std::unique_ptr<platform::TStream> encoded = encoder->Encoded(index);
  StepProgress(encoded->Size(), 0);
  auto alive = alive_;
  sock_.SendStream(*encoded);
  if (!*alive || !Running()) throw SendStopped{};
}

// The encoder holding attachment `index`, encoded now if no transaction has carried it yet. Held
// by the caller too: an end of the send inside the event loop must not take it from under its work.
std::shared_ptr<TAttachmentEncoder> TSendDialogue::EncodedAttachment(std::size_t index) {
  if (!encoder_) {
    encoder_ = std::make_shared<TAttachmentEncoder>(job_.tempDir, [this, alive = alive_] {
      const auto still = alive;  // the send may end, and let go of the encoder, meanwhile
      QCoreApplication::processEvents();
      if (!*still || !Running()) throw SendStopped{};
    });
  }
  const std::shared_ptr<TAttachmentEncoder> encoder = encoder_;
  if (!encoder->Has(index)) {
    encoder->Encode(index, job_.attachments[index]);
    ++attachmentEncodings_;
  }
  return encoder;
}

// Every transaction has ended: the encodings are needed no more, and their space goes back
// before "Quit", while the dialogue still runs the event loop between steps.
void TSendDialogue::SendQuit() {
  delivered_ = true;
  heldEncodings_.clear();
  heldBytes_ = 0;
  prepared_ = PreparedData();
  if (const std::shared_ptr<TAttachmentEncoder> encoder = encoder_) encoder->Release();
  SendCommand("Quit", State::kQuit);
}

// ---------------------------------------------------------------- endings

// Marks the send ended first, so late replies and nested events do nothing, then lets go of the
// connection, the table and the temporary file. False when a handler let go of the dialogue.
bool TSendDialogue::Finish() {
  auto alive = alive_;
  SetState(State::kIdle);
  replyTimer_.stop();
  closedWhileActing_ = false;
  try {
    sock_.Disconnect();
  } catch (const std::exception&) {
  }
  table_.Close();
  encoder_.reset();
  heldEncodings_.clear();
  heldBytes_ = 0;
  prepared_ = PreparedData();
  ForgetSecrets();
  if (events.progressShown) events.progressShown(false);
  if (!*alive) return false;
  if (events.ended) events.ended();
  return *alive;
}

void TSendDialogue::Complete() {
  SendOutcome outcome;
  outcome.deliveredTo = deliveredTo_;
  if (deliveredTo_ == 0) {
    outcome.kind = FailureKind::kNoRecipientAccepted;
    outcome.text = kNoRecipientAccepted;
  }
  auto alive = alive_;
  if (!Finish()) return;
  if (events.status) events.status("");
  if (!*alive || !Report(outcome)) return;
  if (events.completed) events.completed(outcome.text);
}

// Tells the outcome first; false when a handler let go of the dialogue.
bool TSendDialogue::Report(SendOutcome outcome) {
  outcome.testSend = TestSend();
  if (!events.outcome) return true;
  auto alive = alive_;
  events.outcome(outcome);
  return *alive;
}

namespace {

// Two texts as one sentence: the first loses its closing stop (not the dots of a text cut short),
// the second follows a semicolon.
std::string Joined(std::string first, const std::string& second) {
  const bool cutShort = first.size() >= 3 && first.compare(first.size() - 3, 3, "...") == 0;
  if (!first.empty() && !cutShort && (first.back() == '.' || first.back() == '!')) first.pop_back();
  return first + "; " + second;
}

std::string Recipients(std::int64_t n) {
  return std::to_string(n) + (n == 1 ? " recipient" : " recipients");
}

}  // namespace

void TSendDialogue::Abort(FailureKind kind, const std::string& message) {
  if (!Running()) return;
  // Once every transaction has ended, what the server accepted is delivered, whatever goes
  // wrong after.
  if (delivered_) return Complete();
  Ended(kind, message, false);
}

// Ends the send for `reason` (the user's Stop when `stopped`): every recipient without an outcome
// is logged "Not sent" with the reason, and the window is told what became of the message.
void TSendDialogue::Ended(FailureKind kind, const std::string& reason, bool stopped) {
  PersonalUnconfirmed();
  // The final "." went out and no reply came: the server may have taken the message.
  const bool unconfirmed = state_ == State::kDot &&
                           std::any_of(outcomes_.begin(), outcomes_.end(), [](const Outcome& o) {
                             return o.status == RecipientStatus::kOk;
                           });
  LogUnsent(reason, unconfirmed ? std::string(kUnconfirmed) : reason);
  const std::int64_t delivered = deliveredTo_;
  std::string outcome;
  if (unconfirmed)
    outcome =
        "the server did not confirm the message, so it may have been delivered" +
        (delivered > 0 ? " (and it was delivered to " + Recipients(delivered) + " before)" : "") +
        ".";
  else if (delivered > 0)
    outcome = "the message was delivered to " + Recipients(delivered) + " before the send stopped.";
  else
    outcome = "the message has not been sent.";
  auto alive = alive_;
  if (!Finish()) return;
  if (events.status)
    events.status(stopped ? std::string(kStopped)
                          : Joined(reason, "message transmittal has failed."));
  if (!*alive) return;
  SendOutcome told;
  told.kind = kind;
  told.text = refusedAsIs_ ? reason : Joined(reason, outcome);
  told.deliveredTo = delivered;
  told.unconfirmed = unconfirmed;
  if (!Report(told)) return;
  if (stopped) {
    if (events.completed) events.completed(told.text);
    return;
  }
  if (events.failed) events.failed(told.text);
  // Some transactions went through, or may have: the log says who has the message.
  if (*alive && (delivered > 0 || unconfirmed) && events.completed) events.completed("");
}

// "Quit" may go wherever the server waits for a command or answers a whole one; not while it
// waits for the greeting, the TLS handshake, a sign-in answer or the mail data (where it would be
// read as part of the message).
bool TSendDialogue::QuitAllowed() const {
  switch (state_) {
    case State::kHelo:
    case State::kEhlo:
    case State::kAuthPlain:
    case State::kAuthPassword:
    case State::kMailFrom:
    case State::kRcpt:
    case State::kDot: return true;
    default: return false;
  }
}

void TSendDialogue::Stop() {
  if (!Running()) return;
  if (delivered_) return Complete();  // only the reply to "Quit" is missing
  auto alive = alive_;
  if (QuitAllowed() && sock_.Connected()) {
    const bool acting = acting_;
    acting_ = true;  // replies that come meanwhile are not handled: the send ends here
    try {
      sock_.Writeln("QUIT");
    } catch (const std::exception&) {
    }
    if (!*alive) return;
    acting_ = acting;
    if (!Running()) return;
  }
  Ended(FailureKind::kStopped, kStopped, true);
}

}  // namespace tavrin::app
