// TTlsLayer: OpenSSL over two memory BIOs. Every call that can produce ciphertext (handshake,
// read, write, shutdown) moves it to the output buffer at once, so the socket client only has to
// look there.
#include "net/TlsLayer.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "net/SockError.h"

namespace tavrin::net {

namespace {
const char kTlsPrefix[] = "The encrypted connection could not be made: ";
const char kCertificatePrefix[] = "The server's certificate could not be verified: ";

bool IsAddressLiteral(const std::string& name) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// The reason of the first queued OpenSSL error, or `fallback` when there is none.
std::string QueuedReason(const char* fallback) {
  unsigned long code = ERR_peek_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : fallback;
}

[[noreturn]] void RaiseSetup(const char* fallback) {
  throw ETlsError(kTlsPrefix + QueuedReason(fallback));
}
}  // namespace

TTlsLayer::TTlsLayer(const std::string& serverName, const std::string& caFile) {
  ERR_clear_error();
  if (serverName.empty())
    throw ETlsError(std::string(kTlsPrefix) + "no server name to check the certificate against");
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx_) RaiseSetup("the encryption library could not be started");
  SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(ctx_.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
  const int loaded = caFile.empty()
                         ? SSL_CTX_set_default_verify_paths(ctx_.get())
                         : SSL_CTX_load_verify_locations(ctx_.get(), caFile.c_str(), nullptr);
  if (loaded != 1) RaiseSetup("the trusted certificates could not be loaded");
  ssl_.reset(SSL_new(ctx_.get()));
  in_ = BIO_new(BIO_s_mem());
  outBio_ = BIO_new(BIO_s_mem());
  if (!ssl_ || in_ == nullptr || outBio_ == nullptr) {
    BIO_free(in_);
    BIO_free(outBio_);
    RaiseSetup("out of memory");
  }
  SSL_set_bio(ssl_.get(), in_, outBio_);
  SSL_set_connect_state(ssl_.get());
  bool named = true;
  // The name is looked for in the subjectAltName entries alone: a certificate without them is
  // refused, never matched on its Common Name, which names no service reliably.
  SSL_set_hostflags(ssl_.get(),
                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  if (IsAddressLiteral(serverName)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), serverName.c_str()) == 1;
  } else {
    named = SSL_set1_host(ssl_.get(), serverName.c_str()) == 1 &&
            SSL_set_tlsext_host_name(ssl_.get(), serverName.c_str()) == 1;
  }
  if (!named) RaiseSetup("the server name cannot be checked");
}

TTlsLayer::~TTlsLayer() = default;

TTlsLayer::Step TTlsLayer::Handshake() {
  if (failed_) return Step::Failed;
  if (established_) return Step::Done;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), result);
  CollectOutput();
  if (result == 1) {
    established_ = true;
    return Step::Done;
  }
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Step::Pending;
  Fail("the server ended the handshake");
  // A failed check leaves an alert for the server; nothing more goes to it.
  out_.clear();
  outStart_ = 0;
  return Step::Failed;
}

// The verify result says whether the certificate check was what failed; it stays X509_V_OK
// until a certificate has been checked.
void TTlsLayer::Fail(const char* fallback) {
  failed_ = true;
  const long verify = SSL_get_verify_result(ssl_.get());
  if (!established_ && verify != X509_V_OK) {
    certificateFailed_ = true;
    failure_ = X509_verify_cert_error_string(verify);
    ERR_clear_error();
    return;
  }
  failure_ = QueuedReason(fallback);
}

void TTlsLayer::RaiseFailure() const {
  if (certificateFailed_) throw ECertificateError(kCertificatePrefix + failure_);
  throw ETlsError(kTlsPrefix + failure_);
}

void TTlsLayer::Feed(const char* data, std::size_t length) {
  if (length > 0) BIO_write(in_, data, static_cast<int>(length));
}

bool TTlsLayer::InputBuffered() const {
  return !failed_ && (BIO_ctrl_pending(in_) > 0 || SSL_has_pending(ssl_.get()) == 1);
}

TTlsLayer::ReadResult TTlsLayer::Read(char* buffer, std::size_t capacity, std::size_t* length) {
  *length = 0;
  if (failed_) return ReadResult::Failed;
  ERR_clear_error();
  const int n = SSL_read(ssl_.get(), buffer, static_cast<int>(capacity));
  const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), n);
  CollectOutput();  // a key update or other post-handshake message may want an answer
  if (n > 0) {
    *length = static_cast<std::size_t>(n);
    return ReadResult::Data;
  }
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return ReadResult::NeedInput;
  if (error == SSL_ERROR_ZERO_RETURN) {
    peerClosed_ = true;
    return ReadResult::Closed;
  }
  Fail("the connection broke");
  return ReadResult::Failed;
}

std::size_t TTlsLayer::Write(const char* data, std::size_t length) {
  if (failed_ || length == 0) return 0;
  ERR_clear_error();
  const int n = SSL_write(ssl_.get(), data, static_cast<int>(length));
  const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), n);
  CollectOutput();
  if (n > 0) return static_cast<std::size_t>(n);
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) Fail("the connection broke");
  return 0;
}

std::size_t TTlsLayer::FedLength() const { return BIO_ctrl_pending(in_); }

void TTlsLayer::Abandon() {
  abandoned_ = true;
  out_.clear();
  outStart_ = 0;
}

bool TTlsLayer::Shutdown() {
  if (!established_ || failed_ || abandoned_ || peerClosed_) return false;
  ERR_clear_error();
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
  CollectOutput();
  return true;
}

void TTlsLayer::CollectOutput() {
  const std::size_t pending = BIO_ctrl_pending(outBio_);
  if (pending == 0) return;
  if (abandoned_) {
    (void)BIO_reset(outBio_);
    return;
  }
  if (outStart_ > 0) {  // the front was sent: drop it before growing
    out_.erase(0, outStart_);
    outStart_ = 0;
  }
  const std::size_t at = out_.size();
  out_.resize(at + pending);
  const int got = BIO_read(outBio_, out_.data() + at, static_cast<int>(pending));
  out_.resize(at + static_cast<std::size_t>(got > 0 ? got : 0));
}

void TTlsLayer::Sent(std::size_t n) {
  outStart_ += n;
  if (outStart_ >= out_.size()) {
    out_.clear();
    outStart_ = 0;
  }
}

}  // namespace tavrin::net
