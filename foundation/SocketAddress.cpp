#include "foundation/SocketAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace VEMRA {

uint16_t SocketAddress::hostPort() const {
    return ntohs(port);
}

void SocketAddress::setHostPort(uint16_t hostOrderPort) {
    port = htons(hostOrderPort);
}

bool SocketAddress::isLoopback() const {
    return std::all_of(address.begin(), address.begin() + 15, [](uint8_t b) { return b == 0; }) &&
           address[15] == 1;
}

bool SocketAddress::isLinkLocal() const {
    return address[0] == 0xfe && address[1] == 0x80;
}

bool SocketAddress::isV4Mapped() const {
    return std::all_of(address.begin(), address.begin() + 10, [](uint8_t b) { return b == 0; }) &&
           address[10] == 0xff && address[11] == 0xff;
}

SocketAddress SocketAddress::loopback(uint16_t hostOrderPort) {
    SocketAddress record;
    record.address[15] = 1;
    record.setHostPort(hostOrderPort);
    return record;
}

SocketAddress SocketAddress::fromSockaddr(const sockaddr_in6& from) {
    SocketAddress record;
    std::memcpy(record.address.data(), &from.sin6_addr, record.address.size());
    record.port = from.sin6_port;
    // Interface indexes of this machine fit 16 bits; the text form and the
    // protocol carry only those.
    record.scope = from.sin6_scope_id & 0xFFFFu;
    return record;
}

void SocketAddress::toSockaddr(sockaddr_in6& to) const {
    std::memset(&to, 0, sizeof(to));
    to.sin6_family = AF_INET6;
    to.sin6_port = port;
    std::memcpy(&to.sin6_addr, address.data(), address.size());
    to.sin6_scope_id = scope;
}

} // namespace VEMRA
