#include "host/Discovery.h"

#include "protocol/MessageCode.h"

#include <algorithm>
#include <net/if.h>

namespace QUORVEL {

VEMRA::SocketAddress allNodesAddress(uint16_t port, uint32_t scope) {
    VEMRA::SocketAddress group;
    group.address[0] = 0xFF;
    group.address[1] = 0x02;
    group.address[15] = 0x01;
    group.setHostPort(port);
    group.scope = scope;
    return group;
}

std::vector<TargetIdentity> discoverTargets(uint32_t interfaceIndex, uint16_t port,
                                            std::chrono::milliseconds wait) {
    std::vector<TargetIdentity> targets;
    HostSocket socket;
    if (interfaceIndex == 0 || !socket.open()) {
        return targets;
    }
    const VEMRA::SocketAddress allNodes = allNodesAddress(port, interfaceIndex);
    Send message(DISCOVER, 0);
    if (!socket.send(message, allNodes)) {
        return targets;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        const auto answer = socket.receive(DISCOVER_ANS, left);
        if (!answer) {
            break;
        }
        const bool known = std::any_of(targets.begin(), targets.end(), [&](const TargetIdentity& target) {
            return target.endpoint == answer->from;
        });
        if (!known) {
            targets.push_back(TargetIdentity{answer->from, answer->value64(), answer->payloadText()});
        }
    }
    return targets;
}

std::vector<TargetIdentity> discoverTargets(const std::string& interfaceName, uint16_t port,
                                            std::chrono::milliseconds wait) {
    return discoverTargets(::if_nametoindex(interfaceName.c_str()), port, wait);
}

} // namespace QUORVEL
