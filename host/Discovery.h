#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostClient.h"
#include "host/HostSocket.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace QUORVEL {

constexpr uint16_t kTargetDiscoveryPort = 19642;

// The link-local all-nodes group ff02::1 at `port` on interface `scope`.
VEMRA::SocketAddress allNodesAddress(uint16_t port, uint32_t scope);

// Multicasts DISCOVER to ff02::1 on one interface and collects the
// DISCOVER_ANS of every target that answers within `wait` (one entry per
// answering endpoint, in arrival order).
std::vector<TargetIdentity> discoverTargets(uint32_t interfaceIndex, uint16_t port = kTargetDiscoveryPort,
                                            std::chrono::milliseconds wait = HostSocket::kDefaultTimeout);
// The same on the interface of that name (resolved in the caller's network
// namespace); nothing when there is no such interface.
std::vector<TargetIdentity> discoverTargets(const std::string& interfaceName,
                                            uint16_t port = kTargetDiscoveryPort,
                                            std::chrono::milliseconds wait = HostSocket::kDefaultTimeout);

} // namespace QUORVEL
