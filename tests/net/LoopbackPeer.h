// LoopbackPeer: a scripted TCP server on 127.0.0.1 for the socket client tests.
//
// It listens on a free port and runs its script on its own thread for the first connection it
// accepts, with blocking sockets. Every wait of the script is bounded, so a failing test never
// hangs. The destructor joins the thread. Gate lets the test thread release the script.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/SockClient.h"

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

// Connects to the port on 127.0.0.1 and closes again at once.
void Knock(int port);

// Pumps the event loop until pred() holds or `ms` pass; returns pred().
bool PumpUntil(const std::function<bool()>& pred, int ms = 5000);
// `n` reproducible pseudo-random bytes, every byte value possible.
std::string RandomBytes(std::size_t n, unsigned seed);

// A fixture whose client talks to 127.0.0.1 with a time-out, so no test can wait for ever.
class LoopbackClientTest : public ::testing::Test {
 protected:
  explicit LoopbackClientTest(int timeOutMs = 5000) : timeOutMs_(timeOutMs) {}
  void SetUp() override {
    sock = std::make_unique<TSockClient>();
    sock->SetHost("127.0.0.1");
    sock->SetTimeOut(timeOutMs_);
  }
  void ConnectTo(const LoopbackPeer& peer) {
    sock->SetPort(peer.Port());
    sock->Connect();
  }
  std::unique_ptr<TSockClient> sock;

 private:
  int timeOutMs_;
};

}  // namespace tavrin::net::test
