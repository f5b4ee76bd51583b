// Opening the session with today's servers: "EHLO" and the extension list, the encrypted
// connection (STARTTLS, or TLS from the first byte) and sign-in with a user name and password.
// Part of TSendDialogue; the rest of the dialogue is in SendDialogue.cpp.
#include <string.h>

#include <algorithm>
#include <cstdint>

#include "send/SendDialogue.h"
#include "send/SendText.h"
#include "platform/SecretStore.h"

namespace tavrin::app {
namespace {

using State = TSendDialogue::State;
using sendtext::ShownReply;

// `prefix` followed by the BASE64 form of `bytes` and CR LF, in a buffer sized once, so that no
// copy of a secret is left behind in memory given back while it grew.
std::string EncodedLine(const std::string& prefix, const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string line;
  line.reserve(prefix.size() + (bytes.size() + 2) / 3 * 4 + 2);
  line += prefix;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k)
      line += k <= n ? kAlphabet[group >> (18 - 6 * k) & 0x3F] : '=';
  }
  line += "\r\n";
  return line;
}

}  // namespace

// The address literal of the connected socket: the address the server sees; no resolver is asked.
// The brackets make it a literal; a bare address is no domain and strict servers refuse it.
static std::string AddressLiteral(const net::TSockClient& sock) {
  std::string local = sock.LocalAddress();
  if (local.empty()) local = "127.0.0.1";
  return "[" + local + "]";
}

// Every server is greeted with "EHLO" first: what it lists (pipelining, SIZE, SMTPUTF8, STARTTLS,
// sign-in) is only ever learnt so.
void TSendDialogue::SendEhlo() {
  extensions_.Clear();
  SendCommand("EHLO " + AddressLiteral(sock_), State::kEhlo);
}

// Every line of the reply has been fed to extensions_ on its way here. A server that does not
// know "EHLO" (500, 502, 504) is greeted with "HELO" and offers nothing: when the send needs
// encryption or sign-in from it, it ends here, before another command.
void TSendDialogue::OnEhloReply(int code, const std::string& line, bool proceed) {
  if (code == 500 || code == 502 || code == 504) {
    extensions_.Clear();
    if (job_.security == Security::kStartTls && !secured_)
      return Abort(FailureKind::kNotOffered, kNoStartTls);
    if (!job_.userName.empty()) return Abort(FailureKind::kNotOffered, kNoSignIn);
    return SendCommand("HELO " + AddressLiteral(sock_), State::kHelo);
  }
  if (!proceed || code / 100 != 2) return Unexpected(line);
  AfterEhlo();
}

// Never falls back to plain text: a server that cannot encrypt when asked to ends the send.
void TSendDialogue::AfterEhlo() {
  if (job_.security == Security::kStartTls && !secured_) {
    if (!extensions_.Has("STARTTLS")) return Abort(FailureKind::kNotOffered, kNoStartTls);
    return SendCommand("STARTTLS", State::kStartTls);
  }
  if (!job_.userName.empty()) return SendAuth();
  SendMailFrom();
}

// ---------------------------------------------------------------- encryption

// The list from before the handshake was sent in plain text and is forgotten: the server is asked
// again over the encrypted connection.
void TSendDialogue::OnStartTlsReply(int code, const std::string& line) {
  if (code != 220) return Unexpected(line);
  if (SecureConnection()) SendEhlo();
}

// The TLS handshake, bounded by the client's time-out and the reply timer alike; the server's
// certificate must be valid for the name the user typed. False when the send ended meanwhile (a
// certificate that fails the check ends it with the reason); other failures throw.
bool TSendDialogue::SecureConnection() {
  StepStatus("Securing the connection...");
  Sent(State::kHandshake);  // the handshake is bounded like a command
  auto alive = alive_;
  try {
    sock_.StartTLS(job_.serverName);
  } catch (const net::ECertificateError& error) {
    if (*alive) Abort(FailureKind::kCertificateRejected, error.what());
    return false;
  }
  if (!*alive || !Running()) return false;
  secured_ = true;
  return true;
}

// ---------------------------------------------------------------- sign-in

// PLAIN sends both in one line; LOGIN answers two challenges. Nothing else is tried.
void TSendDialogue::SendAuth() {
  StepStatus("Signing in...");
  if (extensions_.OffersAuth("PLAIN")) {
    std::string credentials;
    credentials.reserve(job_.userName.size() + job_.password.size() + 2);
    credentials += '\0';
    credentials += job_.userName;
    credentials += '\0';
    credentials += job_.password;
    std::string line = EncodedLine("AUTH PLAIN ", credentials);
    platform::WipeSecret(credentials);
    return SendSecret(line, State::kAuthPlain);
  }
  if (extensions_.OffersAuth("LOGIN")) return SendCommand("AUTH LOGIN", State::kAuthLogin);
  Abort(FailureKind::kNotOffered, kNoSignIn);
}

void TSendDialogue::OnAuthReply(int code, const std::string& line) {
  const bool answersCredentials = state_ == State::kAuthPlain || state_ == State::kAuthPassword;
  // 235 is the standard's word for signed in; some servers say 250, and any 2xx means yes.
  if (answersCredentials && code / 100 == 2) {
    if (!JudgePassword(true)) return;
    return SendMailFrom();
  }
  if (!answersCredentials && code == 334) {
    std::string answer =
        EncodedLine("", state_ == State::kAuthLogin ? job_.userName : job_.password);
    return SendSecret(answer,
                      state_ == State::kAuthLogin ? State::kAuthUser : State::kAuthPassword);
  }
  // A passing failure ("454 4.7.0 Temporary authentication failure") says nothing about the
  // password: the server's words are shown and the password stands. Only a 5xx refuses it.
  if (code / 100 == 4)
    return Abort(FailureKind::kSignInFailedForNow, kSignInFailedForNow + ShownReply(line));
  if (code / 100 == 5) {
    if (!JudgePassword(false)) return;
    return Abort(FailureKind::kSignInRefused, kSignInRefused);
  }
  Unexpected(line);
}

// Tells whoever keeps the password; false when the send ended meanwhile (a nested Stop).
bool TSendDialogue::JudgePassword(bool accepted) {
  if (!job_.passwordJudged) return true;
  auto alive = alive_;
  const auto judged = job_.passwordJudged;
  judged(accepted);
  return *alive && Running();
}

// Sends a line that carries a secret (its CR LF included) and wipes it, whatever happens. The
// transcript shows only the server's replies, so the line appears nowhere else.
void TSendDialogue::SendSecret(std::string& line, State next) {
  auto alive = alive_;
  try {
    if (!sock_.Connected()) throw net::ESockError("Connection closed");
    sock_.SendBuffer(line.data(), line.size());
  } catch (...) {
    platform::WipeSecret(line);
    throw;
  }
  platform::WipeSecret(line);
  if (!*alive || !Running()) return;  // the send ended while the line went out
  Sent(next);
}

void TSendDialogue::ForgetSecrets() { platform::WipeSecret(job_.password); }

// A reply to sign-in as it may be shown: a server that repeats the password, or a line that
// encodes it, has its words withheld, whole, so not even where the password stood is shown.
std::string TSendDialogue::WithoutSecrets(const std::string& line) const {
  const bool signingIn = state_ == State::kAuthPlain || state_ == State::kAuthLogin ||
                         state_ == State::kAuthUser || state_ == State::kAuthPassword;
  if (!signingIn || job_.password.empty()) return line;
  bool repeats = line.find(job_.password) != std::string::npos;
  std::string credentials;
  credentials.reserve(job_.userName.size() + job_.password.size() + 2);
  credentials += '\0';
  credentials += job_.userName;
  credentials += '\0';
  credentials += job_.password;
  for (const std::string* secret :
       {&job_.password, static_cast<const std::string*>(&credentials)}) {
    std::string encoded = EncodedLine("", *secret);
    encoded.resize(encoded.size() - 2);  // the CR LF
    repeats = repeats || line.find(encoded) != std::string::npos;
    platform::WipeSecret(encoded);
  }
  platform::WipeSecret(credentials);
  if (!repeats) return line;
  const auto code = line.find_first_of("0123456789");
  const std::size_t kept = code == std::string::npos ? 0 : std::min(line.size(), code + 4);
  std::string shown = line.substr(0, kept);
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  return shown + "(the server's words repeated the password and are not shown)\r\n";
}

}  // namespace tavrin::app
