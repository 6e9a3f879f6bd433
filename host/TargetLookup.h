#pragma once

#include "foundation/SocketAddress.h"
#include "host/Discovery.h"
#include "host/HostClient.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVEL {

// A target that answered a multicast DISCOVER.
struct FoundTarget {
    TargetIdentity identity;
    std::string interfaceName;
    std::chrono::microseconds responseTime{0};
};

// The interfaces of the caller's network namespace that have a link-local
// address (where targets can be found), sorted by name; loopback excluded.
std::vector<std::string> discoveryInterfaces();

// Multicasts DISCOVER to ff02::1 on each of `interfaces` from one socket and
// collects every answer within `wait`, in arrival order (one entry per
// answering address and interface). Unknown interface names are skipped
// and reported in `unknown`.
std::vector<FoundTarget> discoverOn(const std::vector<std::string>& interfaces,
                                    std::chrono::milliseconds wait,
                                    std::vector<std::string>* unknown = nullptr,
                                    uint16_t port = kTargetDiscoveryPort);

// Parses a target address as a user writes it: "ADDR", "ADDR%IF" or
// "[ADDR%IF]:PORT", where IF is an interface name or index and the port
// defaults to `defaultPort`. A link-local address needs its interface.
// Nothing, with the reason in `error`, for anything else.
std::optional<VEMRA::SocketAddress> parseTargetAddress(const std::string& text, uint16_t defaultPort,
                                                       std::string& error);

// True when `text` names `target`: its name exactly, or its identifier as
// 16 hexadecimal digits (any case, an optional "0x").
bool targetMatches(const TargetIdentity& target, const std::string& text);

// "fe80::a%eth0", or "[fe80::a%eth0]:20000" when the port is not the
// discovery port (or `withPortAlways`).
std::string endpointText(const VEMRA::SocketAddress& address, bool withPortAlways = false);

// Why lookUpTarget found nothing: `usage` when the text itself is wrong.
struct TargetLookupError {
    bool usage = false;
    std::string text; // one line
};

// TARGET as a user writes it: an IPv6 address (parseTargetAddress, the
// discovery port by default), or a target's name or 16-digit identifier,
// looked up by multicast discovery on `interfaces` (every interface with a
// link-local address when empty) for `wait`. A name must match exactly one
// target. The target's discovery endpoint, or nothing with `error` set.
std::optional<VEMRA::SocketAddress> lookUpTarget(const std::string& text, std::vector<std::string> interfaces,
                                                 std::chrono::milliseconds wait, TargetLookupError& error);

} // namespace QUORVEL
