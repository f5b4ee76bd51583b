// The local IPv4 address this machine uses toward a server: the address the server sees.
//
// Asks the routing table by connecting a datagram socket (nothing is sent) and reading its local
// address. Pure lookup, any thread; a name is resolved first and may wait on the resolver.
#pragma once

#include <string>

namespace tavrin::platform {

// Dotted decimal; "127.0.0.1" when the host cannot be resolved or no route leads to it.
std::string LocalAddressToward(const std::string& host, int port);

}  // namespace tavrin::platform
