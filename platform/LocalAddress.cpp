#include "platform/LocalAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrin::platform {
namespace {

bool ResolveIPv4(const std::string& host, in_addr& out) {
  if (::inet_pton(AF_INET, host.c_str(), &out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
  out = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
  ::freeaddrinfo(list);
  return true;
}

}  // namespace

std::string LocalAddressToward(const std::string& host, int port) {
  const std::string fallback = "127.0.0.1";
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
  if (!ResolveIPv4(host, remote.sin_addr)) return fallback;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fallback;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
  ::close(fd);
  char text[INET_ADDRSTRLEN] = {};
  if (!ok || ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) return fallback;
  return text;
}

}  // namespace tavrin::platform
