// TSockClient: the program's TCP client connection to the mail server.
//
// Owns one non-blocking socket at a time (watched by socket notifiers), its time-out timer, the
// receive and send buffers and the name resolver. It connects to Host:Port, sends lines, buffers
// and streams, hands received text back one line at a time and reports through its events.
// StartTLS puts an encrypted layer (TTlsLayer, freed with its socket) between the socket and
// these buffers; every call below then works unchanged over it. Every wait pumps the GUI thread's event loop, so handlers may run nested inside a waiting call,
// at most four data (and four progress) events deep: further events wait until a level returns.
// An exception escaping a handler during notification handling is discarded. Any handler, the
// status handler included, may destroy the client: calls of it still waiting further up the
// stack then raise their abort. Memory stays bounded whatever the server sends, and a send that
// fails part-way drops the connection, so no remnant of it reaches the server. GUI thread only.
// REQUIRES: a QCoreApplication exists while any instance lives.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/HostResolver.h"
#include "net/SockError.h"
#include "platform/Stream.h"

class QSocketNotifier;

namespace tavrin::net {

class TThreadTimer;
class TTlsLayer;

class TSockClient : public QObject {
  Q_OBJECT
 public:
  using NotifyEvent = std::function<void(TSockClient&)>;
  using HandlerEvent = std::function<void(TSockClient&, bool& Handled)>;
  using StatusEvent = std::function<void(TSockClient&, const std::string& Status)>;

  // Opens the first socket. `resolver` answers name look-ups (the system's when null).
  // Raises ESockError "Initializaton of windows sockets failed" when no socket can be opened.
  explicit TSockClient(QObject* owner = nullptr, std::unique_ptr<THostResolver> resolver = nullptr);
  ~TSockClient() override;

  // ---- properties ----
  // Server name or dotted IPv4 address; a longer text keeps its first 127 characters.
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  // Server TCP port; its low 16 bits are used when connecting.
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }
  // Milliseconds allowed for look-up, connect and each wait; 0 waits without limit.
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int ms) { timeOut_ = ms < 0 ? 0 : ms; }
  // Status messages of a level up to this value are reported through OnStatus.
  int ReportLevel() const { return reportLevel_; }
  void SetReportLevel(int level) { reportLevel_ = level; }
  // Longest line ReadLn accepts, in bytes with its line end; a longer one fails with "Line too
  // long" and drops the connection. Received bytes beyond it wait in the socket. Default 1 MiB.
  void SetMaxLineLength(std::size_t bytes) { maxLineLength_ = bytes == 0 ? 1 : bytes; }
  // A file of trusted CA certificates (PEM) used by StartTLS instead of the system's store;
  // "" (the default): the system's store. For tests; the program never sets it.
  const std::string& CaFile() const { return caFile_; }
  void SetCaFile(const std::string& path) { caFile_ = path; }

  // ---- events (an unassigned event is skipped) ----
  NotifyEvent OnDisconnect;        // the socket was closed by Disconnect or by the server
  NotifyEvent OnConnect;           // the connection is established
  HandlerEvent OnInvalidHost;      // the host could not be resolved; Handled = true retries once
  NotifyEvent OnHostResolved;      // a name look-up succeeded
  StatusEvent OnStatus;            // a status message was reported
  NotifyEvent OnConnectionFailed;  // connecting failed, timed out or was cancelled
  NotifyEvent OnDataReady;         // after every receive call that did not fail (also of 0 bytes)
  NotifyEvent OnSendProgress;      // after every chunk written while SendStream runs

  // ---- connection ----
  // Resolves Host, connects and returns once connected; raises ESockError otherwise. A name
  // that cannot be resolved raises the look-up's socket error text ("11001:Host not found",
  // "11004:..." for a name with IPv6 addresses only) and sets LastErrorCode before OnInvalidHost.
  virtual void Connect();
  // Closes the socket (raising OnDisconnect); a fresh unconnected socket is ready afterwards.
  virtual void Disconnect();
  // Ends every running wait and every wait started before Canceled is cleared again.
  void Cancel();
  // The first IPv4 address of this machine's host name, dotted; "127.0.0.1" when it has none.
  std::string LocalHostAddress();
  // The local IPv4 address of the connected socket, dotted: the address the server sees this
  // machine at. "" while not connected. Asks no resolver.
  std::string LocalAddress() const;

  // ---- encryption ----
  // Starts TLS as the client on the connected socket and returns once the handshake is done and
  // the server's certificate checked against `serverName` (a host name, or an IP address checked
  // against the certificate's IP entries). Waits like every wait: TimeOut from the call's start,
  // Cancel, a handler destroying the client. Received bytes not yet read are discarded first:
  // they came before the encryption and may be an attacker's. Raises ECertificateError when the
  // certificate does not verify, ETlsError for any other handshake failure (the server closing
  // during it included), "Socket read timed out", "Connection closed" (not connected, or closed
  // by a handler) and EAbortError for Cancel; after any of these the connection is dropped
  // (OnDisconnect raised) and nothing more is sent. Connect always starts a plain connection.
  // While encrypted, OnDataReady follows receives that brought decrypted bytes or the close, a
  // broken connection ends reads and sends with ETlsError, and Disconnect (or the destructor)
  // sends close_notify first when nothing is left half sent and the server is still there.
  void StartTLS(const std::string& serverName);
  // True while the connection is encrypted.
  bool Secure() const;

  // ---- data transfer ----
  // Sends the text up to its first zero character and returns when the socket took all of it.
  void Write(const std::string& text);
  // Write of the text followed by CR LF.
  void Writeln(const std::string& text);
  // Sends `length` bytes (0: up to the first zero byte) and waits until the socket took them.
  void SendBuffer(const char* data, std::size_t length);
  // Waits for a complete line and returns it with its LF (and any CR before it). TimeOut counts
  // from the call's start. Raises "Connection closed" (the close done), ELineTooLong "Line too
  // long" (the connection dropped), "Socket read timed out", or EAbortError after Cancel.
  std::string ReadLn();
  // True when the receive buffer already holds a complete line; never waits.
  bool LineAvailable() const;
  // True when the first buffered line is already longer than MaxLineLength, ended or not: a
  // ReadLn now fails with "Line too long" at once, where waiting would never bring the line.
  bool LineTooLong() const;
  // Sends the whole stream from position 0, one chunk at a time, raising OnSendProgress after
  // each. The stream stays the caller's and must live until the call returns. A SendStream,
  // Write, Writeln or SendBuffer called from a handler while the stream goes out raises
  // "Already sending a stream" and leaves it going: its bytes would land inside the stream.
  // A send (of any kind) that ends in a time-out, Cancel or error drops the connection, raising
  // OnDisconnect, and discards what was not sent.
  // A read or send still waiting when a handler connects again ends with "Connection closed":
  // it neither reads the new server's lines nor sends its rest to it.
  void SendStream(platform::TStream& stream);

  // ---- state ----
  std::int64_t BytesWritten() const { return bytesWritten_; }
  std::int64_t StreamSize() const { return streamSize_; }
  bool TimedOut() const { return timedOut_; }
  bool Canceled() const { return canceled_; }
  bool Connected() const { return connected_; }
  int LastErrorCode() const { return lastErrorCode_; }
  const std::string& StatusText() const { return statusText_; }

 private:
  friend class BusyScope;
  // Thrown through every frame of a client that a handler destroyed; public calls turn it into
  // their abort, notification handling drops it.
  struct Gone {};
  // How deep one kind of event is nested, and whether an event waits for a level to return.
  struct Nesting {
    int depth = 0;
    bool owed = false;
  };

  // connection (SockClient.cpp)
  void Report(int level, const char* text);
  void InitializeWinsock();
  bool OpenSocket();
  void CloseSocketHandle();
  void RetireNotifier(std::unique_ptr<QSocketNotifier>& notifier);
  void FreeRetired();
  void ReplaceSocket();
  void RequestCloseSocket();
  void ConnectNow();
  void ResolveHost();
  void ResolveWithRetry();
  void StartConnect();
  // Raises OnConnectionFailed and the failure; replaceSocket swaps the failed socket for a new one.
  void FailConnect(bool replaceSocket);
  void TimerOn();
  void TimerOff();
  void TimerTriggered();
  void CheckError(int code, int tolerated);
  std::string LookupErrorMessage(int code);

  // notifications (SockClient.cpp)
  static void Dispatch(const std::function<void()>& handler);
  void Activated(QSocketNotifier* notifier, void (TSockClient::*handler)());
  void OnReadActivated();
  void OnWriteActivated();
  void ConnectEvent();
  void CloseEvent(std::uint64_t generation);
  void PeerGone();
  void WatchRead(bool on);
  void WatchWrite(bool on);
  void StopNotifications();
  void PostWriteMore();
  void PostReadMore();
  // Raises EAbortError(abortText) when the client is destroyed while the wait pumps events.
  void WaitFor(bool testFirst, const char* abortText, const std::function<bool()>& done);
  // Raises `event` from a copy, so a handler may reassign it or destroy the client; returns
  // whether the client still lives afterwards.
  bool Raise(const NotifyEvent& event);
  // Raises `event` one level deeper, or owes it when `nest` is at its depth limit; an owed event
  // is raised once (by `again`) after a level has returned.
  void RaiseNested(const NotifyEvent& event, Nesting& nest, void (TSockClient::*again)());
  void RaiseOwedData();
  void RaiseOwedProgress();

  // encryption (SockSecure.cpp)
  void StartSecure(const std::string& serverName);
  void DiscardUnread();
  void KickHandshake();
  [[noreturn]] void FailStartTls(const std::exception_ptr& failure);
  bool ReadSecure();
  bool DecryptReceived(std::size_t limit);
  bool WriteSecure();
  // True while so much ciphertext waits for the socket that reading must wait for it to go.
  bool SecureOutputFull() const;
  bool Encrypt(bool* stalled);
  bool FlushSecure();
  void SendCloseNotify(int fd);
  void NoteTlsFailure();

  // transfer (SockTransfer.cpp)
  void ReadToStream();
  bool ReadPlain();
  void WriteFromStream();
  bool WriteChunk();
  void FeedSendBuffer();
  void WaitForSend();
  void FailSend();
  void CompleteClose();
  void DropAfterFailure();
  std::string ReadLine();
  void SendBytes(const char* data, std::size_t length);
  void SendWholeStream(platform::TStream& stream);
  // Runs `body`; a client destroyed by a handler meanwhile ends it with EAbortError(abortText).
  template <typename F>
  static auto Guard(const char* abortText, F&& body) {
    try {
      return body();
    } catch (const Gone&) {
      throw EAbortError(abortText);
    }
  }
  std::size_t Buffered() const { return recvBuffer_->Length() - recvStart_; }
  // Length of the first buffered line with its LF; 0 when no LF has arrived.
  std::size_t LineLength() const;
  std::string TakeLine();
  void PauseOrResumeReading();
  void ReleaseReceiveBuffer(bool keepUnread);
  void ResetTransfer();
  // Empties the send buffer and overwrites the bytes it held.
  void ClearSendBuffer();

  std::string host_;
  int port_ = 0;
  int timeOut_ = 0;
  int reportLevel_ = 0;

  std::int64_t bytesWritten_ = 0;
  std::int64_t streamSize_ = 0;
  bool timedOut_ = false;
  bool canceled_ = false;
  bool connected_ = false;
  int lastErrorCode_ = 0;
  std::string statusText_;

  std::size_t maxLineLength_ = std::size_t{1} << 20;

  bool progress_ = false;    // true only while SendStream runs
  bool busy_ = false;        // keeps the receive and write handlers out of each other
  bool destroying_ = false;  // closing must open no new socket and raise no event
  std::unique_ptr<TThreadTimer> timer_;
  std::unique_ptr<platform::TMemoryStream> sendBuffer_, sendSpare_;
  std::unique_ptr<platform::TMemoryStream> recvBuffer_, recvSpare_;
  std::size_t sendStart_ = 0;         // bytes at the send buffer's front already sent
  std::size_t recvStart_ = 0;         // bytes at the receive buffer's front already read
  mutable std::size_t lineScan_ = 0;  // bytes after recvStart_ known to hold no LF
  std::unique_ptr<char[]> chunk_;     // one recv or send chunk; never held across a pump
  bool success_ = true;               // the latest socket or look-up notification reported no error
  bool lookupDone_ = false;
  std::uint32_t address_ = 0;   // remote IPv4 address, network byte order; 0: none
  std::uint32_t resolved_ = 0;  // the look-up's answer, network byte order
  bool sendDone_ = false;

  int fd_ = -1;                   // -1: no socket
  bool connecting_ = false;       // the write notifier is waiting for the connect outcome
  bool peerClosed_ = false;       // the server closed this connection (receive gave 0 or failed)
  bool notifyStopped_ = false;    // Cancel stopped this socket's notifications
  bool readPaused_ = false;       // the receive buffer is full: reading waits for ReadLn
  std::uint64_t generation_ = 0;  // counts sockets, so a late close request finds its own
  // Counts Connect calls. A read or send waiting for one connection ends when a handler starts
  // another: the new server's bytes are no answer to it, and its unsent rest must not reach them.
  std::uint64_t connection_ = 0;
  std::unique_ptr<TTlsLayer> tls_;  // the connection's encryption; null while plain
  std::exception_ptr tlsError_;     // how the encrypted connection broke, for reads and sends
  std::string caFile_;
  std::unique_ptr<QSocketNotifier> readNotifier_, writeNotifier_;
  std::vector<QSocketNotifier*> activating_;  // notifiers whose signal is running, innermost last
  std::vector<std::unique_ptr<QSocketNotifier>> retired_;  // closed, freed once not activating
  std::unique_ptr<THostResolver> resolver_;
  int lookupError_ = 0;  // the failed look-up's socket error code

  int sendError_ = 0;  // a send failure other than would-block, for the waiting call
  platform::TStream* feed_ = nullptr;  // the stream SendStream is sending; the caller's
  std::int64_t feedLeft_ = 0;          // bytes of feed_ not yet moved into the send buffer
  std::exception_ptr feedError_;       // a read failure of feed_, for SendStream to raise
  std::uint64_t sent_ = 0;             // bytes ever sent: progress for the send time-out

  QTimer waitTick_;  // wakes nested waits at least every 2 ms
  int waitDepth_ = 0;
  Nesting dataNest_, progressNest_;
  bool writeAgain_ = false;  // a write request came while busy: run it once busy clears
  // False once the destructor has run. Calls still waiting further up the stack hold a copy
  // and leave without touching the client.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tavrin::net
