// TTlsLayer: the client side of one encrypted connection, between the socket and the socket
// client's receive and send buffers.
//
// Owns its SSL_CTX, its SSL object and two memory BIOs. It never touches the socket: the socket
// client feeds it the ciphertext it received and sends the ciphertext it hands out (with
// MSG_NOSIGNAL), so no signal can come from here and plain and encrypted connections share one
// socket path. It checks the server's certificate against the system's store (or a CA file) and
// the server's name or IP address against its subjectAltName entries only (never the Common
// Name), TLS 1.2 or newer. Not thread-safe; GUI thread only.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace tavrin::net {

class TTlsLayer {
 public:
  enum class Step {
    Done,     // the handshake is over and the certificate checked
    Pending,  // more bytes from the server are needed
    Failed,   // the handshake failed: see Failure() and CertificateFailed()
  };
  enum class ReadResult {
    Data,       // plaintext bytes were returned
    NeedInput,  // nothing more decrypts from what was fed so far
    Closed,     // the server sent close_notify
    Failed,     // the connection is broken: see Failure()
  };

  // Prepares a handshake for `serverName` (a host name, or an IPv4 or IPv6 address literal,
  // checked against the certificate's IP entries). `caFile` "": the system's store.
  // Raises ETlsError when the name is empty or the CA file cannot be loaded.
  TTlsLayer(const std::string& serverName, const std::string& caFile);
  ~TTlsLayer();
  TTlsLayer(const TTlsLayer&) = delete;
  TTlsLayer& operator=(const TTlsLayer&) = delete;

  // Runs the handshake as far as the bytes fed so far allow.
  Step Handshake();
  bool Established() const { return established_; }
  // The reason of the failure as a person reads it, e.g. "hostname mismatch".
  const std::string& Failure() const { return failure_; }
  // True when the failure was the certificate check (Failure() then is its verify text).
  bool CertificateFailed() const { return certificateFailed_; }
  // Raises the failure: ECertificateError or ETlsError with the text a person reads.
  [[noreturn]] void RaiseFailure() const;
  bool Failed() const { return failed_; }

  // Hands ciphertext received from the socket to the layer; it keeps all of it.
  void Feed(const char* data, std::size_t length);
  // True when fed bytes or decrypted bytes wait inside the layer.
  bool InputBuffered() const;
  // Bytes fed and not yet taken in by OpenSSL.
  std::size_t FedLength() const;
  // Decrypts into `buffer`; `*length` receives the bytes returned with Data.
  ReadResult Read(char* buffer, std::size_t capacity, std::size_t* length);
  // Encrypts up to `length` bytes (REQUIRES: Established()) and returns how many were taken,
  // all of them unless the connection failed (then 0, see Failure()).
  std::size_t Write(const char* data, std::size_t length);
  // Queues close_notify; false when the connection is not in a state to send it.
  bool Shutdown();
  // True once the server's close_notify has been read.
  bool PeerClosed() const { return peerClosed_; }
  // Gives the connection up: nothing more is handed out, no close_notify either.
  void Abandon();

  // Ciphertext waiting to go to the socket; Sent(n) drops the first n bytes of it.
  const char* Output() const { return out_.data() + outStart_; }
  std::size_t OutputLength() const { return out_.size() - outStart_; }
  void Sent(std::size_t n);

 private:
  void CollectOutput();
  void Fail(const char* fallback);

  struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
  };
  struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;  // owns both BIOs once set
  BIO* in_ = nullptr;                  // ciphertext from the server; owned by ssl_
  BIO* outBio_ = nullptr;              // ciphertext for the server; owned by ssl_
  std::string out_;                    // ciphertext taken from outBio_, not yet sent
  std::size_t outStart_ = 0;           // bytes at out_'s front already sent
  bool established_ = false;
  bool failed_ = false;
  bool peerClosed_ = false;
  bool abandoned_ = false;
  bool certificateFailed_ = false;
  std::string failure_;
};

}  // namespace tavrin::net
