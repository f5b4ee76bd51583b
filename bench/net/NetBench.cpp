// Benchmarks of the network client, each against a named peer measured in the same run:
//   net_bench lines [N]        N Writeln + ReadLn round trips with a loopback echo peer,
//                              against the same exchange by Python's socket module
//   net_bench encode [MiB]     encoding a random file to a file, against `base64 -w 60`
//   net_bench memory [MiB]     peak memory while encoding a file and sending the result with
//                              SendStream to a loopback sink
//   net_bench bigline [MiB]    one Writeln of a text of MiB mebibytes to a loopback sink, against
//                              SendStream of the same bytes and Python's socket sendall
//   net_bench tls [MiB]        SendStream of MiB mebibytes over TLS and in plain to the same
//                              loopback sink, against Python's ssl sendall over TLS to it
// They print figures and assert nothing. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/SockClient.h"
#include "net/UUProcessor.h"
#include "platform/Stream.h"

using namespace tavrin;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

// A loopback server that serves `connections` clients one after the other on its own thread.
// Echo mode sends every byte back; sink mode discards what it reads.
class LoopbackServer {
 public:
  LoopbackServer(bool echo, int connections) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, echo, connections] {
      std::vector<char> buf(1 << 16);
      for (int i = 0; i < connections; ++i) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        for (ssize_t n; (n = ::recv(c, buf.data(), buf.size(), 0)) > 0;) {
          received_ += static_cast<std::uint64_t>(n);
          if (echo && ::send(c, buf.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        ::close(c);
      }
    });
  }
  ~LoopbackServer() {
    thread_.join();
    ::close(fd_);
  }
  int Port() const { return port_; }
  std::uint64_t Received() const { return received_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<std::uint64_t> received_{0};
  std::thread thread_;
};

void WriteRandomFile(const std::string& name, std::int64_t bytes) {
  platform::TFileStream f(name, platform::TFileStream::Mode::Create);
  std::mt19937_64 rng(42);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (std::int64_t left = bytes; left > 0;) {
    for (auto& w : block) w = rng();
    std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, 1 << 20));
    f.Write(block.data(), n);
    left -= static_cast<std::int64_t>(n);
  }
}

double EncodeFile(const std::string& source, const std::string& target) {
  auto start = Clock::now();
  platform::TFileStream in(source, platform::TFileStream::Mode::OpenRead);
  platform::TFileStream out(target, platform::TFileStream::Mode::Create);
  net::TUUProcessor uu;
  uu.SourceStream = &in;
  uu.TargetStream = &out;
  uu.EncodeStream();
  return Seconds(start);
}

double RunShell(const std::string& command) {
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return Seconds(start);
}

long PeakRssKiB() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

double OurRoundTrips(int port, int count) {
  net::TSockClient sock;
  sock.SetHost("127.0.0.1");
  sock.SetPort(port);
  sock.SetTimeOut(10000);
  sock.Connect();
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    sock.Writeln("RCPT To:<recipient" + std::to_string(i) + "@example.com>");
    sock.ReadLn();
  }
  double seconds = Seconds(start);
  sock.Disconnect();
  return seconds;
}

double PythonRoundTrips(int port, int count) {
  std::string script =
      "import socket,sys,time\n"
      "s=socket.create_connection(('127.0.0.1'," +
      std::to_string(port) +
      "))\n"
      "f=s.makefile('rb')\n"
      "t=time.perf_counter()\n"
      "for i in range(" +
      std::to_string(count) +
      "):\n"
      "    s.sendall(b'RCPT To:<recipient%d@example.com>\\r\\n' % i)\n"
      "    f.readline()\n"
      "print(time.perf_counter()-t)\n"
      "s.close()\n";
  std::string command = "/usr/bin/python3 -c \"" + script + "\"";
  FILE* p = ::popen(command.c_str(), "r");
  double seconds = 0;
  if (p == nullptr || std::fscanf(p, "%lf", &seconds) != 1)
    std::fprintf(stderr, "python client failed\n");
  if (p) ::pclose(p);
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Rounds alternate between the two clients so that both meet the same machine load.
int Lines(int count) {
  constexpr int kRounds = 5;
  LoopbackServer echo(true, 2 * kRounds);
  std::vector<double> ours, python;
  for (int r = 0; r < kRounds; ++r) {
    ours.push_back(OurRoundTrips(echo.Port(), count));
    python.push_back(PythonRoundTrips(echo.Port(), count));
  }
  double o = Median(ours), p = Median(python);
  std::printf(
      "lines: %d Writeln+ReadLn round trips with a loopback echo peer, median of %d rounds\n",
      count, kRounds);
  std::printf("  TSockClient          %8.3f s  (%.1f us per round trip)\n", o, o * 1e6 / count);
  std::printf("  python3 socket       %8.3f s  (%.1f us per round trip)\n", p, p * 1e6 / count);
  std::printf("  ratio ours/python    %8.2f  (target <= 1)\n", p > 0 ? o / p : 0.0);
  return 0;
}

int Encode(int mib) {
  QTemporaryDir dir;
  const std::string base = dir.path().toStdString();
  const std::string src = base + "/random.bin";
  WriteRandomFile(src, std::int64_t{mib} << 20);
  // Warm the page cache for both contenders alike.
  RunShell("cat '" + src + "' > /dev/null");
  std::vector<double> oursRuns, coreutilsRuns;
  for (int r = 0; r < 3; ++r) {  // alternating rounds, so both meet the same machine load
    oursRuns.push_back(EncodeFile(src, base + "/ours.txt"));
    coreutilsRuns.push_back(RunShell("base64 -w 60 '" + src + "' > '" + base + "/coreutils.txt'"));
  }
  double ours = Median(oursRuns), coreutils = Median(coreutilsRuns);
  std::printf("encode: %d MiB random file to a file, median of 3 rounds\n", mib);
  std::printf("  TUUProcessor         %8.3f s  (%.0f MiB/s)\n", ours, mib / ours);
  std::printf("  base64 -w 60         %8.3f s  (%.0f MiB/s)\n", coreutils, mib / coreutils);
  std::printf("  ratio ours/coreutils %8.2f  (target <= 1)\n", ours / coreutils);
  return 0;
}

int Memory(int mib) {
  QTemporaryDir dir;
  const std::string base = dir.path().toStdString();
  const std::string src = base + "/random.bin", enc = base + "/encoded.txt";
  long startKiB = PeakRssKiB();
  WriteRandomFile(src, std::int64_t{mib} << 20);
  double encodeTime = EncodeFile(src, enc);
  long afterEncodeKiB = PeakRssKiB();
  ::unlink(src.c_str());
  LoopbackServer sink(false, 1);
  double sendTime = 0;
  std::int64_t sent = 0;
  {
    net::TSockClient sock;
    sock.SetHost("127.0.0.1");
    sock.SetPort(sink.Port());
    sock.SetTimeOut(10000);
    sock.Connect();
    platform::TFileStream stream(enc, platform::TFileStream::Mode::OpenRead);
    auto start = Clock::now();
    sock.SendStream(stream);
    sendTime = Seconds(start);
    sent = sock.BytesWritten();
    sock.Disconnect();
  }
  std::printf(
      "memory: encode a %d MiB file, then SendStream the %.0f MiB result to a loopback sink\n", mib,
      sent / 1048576.0);
  std::printf("  encode %.2f s, send %.2f s (%.0f MiB/s)\n", encodeTime, sendTime,
              sent / 1048576.0 / sendTime);
  std::printf("  peak RSS at start     %6.1f MiB\n", startKiB / 1024.0);
  std::printf("  peak RSS after encode %6.1f MiB\n", afterEncodeKiB / 1024.0);
  std::printf("  peak RSS after send   %6.1f MiB  (target < 64 MiB)\n", PeakRssKiB() / 1024.0);
  return 0;
}

double SinkSeconds(const std::function<void(net::TSockClient&)>& send) {
  LoopbackServer sink(false, 1);
  net::TSockClient sock;
  sock.SetHost("127.0.0.1");
  sock.SetPort(sink.Port());
  sock.SetTimeOut(60000);
  sock.Connect();
  auto start = Clock::now();
  send(sock);
  double seconds = Seconds(start);
  sock.Disconnect();
  return seconds;
}

double PythonSendall(std::int64_t bytes) {
  LoopbackServer sink(false, 1);
  std::string script =
      "import socket,time\n"
      "s=socket.create_connection(('127.0.0.1'," +
      std::to_string(sink.Port()) +
      "))\n"
      "d=b'x'*" +
      std::to_string(bytes) +
      "\n"
      "t=time.perf_counter()\n"
      "s.sendall(d)\n"
      "print(time.perf_counter()-t)\n"
      "s.close()\n";
  std::string command = "/usr/bin/python3 -c \"" + script + "\"";
  FILE* p = ::popen(command.c_str(), "r");
  double seconds = 0;
  if (p == nullptr || std::fscanf(p, "%lf", &seconds) != 1)
    std::fprintf(stderr, "python client failed\n");
  if (p) ::pclose(p);
  return seconds;
}

int BigLine(int mib) {
  const std::int64_t bytes = std::int64_t{mib} << 20;
  const std::string text(static_cast<std::size_t>(bytes), 'x');
  platform::TMemoryStream stream;
  stream.Write(text.data(), text.size());
  double line = SinkSeconds([&](net::TSockClient& s) { s.Writeln(text); });
  double streamed = SinkSeconds([&](net::TSockClient& s) { s.SendStream(stream); });
  double python = PythonSendall(bytes);
  std::printf("bigline: one Writeln of a %d MiB text to a loopback sink\n", mib);
  std::printf("  TSockClient Writeln    %8.3f s  (%.0f MiB/s)\n", line, mib / line);
  std::printf("  TSockClient SendStream %8.3f s  (%.0f MiB/s)\n", streamed, mib / streamed);
  std::printf("  python3 sendall        %8.3f s  (%.0f MiB/s)\n", python,
              python > 0 ? mib / python : 0.0);
  std::printf("  ratio Writeln/SendStream %6.2f, Writeln/python %6.2f  (target: linear, near 1)\n",
              line / streamed, python > 0 ? line / python : 0.0);
  return 0;
}

// A sink for one connection after the other: each one in plain or, when `secure` says so for
// it, as a TLS server from the first byte with the key and chain in `pem`.
class TlsSink {
 public:
  TlsSink(const std::string& pem, std::vector<bool> secure) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, pem.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, pem.c_str(), SSL_FILETYPE_PEM);
    thread_ = std::thread([this, secure] {
      sigset_t pipe;  // this thread only; a client closing early must not end the run
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      for (bool tls : secure) Serve(tls);
    });
  }
  ~TlsSink() {
    thread_.join();
    ::close(fd_);
    SSL_CTX_free(ctx_);
  }
  int Port() const { return port_; }

 private:
  void Serve(bool tls) {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    std::vector<char> buf(1 << 16);
    if (!tls) {
      while (::recv(c, buf.data(), buf.size(), 0) > 0) {
      }
    } else {
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, c);
      if (SSL_accept(ssl) == 1)
        while (SSL_read(ssl, buf.data(), static_cast<int>(buf.size())) > 0) {
        }
      SSL_free(ssl);
    }
    ::close(c);
  }
  int fd_ = -1;
  int port_ = 0;
  SSL_CTX* ctx_ = nullptr;
  std::thread thread_;
};

double OurStream(int port, platform::TMemoryStream& stream, const std::string& ca) {
  net::TSockClient sock;
  sock.SetHost("127.0.0.1");
  sock.SetPort(port);
  sock.SetTimeOut(60000);
  sock.SetCaFile(ca);
  sock.Connect();
  auto start = Clock::now();
  if (!ca.empty()) sock.StartTLS("localhost");
  sock.SendStream(stream);
  double seconds = Seconds(start);
  sock.Disconnect();
  return seconds;
}

double PythonTlsSendall(int port, std::int64_t bytes, const std::string& ca) {
  std::string script =
      "import socket,ssl,time\n"
      "c=ssl.create_default_context(cafile='" +
      ca +
      "')\n"
      "d=b'x'*" +
      std::to_string(bytes) +
      "\n"
      "t=time.perf_counter()\n"
      "s=c.wrap_socket(socket.create_connection(('127.0.0.1'," +
      std::to_string(port) +
      ")),server_hostname='localhost')\n"
      "s.sendall(d)\n"
      "print(time.perf_counter()-t)\n"
      "s.close()\n";
  std::string command = "/usr/bin/python3 -c \"" + script + "\"";
  FILE* p = ::popen(command.c_str(), "r");
  double seconds = 0;
  if (p == nullptr || std::fscanf(p, "%lf", &seconds) != 1)
    std::fprintf(stderr, "python client failed\n");
  if (p) ::pclose(p);
  return seconds;
}

// Rounds alternate plain, ours over TLS and Python over TLS, so all meet the same load. The
// handshake is inside the timed part of both TLS contenders.
int TlsStream(int mib) {
  QTemporaryDir dir;
  const std::string ca = dir.path().toStdString() + "/ca.pem",
                    pem = dir.path().toStdString() + "/localhost.pem";
  RunShell("/usr/bin/python3 -c \"import trustme; a=trustme.CA(); a.cert_pem.write_to_path('" + ca +
           "'); a.issue_cert('localhost').private_key_and_cert_chain_pem.write_to_path('" + pem +
           "')\"");
  const std::int64_t bytes = std::int64_t{mib} << 20;
  platform::TMemoryStream stream;
  stream.Write(std::string(static_cast<std::size_t>(bytes), 'x').data(),
               static_cast<std::size_t>(bytes));
  constexpr int kRounds = 3;
  std::vector<bool> secure;
  for (int r = 0; r < kRounds; ++r) secure.insert(secure.end(), {false, true, true});
  TlsSink sink(pem, secure);
  std::vector<double> plain, ours, python;
  for (int r = 0; r < kRounds; ++r) {
    plain.push_back(OurStream(sink.Port(), stream, ""));
    ours.push_back(OurStream(sink.Port(), stream, ca));
    python.push_back(PythonTlsSendall(sink.Port(), bytes, ca));
  }
  double p = Median(plain), o = Median(ours), y = Median(python);
  std::printf("tls: SendStream of %d MiB to one loopback sink, median of %d rounds\n", mib,
              kRounds);
  std::printf("  TSockClient plain      %8.3f s  (%.0f MiB/s)\n", p, mib / p);
  std::printf("  TSockClient TLS        %8.3f s  (%.0f MiB/s)\n", o, mib / o);
  std::printf("  python3 ssl sendall    %8.3f s  (%.0f MiB/s)\n", y, y > 0 ? mib / y : 0.0);
  std::printf("  ratio TLS/plain %6.2f, TLS/python %6.2f  (target: TLS/python near 1)\n", o / p,
              y > 0 ? o / y : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string what = argc > 1 ? argv[1] : "";
  int n = argc > 2 ? std::atoi(argv[2]) : 0;
  if (what == "lines") return Lines(n > 0 ? n : 10000);
  if (what == "encode") return Encode(n > 0 ? n : 256);
  if (what == "memory") return Memory(n > 0 ? n : 1024);
  if (what == "bigline") return BigLine(n > 0 ? n : 100);
  if (what == "tls") return TlsStream(n > 0 ? n : 50);
  std::fprintf(
      stderr,
      "usage: net_bench lines [N] | encode [MiB] | memory [MiB] | bigline [MiB] | tls [MiB]\n");
  return 2;
}
