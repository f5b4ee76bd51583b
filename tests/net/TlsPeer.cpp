#include "TlsPeer.h"

#include <openssl/err.h>
#include <pthread.h>
#include <sys/socket.h>

#include <QTemporaryDir>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace tavrin::net::test {

namespace {
const char kMakeCertificates[] = R"(
import sys, trustme
d = sys.argv[1]
ca = trustme.CA()
ca.cert_pem.write_to_path(d + '/ca.pem')
ca.issue_cert('localhost', '127.0.0.1').private_key_and_cert_chain_pem.write_to_path(d + '/localhost.pem')
ca.issue_cert('mail.example.org').private_key_and_cert_chain_pem.write_to_path(d + '/other.pem')
other = trustme.CA()
open(d + '/selfsigned.pem', 'wb').write(other.private_key_pem.bytes() + other.cert_pem.bytes())
)";
}  // namespace

const TlsCertificates& TlsCertificates::Get() {
  static QTemporaryDir dir;
  static const TlsCertificates certificates = [] {
    const std::string d = dir.path().toStdString();
    const std::string command = "/usr/bin/python3 -c \"$TAVRIN_MAKE_CERTS\" '" + d + "'";
    ::setenv("TAVRIN_MAKE_CERTS", kMakeCertificates, 1);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("trustme could not make the certificates");
    return TlsCertificates{d + "/ca.pem", d + "/localhost.pem", d + "/other.pem", d + "/selfsigned.pem"};
  }();
  return certificates;
}

TlsServer::TlsServer(PeerConn& conn, const std::string& pemFile) : conn_(conn) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);  // this thread only; the client's stays as it was
  timeval bound{5, 0};
  ::setsockopt(conn.Fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(conn.Fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(ctx_, pemFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, pemFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("the test server cannot load " + pemFile);
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, conn.Fd());
}

TlsServer::~TlsServer() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  ERR_clear_error();
}

bool TlsServer::Accept() { return SSL_accept(ssl_) == 1; }

void TlsServer::Send(const std::string& bytes) {
  for (std::size_t off = 0; off < bytes.size();) {
    int n = SSL_write(ssl_, bytes.data() + off, static_cast<int>(std::min<std::size_t>(bytes.size() - off, 16384)));
    if (n <= 0) return;
    off += static_cast<std::size_t>(n);
  }
}

std::string TlsServer::RecvLine() {
  std::string line;
  char c;
  while (SSL_read(ssl_, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::string TlsServer::RecvBytes(std::size_t n) {
  std::string out;
  auto buffer = std::make_unique<char[]>(65536);
  while (out.size() < n) {
    int got = SSL_read(ssl_, buffer.get(), static_cast<int>(std::min<std::size_t>(65536, n - out.size())));
    if (got <= 0) break;
    out.append(buffer.get(), static_cast<std::size_t>(got));
  }
  return out;
}

bool TlsServer::ReadsCloseNotify() {
  char c;
  int n = SSL_read(ssl_, &c, 1);
  return n == 0 && SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
}

}  // namespace tavrin::net::test
