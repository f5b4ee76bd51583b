// The socket client's connection handling against real loopback peers: construction and the
// library use count, connect and its failures, name look-up through a controllable resolver,
// time-outs and Cancel, closing, status reporting.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <memory>
#include <set>
#include <vector>

#include "LoopbackPeer.h"
#include "net/SockClient.h"
#include "net/dWinsock.h"

namespace tavrin::net {
namespace {

using test::Gate;
using test::LoopbackPeer;
using test::PeerConn;
using test::PumpUntil;

// Answers look-ups from the event loop as the test tells it to.
class FakeResolver : public THostResolver {
 public:
  enum class Mode { Answer, Fail, Never };
  explicit FakeResolver(Mode mode, std::vector<std::string>* asked = nullptr, int* aborts = nullptr)
      : mode_(mode), asked_(asked), aborts_(aborts) {}
  void Start(const std::string& name, Callback done) override {
    if (asked_) asked_->push_back(name);
    if (mode_ == Mode::Never) return;
    bool ok = mode_ == Mode::Answer;
    QTimer::singleShot(0, &context_, [done, ok] { done(ok, htonl(INADDR_LOOPBACK)); });
  }
  void Abort() override {
    if (aborts_) ++*aborts_;
  }

 private:
  Mode mode_;
  std::vector<std::string>* asked_;
  int* aborts_;
  QObject context_;
};

// A listener whose accept queue is full, so a further connect is never answered.
class StalledListener {
 public:
  StalledListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int i = 0; i < 8; ++i) {  // fill the queue until a connect stays unanswered
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fillers_.push_back(c);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      pollfd p{c, POLLOUT, 0};
      if (::poll(&p, 1, 100) == 0) break;
    }
  }
  ~StalledListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
  std::vector<int> fillers_;
};

class SockConnectTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(nullptr); }
  void Make(std::unique_ptr<THostResolver> resolver) {
    sock.reset();
    sock = std::make_unique<TSockClient>(nullptr, std::move(resolver));
    sock->SetHost("127.0.0.1");
    sock->SetTimeOut(5000);
    sock->OnConnect = [this](TSockClient&) { ++connects; };
    sock->OnDisconnect = [this](TSockClient&) { ++disconnects; };
    sock->OnConnectionFailed = [this](TSockClient&) { ++failures; };
    sock->OnInvalidHost = [this](TSockClient&, bool&) { ++invalidHosts; };
  }
  std::string ConnectError() {
    try {
      sock->Connect();
    } catch (const ESockError& e) {
      return e.what();
    }
    return "";
  }
  static LoopbackPeer::Script HoldUntil(Gate& gate) {
    return [&gate](PeerConn&) { gate.Wait(); };
  }

  std::unique_ptr<TSockClient> sock;
  int connects = 0, disconnects = 0, failures = 0, invalidHosts = 0;
};

// ---- construction, destruction and the library use count

TEST_F(SockConnectTest, LibraryStaysStartedWhileAnyClientLives) {
  int before = tWinsockAPI::Shared().Users();
  auto first = std::make_unique<TSockClient>();
  auto second = std::make_unique<TSockClient>();
  EXPECT_EQ(tWinsockAPI::Shared().Users(), before + 2);
  first.reset();
  EXPECT_TRUE(tWinsockAPI::Shared().Started());
  second.reset();
  EXPECT_EQ(tWinsockAPI::Shared().Users(), before);
}

TEST_F(SockConnectTest, ConstructorFailsCleanlyWhenNoSocketCanBeOpened) {
  int before = tWinsockAPI::Shared().Users();
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fds;
  for (int fd; (fd = ::dup(0)) >= 0;) fds.push_back(fd);  // use up every descriptor
  std::string error;
  try {
    TSockClient doomed;
  } catch (const ESockError& e) {
    error = e.what();
  }
  for (int fd : fds) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(error, "Initializaton of windows sockets failed");
  EXPECT_EQ(tWinsockAPI::Shared().Users(), before);
}

// ---- connecting

TEST_F(SockConnectTest, ConnectReturnsConnectedAndRefusesASecondConnect) {
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetPort(peer.Port());
  EXPECT_EQ(sock->LocalAddress(), "");
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  EXPECT_EQ(sock->LocalAddress(), "127.0.0.1");  // the address the peer sees
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(ConnectError(), "Already connected");
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

TEST_F(SockConnectTest, RefusedConnectionRaisesConnectionFailedAndLeavesAUsableSocket) {
  sock->SetPort(test::ClosedPort());
  EXPECT_EQ(ConnectError(), "Connection Failed");
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(sock->LastErrorCode(), 10061);
  EXPECT_FALSE(sock->Connected());

  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

TEST_F(SockConnectTest, ConnectTimesOutAgainstAnUnansweringListener) {
  StalledListener stalled;
  sock->SetPort(stalled.Port());
  sock->SetTimeOut(100);
  EXPECT_EQ(ConnectError(), "Connection Timed out");
  EXPECT_TRUE(sock->TimedOut());
  EXPECT_EQ(failures, 1);
}

TEST_F(SockConnectTest, CancelEndsAPendingConnect) {
  StalledListener stalled;
  sock->SetPort(stalled.Port());
  sock->SetTimeOut(0);  // no limit: only Cancel ends the wait
  QTimer::singleShot(30, [this] { sock->Cancel(); });
  EXPECT_EQ(ConnectError(), "Connection Canceled");
  EXPECT_EQ(failures, 1);
}

TEST_F(SockConnectTest, SecondConnectDuringAPendingOneFailsAtOnceWithoutEvent) {
  StalledListener stalled;
  sock->SetPort(stalled.Port());
  sock->SetTimeOut(0);
  std::string nested;
  QTimer::singleShot(20, [&] {
    try {
      sock->Connect();
    } catch (const ESockError& e) {
      nested = e.what();
    }
    sock->Cancel();
  });
  EXPECT_EQ(ConnectError(), "Connection Canceled");
  EXPECT_EQ(nested, "10037:Operation already in progress");
  EXPECT_EQ(failures, 1);  // only the cancelled attempt
}

// A socket closed while its connect is pending ends the wait at once, also without a time-out;
// Cancel is only the safety net that keeps a failing test from hanging.
TEST_F(SockConnectTest, DisconnectDuringAPendingConnectFailsIt) {
  StalledListener stalled;
  sock->SetPort(stalled.Port());
  sock->SetTimeOut(0);
  QTimer::singleShot(20, [this] { sock->Disconnect(); });
  QTimer::singleShot(3000, sock.get(), [this] { sock->Cancel(); });
  EXPECT_EQ(ConnectError(), "Connection Failed");
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(sock->Connected());
}

// Connect never reports success for a connection that a handler has closed again.
TEST_F(SockConnectTest, ConnectionClosedByOnConnectIsNoSuccess) {
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetPort(peer.Port());
  sock->SetTimeOut(0);
  sock->OnConnect = [this](TSockClient& s) {
    ++connects;
    s.Disconnect();
  };
  QTimer::singleShot(3000, sock.get(), [this] { sock->Cancel(); });
  EXPECT_EQ(ConnectError(), "Connection Failed");
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(sock->Connected());
  release.Open();

  Gate again;
  LoopbackPeer second(HoldUntil(again));
  sock->OnConnect = nullptr;
  sock->SetPort(second.Port());
  sock->Connect();  // the socket left behind connects as usual
  EXPECT_TRUE(sock->Connected());
  again.Open();
}

// ---- unresolved hosts

TEST_F(SockConnectTest, NullAddressIsAnInvalidHost) {
  sock->SetHost("0.0.0.0");
  sock->SetPort(25);
  EXPECT_EQ(ConnectError(), "Null Remote Address");
  EXPECT_EQ(invalidHosts, 1);
  EXPECT_EQ(failures, 0);

  sock->OnInvalidHost = nullptr;  // without a handler: the same error, no event
  EXPECT_EQ(ConnectError(), "Null Remote Address");
}

TEST_F(SockConnectTest, HandledInvalidHostRetriesOnceWithTheCorrectedHost) {
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetHost("0.0.0.0");
  sock->SetPort(peer.Port());
  sock->OnInvalidHost = [this](TSockClient& s, bool& handled) {
    ++invalidHosts;
    s.SetHost("127.0.0.1");
    handled = true;
  };
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  EXPECT_EQ(invalidHosts, 1);
  release.Open();
}

TEST_F(SockConnectTest, HandledInvalidHostIsAskedOnlyOnce) {
  sock->SetHost("0.0.0.0");
  sock->OnInvalidHost = [this](TSockClient&, bool& handled) {
    ++invalidHosts;
    handled = true;
  };
  EXPECT_EQ(ConnectError(), "Null Remote Address");
  EXPECT_EQ(invalidHosts, 1);
}

// ---- name look-up

TEST_F(SockConnectTest, NameIsLookedUpAndConnected) {
  std::vector<std::string> asked;
  Make(std::make_unique<FakeResolver>(FakeResolver::Mode::Answer, &asked));
  int resolved = 0;
  sock->OnHostResolved = [&](TSockClient&) { ++resolved; };
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetHost("mail.example.test");
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  EXPECT_EQ(resolved, 1);
  EXPECT_EQ(asked, std::vector<std::string>{"mail.example.test"});
  release.Open();
}

TEST_F(SockConnectTest, LongHostNamesAreLookedUpByTheirFirst127Characters) {
  std::vector<std::string> asked;
  Make(std::make_unique<FakeResolver>(FakeResolver::Mode::Fail, &asked));
  sock->SetHost(std::string(200, 'h'));
  EXPECT_EQ(ConnectError(), "11001:Host not found");
  EXPECT_EQ(sock->LastErrorCode(), 11001);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], std::string(127, 'h'));
  EXPECT_EQ(invalidHosts, 1);
}

TEST_F(SockConnectTest, AllOnesAddressIsLookedUpAsAName) {
  std::vector<std::string> asked;
  Make(std::make_unique<FakeResolver>(FakeResolver::Mode::Fail, &asked));
  sock->SetHost("255.255.255.255");
  EXPECT_EQ(ConnectError(), "11001:Host not found");
  EXPECT_EQ(asked, std::vector<std::string>{"255.255.255.255"});
}

TEST_F(SockConnectTest, LookupTimeOutRaisesNoEvent) {
  int aborts = 0;
  Make(std::make_unique<FakeResolver>(FakeResolver::Mode::Never, nullptr, &aborts));
  sock->SetHost("slow.example.test");
  sock->SetTimeOut(30);
  EXPECT_EQ(ConnectError(), "Host Lookup Timed Out");
  EXPECT_EQ(invalidHosts, 0);
  EXPECT_EQ(failures, 0);
  EXPECT_GE(aborts, 1);
  sock.reset();  // its resolver counts into this test's frame
}

TEST_F(SockConnectTest, CancelEndsALookup) {
  Make(std::make_unique<FakeResolver>(FakeResolver::Mode::Never));
  sock->SetHost("slow.example.test");
  sock->SetTimeOut(0);
  QTimer::singleShot(20, [this] { sock->Cancel(); });
  EXPECT_EQ(ConnectError(), "Host Lookup Canceled");
  EXPECT_EQ(invalidHosts, 0);
}

TEST_F(SockConnectTest, SystemResolverFindsLocalhost) {
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetHost("localhost");  // answered from the hosts file
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

// A name with only IPv6 addresses is no unknown host: the look-up's own failure is reported.
TEST_F(SockConnectTest, NameWithoutAnIPv4AddressReportsItsOwnFailure) {
  int codeSeen = 0;
  sock->OnInvalidHost = [&](TSockClient& s, bool&) { codeSeen = s.LastErrorCode(); };
  sock->SetHost("::1");  // answered without any query, with an IPv6 address only
  EXPECT_EQ(ConnectError(), "11004:Valid name, no data record of requested type");
  EXPECT_EQ(codeSeen, 11004);
  EXPECT_EQ(sock->LastErrorCode(), 11004);
}

// Look-ups abandoned on their time-out go on in the background; they must not hold up the
// look-ups that follow.
TEST_F(SockConnectTest, AbandonedLookupsDoNotStarveLaterOnes) {
  struct Stuck {
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
    int running = 0;
  };
  auto stuck = std::make_shared<Stuck>();
  Make(MakeSystemResolver([stuck](const std::string& name, std::uint32_t* address) {
    if (name != "stuck.example.test") return SystemLookup(name, address);
    std::unique_lock lock(stuck->mutex);
    ++stuck->running;
    stuck->cv.wait_for(lock, std::chrono::seconds(20), [&] { return stuck->released; });
    --stuck->running;
    stuck->cv.notify_all();
    return 11002;
  }));
  sock->SetTimeOut(20);
  sock->SetHost("stuck.example.test");
  for (int i = 0; i < 30; ++i) ASSERT_EQ(ConnectError(), "Host Lookup Timed Out") << i;
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetTimeOut(5000);
  sock->SetHost("localhost");
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  release.Open();
  std::unique_lock lock(stuck->mutex);
  stuck->released = true;
  stuck->cv.notify_all();
  stuck->cv.wait_for(lock, std::chrono::seconds(5), [&] { return stuck->running == 0; });
}

// Asks only when the hosts file answers for this machine's name, so no query leaves the host.
TEST_F(SockConnectTest, LocalHostAddressIsDotted) {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  std::ifstream hosts("/etc/hosts");
  bool listed = false;
  for (std::string word; hosts >> word;) listed = listed || word == name;
  if (!listed) GTEST_SKIP() << name << " is not in /etc/hosts";
  in_addr parsed{};
  EXPECT_EQ(::inet_pton(AF_INET, sock->LocalHostAddress().c_str(), &parsed), 1);
}

// ---- closing

TEST_F(SockConnectTest, DisconnectOnIdleRaisesOnDisconnectAndKeepsASocket) {
  sock->Disconnect();
  EXPECT_EQ(disconnects, 1);
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

TEST_F(SockConnectTest, OnDisconnectFailureReachesDisconnectsCaller) {
  sock->OnDisconnect = [](TSockClient&) { throw std::runtime_error("handler failed"); };
  EXPECT_THROW(sock->Disconnect(), std::runtime_error);
  Gate release;
  LoopbackPeer peer(HoldUntil(release));
  sock->SetPort(peer.Port());
  sock->Connect();  // a fresh socket is there all the same
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

// No close resets the connection, the first socket's included: the peer reads the end of stream.
TEST_F(SockConnectTest, EveryCloseEndsTheStreamGracefully) {
  auto closeSeenByPeer = [this] {
    int result = 0, error = 0;
    LoopbackPeer peer([&](PeerConn& c) {
      char byte;
      result = static_cast<int>(::recv(c.Fd(), &byte, 1, 0));
      error = errno;
    });
    sock->SetPort(peer.Port());
    sock->Connect();
    sock->Disconnect();
    PumpUntil([&] { return peer.Done(); });
    return result < 0 ? error : 0;
  };
  EXPECT_EQ(closeSeenByPeer(), 0);
  EXPECT_EQ(closeSeenByPeer(), 0);
}

TEST_F(SockConnectTest, ServerCloseDisconnectsAndAllowsReconnect) {
  {
    LoopbackPeer peer([](PeerConn&) {});
    sock->SetPort(peer.Port());
    sock->Connect();
    EXPECT_TRUE(PumpUntil([this] { return disconnects == 1; }));
  }
  EXPECT_FALSE(sock->Connected());
  Gate release;
  LoopbackPeer again(HoldUntil(release));
  sock->SetPort(again.Port());
  sock->Connect();
  EXPECT_TRUE(sock->Connected());
  release.Open();
}

TEST_F(SockConnectTest, ExceptionsFromNotificationHandlersAreDiscarded) {
  sock->OnConnect = [](TSockClient&) { throw std::runtime_error("connect handler"); };
  sock->OnDisconnect = [this](TSockClient&) {
    ++disconnects;
    throw ESockError("disconnect handler");
  };
  LoopbackPeer peer([](PeerConn& c) { c.Send("bye\r\n"); });
  sock->SetPort(peer.Port());
  sock->Connect();
  EXPECT_TRUE(PumpUntil([this] { return disconnects == 1; }));
  EXPECT_EQ(sock->ReadLn(), "bye\r\n");
}

// ---- status reporting

TEST_F(SockConnectTest, ReportLevelFiltersStatusMessages) {
  auto statusesAt = [this](int level) {
    std::set<std::string> seen;
    sock->SetReportLevel(level);
    sock->OnStatus = [&seen](TSockClient&, const std::string& s) { seen.insert(s); };
    LoopbackPeer peer([](PeerConn& c) { c.RecvLine(); });
    sock->SetPort(peer.Port());
    sock->Connect();
    sock->Writeln("NOOP");
    sock->Disconnect();
    sock->OnStatus = nullptr;
    return seen;
  };
  auto all = statusesAt(16);
  EXPECT_TRUE(all.count("Checking Error In Error Manager"));
  EXPECT_TRUE(all.count("Connecting") && all.count("Writeln") && all.count("Sending Buffer"));
  auto eight = statusesAt(8);
  EXPECT_FALSE(eight.count("Checking Error In Error Manager"));
  EXPECT_TRUE(eight.count("Connecting") && eight.count("Timer On") &&
              eight.count("Request Close Socket"));
  EXPECT_EQ(statusesAt(4), (std::set<std::string>{"Sending Buffer", "Request Close Socket"}));
  sock->SetReportLevel(0);
  std::string before = sock->StatusText();
  EXPECT_TRUE(statusesAt(0).empty());
  EXPECT_EQ(sock->StatusText(), before);
}

}  // namespace
}  // namespace tavrin::net
