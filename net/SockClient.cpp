// TSockClient: construction, connecting, closing, notifications and waits. This file,
// SockTransfer.cpp and SockSecure.cpp are the only places in the program that call the socket API.
#include "net/SockClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/SockErrorText.h"
#include "net/ThreadTimer.h"
#include "net/TlsLayer.h"
#include "net/dWinsock.h"

namespace tavrin::net {

namespace {
constexpr std::size_t kMaxHostLength = 127;
constexpr int kWaitTickMs = 2;
constexpr std::size_t kChunkBuffer = 16384;
// Deeper nesting of one kind of event waits until a level returns: a server sending a reply in
// thousands of pieces must not grow the stack with them.
constexpr int kMaxEventDepth = 4;
// A close first reads what the server sent unasked, or the system would answer the close with a
// reset that destroys data still on its way out. A server flooding us is cut off after this much.
constexpr std::size_t kCloseDrainLimit = std::size_t{4} << 20;

// Connect errors that arrive as a failed connect notification, not as an immediate error.
bool IsConnectOutcome(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH;
}
}  // namespace

// ---------------------------------------------------------------- life cycle

TSockClient::TSockClient(QObject* owner, std::unique_ptr<THostResolver> resolver)
    : QObject(owner), resolver_(resolver ? std::move(resolver) : MakeSystemResolver()) {
  assert(QCoreApplication::instance() != nullptr);
  Report(8, "Create");
  timer_ = std::make_unique<TThreadTimer>();
  timer_->SetEnabled(false);
  timer_->SetOnTimer([this](TThreadTimer&) {
    try {
      TimerTriggered();
    } catch (const Gone&) {  // a status handler destroyed the client
    }
  });
  chunk_ = std::make_unique<char[]>(kChunkBuffer);
  sendBuffer_ = std::make_unique<platform::TMemoryStream>();
  sendSpare_ = std::make_unique<platform::TMemoryStream>();
  recvBuffer_ = std::make_unique<platform::TMemoryStream>();
  recvSpare_ = std::make_unique<platform::TMemoryStream>();
  waitTick_.setTimerType(Qt::PreciseTimer);
  waitTick_.setInterval(kWaitTickMs);
  // The tick outlives a wait by one period, so back-to-back waits do not re-arm it each time.
  connect(&waitTick_, &QTimer::timeout, this, [this] {
    if (waitDepth_ == 0) waitTick_.stop();
  });
  InitializeWinsock();
}

TSockClient::~TSockClient() {
  // Raise nothing from here on: the owner may already be half destroyed. Calls of this client
  // that still wait further up the stack see it gone and leave with their abort.
  destroying_ = true;
  *alive_ = false;
  try {
    Report(8, "Destroy");
    Cancel();
    timer_.reset();
    resolver_->Abort();
    RequestCloseSocket();
  } catch (...) {
  }
  // Notifiers whose signal is still running further up the stack go once it has returned.
  for (auto& notifier : retired_) {
    notifier->setParent(nullptr);
    notifier.release()->deleteLater();
  }
  tWinsockAPI::Shared().Release();
}

void TSockClient::SetHost(const std::string& host) { host_ = host.substr(0, kMaxHostLength); }

// The handler runs from a copy with a copy of the text, so it may replace OnStatus or destroy
// the client; then Gone unwinds every frame of the client without touching it.
void TSockClient::Report(int level, const char* text) {
  if (level > reportLevel_) return;
  statusText_ = text;
  if (destroying_ || !OnStatus) return;
  StatusEvent handler = OnStatus;
  std::shared_ptr<bool> alive = alive_;
  handler(*this, std::string(text));
  if (!*alive) throw Gone();
}

void TSockClient::InitializeWinsock() {
  Report(8, "Initializing Winsock");
  tWinsockAPI::Shared().Acquire();
  if (!OpenSocket()) {
    tWinsockAPI::Shared().Release();
    throw ESockError("Initializaton of windows sockets failed");
  }
}

// Opens a socket and its notifiers; false (with LastErrorCode set) when the system refuses.
// No socket lingers with a zero time-out: every close lets the data already sent arrive.
// Small writes go out at once: the dialogue waits for an answer to each command, and holding a
// command back for the server's acknowledgement would cost a delayed-ACK pause per round trip.
bool TSockClient::OpenSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    lastErrorCode_ = SocketErrorCode(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  ++generation_;
  connecting_ = peerClosed_ = notifyStopped_ = readPaused_ = false;
  // The client is their parent only so that its live notifiers can be counted.
  readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, this);
  readNotifier_->setEnabled(false);
  connect(readNotifier_.get(), &QSocketNotifier::activated, this,
          [this, n = readNotifier_.get()] { Activated(n, &TSockClient::OnReadActivated); });
  writeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_.get(), &QSocketNotifier::activated, this,
          [this, n = writeNotifier_.get()] { Activated(n, &TSockClient::OnWriteActivated); });
  return true;
}

// A closed socket's notifier goes at once, unless its own signal is running further up the
// stack; then it goes as soon as that signal has returned.
void TSockClient::RetireNotifier(std::unique_ptr<QSocketNotifier>& notifier) {
  if (!notifier) return;
  notifier->setEnabled(false);
  if (std::find(activating_.begin(), activating_.end(), notifier.get()) != activating_.end())
    retired_.push_back(std::move(notifier));
  notifier.reset();
}

void TSockClient::FreeRetired() {
  std::erase_if(retired_, [this](const std::unique_ptr<QSocketNotifier>& n) {
    return std::find(activating_.begin(), activating_.end(), n.get()) == activating_.end();
  });
}

// Closes the descriptor without any event; returns with fd_ = -1. The close is graceful: the
// end of the stream follows the data already handed to the system.
void TSockClient::CloseSocketHandle() {
  RetireNotifier(readNotifier_);
  RetireNotifier(writeNotifier_);
  int fd = fd_;
  fd_ = -1;
  connecting_ = false;
  if (tls_) SendCloseNotify(fd);
  tls_.reset();
  ::shutdown(fd, SHUT_WR);
  std::size_t drained = 0;
  for (ssize_t n; drained < kCloseDrainLimit &&
                  (n = ::recv(fd, chunk_.get(), kChunkBuffer, MSG_DONTWAIT)) > 0;)
    drained += static_cast<std::size_t>(n);
  if (::close(fd) != 0 && errno != EINTR) CheckError(SocketErrorCode(errno), kWouldBlock);
}

// A socket whose connect failed, timed out or was cancelled cannot be connected again: swap it
// for a new one, silently.
void TSockClient::ReplaceSocket() {
  if (fd_ >= 0) {
    try {
      CloseSocketHandle();
    } catch (const ESockError&) {
    }
  }
  OpenSocket();
}

void TSockClient::Disconnect() {
  try {
    Report(8, "Disconnecting");
    RequestCloseSocket();
  } catch (const Gone&) {  // a status handler destroyed the client, which closed it
  }
}

void TSockClient::RequestCloseSocket() {
  Report(4, "Request Close Socket");
  connected_ = false;
  if (fd_ < 0) return;
  CloseSocketHandle();
  if (destroying_) return;
  // What was not sent can never be; unread bytes stay readable in a buffer of their own size.
  ClearSendBuffer();
  sendStart_ = 0;
  feed_ = nullptr;
  feedLeft_ = 0;
  ReleaseReceiveBuffer(true);
  // The new socket is there even when OnDisconnect raises, and a handler that already connected
  // again keeps its socket.
  std::shared_ptr<bool> alive = alive_;
  try {
    if (!Raise(OnDisconnect)) return;  // the handler destroyed the client
  } catch (...) {
    if (*alive && fd_ < 0) OpenSocket();
    throw;
  }
  if (fd_ < 0) OpenSocket();
}

void TSockClient::Cancel() {
  try {
    Report(8, "Canceling");
  } catch (const Gone&) {
    return;
  }
  canceled_ = true;
}

// ---------------------------------------------------------------- connecting

void TSockClient::Connect() {
  try {
    ConnectNow();
  } catch (const Gone&) {
    throw EAbortError("Connection Canceled");
  }
}

void TSockClient::ConnectNow() {
  Report(8, "Connecting");
  canceled_ = false;
  if (connected_ && peerClosed_) {  // the server has gone already: finish its close first
    std::shared_ptr<bool> alive = alive_;
    CompleteClose();
    if (!*alive) throw Gone();
  }
  if (connected_) throw ESockError("Already connected");
  ++connection_;
  ResetTransfer();
  if (fd_ < 0 && !OpenSocket()) throw ESockError(LookupErrorMessage(lastErrorCode_));
  ResolveWithRetry();
  success_ = true;
  StartConnect();
  // A handler that closes the socket (Disconnect during the wait, or from OnConnect) replaces it:
  // the attempt is over, and nothing will ever answer for the old socket.
  const std::uint64_t generation = generation_;
  auto closed = [this, generation] { return generation_ != generation || fd_ < 0; };
  TimerOn();
  WaitFor(false, "Connection Canceled",
          [&] { return connected_ || timedOut_ || canceled_ || !success_ || closed(); });
  TimerOff();
  if (!timedOut_ && !canceled_ && success_ && !closed()) return;
  FailConnect(!closed());
}

// An unresolved host fails with the look-up's own error (11001:Host not found, ...), or with
// "Null Remote Address" for the address 0.0.0.0; LastErrorCode tells it to OnInvalidHost too.
void TSockClient::ResolveWithRetry() {
  for (int attempts = 0;; ++attempts) {
    lookupError_ = 0;
    try {
      ResolveHost();
    } catch (const EAbortError&) {
      throw;  // the client went while the look-up waited: nothing of it may be touched
    } catch (const ESockError&) {
      if (timedOut_ || canceled_) throw;  // the look-up ended unfinished: no retry
    }
    if (address_ != 0) return;
    const std::string failure =
        lookupError_ != 0 ? SocketErrorText(lookupError_) : "Null Remote Address";
    if (lookupError_ != 0) lastErrorCode_ = lookupError_;
    if (attempts > 0 || !OnInvalidHost) throw ESockError(failure);
    bool handled = false;
    std::shared_ptr<bool> alive = alive_;
    HandlerEvent handler = OnInvalidHost;
    handler(*this, handled);
    if (!*alive) throw Gone();
    if (!handled) throw ESockError(failure);
  }
}

void TSockClient::ResolveHost() {
  Report(8, "Resolve Host");
  std::string name = host_.substr(0, kMaxHostLength);
  in_addr_t numeric = ::inet_addr(name.c_str());
  if (numeric != INADDR_NONE) {  // a dotted address; 0.0.0.0 counts as unresolved
    address_ = numeric;
    return;
  }
  address_ = 0;
  TimerOn();
  lookupDone_ = false;
  resolver_->Start(name, [this](bool ok, std::uint32_t address) {
    success_ = ok;
    resolved_ = ok ? address : 0;
    lookupError_ = ok ? 0 : resolver_->FailureCode();
    lookupDone_ = true;
  });
  WaitFor(false, "Host Lookup Canceled", [this] { return lookupDone_ || timedOut_ || canceled_; });
  TimerOff();
  if (!lookupDone_) resolver_->Abort();
  if (timedOut_) throw ESockError("Host Lookup Timed Out");
  if (canceled_) throw ESockError("Host Lookup Canceled");
  if (!success_) throw ESockError("Host Lookup Failed");
  address_ = resolved_;
  if (!Raise(OnHostResolved)) throw Gone();
}

void TSockClient::StartConnect() {
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port_ & 0xFFFF));
  remote.sin_addr.s_addr = address_;
  int err = 0;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) err = errno;
  if (err == 0 || err == EINPROGRESS) {
    // Writability tells the outcome. Watching starts only now, so a refused second attempt
    // (a connect already in progress) leaves the first one's watch alone.
    connecting_ = true;
    WatchWrite(true);
    if (err == EINPROGRESS) CheckError(kWouldBlock, kWouldBlock);  // the would-block of a connect
    return;
  }
  if (IsConnectOutcome(err)) {  // answered at once; handled as a failed connect notification
    lastErrorCode_ = SocketErrorCode(err);
    success_ = false;
    return;
  }
  CheckError(SocketErrorCode(err), kWouldBlock);
}

void TSockClient::FailConnect(bool replaceSocket) {
  if (replaceSocket) ReplaceSocket();
  const char* text = timedOut_   ? "Connection Timed out"
                     : canceled_ ? "Connection Canceled"
                                 : "Connection Failed";
  Raise(OnConnectionFailed);
  throw ESockError(text);
}

std::string TSockClient::LocalHostAddress() {
  char name[200] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "127.0.0.1";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return "127.0.0.1";
  const auto* in = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr.s_addr);
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  ::freeaddrinfo(list);
  return text;
}

std::string TSockClient::LocalAddress() const {
  if (fd_ < 0 || !Connected()) return {};
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

// ---------------------------------------------------------------- timer and errors

void TSockClient::TimerOn() {
  Report(8, "Timer On");
  timedOut_ = false;
  timer_->SetInterval(static_cast<std::uint32_t>(timeOut_));
  timer_->SetEnabled(true);
}

void TSockClient::TimerOff() {
  Report(8, "Timer Off");
  timer_->SetEnabled(false);
}

void TSockClient::TimerTriggered() {
  Report(8, "Timer Triggered");
  TimerOff();
  timedOut_ = true;
}

void TSockClient::CheckError(int code, int tolerated) {
  Report(16, "Checking Error In Error Manager");
  lastErrorCode_ = code;
  if (code == tolerated) return;
  throw ESockError(LookupErrorMessage(code));
}

std::string TSockClient::LookupErrorMessage(int code) {
  Report(8, "Looking Up Error Message");
  return SocketErrorText(code);
}

// ---------------------------------------------------------------- notifications

void TSockClient::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    // Nothing may escape into the event loop; the system drops these by design.
  }
}

void TSockClient::Activated(QSocketNotifier* notifier, void (TSockClient::*handler)()) {
  std::shared_ptr<bool> alive = alive_;
  activating_.push_back(notifier);
  Dispatch([this, handler] { (this->*handler)(); });
  if (!*alive) return;
  activating_.pop_back();
  if (!retired_.empty()) FreeRetired();
}

void TSockClient::OnReadActivated() { ReadToStream(); }

void TSockClient::OnWriteActivated() {
  if (connecting_)
    ConnectEvent();
  else
    WriteFromStream();
}

void TSockClient::ConnectEvent() {
  connecting_ = false;
  WatchWrite(false);
  int err = 0;
  socklen_t length = sizeof err;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  success_ = err == 0;
  if (!success_) {
    lastErrorCode_ = SocketErrorCode(err);
    return;
  }
  connected_ = true;
  WatchRead(true);
  if (sendBuffer_->Length() > 0) PostWriteMore();
  Raise(OnConnect);
}

// The server closed: what is still waiting is read without a data event, then the socket goes.
void TSockClient::CloseEvent(std::uint64_t generation) {
  if (generation != generation_ || fd_ < 0) return;
  while (!canceled_) {
    ssize_t n = ::recv(fd_, chunk_.get(), kChunkBuffer - 1, 0);
    if (n <= 0) break;
    if (tls_) {
      tls_->Feed(chunk_.get(), static_cast<std::size_t>(n));
    } else {
      recvBuffer_->Seek(0, platform::SeekOrigin::End);
      recvBuffer_->Write(chunk_.get(), static_cast<std::size_t>(n));
    }
  }
  if (tls_ && tls_->Established()) {  // the last records decrypted, whatever their size
    DecryptReceived(static_cast<std::size_t>(-1));
    if (!tlsError_ && tls_->Failed()) NoteTlsFailure();
  }
  connected_ = false;
  RequestCloseSocket();
}

void TSockClient::PeerGone() {
  peerClosed_ = true;
  WatchRead(false);
  std::uint64_t generation = generation_;
  QMetaObject::invokeMethod(
      this, [this, generation] { Dispatch([this, generation] { CloseEvent(generation); }); },
      Qt::QueuedConnection);
}

void TSockClient::WatchRead(bool on) {
  if (readNotifier_)
    readNotifier_->setEnabled(on && !notifyStopped_ && !peerClosed_ && !readPaused_);
}

void TSockClient::WatchWrite(bool on) {
  if (writeNotifier_) writeNotifier_->setEnabled(on && !notifyStopped_);
}

void TSockClient::StopNotifications() {
  notifyStopped_ = true;
  WatchRead(false);
  WatchWrite(false);
}

void TSockClient::PostWriteMore() {
  QMetaObject::invokeMethod(
      this, [this] { Dispatch([this] { WriteFromStream(); }); }, Qt::QueuedConnection);
}

void TSockClient::PostReadMore() {
  QMetaObject::invokeMethod(
      this, [this] { Dispatch([this] { ReadToStream(); }); }, Qt::QueuedConnection);
}

// Pumps events until done() holds, waking for every event and at least every 2 ms.
void TSockClient::WaitFor(bool testFirst, const char* abortText,
                          const std::function<bool()>& done) {
  if (testFirst && done()) return;
  struct Depth {
    TSockClient& c;
    std::shared_ptr<bool> alive;
    explicit Depth(TSockClient& client) : c(client), alive(client.alive_) {
      if (c.waitDepth_++ == 0 && !c.waitTick_.isActive()) c.waitTick_.start();
    }
    ~Depth() {
      if (*alive) --c.waitDepth_;
    }
  } depth(*this);
  do {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (!*depth.alive) throw EAbortError(abortText);
  } while (!done());
}

bool TSockClient::Raise(const NotifyEvent& event) {
  std::shared_ptr<bool> alive = alive_;
  if (event) {
    NotifyEvent handler = event;
    handler(*this);
  }
  return *alive;
}

void TSockClient::RaiseNested(const NotifyEvent& event, Nesting& nest,
                              void (TSockClient::*again)()) {
  if (nest.depth >= kMaxEventDepth) {
    nest.owed = true;
    return;
  }
  struct Level {
    TSockClient& c;
    Nesting& nest;
    void (TSockClient::*again)();
    std::shared_ptr<bool> alive;
    ~Level() {
      if (!*alive) return;
      --nest.depth;
      if (!nest.owed) return;
      nest.owed = false;
      TSockClient* client = &c;
      auto raise = again;
      const std::uint64_t generation = c.generation_;
      QMetaObject::invokeMethod(
          client,
          [client, raise, generation] {
            if (client->generation_ == generation)
              Dispatch([client, raise] { (client->*raise)(); });
          },
          Qt::QueuedConnection);
    }
  } level{*this, nest, again, alive_};
  ++nest.depth;
  Raise(event);
}

// An owed data event stands for receives of this connection; it is not raised for another.
void TSockClient::RaiseOwedData() {
  if (fd_ >= 0 && connected_) RaiseNested(OnDataReady, dataNest_, &TSockClient::RaiseOwedData);
}

void TSockClient::RaiseOwedProgress() {
  if (progress_) RaiseNested(OnSendProgress, progressNest_, &TSockClient::RaiseOwedProgress);
}

}  // namespace tavrin::net
