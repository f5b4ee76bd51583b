// THostResolver: the asynchronous name look-up that TSockClient waits on.
//
// Start() returns at once; the answer (the first IPv4 address, or a failure) is delivered later
// on the GUI thread through the callback, never from inside Start(). Abort() drops a pending
// look-up: its callback is not called. The default resolver asks the system through QHostInfo;
// tests put in their own. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavrin::net {

class THostResolver {
 public:
  // ok: the look-up succeeded and `address` (network byte order) is its first IPv4 address.
  using Callback = std::function<void(bool ok, std::uint32_t address)>;

  virtual ~THostResolver() = default;
  virtual void Start(const std::string& name, Callback done) = 0;
  virtual void Abort() = 0;
};

// The system's resolver (QHostInfo).
std::unique_ptr<THostResolver> MakeSystemResolver();

}  // namespace tavrin::net
