// THostResolver: the asynchronous name look-up that TSockClient waits on.
//
// Start() returns at once; the answer (the first IPv4 address, or a failure) is delivered later
// on the GUI thread through the callback, never from inside Start(). Abort() drops a pending
// look-up: its callback is not called. The system resolver runs each look-up on a thread of its
// own, so look-ups abandoned on a time-out never hold up later ones; tests put in their own
// resolver or look-up function. GUI thread only.
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
  // The socket error code of the latest failed look-up (11001 host not found, 11004 a name
  // without an IPv4 address, ...); valid inside a failing callback.
  virtual int FailureCode() const { return 11001; }
};

// A blocking look-up: 0 and the first IPv4 address (network byte order), or a socket error code.
// It may run on any thread.
using LookupFunction = std::function<int(const std::string& name, std::uint32_t* address)>;

// The system's look-up (getaddrinfo), with the system resolver's own time-outs.
int SystemLookup(const std::string& name, std::uint32_t* address);

// A resolver that runs `lookup` (SystemLookup when empty) on a new thread for every look-up.
std::unique_ptr<THostResolver> MakeSystemResolver(LookupFunction lookup = nullptr);

}  // namespace tavrin::net
