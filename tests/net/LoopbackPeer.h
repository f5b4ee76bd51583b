// LoopbackPeer: a scripted TCP server on 127.0.0.1 for the socket client tests.
//
// It listens on a free port and runs its script on its own thread for the first connection it
// accepts, with blocking sockets. Every wait of the script is bounded, so a failing test never
// hangs. The destructor joins the thread. Gate lets the test thread release the script.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tavrin::net::test {

// A one-shot signal between the test and the peer's script.
class Gate {
 public:
  void Open();
  // Waits at most `ms` for Open(); returns whether it was opened.
  bool Wait(int ms = 5000);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// The peer's end of one accepted connection.
class PeerConn {
 public:
  explicit PeerConn(int fd) : fd_(fd) {}
  void Send(const std::string& bytes);
  // Receives up to and including the next LF ("" when the client closed first).
  std::string RecvLine();
  // Receives exactly n bytes, or fewer when the client closed.
  std::string RecvBytes(std::size_t n);
  // Receives until the client closes.
  std::string RecvAll();
  void Close();
  void Sleep(int ms);
  int Fd() const { return fd_; }

 private:
  int fd_;
};

class LoopbackPeer {
 public:
  using Script = std::function<void(PeerConn&)>;
  explicit LoopbackPeer(Script script);
  ~LoopbackPeer();
  int Port() const { return port_; }
  // True once the script has returned.
  bool Done() const { return done_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
int ClosedPort();

// Pumps the event loop until pred() holds or `ms` pass; returns pred().
bool PumpUntil(const std::function<bool()>& pred, int ms = 5000);

}  // namespace tavrin::net::test
