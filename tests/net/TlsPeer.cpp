#include "TlsPeer.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <pthread.h>
#include <sys/socket.h>

#include <QTemporaryDir>
#include <csignal>
#include <cstring>
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
# Issued by the same CA for "localhost", but named only in its Common Name.
import datetime
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID
ca_key = serialization.load_pem_private_key(ca.private_key_pem.bytes(), None)
ca_cert = x509.load_pem_x509_certificate(ca.cert_pem.bytes())
key = ec.generate_private_key(ec.SECP256R1())
now = datetime.datetime.now(datetime.timezone.utc)
leaf = (x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'localhost')]))
        .issuer_name(ca_cert.subject).public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .sign(ca_key, hashes.SHA256()))
open(d + '/cnonly.pem', 'wb').write(
    key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    + leaf.public_bytes(serialization.Encoding.PEM))
)";
}  // namespace

const TlsCertificates& TlsCertificates::Get() {
  static QTemporaryDir dir;
  static const TlsCertificates certificates = [] {
    const std::string d = dir.path().toStdString();
    const std::string command = "/usr/bin/python3 -c \"$TAVRIN_MAKE_CERTS\" '" + d + "'";
    ::setenv("TAVRIN_MAKE_CERTS", kMakeCertificates, 1);
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("trustme could not make the certificates");
    return TlsCertificates{d + "/ca.pem", d + "/localhost.pem", d + "/other.pem",
                           d + "/selfsigned.pem", d + "/cnonly.pem"};
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
    int n = SSL_write(ssl_, bytes.data() + off,
                      static_cast<int>(std::min<std::size_t>(bytes.size() - off, 16384)));
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
    int got = SSL_read(ssl_, buffer.get(),
                       static_cast<int>(std::min<std::size_t>(65536, n - out.size())));
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

// The key block of TLS 1.2 from the master secret; after the server's Finished (its record 0 of
// the epoch) the next record is number 1.
std::string TlsServer::ForgeRecord(unsigned char type, const std::string& plain) {
  if (forgeSeq_ == 0) {
    unsigned char master[48], clientRandom[32], serverRandom[32], block[40];
    SSL_SESSION_get_master_key(SSL_get_session(ssl_), master, sizeof master);
    SSL_get_client_random(ssl_, clientRandom, sizeof clientRandom);
    SSL_get_server_random(ssl_, serverRandom, sizeof serverRandom);
    std::string seed = "key expansion";
    seed.append(reinterpret_cast<char*>(serverRandom), 32)
        .append(reinterpret_cast<char*>(clientRandom), 32);
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, master, sizeof master),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()),
        OSSL_PARAM_construct_end()};
    const bool derived = EVP_KDF_derive(kctx, block, sizeof block, params) == 1;
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);
    if (!derived) throw std::runtime_error("the test server cannot derive its keys");
    std::memcpy(forgeKey_, block + 16, 16);  // client key, server key, client IV, server IV
    std::memcpy(forgeIv_, block + 36, 4);
    forgeSeq_ = 1;
  }
  unsigned char sequence[8], nonce[12], aad[13], tag[16];
  for (int i = 0; i < 8; ++i) sequence[i] = static_cast<unsigned char>(forgeSeq_ >> (56 - 8 * i));
  ++forgeSeq_;
  std::memcpy(nonce, forgeIv_, 4);
  std::memcpy(nonce + 4, sequence, 8);
  std::memcpy(aad, sequence, 8);
  const unsigned char header[5] = {type, 3, 3, static_cast<unsigned char>(plain.size() >> 8),
                                   static_cast<unsigned char>(plain.size())};
  std::memcpy(aad + 8, header, 5);
  std::string sealed(plain.size(), '\0');
  EVP_CIPHER_CTX* cctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(cctx, EVP_aes_128_gcm(), nullptr, forgeKey_, nonce);
  EVP_EncryptUpdate(cctx, nullptr, &n, aad, sizeof aad);
  EVP_EncryptUpdate(cctx, reinterpret_cast<unsigned char*>(sealed.data()), &n,
                    reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(cctx, nullptr, &n);
  EVP_CIPHER_CTX_ctrl(cctx, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
  EVP_CIPHER_CTX_free(cctx);
  const std::size_t body = sizeof sequence + plain.size() + sizeof tag;
  std::string record{static_cast<char>(type), 3, 3, static_cast<char>(body >> 8),
                     static_cast<char>(body & 0xff)};
  record.append(reinterpret_cast<char*>(sequence), sizeof sequence).append(sealed);
  return record.append(reinterpret_cast<char*>(tag), sizeof tag);
}

}  // namespace tavrin::net::test
