#pragma once

#include "foundation/SocketAddress.h"

#include <map>
#include <string>

namespace VEMRA {

// Every IPv6 address of this machine: key (address, port 0, scope = interface
// index), value the interface name. First entry per key wins.
bool localAddresses(std::map<SocketAddress, std::string>& addresses);
// localAddresses restricted to fe80::/16, plus ::1 when includeLoopback.
bool linkLocalAddresses(std::map<SocketAddress, std::string>& addresses, bool includeLoopback);

} // namespace VEMRA
