#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostClient.h"
#include "host/TargetSurvey.h"
#include "tools/quorvel_host/Arguments.h"

#include <chrono>
#include <optional>
#include <string>

namespace QUORVELHOST {

// Options every command that talks to one target takes.
extern const OptionRule kTimeoutOption;   // --timeout S: how long to wait for each answer
extern const OptionRule kInterfaceOption; // --interface IF: where to look a target up by name

// What a failed step reports: the exit status and the one-line message.
struct Failure {
    int code = 0;
    std::string message;
};

// --timeout in milliseconds (default `fallback`); nothing for a bad value.
std::optional<std::chrono::milliseconds> timeoutOption(const Arguments& arguments,
                                                       std::chrono::milliseconds fallback, Failure& failure);

// TARGET as the user wrote it: an IPv6 address ("fe80::1%eth0",
// "[fe80::1%eth0]:19642", "::1"), or a target's name or 16-digit identifier,
// looked up by multicast discovery on --interface (default: every interface
// with a link-local address). A name must match exactly one target.
struct ResolvedTarget {
    VEMRA::SocketAddress address;
    std::string label; // for messages: the text the user gave
};
std::optional<ResolvedTarget> resolveTarget(const std::string& text, const Arguments& arguments,
                                            Failure& failure);

// A connected client of the target's discovery port.
std::optional<QUORVEL::HostClient> openTarget(const ResolvedTarget& target, std::chrono::milliseconds timeout,
                                              Failure& failure);

// SINK as the user wrote it: its number (the key the target lists) or its name.
std::optional<QUORVEL::SinkListing> resolveSink(QUORVEL::HostClient& client, const ResolvedTarget& target,
                                                const std::string& text, Failure& failure);

// The failure for a target that stopped answering.
Failure noAnswer(const ResolvedTarget& target);
// fail() with noAnswer(target).
int failNoAnswer(const ResolvedTarget& target);

// What every command that talks to one target starts with: --timeout, TARGET
// resolved, a client of its discovery port.
struct TargetSession {
    ResolvedTarget target;
    QUORVEL::HostClient client;
    std::chrono::milliseconds timeout;
};
std::optional<TargetSession> openSession(const std::string& text, const Arguments& arguments,
                                         Failure& failure);

// The target's address with another port (a sink's or a status channel's).
VEMRA::SocketAddress withPort(const VEMRA::SocketAddress& address, uint16_t port);
// "fe80::a%qh" or "[fe80::a%qh]:20000" when the port is not the discovery port.
std::string endpointText(const VEMRA::SocketAddress& address, bool withPortAlways = false);

} // namespace QUORVELHOST
