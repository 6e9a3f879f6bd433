#pragma once

#include <array>
#include <compare>
#include <cstdint>

struct sockaddr_in6;

namespace VEMRA {

// One IPv6 endpoint as the whole system passes it around. IPv4 peers appear
// only as IPv4-mapped addresses (::ffff:a.b.c.d).
struct SocketAddress {
    std::array<uint8_t, 16> address{}; // network byte order
    uint16_t port = 0;                 // network byte order
    uint32_t scope = 0;                // interface index for link-local addresses, else 0

    // Ordering for maps: address bytes, then the stored port, then scope.
    auto operator<=>(const SocketAddress&) const = default;
    bool operator==(const SocketAddress&) const = default;

    uint16_t hostPort() const;
    void setHostPort(uint16_t hostOrderPort);

    bool isLoopback() const;  // ::1
    bool isLinkLocal() const; // first group fe80
    bool isV4Mapped() const;  // first 10 bytes 0, then ff ff

    // [::1]:port, scope 0.
    static SocketAddress loopback(uint16_t hostOrderPort);
    // Address and port of a sockaddr_in6; scope = low 16 bits of sin6_scope_id.
    static SocketAddress fromSockaddr(const sockaddr_in6& from);
    void toSockaddr(sockaddr_in6& to) const;
};

} // namespace VEMRA
