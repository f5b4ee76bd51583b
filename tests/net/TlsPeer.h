// TlsPeer: the server side of TLS for the socket client tests, over a LoopbackPeer connection.
//
// TlsCertificates makes a test CA and server certificates once per run (with trustme) in a
// temporary folder that lives until the run ends. TlsServer runs OpenSSL's server on a peer's
// blocking socket; it blocks SIGPIPE on the peer's own thread only, so a client that raised the
// signal would still end the run. Every receive is bounded by a 5 s socket time-out.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "LoopbackPeer.h"

namespace tavrin::net::test {

struct TlsCertificates {
  std::string ca;              // the CA the client trusts (CaFile)
  std::string localhost;       // key and chain for "localhost" and 127.0.0.1
  std::string otherHost;       // key and chain for mail.example.org, from the same CA
  std::string selfSigned;      // key and certificate of an unknown self-signed CA
  std::string commonNameOnly;  // key and certificate from the CA naming "localhost" in its CN only
  static const TlsCertificates& Get();
};

class TlsServer {
 public:
  // Prepares a server with the key and chain in `pemFile` on the peer's connection.
  TlsServer(PeerConn& conn, const std::string& pemFile);
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;
  // Runs the server's handshake; false when it failed.
  bool Accept();
  // Sends `bytes` as one record (or as several of at most 16 KiB).
  void Send(const std::string& bytes);
  std::string RecvLine();
  std::string RecvBytes(std::size_t n);
  // True when the client's next record is its close_notify.
  bool ReadsCloseNotify();
  // One record of content `type` around `plain` (at most 16 KiB), encrypted with the server's
  // keys of a TLS 1.2 AES-128-GCM connection, for what OpenSSL itself would never send. The
  // server must send nothing more through OpenSSL once it has used this.
  std::string ForgeRecord(unsigned char type, const std::string& plain);
  SSL* Ssl() { return ssl_; }

 private:
  unsigned char forgeKey_[16] = {}, forgeIv_[4] = {};
  std::uint64_t forgeSeq_ = 0;  // 0: the keys are not derived yet
  PeerConn& conn_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace tavrin::net::test
