// TMailSend: one send of one message to every recipient of a table, made from a plain setup.
//
// Owns everything the send needs for as long as it lives: the socket client (with its time-out),
// the recipients dataset, the reply table, the send log and the dialogue with its reply time-outs.
// Whoever starts a send (the main window, the command-line send) fills a SendSetup, creates the
// send, starts it with a message, may stop it, and listens to its events; the outcome's kind says
// how it ended. The log stays readable after the end, until the send is destroyed. The password in
// the setup is wiped when the send ends or the setup goes. GUI (or main) thread, with a Qt event
// loop running.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dataset/XbDbf.h"
#include "net/SockClient.h"
#include "send/DatasetRecipientTable.h"
#include "send/ReplyTable.h"
#include "send/MessageAssembly.h"
#include "send/SendDialogue.h"
#include "send/SendLog.h"

namespace tavrin::app {

// How long the socket client waits for a connection or a write before it gives up.
inline constexpr int kSocketTimeOutMs = 60000;

// Where and how a send goes, and what it reads; filled from the settings by the program.
struct SendSetup {
  SendSetup() = default;
  SendSetup(const SendSetup&) = default;
  SendSetup& operator=(const SendSetup&) = default;
  ~SendSetup();

  std::string server;  // host name or dotted address, as the user typed it
  int port = 0;        // 0 when the settings hold no valid port: connecting fails with the reason
  Security security = Security::kNone;
  std::string userName;  // "": no sign-in
  std::string password;  // for sign-in only; never shown, logged or kept after the send
  std::function<void(bool accepted)> passwordJudged;  // see SendJob; may be empty
  std::string tableFile;                              // the recipients table (.dbf)
  std::string nameField, emailField;                  // 8-bit field names of that table
  std::string returnEmail;                            // UTF-8, as the settings hold it
  int recipientsPerMessage = 0;                       // 0: as many as the server takes
  std::string tempDir;                                // where the private temporary file is made
  std::string caFile;  // the authorities the server's certificate must chain to; "": the system's
};

// The message as it goes to everyone: built once by the caller.
struct MailMessage {
  std::vector<std::string> lines;  // header block and body, no line ends
  std::string boundary;
  std::vector<std::string> attachments;  // full paths, in sending order

  // ---- one message per recipient ----
  // True: every live record gets a message of its own, built from `input` with that record's
  // fields filled in (PersonalisedInput), in a transaction of its own; `lines` is then unused.
  bool personalised = false;
  // The message before its placeholders are filled: sender, To description, Subject, body lines,
  // Date, Reply-To and List-Unsubscribe as typed. Each message gets its own Message-ID.
  MessageInput input{};
  // The bulk-sender settings the send applies to both kinds of send: the logical field whose true
  // value skips a record ("Unsubscribed"); "": none. Duplicates are always skipped.
  std::string optOutField{};

  // ---- a test send ----
  // Set: only this record's message goes out (personalised when `personalised` is set, else the
  // shared one), to the return address alone, its Subject prefixed "[Test] "; no log is kept.
  std::optional<std::int32_t> testRecord{};

  // Resuming a send: the records an earlier try settled (see SendJob).
  std::unordered_map<std::int32_t, SettledRecipient> settledBefore{};
};

class TMailSend {
 public:
  explicit TMailSend(SendSetup setup);
  ~TMailSend();
  TMailSend(const TMailSend&) = delete;
  TMailSend& operator=(const TMailSend&) = delete;

  // What the send reports (see SendEvents). The reply table's descriptions reach `transcript` too.
  SendEvents& Events() { return dialogue_.events; }

  // Starts the send; the setup's password goes with it and is wiped here. A send is started once.
  // The log must have been started (Log().StartLog) for its header.
  void Start(MailMessage message);
  // The user ends the send under way, if any (see TSendDialogue::Stop).
  void Stop() { dialogue_.Stop(); }
  // Ends the send under way, if any, as a failure of `kind` with `message`.
  void Abort(FailureKind kind, const std::string& message) { dialogue_.Abort(kind, message); }
  bool Running() const { return dialogue_.Running(); }
  // A test send (MailMessage::testRecord): its log holds the one test line and is for no file or
  // window; the outcome says so too (SendOutcome::testSend).
  bool TestSend() const { return dialogue_.TestSend(); }

  TSendLog& Log() { return log_; }
  const TSendLog& Log() const { return log_; }
  // The parts, for tests and benchmarks that look inside or shorten the time-outs.
  TSendDialogue& Dialogue() { return dialogue_; }
  net::TSockClient& Socket() { return sock_; }

 private:
  SendSetup setup_;
  bool started_ = false;
  net::TSockClient sock_;
  dataset::TXbDbf dataset_{"tblRecipients"};
  TDatasetRecipientTable table_{dataset_};
  TReplyTable replies_;
  TSendLog log_;
  TSendDialogue dialogue_;  // last: it goes first, unbinding itself from the socket client
};

}  // namespace tavrin::app
