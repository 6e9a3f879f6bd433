#pragma once

#include "foundation/SocketAddress.h"
#include "support/NetNamespace.h"

#include <cstdint>
#include <span>

// UDP datagrams with any source the test chooses (an address nobody owns,
// the target's own address and port, source port 0), sent from a raw IPv6
// socket that carries its own IPv6 and UDP headers (IPPROTO_RAW, so
// IPV6_HDRINCL) inside a namespace of the test. Needs CAP_NET_RAW. Belongs to
// one thread at a time.
class SpoofedUdp {
public:
    // The largest payload that fits one 1500-byte frame without fragments.
    static constexpr size_t kMaxPayload = 1500 - 40 - 8;

    // The socket is opened inside `space` and sends from there for good.
    explicit SpoofedUdp(const NetNamespace& space);
    ~SpoofedUdp();
    SpoofedUdp(const SpoofedUdp&) = delete;
    SpoofedUdp& operator=(const SpoofedUdp&) = delete;

    bool isOpen() const { return fd != -1; }
    // One datagram from `source` (address and port as given; its scope is not
    // used) to `destination` (a link-local one needs its scope: the interface
    // it leaves by). False when the kernel refused it.
    bool send(const VEMRA::SocketAddress& source, const VEMRA::SocketAddress& destination,
              std::span<const uint8_t> payload);
    int error() const { return lastError; }

private:
    int fd = -1;
    int lastError = 0;
};
