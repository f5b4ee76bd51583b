// The network client's exceptions. Each carries its message text only.
//
// ESockError: look-up, connect, socket and transfer failures. EAbortError: a send, line read or
// handshake ended by Cancel. ELineTooLong: a received line longer than the client accepts. ETlsError: an encrypted connection that could not be made or broke;
// ECertificateError: the server's certificate did not verify. Thrown on the GUI thread by
// TSockClient.
#pragma once

#include <stdexcept>

namespace tavrin::net {

class ESockError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EAbortError : public ESockError {
 public:
  using ESockError::ESockError;
};

class ELineTooLong : public ESockError {
 public:
  using ESockError::ESockError;
};

class ETlsError : public ESockError {
 public:
  using ESockError::ESockError;
};

class ECertificateError : public ETlsError {
 public:
  using ETlsError::ETlsError;
};

}  // namespace tavrin::net
