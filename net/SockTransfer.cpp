// TSockClient: moving bytes once connected: the receive and write handlers, line reads, buffer
// and stream sends.
#include <sys/socket.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/SockClient.h"
#include "net/SockErrorText.h"

namespace tavrin::net {

namespace {
// Bytes moved per recv or send call, through a local buffer of kChunk + 1 bytes.
constexpr std::size_t kChunk = 16383;

}  // namespace

// Holds the busy flag for the receive or write handler. A write request that came while the flag
// was set (from a handler that pumped events) is requested again once it clears.
class BusyScope {
 public:
  explicit BusyScope(TSockClient& client) : c_(client) { c_.busy_ = true; }
  ~BusyScope() {
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

// Makes `rest` the whole content of a buffer: copied once into the spare, then the two trade.
void KeepRest(std::unique_ptr<platform::TMemoryStream>& buffer,
              std::unique_ptr<platform::TMemoryStream>& spare, std::size_t consumed) {
  std::size_t rest = buffer->Length() - consumed;
  spare->Clear();
  if (rest > 0) spare->Write(buffer->Data() + consumed, rest);
  buffer->Clear();
  std::swap(buffer, spare);
}
}  // namespace

// Forgets what an earlier connection left behind, so that none of it reaches a new server or
// is read as the new server's reply.
void TSockClient::ResetTransfer() {
  recvBuffer_->Clear();
  sendBuffer_->Clear();
  sendError_ = 0;
  peerClosed_ = false;
}

// ---------------------------------------------------------------- receiving

void TSockClient::ReadToStream() {
  if (canceled_) StopNotifications();
  // A read requested for a connection that has gone since must not touch the fresh socket.
  if (busy_ || fd_ < 0 || !connected_) return;
  bool received = false;
  {
    BusyScope busy(*this);
    Report(8, "ReadToStream");
    if (fd_ < 0 || !connected_) return;  // the status handler closed the connection
    char chunk[kChunk + 1];
    const std::uint64_t generation = generation_;
    ssize_t n = ::recv(fd_, chunk, kChunk, 0);
    if (n < 0) {
      int err = errno;
      lastErrorCode_ = SocketErrorCode(err);
      LookupErrorMessage(lastErrorCode_);  // reports a status: the socket may be gone after it
      bool broken = err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
      if (broken && generation == generation_) PeerGone();
    } else {
      recvBuffer_->Seek(0, platform::SeekOrigin::End);
      recvBuffer_->Write(chunk, static_cast<std::size_t>(n));
      received_ += static_cast<std::uint64_t>(n);
      received = true;
      if (static_cast<std::size_t>(n) == kChunk) PostReadMore();
      if (n == 0) PeerGone();
    }
  }
  if (received) Raise(OnDataReady);
}

bool TSockClient::LineAvailable() const {
  return recvBuffer_->Length() > 0 &&
         std::memchr(recvBuffer_->Data(), '\n', recvBuffer_->Length()) != nullptr;
}

std::string TSockClient::TakeLine() {
  const auto* data = recvBuffer_->Data();
  const auto* lf = static_cast<const unsigned char*>(std::memchr(data, '\n', recvBuffer_->Length()));
  std::size_t length = static_cast<std::size_t>(lf - data) + 1;
  std::string line(reinterpret_cast<const char*>(data), length);
  KeepRest(recvBuffer_, recvSpare_, length);
  return line;
}

std::string TSockClient::ReadLn() {
  Report(8, "ReadLn");
  ProgressClock clock(received_, timeOut_);
  auto closed = [this] { return peerClosed_ || !connected_; };
  WaitFor(true, "Socket readln aborted",
          [&] { return LineAvailable() || canceled_ || closed() || clock.Expired(); });
  if (canceled_) throw EAbortError("Socket readln aborted");
  if (LineAvailable()) return TakeLine();
  if (closed()) throw ESockError("Connection closed");
  throw ESockError("Socket read timed out");
}

// ---------------------------------------------------------------- sending

namespace {
// A text ends at its first zero character.
std::size_t TextLength(const std::string& text) { return std::min(text.size(), std::strlen(text.c_str())); }
}  // namespace

void TSockClient::Write(const std::string& text) {
  Report(8, "Write");
  // The text goes out whole, however long; the send buffer has no size limit.
  std::size_t length = TextLength(text);
  if (length == 0) return;
  SendBuffer(text.data(), length);
}

void TSockClient::Writeln(const std::string& text) {
  Report(8, "Writeln");
  // The line end always follows, also after a text cut at a zero character.
  Write(text.substr(0, TextLength(text)) + "\r\n");
}

void TSockClient::SendBuffer(const char* data, std::size_t length) {
  Report(4, "Sending Buffer");
  if (canceled_) return;
  if (length == 0) length = data ? std::strlen(data) : 0;
  if (length == 0) return;  // nothing to send: nothing to wait for
  sendBuffer_->Seek(0, platform::SeekOrigin::End);
  sendBuffer_->Write(data, length);
  sendDone_ = false;
  sendError_ = 0;
  // The first chunk goes out at once rather than through a request: a line round trip then
  // costs one pass of the event loop, not two. Later chunks are requested as usual.
  if (busy_)
    PostWriteMore();
  else
    Dispatch([this] { WriteFromStream(); });
  WaitForSend();
}

void TSockClient::SendStream(platform::TStream& stream) {
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
  if (canceled_) {
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
}

// Waits until the send buffer (and the stream being fed, if any) has gone out.
void TSockClient::WaitForSend() {
  ProgressClock clock(sent_, timeOut_);
  auto closed = [this] { return peerClosed_ || !connected_; };
  WaitFor(true, "Socket send aborted", [&] {
    return sendDone_ || canceled_ || sendError_ != 0 || feedError_ || closed() || clock.Expired();
  });
  if (canceled_) {
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
  if (sendDone_) return;
  if (feedError_) {
    std::exception_ptr error = feedError_;
    feedError_ = nullptr;
    std::rethrow_exception(error);
  }
  if (sendError_ != 0) throw ESockError(LookupErrorMessage(sendError_));
  if (closed()) throw ESockError("Connection closed");
  throw ESockError("Socket send timed out");
}

// Moves the next chunk of the stream being sent into the empty send buffer.
void TSockClient::FeedSendBuffer() {
  if (feed_ == nullptr || feedLeft_ == 0 || sendBuffer_->Length() > 0) return;
  std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(feedLeft_, kChunk));
  char chunk[kChunk + 1];
  try {
    feed_->ReadBuffer(chunk, want);
  } catch (...) {
    feedError_ = std::current_exception();
    feed_ = nullptr;
    return;
  }
  sendBuffer_->Clear();
  sendBuffer_->Write(chunk, want);
  feedLeft_ -= static_cast<std::int64_t>(want);
}

void TSockClient::WriteFromStream() {
  if (busy_) {
    writeAgain_ = true;  // a pumping handler runs inside the busy one; this request must not be lost
    return;
  }
  // The progress event comes after the busy flag is cleared, so its handler may pump events,
  // read or send without losing the request for the next chunk.
  if (WriteChunk() && progress_) Raise(OnSendProgress);
}

// Sends the next chunk of the send buffer; true when some bytes went out.
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
  FeedSendBuffer();
  std::size_t buffered = sendBuffer_->Length();
  if (buffered == 0) {
    WatchWrite(false);
    return false;
  }
  std::size_t take = std::min(buffered, kChunk);
  ssize_t k = ::send(fd_, sendBuffer_->Data(), take, MSG_NOSIGNAL);
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
  bool streamLeft = feed_ != nullptr && feedLeft_ > 0;
  if (written == buffered) {
    sendBuffer_->Clear();
    if (streamLeft)
      PostWriteMore();  // a stream goes out one chunk per request
    else
      sendDone_ = true;
  } else {
    KeepRest(sendBuffer_, sendSpare_, written);
    PostWriteMore();
  }
  bytesWritten_ += k;
  sent_ += written;
  return true;
}

}  // namespace tavrin::net
