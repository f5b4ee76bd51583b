// The network client's exceptions. Each carries its message text only.
//
// ESockError: look-up, connect, socket and transfer failures. EAbortError: a send or line read
// ended by Cancel. Thrown on the GUI thread by TSockClient.
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

}  // namespace tavrin::net
