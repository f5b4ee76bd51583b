// TSendDialogue: one message to every recipient of the table, on one connection, in as many SMTP
// transactions as the server's and the job's recipient limits need.
//
// Owns the state of the send under way: its state machine, the copied message and attachment
// list, the reply time-out and the attachment encoder (with its private temporary file). The
// socket client, reply table, send log and recipients table are its owner's (TMailSend, or a
// test's) and must outlive the dialogue. The server's replies drive it: each complete reply is
// handled once, in the order of the commands it answers (with pipelining several are out at
// once); commands go out from the Send* functions, replies are judged in the On*Reply functions,
// and SetState is the only place the state changes. The reply timer starts where a command goes
// out (Sent), and again after a reply while more replies of a pipelined window are due
// (HandleLine); nowhere else. Every way a send ends goes through Complete or Abort, which report
// through SendEvents; the outcome carries a FailureKind, so nobody reads the words to act.
// GUI thread; handlers may run nested inside the socket client's waits.
// The session opening (EHLO, STARTTLS or TLS, sign-in) lives in SendSession.cpp; the password
// and the lines that carry it reach only the socket; the password is wiped when the send ends
// (a new connection signs in again), the lines once sent.
// The transactions (Mail From, the recipients, the next transaction) live in SendTransactions.cpp.
// Every recipient of the table ends in the log exactly once, however the send ends. A transaction
// the server cuts off (421 or a closed connection) before its mail data goes out is tried again
// on a new connection, a few times at most; the password is therefore kept until the send ends.
#pragma once

#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "send/AttachmentEncoder.h"
#include "send/MessageAssembly.h"
#include "send/RecipientFilter.h"
#include "send/RecipientTable.h"
#include "send/ReplyTable.h"
#include "send/SendLog.h"
#include "send/SendOutcome.h"
#include "send/SmtpExtensions.h"
#include "net/SockClient.h"

namespace tavrin::app {

// How the connection to the server is protected.
enum class Security {
  kNone,      // plain text throughout
  kStartTls,  // plain greeting, then "STARTTLS" and TLS before anything else is sent
  kTls,       // TLS from the first byte, before the greeting
};

// A recipient whose outcome an earlier try of the same send made final: logged as it was, never
// addressed again.
struct SettledRecipient {
  RecipientStatus status = RecipientStatus::kNotSent;
  std::string reply;  // UTF-8
  // The address the record had then (the program's 8-bit text); "": not known. A record whose
  // address has changed since is not the recipient that was settled.
  std::string address;
};

// Everything a send needs, copied when Send is pressed: later edits do not reach it.
struct SendJob {
  std::string serverName;   // for the status text only; the client has Host and Port
  std::string returnEmail;  // UTF-8, as the settings hold it; outside ASCII only with SMTPUTF8
  std::string nameField;
  std::string emailField;
  std::vector<std::string> messageLines;  // header block and body, no line ends
  std::string boundary;
  std::vector<std::string> attachments;  // full paths, in sending order
  std::string tempDir;                   // where the private temporary file is made
  Security security = Security::kNone;
  std::string userName;  // "": no sign-in
  std::string password;  // for sign-in only; never shown, logged or kept after the send
  // Told once the server has judged the password: true when it signed in, false when it refused
  // it (5xx). Not told for a passing failure (4xx) or when the send ends before. May be empty.
  std::function<void(bool accepted)> passwordJudged;
  int recipientsPerMessage =
      0;  // recipients per transaction at most; 0: as many as the server takes

  // One message per recipient: each live record gets `input` filled from its fields
  // (PersonalisedInput, its own Message-ID) in a transaction of its own; messageLines is unused.
  bool personalised = false;
  MessageInput input{};  // also what the checks before connecting read, for either kind of send
  std::string optOutField{};  // a logical field whose true value skips the record; "": none
  // Set: only this record's message goes, to the return address alone, its Subject prefixed
  // "[Test] "; the log's one line is for the window's eyes only (SendOutcome::testSend).
  std::optional<std::int32_t> testRecord{};
  // Resuming a send: the records an earlier try settled, by record number.
  std::unordered_map<std::int32_t, SettledRecipient> settledBefore{};
};

// "1,000": a count as the status texts write it.
std::string GroupedCount(std::int64_t n);

// How the dialogue reports to its window; any member may be empty. Once the send has ended, a
// handler may destroy the dialogue: nothing more is reported.
struct SendEvents {
  std::function<void(const std::string& text)> status;  // status bar text; "" empties it
  std::function<void(bool shown)> progressShown;
  std::function<void(std::int64_t maximum, std::int64_t position)> progress;
  std::function<void(const std::string& line)> transcript;  // each reply line, without line end
  std::function<void()> ended;  // the send has ended either way: cursor back, controls enabled
  std::function<void(const std::string& text)> failed;  // message box after an abort
  // After the server's last word, or a Stop: the log holds every recipient; `note` is empty unless
  // the message did not go out to everyone or the send was stopped.
  std::function<void(const std::string& note)> completed;
  // Told first once the send has ended, however it ended, before `failed` or `completed`: the
  // kind to act on (a refused password, an exit status) and the words those two are given.
  std::function<void(const SendOutcome& outcome)> outcome;
  // The send journal's hooks. A recipient's outcome has become final (never kNotSent); then, once
  // per transaction and before the next one's commands go, every such outcome has been told.
  std::function<void(std::int32_t recordNo, RecipientStatus status, const std::string& reply,
                     const std::string& address)>
      recipientSettled;
  std::function<void()> transactionSettled;
  // The transaction's final "." is about to go, for these records; false stops the send first.
  std::function<bool(const std::vector<std::int32_t>& records)> dataEnding;
  // The pacer's hook, before each transaction: milliseconds to wait before it starts; 0 to start
  // now, with at most `most` recipients (0: the job's own limit); below 0 to stop the send here.
  std::function<std::int64_t(int& most)> transactionDelay;
};

inline constexpr const char* kNoRecipientAccepted =
    "No recipient was accepted. The message has not been sent.";
inline constexpr const char* kNoRecords = "The recipients table has no records.";
inline constexpr const char* kNoAnswer = "The server did not answer!";
inline constexpr const char* kNoStartTls =
    "The server does not offer an encrypted connection (STARTTLS).";
inline constexpr const char* kNoSignIn =
    "The server does not offer sign-in with a user name and password.";
inline constexpr const char* kSignInRefused = "The server refused the user name or password";
inline constexpr const char* kStopped = "The send was stopped.";
// Why an accepted recipient is "Not sent" when the final "." went out and no reply came.
inline constexpr const char* kUnconfirmed =
    "The server did not confirm the message; it may have been delivered.";
inline constexpr const char* kInvalidAddress = "Invalid address";
inline constexpr const char* kJournalFailed =
    "The send journal could not be written, so the send was stopped before the message was "
    "completed.";
inline constexpr const char* kReturnNotAscii =
    "Your return e-mail address holds characters outside ASCII, and the server does not accept "
    "such addresses (it does not offer SMTPUTF8). Use a plain ASCII address with Properties.";
inline constexpr const char* kReturnNotPlain =
    "Your return e-mail address is not a plain e-mail address such as name@example.com. "
    "Correct it with Properties.";
// Most new connections one send opens after the server cut a transaction off.
inline constexpr int kMostReconnections = 3;
// Followed by the server's reply: sign-in failed for a passing reason (4xx); the password stands.
inline constexpr const char* kSignInFailedForNow = "The server could not sign you in for now: ";
inline constexpr const char* kLineTooLong = "The server sent a reply line that is too long.";
// Followed by the line: it does not begin with a reply code.
inline constexpr const char* kNotUnderstood = "The server's reply could not be understood: ";
// The longest reply line taken, its line end included: the standard allows 512 octets; this
// leaves room for servers that are generous with their words, and no more.
inline constexpr std::size_t kMaxReplyLine = 64 * 1024;
// "The message is larger than the server accepts (10.2 MB)."; the limit in decimal megabytes.
std::string TooLargeText(std::uint64_t limitOctets);

// The body as lines: CR LF, CR and LF alike end a line, so no bare CR or LF reaches the server.
std::vector<std::string> SplitBodyLines(const std::string& text);

// What refuses a message before anything starts: a NUL in any text, or a return address (UTF-8,
// as the settings hold it) that Properties would not take. Nothing when the message may go. An
// address outside ASCII is not refused here: the server's reply to EHLO decides.
std::optional<std::string> RefusalOf(const std::vector<std::string>& texts,
                                     const std::string& returnEmail);

// A recipient's address as the table gives it (8-bit text, trimmed, without its brackets) may be
// sent: one plain mailbox, no blank, control character, quote, comma or bracket, and no '?', the
// mark the table's code page conversion leaves for a character it could not hold.
bool SendableAddress(const std::string& address);
// True when the text holds a byte outside ASCII.
bool OutsideAscii(const std::string& text);
// True when the reply's enhanced status code is x.5.3 (too many recipients), whatever its code.
bool TooManyRecipients(const std::string& line);

class TSendDialogue {
 public:
  enum class State {
    kIdle,          // no send under way; replies and closes are ignored
    kConnecting,    // Connect is resolving and connecting
    kGreeting,      // connected; waiting for the server's greeting
    kHelo,          // "HELO" sent, the server having refused "EHLO" as unknown
    kEhlo,          // "EHLO" sent; every line of its reply names one extension
    kStartTls,      // "STARTTLS" sent; its 220 starts the TLS handshake
    kHandshake,     // the TLS handshake runs; no reply is due
    kAuthPlain,     // "AUTH PLAIN" with the credentials sent; 235 signs in
    kAuthLogin,     // "AUTH LOGIN" sent; a 334 asks for the user name
    kAuthUser,      // the user name sent; a 334 asks for the password
    kAuthPassword,  // the password sent; 235 signs in
    kMailFrom,      // "Mail From:" sent; the recipients walk starts on its acceptance
    kRcpt,          // "Rcpt To:" sent, one or a window; each reply decides its recipient alone
    kData,          // "Data" sent; only 354 lets the mail data go
    kMailData,      // the mail data is going out; replies wait until it has
    kDot,           // the final "." sent; a 2xx reply means the message is delivered
    kQuit,          // "Quit" sent; whatever follows completes the send
  };

  TSendDialogue(net::TSockClient& sock, TReplyTable& replies, TSendLog& log,
                TRecipientTable& table);
  ~TSendDialogue();
  TSendDialogue(const TSendDialogue&) = delete;
  TSendDialogue& operator=(const TSendDialogue&) = delete;

  SendEvents events;

  // Reply time-outs in milliseconds (the standard's 5 and 10 minutes unless a test shortens them).
  int greetingTimeOutMs = 5 * 60 * 1000;
  int commandTimeOutMs = 5 * 60 * 1000;
  int dataEndTimeOutMs = 10 * 60 * 1000;
  // New connections one send may open after the server cut a transaction off.
  int mostReconnections = kMostReconnections;

  // Opens the table, checks it and the attachments, and connects. Returns at once when a check
  // fails (through Abort) or once Connect has returned; the replies do the rest.
  // REQUIRES: !Running().
  void Start(SendJob job);
  // Ends the send under way (if any) with `message`, as a failure of `kind`.
  void Abort(FailureKind kind, const std::string& message);
  // Ends the send under way (if any) from outside, as kStopped: the program is closing.
  void Abort(const std::string& message) { Abort(FailureKind::kStopped, message); }
  // The user ends the send under way (if any) at once: "Quit" goes out where the dialogue is
  // between commands, never inside the mail data; the log (every recipient in it) is reported
  // through `completed` with a note saying what became of the message.
  void Stop();

  bool Running() const { return state_ != State::kIdle; }
  State CurrentState() const { return state_; }
  // What the server listed in its latest reply to "EHLO"; empty after "Helo" and before any reply.
  const TSmtpExtensions& Extensions() const { return extensions_; }
  // Attachments encoded over every send of this dialogue: each once per send, however many
  // transactions carry it.
  std::uint64_t AttachmentEncodings() const { return attachmentEncodings_; }
  // The send under way, or the last one, is a test send: its log is not the user's record.
  bool TestSend() const { return job_.testRecord.has_value(); }
  static const char* StateName(State state);

 private:
  // reply handling
  void OnDataReady();
  void OnConnectFailed(bool timedOut, int errorCode);
  void OnNameNotFound(int errorCode);
  void OnServerClosed();
  void DrainReplies();
  void HandleLine(const std::string& line);
  void Dispatch(int code, const std::string& line, bool proceed);
  void OnGreetingReply(int code, const std::string& line, bool proceed);
  void OnHeloReply(int code, const std::string& line, bool proceed);
  void OnMailFromReply(int code, const std::string& line, bool proceed);
  void OnRcptReply(int code, const std::string& line, bool proceed);
  void OnDataReply(int code, const std::string& line);
  void OnDotReply(int code, const std::string& line);

  // session opening (SendSession.cpp): EHLO, STARTTLS, TLS from the first byte, sign-in
  void SendEhlo();
  void OnEhloReply(int code, const std::string& line, bool proceed);
  void AfterEhlo();
  void OnStartTlsReply(int code, const std::string& line);
  bool SecureConnection();
  void OnAuthReply(int code, const std::string& line);
  bool JudgePassword(bool accepted);
  void SendAuth();
  void SendSecret(std::string& line, State next);
  void ForgetSecrets();
  std::string WithoutSecrets(const std::string& line) const;

  // sending
  void ConnectServer();
  std::string ServerAndPort(const char* between) const;  // "host:25", "host port 25"
  void StepStatus(const std::string& text);
  void StepProgress(std::int64_t total, std::int64_t done);
  void StepShown(bool shown);
  void Transcribe(const std::string& note);  // a line of the dialogue's own in the transcript
  void SendCommand(const std::string& command, State next);
  void Sent(State next);  // a command has gone out: the reply to it is awaited in `next`
  int TimeOutFor(State state) const;
  void SendMailFrom();
  void SendNextRecipient();
  void SendMailData(const std::vector<std::string>& lines);
  void SendAttachment(std::size_t index);
  std::shared_ptr<TAttachmentEncoder> EncodedAttachment(std::size_t index);
  void SendQuit();
  void SendLine(const std::string& line);

  // checks and endings
  bool CheckBeforeConnect();
  void Act(const std::function<void()>& action);
  void SetState(State next);
  void Complete();
  bool Finish();
  void Unexpected(const std::string& line);
  void Ended(FailureKind kind, const std::string& reason, bool stopped);
  bool Report(SendOutcome outcome);
  bool QuitAllowed() const;

  // a transaction cut off before its mail data: tried again on a new connection
  bool MayTryAgain() const;
  bool TryAgain();
  void RequeueTransaction();

  // transactions (SendTransactions.cpp): "Mail From:", the recipients, and the next transaction
  // for those a limit left over
  // One recipient on its way. A send to many holds many of these at once, so name and address
  // (and, once it is an Outcome, the reply) share one string.
  struct Addressee {
    Addressee() = default;
    Addressee(std::int32_t no, const std::string& name, const std::string& address, bool outside)
        : recordNo(no),
          nameBytes(static_cast<std::uint32_t>(name.size())),
          addressBytes(static_cast<std::uint32_t>(address.size())),
          utf8(outside),
          text(name + address) {}
    std::int32_t recordNo = 0;
    std::uint32_t nameBytes = 0;
    std::uint32_t addressBytes = 0;
    bool utf8 = false;  // outside ASCII: goes (in UTF-8) only in a transaction with SMTPUTF8
    std::string text;   // the table's 8-bit name, then its 8-bit address, then an Outcome's reply
    std::string_view Name() const { return std::string_view(text).substr(0, nameBytes); }
    std::string_view Address() const {
      return std::string_view(text).substr(nameBytes, addressBytes);
    }
  };
  struct Outcome {  // one log line, kept until its transaction ends and every record before it has
    Outcome() = default;
    Outcome(Addressee a, RecipientStatus s, std::string_view reply) : who(std::move(a)), status(s) {
      SetReply(reply);
    }
    Addressee who;
    // kOk: the server took the recipient, and it is OK once the mail data is delivered
    RecipientStatus status = RecipientStatus::kNotSent;
    // The server's reply line, or why it was not sent; "" while kOk.
    std::string_view Reply() const {
      return std::string_view(who.text).substr(who.nameBytes + who.addressBytes);
    }
    void SetReply(std::string_view reply) {
      who.text.resize(who.nameBytes + who.addressBytes);
      who.text.append(reply);
    }
  };
  void ResetTransactions();
  void StartWalk();
  std::unordered_map<std::int32_t, SettledRecipient>::const_iterator SettledBefore(
      std::int32_t recordNo, std::string_view address) const;
  bool Admit(Addressee& who);
  void Refuse(Addressee who, const std::string& reply);
  void SendWindow(const std::string& mailFrom);
  void SendLines(const std::string& lines);  // each with its CR LF already
  bool NextAddressee(Addressee& next);
  void Announce(const Addressee& who);  // throws SendStopped when a handler ended the send
  bool RoomForAnother() const;
  bool MoreToAddress();
  void AfterWindow();
  void EndTransaction();
  void LogTransaction(RecipientStatus accepted, const std::string& reply);
  void LogUnsent(const std::string& reason, const std::string& acceptedReason);
  std::int32_t FirstUnsettled() const;
  bool Pipelining() const;
  std::uint64_t MessageSize(const std::vector<std::string>& lines);
  void Skip(Addressee who, const std::string& why);
  bool NextTestAddressee(Addressee& next);
  void BuildPersonal(std::int32_t recordNo, const std::string& address);
  std::vector<std::string> BuiltLines(std::int32_t recordNo) const;
  std::vector<std::string> TakeBuilt(std::int32_t recordNo);

  // one message per recipient (PersonalSend.cpp)
  enum class Due { kMailFrom, kRcpt, kData, kDot, kReset };  // a reply awaited, in order
  void OpenPersonal(std::string before);
  void OnPersonalReply(int code, const std::string& line, bool proceed);
  void SendPersonalData();
  void PrepareMailData(std::int32_t recordNo);
  bool PersonalMailData(const std::vector<std::string>& lines, std::string& text, bool mayStream);
  void AwaitNext();
  void PersonalCutOff();
  void PersonalUnconfirmed();

  net::TSockClient& sock_;
  TReplyTable& replies_;
  TSendLog& log_;
  TRecipientTable& table_;

  State state_ = State::kIdle;
  SendJob job_;
  QTimer replyTimer_;
  std::shared_ptr<TAttachmentEncoder> encoder_;  // made at the first attachment of a send
  std::uint64_t attachmentEncodings_ = 0;
  bool acting_ = false;  // an action runs; nested data events leave the lines to it
  bool closedWhileActing_ = false;
  bool delivered_ = false;     // every transaction has ended and "Quit" is due or sent
  int continuationLines_ = 0;  // lines of the reply under way before its last
  std::int32_t recipientNo_ = 0;
  std::int32_t recipientCount_ = 0;
  std::int32_t accepted_ = 0;
  std::string currentName_;
  TSmtpExtensions extensions_;
  bool secured_ = false;  // the TLS handshake succeeded on this connection
  // False once the dialogue is destroyed; frames still on the stack hold a copy.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // The transaction under way; accepted_ counts the recipients the server took in it.
  bool walkStarted_ = false;        // the table walk has begun
  std::deque<Addressee> inFlight_;  // "Rcpt To:" sent, replies awaited, in sending order
  std::deque<Addressee> waiting_;   // read, not yet addressed: first in the next window
  // The transaction's log lines, in the order addressed; a deque grows without copying itself.
  std::deque<Outcome> outcomes_;
  // Final, waiting for earlier records to be logged: in record order, one per record.
  std::deque<Outcome> settled_;
  std::deque<Addressee> utf8Waiting_;  // outside ASCII, read during a transaction without SMTPUTF8
  bool utf8Transaction_ = false;       // "Mail From:" carried SMTPUTF8
  bool resetting_ = false;   // "RSET" sent: an empty transaction makes way for a UTF-8 one
  std::string roomRefusal_;  // the window's first "no room" reply; "" when none
  const Addressee* announcing_ = nullptr;     // being announced: in no queue, yet to be logged
  std::int64_t deliveredTo_ = 0;              // recipients of every delivered transaction
  std::optional<std::uint64_t> messageSize_;  // as SIZE counts it; reckoned once a server asks
  std::int64_t failedCount_ = 0;  // recipients refused so far: progress, with deliveredTo_

  // New connections after a cut-off transaction.
  bool transactionBegun_ = false;  // a "Mail From:" has gone out in this send
  bool reconnecting_ = false;      // the old connection is being dropped on purpose
  int reconnections_ = 0;
  std::string lastCutOff_;        // where the latest cut-off happened: the step and progress
  std::uint64_t connection_ = 0;  // counts the connections of this send

  TRecipientFilter filter_;   // duplicates and opt-outs, judged once per record in table order
  bool refusedAsIs_ = false;  // a refusal before connecting, shown in its own words
  bool testTaken_ = false;    // a test send's one record has been read
  // Personalised messages built when their record was read (the table has moved on since), until
  // their mail data goes: one, or two while a pipelined send reads ahead or after a new connection.
  std::deque<std::pair<std::int32_t, std::vector<std::string>>> built_;
  // A personalised send's replies still due, in the order of the commands that went. inFlight_
  // then holds at most two: the recipient whose message awaits its final reply, and the one
  // whose transaction is open (personalOpen_).
  std::deque<Due> due_;
  bool personalOpen_ = false;
  bool personalAccepted_ = false;  // the open transaction's recipient was accepted
  bool pacedAlready_ = false;      // the pacer has cleared the next personalised message
  // A personalised send's small encodings, read once from the temporary file (at most a few MB
  // in all): each message then goes out in one write.
  std::vector<std::optional<std::string>> heldEncodings_;
  std::uint64_t heldBytes_ = 0;
  // The mail data of the open transaction's message, made while the server read the message
  // before it; recordNo is -1 when none is made.
  struct PreparedData {
    std::int32_t recordNo = -1;
    std::string text;
  } prepared_;
};

}  // namespace tavrin::app
