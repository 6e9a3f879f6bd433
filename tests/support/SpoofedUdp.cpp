#include "support/SpoofedUdp.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kIpHeader = 40;
constexpr size_t kUdpHeader = 8;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kHopLimit = 64;

void put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// The one's complement sum the UDP checksum is made of, over 16-bit words.
uint32_t addWords(uint32_t sum, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (length % 2 != 0) {
        sum += static_cast<uint32_t>(bytes[length - 1] << 8);
    }
    return sum;
}

uint16_t udpChecksum(const uint8_t* source, const uint8_t* destination, const uint8_t* udp, size_t length) {
    uint32_t sum = 0;
    sum = addWords(sum, source, 16);
    sum = addWords(sum, destination, 16);
    sum += static_cast<uint32_t>(length >> 16) + static_cast<uint32_t>(length & 0xFFFF);
    sum += kUdp;
    sum = addWords(sum, udp, length);
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    const auto checksum = static_cast<uint16_t>(~sum);
    return checksum == 0 ? 0xFFFF : checksum; // 0 would mean "no checksum", which IPv6 forbids
}

} // namespace

SpoofedUdp::SpoofedUdp(const NetNamespace& space) {
    space.run([this] {
        fd = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        if (fd == -1) {
            lastError = errno;
        }
    });
}

SpoofedUdp::~SpoofedUdp() {
    if (fd != -1) {
        ::close(fd);
    }
}

bool SpoofedUdp::send(const VEMRA::SocketAddress& source, const VEMRA::SocketAddress& destination,
                      std::span<const uint8_t> payload) {
    if (fd == -1 || payload.size() > kMaxPayload) {
        lastError = fd == -1 ? EBADF : EMSGSIZE;
        return false;
    }
    const size_t udpLength = kUdpHeader + payload.size();
    std::vector<uint8_t> packet(kIpHeader + udpLength, 0);
    uint8_t* ip = packet.data();
    ip[0] = 0x60; // version 6, traffic class and flow label 0
    put16(ip + 4, static_cast<uint32_t>(udpLength));
    ip[6] = kUdp;
    ip[7] = kHopLimit;
    std::memcpy(ip + 8, source.address.data(), 16);
    std::memcpy(ip + 24, destination.address.data(), 16);
    uint8_t* udp = ip + kIpHeader;
    put16(udp, source.hostPort());
    put16(udp + 2, destination.hostPort());
    put16(udp + 4, static_cast<uint32_t>(udpLength));
    if (!payload.empty()) {
        std::memcpy(udp + kUdpHeader, payload.data(), payload.size());
    }
    put16(udp + 6, udpChecksum(ip + 8, ip + 24, udp, udpLength));

    sockaddr_in6 to{};
    destination.toSockaddr(to);
    to.sin6_port = 0; // a raw socket's "port" is its protocol
    const ssize_t sent =
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (sent != static_cast<ssize_t>(packet.size())) {
        lastError = sent < 0 ? errno : EMSGSIZE;
        return false;
    }
    return true;
}
