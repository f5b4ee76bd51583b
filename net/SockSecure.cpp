// TSockClient over TLS: starting it, and the encrypted path of the receive and write handlers.
// The layer never sees the socket: ciphertext goes in and out here, through the same notifiers
// and with the same send flags as plain bytes, so no write can raise SIGPIPE.
#include <sys/socket.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>

#include "net/SockClient.h"
#include "net/SockErrorText.h"
#include "net/TlsLayer.h"

namespace tavrin::net {

namespace {
constexpr std::size_t kChunk = 16383;
// Records encrypted before their ciphertext goes to the socket in one send: about 64 KiB.
constexpr int kRecordsPerSend = 4;
// Received ciphertext is taken from the socket only while less than this waits in the layer;
// more than a record always decrypts, so this bounds memory without ever stalling a read.
constexpr std::size_t kFedLimit = std::size_t{64} << 10;
// Ciphertext waiting for the socket beyond which no more is received. Reads make some of their
// own (a record of messages that each want an alert back answers many times its size): a
// server that sends them and reads nothing must not make it grow without end.
constexpr std::size_t kOutputLimit = std::size_t{256} << 10;
// Bytes that came before the handshake are thrown away; more than this fails the handshake.
constexpr std::size_t kDiscardLimit = std::size_t{4} << 20;
const char kCanceled[] = "Connection Canceled";

std::exception_ptr Capture(const TTlsLayer& layer) {
  try {
    layer.RaiseFailure();
  } catch (...) {
    return std::current_exception();
  }
}
}  // namespace

bool TSockClient::Secure() const { return tls_ != nullptr && tls_->Established(); }

void TSockClient::StartTLS(const std::string& serverName) {
  Guard(kCanceled, [&] { StartSecure(serverName); });
}

void TSockClient::StartSecure(const std::string& serverName) {
  Report(8, "StartTLS");
  if (tls_)
    throw ETlsError(
        "The encrypted connection could not be made: the connection is encrypted already");
  if (progress_ || sendBuffer_->Length() > sendStart_) throw ESockError("Already sending");
  if (!connected_ || fd_ < 0) throw ESockError("Connection closed");
  QElapsedTimer since;
  since.start();
  if (canceled_) FailStartTls(std::make_exception_ptr(EAbortError(kCanceled)));
  DiscardUnread();
  if (peerClosed_)  // no ClientHello for a server that has gone
    FailStartTls(std::make_exception_ptr(
        ETlsError("The encrypted connection could not be made: the server closed the connection")));
  try {
    tls_ = std::make_unique<TTlsLayer>(serverName, caFile_);
  } catch (const ETlsError&) {
    FailStartTls(std::current_exception());
  }
  tlsError_ = nullptr;
  sendError_ = 0;
  KickHandshake();
  const std::uint64_t connection = connection_;
  auto replaced = [this, connection] { return connection_ != connection; };
  auto expired = [&] { return timeOut_ > 0 && since.elapsed() >= timeOut_; };
  // Done once the client's last handshake message has gone too: a caller that stops pumping
  // events right after this returns must not leave the server waiting for it.
  auto done = [this] { return tls_ && tls_->Established() && tls_->OutputLength() == 0; };
  auto ended = [this, &done] {
    return done() || !tls_ || tls_->Failed() || sendError_ != 0 || peerClosed_ || !connected_;
  };
  WaitFor(true, kCanceled, [&] { return canceled_ || replaced() || ended() || expired(); });
  if (replaced()) throw ESockError("Connection closed");  // a handler's new connection stays
  if (done()) return;
  if (tls_ && tls_->Failed()) FailStartTls(Capture(*tls_));
  if (sendError_ != 0)
    FailStartTls(std::make_exception_ptr(ESockError(LookupErrorMessage(sendError_))));
  if (canceled_) FailStartTls(std::make_exception_ptr(EAbortError(kCanceled)));
  if (peerClosed_)
    FailStartTls(std::make_exception_ptr(
        ETlsError("The encrypted connection could not be made: the server closed the connection")));
  if (!connected_ || !tls_) FailStartTls(std::make_exception_ptr(ESockError("Connection closed")));
  FailStartTls(std::make_exception_ptr(ESockError("Socket read timed out")));
}

// Whatever the server sent before the handshake, read or still in the socket, is not its reply:
// it came in plain text and may be anyone's.
void TSockClient::DiscardUnread() {
  ReleaseReceiveBuffer(false);
  std::size_t discarded = 0;
  ssize_t n = 0;
  while (discarded < kDiscardLimit && (n = ::recv(fd_, chunk_.get(), kChunk, MSG_DONTWAIT)) > 0)
    discarded += static_cast<std::size_t>(n);
  if (n == 0) PeerGone();
  PauseOrResumeReading();
}

// Produces the ClientHello and asks for it to be sent.
void TSockClient::KickHandshake() {
  tls_->Handshake();
  if (tls_->OutputLength() > 0) PostWriteMore();
}

// Drops the connection, raising OnDisconnect, then raises `failure`.
void TSockClient::FailStartTls(const std::exception_ptr& failure) {
  std::shared_ptr<bool> alive = alive_;
  if (tls_) tls_->Abandon();
  DropAfterFailure();
  if (!*alive) throw Gone();
  std::rethrow_exception(failure);
}

// ---------------------------------------------------------------- receiving

// One receive call's worth of ciphertext goes in; everything it completes comes out decrypted,
// records OpenSSL already holds included, since no notifier will fire for those. True when
// decrypted bytes arrived or the server ended the connection (not for a failed receive).
bool TSockClient::ReadSecure() {
  const std::uint64_t generation = generation_;
  bool gone = false, failed = false;
  if (tls_->FedLength() < kFedLimit) {
    ssize_t n = ::recv(fd_, chunk_.get(), kChunk, 0);
    if (n < 0) {
      int err = errno;
      lastErrorCode_ = SocketErrorCode(err);
      LookupErrorMessage(lastErrorCode_);  // reports a status: the socket may be gone after it
      if (generation != generation_ || !tls_) return false;
      failed = gone = err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
    } else {
      tls_->Feed(chunk_.get(), static_cast<std::size_t>(n));
      gone = n == 0;
      if (static_cast<std::size_t>(n) == kChunk) PostReadMore();
    }
  }
  bool received = DecryptReceived(maxLineLength_);
  if (!tlsError_ && tls_->Failed() && tls_->Established()) NoteTlsFailure();
  if (tlsError_ || tls_->PeerClosed()) gone = true;
  received = received || (gone && !failed && tls_->Established());
  // The handshake's next message, an answer to a post-handshake message, or plaintext that
  // waited for the handshake or for this read.
  const bool plainWaits = sendBuffer_->Length() > sendStart_ || (feed_ != nullptr && feedLeft_ > 0);
  if (tls_->OutputLength() > 0 || plainWaits) PostWriteMore();
  if (gone) PeerGone();
  PauseOrResumeReading();
  return received;
}

// Runs the handshake on, then decrypts until the layer needs input or the receive buffer holds
// `limit` bytes; true when decrypted bytes arrived.
bool TSockClient::DecryptReceived(std::size_t limit) {
  if (!tls_->Established() && tls_->Handshake() != TTlsLayer::Step::Done) return false;
  bool any = false;
  while (Buffered() < limit) {
    std::size_t got = 0;
    if (tls_->Read(chunk_.get(), kChunk, &got) != TTlsLayer::ReadResult::Data) break;
    recvBuffer_->Seek(0, platform::SeekOrigin::End);
    recvBuffer_->Write(chunk_.get(), got);
    any = true;
  }
  return any;
}

void TSockClient::NoteTlsFailure() { tlsError_ = Capture(*tls_); }

// ---------------------------------------------------------------- sending

// Encrypts the next chunks once the last ones' ciphertext has gone, then sends ciphertext; true
// when plaintext was taken. Plaintext waits while the handshake runs.
bool TSockClient::WriteSecure() {
  bool stalled = false;
  const bool taken = tls_->OutputLength() == 0 && tls_->Established() && Encrypt(&stalled);
  if (tls_->Failed()) {
    NoteTlsFailure();
    WatchWrite(false);
    PeerGone();  // the waiting send ends and reports it
    return false;
  }
  if (!FlushSecure()) return taken;
  const bool morePlain = sendBuffer_->Length() > sendStart_ || (feed_ != nullptr && feedLeft_ > 0);
  if (tls_->OutputLength() > 0 || (morePlain && tls_->Established() && !stalled))
    PostWriteMore();
  else if (!morePlain)
    sendDone_ = true;
  return taken;
}

// Encrypts up to kRecordsPerSend chunks of the send buffer (fed from the stream being sent);
// true when plaintext was taken. `stalled`: OpenSSL waits for the server, and the next read
// asks for this write again.
bool TSockClient::Encrypt(bool* stalled) {
  bool taken = false;
  for (int records = 0; records < kRecordsPerSend; ++records) {
    FeedSendBuffer();
    const std::size_t buffered = sendBuffer_->Length() - sendStart_;
    if (buffered == 0) break;
    const std::size_t n =
        tls_->Write(reinterpret_cast<const char*>(sendBuffer_->Data()) + sendStart_,
                    std::min(buffered, kChunk));
    if (n == 0) {
      *stalled = !tls_->Failed();
      break;
    }
    sendStart_ += n;
    bytesWritten_ += static_cast<std::int64_t>(n);
    taken = true;
    if (sendStart_ == sendBuffer_->Length()) {
      ClearSendBuffer();
      sendStart_ = 0;
    }
  }
  return taken;
}

// Sends what ciphertext the socket takes; false when it took none (the write notifier is on
// again, or the failure is kept for the waiting send).
bool TSockClient::FlushSecure() {
  WatchWrite(false);
  if (tls_->OutputLength() == 0) return true;
  ssize_t k = ::send(fd_, tls_->Output(), tls_->OutputLength(), MSG_NOSIGNAL);
  if (k < 0) {
    int err = errno;
    lastErrorCode_ = SocketErrorCode(err);
    if (err == EAGAIN || err == EWOULDBLOCK)
      WatchWrite(true);
    else if (err == EINTR)
      PostWriteMore();
    else
      sendError_ = lastErrorCode_;
    return false;
  }
  tls_->Sent(static_cast<std::size_t>(k));
  sent_ += static_cast<std::uint64_t>(k);
  if (readPaused_) PauseOrResumeReading();  // reading may have waited for this
  return true;
}

bool TSockClient::SecureOutputFull() const { return tls_ && tls_->OutputLength() >= kOutputLimit; }

// close_notify goes only where the server is still there and nothing is half sent: neither a
// record nor the text or stream it was part of (a handler may close in the middle of a send),
// so the server never takes a cut-off send as whole. It never waits and never raises a signal.
void TSockClient::SendCloseNotify(int fd) {
  const bool plainWaits = sendBuffer_->Length() > sendStart_ || (feed_ != nullptr && feedLeft_ > 0);
  if (peerClosed_ || plainWaits || tls_->OutputLength() > 0 || !tls_->Shutdown()) return;
  ::send(fd, tls_->Output(), tls_->OutputLength(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

}  // namespace tavrin::net
