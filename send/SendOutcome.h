// SendOutcome: how a send ended, as a kind a caller can act on and the words a person is shown.
//
// The kinds are public and stable: the window drops a refused password by its kind, and the
// command-line send turns kinds into exit statuses. Nothing anywhere tells a failure by its words,
// which may be reworded freely. A value, once given a meaning, keeps it; new kinds go at the end.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::app {

enum class FailureKind : int {
  kNone = 0,                   // the send ran to its end; the log says who has the message
  kNoRecipientAccepted = 1,    // it ran to its end, but the server accepted nobody
  kStopped = 2,                // the user stopped it, or the program was closed during it
  kConnectionFailed = 3,       // no connection could be made, or it broke or was closed
  kNameNotFound = 4,           // the server's name could not be looked up
  kTimedOut = 5,               // the server did not answer in time
  kCertificateRejected = 6,    // the server's certificate did not verify
  kServerRefused = 7,          // the server refused a command the send needed
  kNotOffered = 8,             // the server lacks what the settings ask for: STARTTLS or sign-in
  kSignInRefused = 9,          // the server refused the user name or password (5xx)
  kSignInFailedForNow = 10,    // sign-in failed for a passing reason (4xx); the password stands
  kReplyNotUnderstood = 11,    // a reply that is no reply, too long a line, a reply without end
  kMessageTooLarge = 12,       // larger than the server says it accepts
  kReturnAddressRefused = 13,  // the return address cannot go to this server
  kLocalFile = 14,             // an attachment, the temporary file or the recipients table failed
  kInternal = 15,              // a fault of the program's own
};

struct SendOutcome {
  FailureKind kind = FailureKind::kNone;
  // What the window shows: for a failure, the reason and what became of the message; otherwise
  // the note that the message did not reach everyone, or "".
  std::string text;
  std::int64_t deliveredTo = 0;  // recipients of every transaction the server confirmed
  bool unconfirmed = false;      // the last transaction's mail data went out without a reply
  // A test send to the user's own address: its log is neither saved nor shown.
  bool testSend = false;
};

}  // namespace tavrin::app
