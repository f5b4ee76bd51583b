#include "LoopbackPeer.h"

#include <random>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <stdexcept>

namespace tavrin::net::test {

namespace {
constexpr int kPeerWaitMs = 5000;

int ListenOnLoopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0)
    throw std::runtime_error("peer cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}
}  // namespace

void Gate::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  cv_.notify_all();
}

bool Gate::Wait(int ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return open_; });
}

void PeerConn::Send(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

std::string PeerConn::RecvLine() {
  std::string line;
  char c;
  while (Readable(fd_, kPeerWaitMs) && ::recv(fd_, &c, 1, 0) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::string PeerConn::RecvBytes(std::size_t n) {
  std::string out;
  char buf[65536];
  while (out.size() < n && Readable(fd_, kPeerWaitMs)) {
    ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

std::string PeerConn::RecvAll() {
  std::string out;
  char buf[65536];
  while (Readable(fd_, kPeerWaitMs)) {
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

void PeerConn::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PeerConn::Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

LoopbackPeer::LoopbackPeer(Script script) {
  listenFd_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this, script = std::move(script)] {
    if (Readable(listenFd_, kPeerWaitMs)) {
      int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd >= 0) {
        PeerConn conn(fd);
        script(conn);
        conn.Close();
      }
    }
    done_ = true;
  });
}

LoopbackPeer::~LoopbackPeer() {
  thread_.join();
  ::close(listenFd_);
}

int ClosedPort() {
  int port = 0;
  int fd = ListenOnLoopback(&port);
  ::close(fd);
  return port;
}

void Knock(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::close(fd);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data(n, '\0');
  for (char& ch : data) ch = static_cast<char>(rng());
  return data;
}

bool PumpUntil(const std::function<bool()>& pred, int ms) {
  QElapsedTimer t;
  t.start();
  QTimer tick;  // bounds each blocking pump
  tick.start(5);
  while (!pred() && t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  return pred();
}

}  // namespace tavrin::net::test
