#include "send/SendDialogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryFile>
#include <algorithm>
#include <cassert>
#include <cctype>
#include <stdexcept>

#include "send/MessageAssembly.h"
#include "send/SendText.h"
#include "platform/SecretStore.h"

#include "dbf/Errors.h"
#include "net/SockErrorText.h"
#include "net/UUProcessor.h"
#include "platform/CodePage.h"
#include "platform/Stream.h"

Q_LOGGING_CATEGORY(lcSend, "tavrin.send", QtWarningMsg)

namespace tavrin::app {
namespace {

using State = TSendDialogue::State;
using namespace sendtext;

// A failure whose message already names its cause.
class SendFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Attachments are encoded this many bytes at a time, with the event loop run in between, so a
// large file does not freeze the window. A multiple of the encoder's 45-byte line input.
constexpr std::int64_t kEncodeSlice =
    45 * 1456;  // about one write of the encoder (64 KiB) per slice
// Giving a large file's blocks back at once (truncate, unlink) can stall for a second, so the
// temporary file is shrunk this much at a time, again with the event loop run in between.
constexpr std::int64_t kShrinkStep = 32 << 20;

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

// A window of [offset, offset + length) of another stream, read only. Remembers whether reading
// the underlying stream failed, so an encoder failure can be told from a target failure.
class SliceStream final : public platform::TStream {
 public:
  SliceStream(platform::TStream& base, std::int64_t offset, std::int64_t length)
      : base_(base), offset_(offset), length_(length) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    const auto left = static_cast<std::size_t>(std::max<std::int64_t>(length_ - position_, 0));
    count = std::min(count, left);
    if (count == 0) return 0;
    try {
      // Reads come in order: seek only when needed, so the file's read-ahead is kept.
      if (base_.Position() != offset_ + position_) base_.SetPosition(offset_ + position_);
      base_.ReadBuffer(buffer, count);
    } catch (...) {
      failed = true;
      throw;
    }
    position_ += static_cast<std::int64_t>(count);
    return count;
  }
  void Write(const void*, std::size_t) override { throw platform::TStreamError("read only"); }
  std::int64_t Seek(std::int64_t offset, platform::SeekOrigin origin) override {
    const std::int64_t base = origin == platform::SeekOrigin::Begin     ? 0
                              : origin == platform::SeekOrigin::Current ? position_
                                                                        : length_;
    position_ = base + offset;
    return position_;
  }
  std::int64_t Size() override { return length_; }
  void SetSize(std::int64_t) override { throw platform::TStreamError("read only"); }
  bool failed = false;

 private:
  platform::TStream& base_;
  std::int64_t offset_, length_, position_ = 0;
};

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  explicit Descriptor(int f) : fd(f) {}
  const int fd;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

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

std::string MessageFor(const std::exception& error) {
  if (dynamic_cast<const SendFailure*>(&error) != nullptr) return error.what();
  if (dynamic_cast<const net::ESockError*>(&error) != nullptr)
    return "The connection to the server failed: " + SocketReason(error.what());
  if (dynamic_cast<const dbf::EDbfError*>(&error) != nullptr)
    return "Unable to read the recipients table: " + WithoutLineEnd(error.what());
  return std::string("The send failed: ") + error.what();
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

// ---------------------------------------------------------------- life

TSendDialogue::TSendDialogue(net::TSockClient& sock, TReplyTable& replies, TSendLog& log,
                             TRecipientTable& table)
    : sock_(sock), replies_(replies), log_(log), table_(table) {
  replyTimer_.setSingleShot(true);
  QObject::connect(&replyTimer_, &QTimer::timeout, [this] { Abort(kNoAnswer); });
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
  std::string failure;
  try {
    action();
  } catch (const SendStopped&) {
  } catch (const std::exception& error) {
    failure = MessageFor(error);
    // A write that found the connection gone: the transaction may go again on a new one.
    if (dynamic_cast<const net::ESockError*>(&error) != nullptr && *alive && Running()) {
      try {
        if (TryAgain()) failure.clear();
      } catch (const SendStopped&) {
        failure.clear();
      } catch (const std::exception& again) {
        failure = MessageFor(again);
      }
    }
  }
  if (!*alive) return;
  if (outer) acting_ = false;
  if (!failure.empty() && Running()) Abort(failure);
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
      Abort(kLineTooLong);
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
    if (!TryAgain()) Abort("The server closed the connection!");
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
    return Abort(kNotUnderstood + ShownReply(line));
  }
  // A reply of a few lines is normal; one that never ends would fill the transcript for ever.
  constexpr int kMaxReplyLines = 1000;
  if (IsContinuation(line)) {
    if (state_ == State::kEhlo) extensions_.AddReplyLine(line);
    if (++continuationLines_ > kMaxReplyLines)
      return Abort("The server's reply has too many lines!");
    if (events.transcript) events.transcript(WithoutLineEnd(line));
    return;
  }
  continuationLines_ = 0;
  if (events.transcript) {
    auto alive = alive_;
    events.transcript(WithoutLineEnd(line));
    if (!*alive) return;  // the handler let go of the dialogue
  }
  if (state_ == State::kEhlo) extensions_.AddReplyLine(line);
  const bool proceed = replies_.CheckReply(line);
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (state_ != State::kQuit) replyTimer_.stop();
  Act([&] { Dispatch(code, line, proceed); });
}

void TSendDialogue::Dispatch(int code, const std::string& line, bool proceed) {
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
  Abort(std::string("Internal error: a reply in state ") + StateName(state_));
}

// 421: the server closes the service; a transaction it cut off may go again on a new connection.
void TSendDialogue::Unexpected(const std::string& line) {
  if (TReplyTable::ReplyCode(line) == 421 && TryAgain()) return;
  Abort("Unexpected error! " + ShownReply(line));
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
  SendMailData();
}

// ---------------------------------------------------------------- sending

bool TSendDialogue::CheckBeforeConnect() {
  for (const std::string& path : job_.attachments) {
    const QFileInfo file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.isFile() || !file.isReadable()) {
      Abort("Unable to read attachment " + path);
      return false;
    }
  }
  table_.Open();
  for (const std::string* field : {&job_.nameField, &job_.emailField}) {
    if (!table_.HasField(*field)) {
      Abort("The recipients table has no field " + *field);
      return false;
    }
  }
  table_.GoFirst();
  while (!table_.AtEnd() && table_.RecordDeleted()) table_.SkipBy(1);
  if (table_.AtEnd()) {
    Abort(kNoRecords);
    return false;
  }
  return true;
}

void TSendDialogue::ConnectServer() {
  if (events.status) events.status("Connecting to " + job_.serverName + " ...");
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
      Abort("Unable to connect to " + ServerAndPort(" port ") + ": " + reason + ".");
    }
    return;
  }
  if (!*alive || state_ != State::kConnecting) return;
  if (job_.security == Security::kTls && !SecureConnection()) return;
  SetState(State::kGreeting);
  if (events.status) events.status("Waiting for the server at " + ServerAndPort(":") + " ...");
  if (!*alive || !Running()) return;
  replyTimer_.start(greetingTimeOutMs);
}

std::string TSendDialogue::ServerAndPort(const char* between) const {
  const std::string& name = job_.serverName.empty() ? sock_.Host() : job_.serverName;
  return name + between + std::to_string(sock_.Port() & 0xFFFF);
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
  Abort("Unable to connect to " + ServerAndPort(" port ") + ": " + reason + ".");
}

void TSendDialogue::OnNameNotFound(int errorCode) {
  if (!Running()) return;
  const std::string name = job_.serverName.empty() ? sock_.Host() : job_.serverName;
  auto alive = alive_;
  Transcribe("Looking up " + name + " failed: " + net::SocketErrorText(errorCode));
  if (!*alive) return;
  if (errorCode == 11004) return Abort("The server name " + name + " has no IPv4 address.");
  Abort("The server name " + name + " could not be found.");
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

void TSendDialogue::SendCommand(const std::string& command, State next, int timeOutMs) {
  SendLine(command);
  SetState(next);
  replyTimer_.start(timeOutMs);
}

void TSendDialogue::SendMailData() {
  SetState(State::kMailData);
  const auto& lines = job_.messageLines;
  if (events.progress) events.progress(static_cast<std::int64_t>(lines.size()) - 1, 0);
  if (events.status) events.status("Processing main message");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (events.progress) events.progress(static_cast<std::int64_t>(lines.size()) - 1, i);
    SendLine(MailDataLine(lines[i]));
  }
  for (std::size_t i = 0; i < job_.attachments.size(); ++i) SendAttachment(i);
  ShrinkTempFile();
  temp_.reset();
  const std::vector<std::string> closing = ClosingLines(job_.boundary);
  for (std::size_t i = 0; i + 1 < closing.size(); ++i) SendLine(MailDataLine(closing[i]));
  if (events.progressShown) events.progressShown(false);
  SendLine(closing.back());  // the final "."
  if (events.status) events.status("Waiting for server acceptance.");
  SetState(State::kDot);
  replyTimer_.start(dataEndTimeOutMs);
}

void TSendDialogue::SendAttachment(std::size_t index) {
  const std::string& path = job_.attachments[index];
  if (events.progress) events.progress(0, 0);
  if (events.status)
    events.status("Processing attachment " + std::to_string(index + 1) + " of " +
                  std::to_string(job_.attachments.size()));
  if (!temp_) {
    temp_ = std::make_unique<QTemporaryFile>(
        QFile::decodeName(QByteArray::fromStdString(job_.tempDir)) + "/tavrin-XXXXXX.out");
    if (!temp_->open())  // created new, mode 0600
      throw SendFailure("Unable to create a temporary file in " + job_.tempDir);
    // Only the open descriptor keeps the file: no one else can open it, and it goes with the
    // process however that ends, a kill included.
    tempPath_ = "/proc/self/fd/" + std::to_string(temp_->handle());
    QFile::remove(temp_->fileName());
  }
  const std::string& tempName = tempPath_;
  ShrinkTempFile();  // the previous attachment's encoding
  // The file was checked at Send, but it may have been replaced since: a FIFO would block the
  // open (and the window) for ever, and a device would never end. Open without waiting, and read
  // only a regular file, through the descriptor that was checked.
  const Descriptor checked{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  const int fd = checked.fd;
  if (fd < 0) throw SendFailure("Unable to read attachment " + path);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw SendFailure("Unable to read attachment " + path);
  std::unique_ptr<platform::TFileStream> source;
  try {
    source = std::make_unique<platform::TFileStream>("/proc/self/fd/" + std::to_string(fd),
                                                     platform::TFileStream::Mode::OpenRead);
  } catch (const std::exception&) {
    throw SendFailure("Unable to read attachment " + path);
  }
  // Opened as it is (ShrinkTempFile has emptied it), not emptied by the open: the file system
  // would take a file emptied at open and rewritten for a file being replaced, and write all of
  // it out when it is closed, freezing the window for as long as that takes.
  platform::TFileStream target(tempName, platform::TFileStream::Mode::OpenReadWrite);
  net::TUUProcessor mimer;
  const std::int64_t size = source->Size();
  auto alive = alive_;
  for (std::int64_t offset = 0; offset < size || offset == 0; offset += kEncodeSlice) {
    SliceStream slice(*source, offset, std::min(kEncodeSlice, size - offset));
    mimer.SourceStream = &slice;
    mimer.TargetStream = &target;
    target.Seek(0, platform::SeekOrigin::End);
    try {
      mimer.EncodeStream();
    } catch (const std::exception&) {
      if (slice.failed) throw SendFailure("Unable to read attachment " + path);
      throw SendFailure("Unable to write the temporary file in " + job_.tempDir);
    }
    QCoreApplication::processEvents();
    if (!*alive || !Running()) throw SendStopped{};
    if (size == 0) break;
  }
  for (const std::string& header : AttachmentHeaderLines(job_.boundary, path))
    SendLine(MailDataLine(header));
  if (events.progress) events.progress(target.Size(), 0);
  sock_.SendStream(target);
  if (!*alive || !Running()) throw SendStopped{};
}

void TSendDialogue::ShrinkTempFile() {
  if (!temp_) return;
  auto alive = alive_;
  platform::TFileStream file(tempPath_, platform::TFileStream::Mode::OpenReadWrite);
  for (std::int64_t size = file.Size(); size > 0;) {
    size = std::max<std::int64_t>(0, size - kShrinkStep);
    file.SetSize(size);
    QCoreApplication::processEvents();
    if (!*alive || !Running()) throw SendStopped{};
  }
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
  temp_.reset();
  ForgetSecrets();
  if (events.progressShown) events.progressShown(false);
  if (!*alive) return false;
  if (events.ended) events.ended();
  return *alive;
}

void TSendDialogue::Complete() {
  const std::string note = deliveredTo_ > 0 ? std::string() : std::string(kNoRecipientAccepted);
  auto alive = alive_;
  if (!Finish()) return;
  if (events.status) events.status("");
  if (*alive && events.completed) events.completed(note);
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

void TSendDialogue::Abort(const std::string& message) {
  if (!Running()) return;
  // Once every transaction has ended, what the server accepted is delivered, whatever goes
  // wrong after.
  if (delivered_) return Complete();
  Ended(message, false);
}

// Ends the send for `reason` (the user's Stop when `stopped`): every recipient without an outcome
// is logged "Not sent" with the reason, and the window is told what became of the message.
void TSendDialogue::Ended(const std::string& reason, bool stopped) {
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
  if (stopped) {
    if (events.completed) events.completed(Joined(reason, outcome));
    return;
  }
  if (events.failed) events.failed(Joined(reason, outcome));
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
  Ended(kStopped, true);
}

}  // namespace tavrin::app
