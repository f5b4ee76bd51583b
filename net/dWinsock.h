// tWinsockAPI: the process-wide count of socket library users.
//
// Every TSockClient acquires the library when it is built and releases it when it is destroyed
// (or when its constructor fails). POSIX sockets need no start-up call, so the library is
// "started" exactly while the count is above 0. One shared instance, GUI thread only.
#pragma once

namespace tavrin::net {

class tWinsockAPI {
 public:
  // The process's one instance; it lives until the program ends.
  static tWinsockAPI& Shared();

  // Adds a user; returns true when this started the library (the count became 1).
  bool Acquire();
  // Removes a user; returns true when this stopped the library (the count became 0).
  // REQUIRES: Users() > 0.
  bool Release();

  int Users() const { return users_; }
  bool Started() const { return users_ > 0; }

 private:
  tWinsockAPI() = default;
  int users_ = 0;
};

}  // namespace tavrin::net
