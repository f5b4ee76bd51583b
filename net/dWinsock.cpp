#include "net/dWinsock.h"

#include <cassert>

namespace tavrin::net {

tWinsockAPI& tWinsockAPI::Shared() {
  static tWinsockAPI instance;
  return instance;
}

bool tWinsockAPI::Acquire() { return ++users_ == 1; }

bool tWinsockAPI::Release() {
  assert(users_ > 0);
  if (users_ <= 0) return false;
  return --users_ == 0;
}

}  // namespace tavrin::net
