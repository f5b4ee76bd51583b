// TSockClient: moving bytes once connected: the receive and write handlers, line reads, buffer
// and stream sends.
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/SockClient.h"
#include "net/SockErrorText.h"
#include "net/TlsLayer.h"

namespace tavrin::net {

namespace {
// Bytes moved per recv call or per chunk of a stream, through a local buffer of kChunk + 1 bytes.
constexpr std::size_t kChunk = 16383;
// Bytes offered per send call from the send buffer: as much as the socket takes at once, so a
// message held in memory costs a call or two, with a bound that keeps each call short.
constexpr std::size_t kMostPerSend = 1024 * 1024;

}  // namespace

// Holds the busy flag for the receive or write handler. A write request that came while the flag
// was set (from a handler that pumped events) is requested again once it clears. It touches
// nothing of a client that a status handler destroyed meanwhile.
class BusyScope {
 public:
  explicit BusyScope(TSockClient& client) : c_(client), alive_(client.alive_) { c_.busy_ = true; }
  ~BusyScope() {
    if (!*alive_) return;
    c_.busy_ = false;
    if (c_.writeAgain_) {
      c_.writeAgain_ = false;
      c_.PostWriteMore();
    }
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  TSockClient& c_;
  std::shared_ptr<bool> alive_;
};

namespace {
// Tells when `timeoutMs` passed without the byte counter moving; 0 never expires.
class ProgressClock {
 public:
  ProgressClock(const std::uint64_t& counter, int timeoutMs)
      : counter_(counter), last_(counter), timeoutMs_(timeoutMs) {
    since_.start();
  }
  bool Expired() {
    if (timeoutMs_ <= 0) return false;
    if (counter_ != last_) {
      last_ = counter_;
      since_.restart();
      return false;
    }
    return since_.elapsed() >= timeoutMs_;
  }

 private:
  const std::uint64_t& counter_;
  std::uint64_t last_;
  int timeoutMs_;
  QElapsedTimer since_;
};

// Sent bytes may be a password's: the memory the buffer keeps for reuse does not keep them.
void WipeAndClear(platform::TMemoryStream& buffer) {
  if (buffer.Length() > 0)
    OPENSSL_cleanse(const_cast<unsigned char*>(buffer.Data()), buffer.Length());
  buffer.Clear();
}

// Makes the bytes from `consumed` on the whole content of a buffer: copied once into the spare,
// then the two trade places.
void KeepRest(std::unique_ptr<platform::TMemoryStream>& buffer,
              std::unique_ptr<platform::TMemoryStream>& spare, std::size_t consumed) {
  std::size_t rest = buffer->Length() - consumed;
  spare->Clear();
  if (rest > 0) spare->Write(buffer->Data() + consumed, rest);
  WipeAndClear(*buffer);
  std::swap(buffer, spare);
}
}  // namespace

void TSockClient::ClearSendBuffer() { WipeAndClear(*sendBuffer_); }

// Forgets what an earlier connection left behind, so that none of it reaches a new server or
// is read as the new server's reply.
void TSockClient::ResetTransfer() {
  ReleaseReceiveBuffer(false);
  ClearSendBuffer();
  sendStart_ = 0;
  sendError_ = 0;
  feed_ = nullptr;
  feedLeft_ = 0;
  peerClosed_ = false;
  tlsError_ = nullptr;
}

// Gives the receive buffers' memory back; the unread bytes stay readable if asked.
void TSockClient::ReleaseReceiveBuffer(bool keepUnread) {
  auto fresh = std::make_unique<platform::TMemoryStream>();
  if (keepUnread && Buffered() > 0) fresh->Write(recvBuffer_->Data() + recvStart_, Buffered());
  recvBuffer_ = std::move(fresh);
  recvSpare_ = std::make_unique<platform::TMemoryStream>();
  recvStart_ = 0;
  lineScan_ = 0;
}

// ---------------------------------------------------------------- receiving

void TSockClient::ReadToStream() {
  if (canceled_) StopNotifications();
  // A read requested for a connection that has gone since must not touch the fresh socket.
  if (busy_ || fd_ < 0 || !connected_ || readPaused_) return;
  bool received = false;
  {
    BusyScope busy(*this);
    Report(8, "ReadToStream");
    if (fd_ < 0 || !connected_) return;  // the status handler closed the connection
    received = tls_ ? ReadSecure() : ReadPlain();
  }
  if (received) RaiseNested(OnDataReady, dataNest_, &TSockClient::RaiseOwedData);
}

// One receive call into the receive buffer; true when it did not fail (also of 0 bytes).
bool TSockClient::ReadPlain() {
  const std::uint64_t generation = generation_;
  ssize_t n = ::recv(fd_, chunk_.get(), kChunk, 0);
  if (n < 0) {
    int err = errno;
    lastErrorCode_ = SocketErrorCode(err);
    LookupErrorMessage(lastErrorCode_);  // reports a status: the socket may be gone after it
    bool broken = err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
    if (broken && generation == generation_) PeerGone();
    return false;
  }
  recvBuffer_->Seek(0, platform::SeekOrigin::End);
  recvBuffer_->Write(chunk_.get(), static_cast<std::size_t>(n));
  if (static_cast<std::size_t>(n) == kChunk) PostReadMore();
  if (n == 0) PeerGone();
  PauseOrResumeReading();
  return true;
}

// The receive buffer holds about one line limit at most: beyond it reading waits, and the
// server's bytes wait in the socket, until ReadLn has taken lines. Over TLS reading also waits
// while the answers owed to the server (alerts, key updates) pile up unsent.
void TSockClient::PauseOrResumeReading() {
  const bool full = Buffered() >= maxLineLength_ || SecureOutputFull();
  if (full == readPaused_) return;
  readPaused_ = full;
  WatchRead(connected_ && fd_ >= 0);
  // Bytes the layer holds already raise no read notification.
  if (!full && tls_ && tls_->InputBuffered()) PostReadMore();
}

std::size_t TSockClient::LineLength() const {
  const std::size_t buffered = Buffered();
  if (lineScan_ >= buffered) return 0;
  const unsigned char* from = recvBuffer_->Data() + recvStart_;
  // The scan goes on where the last one stopped: a long line is not searched again and again.
  const void* lf = std::memchr(from + lineScan_, '\n', buffered - lineScan_);
  if (lf == nullptr) {
    lineScan_ = buffered;
    return 0;
  }
  std::size_t length = static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - from) + 1;
  lineScan_ = length - 1;
  return length;
}

bool TSockClient::LineAvailable() const { return LineLength() > 0; }

bool TSockClient::LineTooLong() const {
  std::size_t length = LineLength();
  return length > maxLineLength_ || (length == 0 && Buffered() >= maxLineLength_);
}

std::string TSockClient::TakeLine() {
  const std::size_t length = LineLength();
  std::string line(reinterpret_cast<const char*>(recvBuffer_->Data() + recvStart_), length);
  recvStart_ += length;
  lineScan_ = 0;
  // The rest moves to the front only once at least as much has been read: linear in all.
  const std::size_t rest = Buffered();
  if (rest == 0) {
    recvBuffer_->Clear();
    recvStart_ = 0;
  } else if (recvStart_ >= rest) {
    KeepRest(recvBuffer_, recvSpare_, recvStart_);
    recvStart_ = 0;
  }
  if (readPaused_) PauseOrResumeReading();
  return line;
}

std::string TSockClient::ReadLn() {
  return Guard("Socket readln aborted", [this] { return ReadLine(); });
}

std::string TSockClient::ReadLine() {
  Report(8, "ReadLn");
  if (readPaused_) PauseOrResumeReading();  // the line limit may have been raised meanwhile
  QElapsedTimer since;
  since.start();
  auto expired = [&] { return timeOut_ > 0 && since.elapsed() >= timeOut_; };
  const std::uint64_t connection = connection_;
  auto replaced = [this, connection] { return connection_ != connection; };
  auto closed = [this, &replaced] { return peerClosed_ || !connected_ || replaced(); };
  WaitFor(true, "Socket readln aborted",
          [&] { return canceled_ || LineAvailable() || LineTooLong() || closed() || expired(); });
  if (canceled_) throw EAbortError("Socket readln aborted");
  if (replaced()) throw ESockError("Connection closed");  // what is buffered is another server's
  if (!LineTooLong() && LineAvailable()) return TakeLine();
  std::shared_ptr<bool> alive = alive_;
  if (LineTooLong()) {
    // The framing is lost: the rest of the line cannot be told from the next reply.
    ReleaseReceiveBuffer(false);
    if (connected_) RequestCloseSocket();
    if (!*alive) throw Gone();
    throw ELineTooLong("Line too long");
  }
  if (closed()) {
    CompleteClose();  // Connected is false, and Connect may be called, once this raises
    if (!*alive) throw Gone();
    if (LineAvailable() && !LineTooLong()) return TakeLine();
    if (tlsError_) std::rethrow_exception(tlsError_);
    throw ESockError("Connection closed");
  }
  throw ESockError("Socket read timed out");
}

// Runs the close that the server's end of stream has requested, now rather than later.
void TSockClient::CompleteClose() {
  if (connected_ && peerClosed_) CloseEvent(generation_);
}

// Drops the connection after a failed send or handshake, raising OnDisconnect. A failure of the
// close itself is swallowed: the caller's own failure is the one to report. Gone passes through.
void TSockClient::DropAfterFailure() {
  try {
    if (connected_ && peerClosed_)
      CompleteClose();
    else if (connected_)
      RequestCloseSocket();
  } catch (const Gone&) {
    throw;
  } catch (...) {
  }
}

// ---------------------------------------------------------------- sending

namespace {
// A text ends at its first zero character.
std::size_t TextLength(const std::string& text) {
  return std::min(text.size(), std::strlen(text.c_str()));
}
}  // namespace

void TSockClient::Write(const std::string& text) {
  Guard("Socket send aborted", [this] { Report(8, "Write"); });
  // The text goes out whole, however long; the send buffer has no size limit.
  std::size_t length = TextLength(text);
  if (length == 0) return;
  SendBuffer(text.data(), length);
}

void TSockClient::Writeln(const std::string& text) {
  Guard("Socket send aborted", [this] { Report(8, "Writeln"); });
  // The line end always follows, also after a text cut at a zero character.
  Write(text.substr(0, TextLength(text)) + "\r\n");
}

void TSockClient::SendBuffer(const char* data, std::size_t length) {
  Guard("Socket send aborted", [&] { SendBytes(data, length); });
}

void TSockClient::SendBytes(const char* data, std::size_t length) {
  Report(4, "Sending Buffer");
  if (canceled_) return;
  if (length == 0) length = data ? std::strlen(data) : 0;
  if (length == 0) return;  // nothing to send: nothing to wait for
  // Bytes sent from a handler while a stream goes out would land inside the stream.
  if (feed_ != nullptr && feedLeft_ > 0) throw ESockError("Already sending a stream");
  if (sendStart_ > 0 && sendStart_ >= sendBuffer_->Length() - sendStart_) {
    KeepRest(sendBuffer_, sendSpare_, sendStart_);
    sendStart_ = 0;
  }
  sendBuffer_->Seek(0, platform::SeekOrigin::End);
  sendBuffer_->Write(data, length);
  sendDone_ = false;
  sendError_ = 0;
  // The first chunk goes out at once rather than through a request: a line round trip then
  // costs one pass of the event loop, not two. Later chunks are requested as usual.
  if (busy_) {
    PostWriteMore();
  } else {
    std::shared_ptr<bool> alive = alive_;
    Dispatch([this] { WriteFromStream(); });
    if (!*alive) throw Gone();
  }
  WaitForSend();
}

void TSockClient::SendStream(platform::TStream& stream) {
  Guard("Socket send aborted", [&] { SendWholeStream(stream); });
}

void TSockClient::SendWholeStream(platform::TStream& stream) {
  // One stream at a time: a second one, from a handler, would take the first one's place and
  // let it end as if whole, its rest never sent.
  if (progress_) throw ESockError("Already sending a stream");
  std::shared_ptr<bool> alive = alive_;
  progress_ = true;
  try {
    Report(8, "SendStream");
    if (!canceled_) {
      stream.SetPosition(0);
      Report(8, "SendFile");
      bytesWritten_ = 0;
      streamSize_ = stream.Size();
      if (streamSize_ > 0) {
        feed_ = &stream;
        feedLeft_ = streamSize_;
        feedError_ = nullptr;
        sendDone_ = false;
        sendError_ = 0;
        PostWriteMore();
        WaitForSend();
      }
    }
  } catch (...) {
    if (!*alive) throw;  // the client was destroyed while the stream went out
    progress_ = false;
    feed_ = nullptr;
    if (!canceled_) throw;
  }
  progress_ = false;
  feed_ = nullptr;
  if (canceled_) {  // cancelled before anything was sent: the connection stays
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
}

// Waits until the send buffer (and the stream being fed, if any) has gone out.
void TSockClient::WaitForSend() {
  ProgressClock clock(sent_, timeOut_);
  const std::uint64_t connection = connection_;
  auto replaced = [this, connection] { return connection_ != connection; };
  auto closed = [this, &replaced] { return peerClosed_ || !connected_ || replaced(); };
  WaitFor(true, "Socket send aborted", [&] {
    return sendDone_ || canceled_ || sendError_ != 0 || feedError_ || closed() || clock.Expired();
  });
  // A handler connected again meanwhile: the send's connection is gone, and what is queued now
  // belongs to the new one.
  if (replaced()) throw ESockError("Connection closed");
  if (!sendDone_) FailSend();
}

// A send that ended part-way has broken the byte stream: what was not sent is dropped, and so
// is the connection (with its events), so no remnant can reach the server glued to the next
// command.
void TSockClient::FailSend() {
  if (tls_) tls_->Abandon();  // no close_notify either: the server must not take the rest as whole
  const bool canceled = canceled_;
  const int sendError = sendError_;
  const bool closed = peerClosed_ || !connected_;
  std::exception_ptr feedError = feedError_;
  std::exception_ptr tlsError = tlsError_;
  feedError_ = nullptr;
  canceled_ = false;
  ClearSendBuffer();
  sendStart_ = 0;
  feed_ = nullptr;
  feedLeft_ = 0;
  std::shared_ptr<bool> alive = alive_;
  DropAfterFailure();
  if (!*alive) throw Gone();
  if (canceled) throw EAbortError("Socket send aborted");
  if (feedError) std::rethrow_exception(feedError);
  if (sendError != 0) throw ESockError(LookupErrorMessage(sendError));
  if (tlsError) std::rethrow_exception(tlsError);
  if (closed) throw ESockError("Connection closed");
  throw ESockError("Socket send timed out");
}

// Moves the next chunk of the stream being sent into the empty send buffer.
void TSockClient::FeedSendBuffer() {
  if (feed_ == nullptr || feedLeft_ == 0 || sendBuffer_->Length() > sendStart_) return;
  std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(feedLeft_, kChunk));
  try {
    feed_->ReadBuffer(chunk_.get(), want);
  } catch (...) {
    feedError_ = std::current_exception();
    feed_ = nullptr;
    return;
  }
  ClearSendBuffer();
  sendStart_ = 0;
  sendBuffer_->Write(chunk_.get(), want);
  feedLeft_ -= static_cast<std::int64_t>(want);
}

void TSockClient::WriteFromStream() {
  if (busy_) {
    writeAgain_ =
        true;  // a pumping handler runs inside the busy one; this request must not be lost
    return;
  }
  // The progress event comes after the busy flag is cleared, so its handler may pump events,
  // read or send without losing the request for the next chunk.
  if (WriteChunk() && progress_)
    RaiseNested(OnSendProgress, progressNest_, &TSockClient::RaiseOwedProgress);
}

// Sends the next chunk of the send buffer, from where the last one ended; true when some bytes
// went out.
bool TSockClient::WriteChunk() {
  BusyScope busy(*this);
  Report(8, "WriteFromStream");
  // While a connect is pending the write watch waits for its outcome: a late write request must
  // neither switch it off nor send. The connect event asks for the write again.
  if (connecting_) return false;
  if (canceled_ || fd_ < 0) {
    WatchWrite(false);  // a level-triggered notifier must not spin over nothing to do
    return false;
  }
  if (tls_) return WriteSecure();
  FeedSendBuffer();
  const std::size_t buffered = sendBuffer_->Length() - sendStart_;
  if (buffered == 0) {
    WatchWrite(false);
    return false;
  }
  ssize_t k =
      ::send(fd_, sendBuffer_->Data() + sendStart_, std::min(buffered, kMostPerSend), MSG_NOSIGNAL);
  if (k < 0) {
    int err = errno;
    lastErrorCode_ = SocketErrorCode(err);
    if (err == EAGAIN || err == EWOULDBLOCK) {
      WatchWrite(true);  // the next write notification runs this handler again
    } else if (err == EINTR) {
      PostWriteMore();
    } else {
      sendError_ = lastErrorCode_;  // the waiting send raises it
      WatchWrite(false);
    }
    return false;
  }
  WatchWrite(false);
  auto written = static_cast<std::size_t>(k);
  sendStart_ += written;
  if (sendStart_ == sendBuffer_->Length()) {
    ClearSendBuffer();
    sendStart_ = 0;
    if (feed_ != nullptr && feedLeft_ > 0)
      PostWriteMore();  // a stream goes out one chunk per request
    else
      sendDone_ = true;
  } else {
    PostWriteMore();
  }
  bytesWritten_ += k;
  sent_ += written;
  return true;
}

}  // namespace tavrin::net
