#include "tools/quorvel_host/TargetAccess.h"

#include "foundation/AddressText.h"
#include "host/TargetLookup.h"
#include "tools/quorvel_host/Output.h"

#include <algorithm>
#include <cmath>
#include <net/if.h>
#include <strings.h>

namespace QUORVELHOST {

const OptionRule kTimeoutOption{"timeout", true};
const OptionRule kInterfaceOption{"interface", true};

namespace {

constexpr auto kLookupWait = std::chrono::milliseconds(1000);
constexpr auto kAnswerWait = std::chrono::milliseconds(1000);

bool looksLikeAddress(const std::string& text) {
    return text.find(':') != std::string::npos || (!text.empty() && text.front() == '[');
}

} // namespace

std::optional<std::chrono::milliseconds> timeoutOption(const Arguments& arguments,
                                                       std::chrono::milliseconds fallback, Failure& failure) {
    if (!arguments.has("timeout")) {
        return fallback;
    }
    const auto seconds = parseDecimal(arguments.value("timeout"));
    if (!seconds || *seconds <= 0 || *seconds > 3600) {
        failure = {kExitUsage, "bad --timeout '" + arguments.value("timeout") + "' (seconds, e.g. 0.5 or 3)"};
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(*seconds * 1000)));
}

std::optional<ResolvedTarget> resolveTarget(const std::string& text, const Arguments& arguments,
                                            Failure& failure) {
    if (looksLikeAddress(text)) {
        std::string error;
        const auto address = QUORVEL::parseTargetAddress(text, QUORVEL::kTargetDiscoveryPort, error);
        if (!address) {
            failure = {kExitUsage, error};
            return std::nullopt;
        }
        return ResolvedTarget{*address, text};
    }
    if (text.empty()) {
        failure = {kExitUsage, "empty TARGET"};
        return std::nullopt;
    }
    const std::vector<std::string> interfaces = arguments.has("interface")
                                                    ? std::vector<std::string>{arguments.value("interface")}
                                                    : QUORVEL::discoveryInterfaces();
    if (interfaces.empty()) {
        failure = {kExitFailure, "no interface with a link-local address to look up '" + text + "' on"};
        return std::nullopt;
    }
    std::vector<std::string> unknown;
    const auto wait = timeoutOption(arguments, kLookupWait, failure);
    if (!wait) {
        return std::nullopt;
    }
    const auto found = QUORVEL::discoverOn(interfaces, *wait, &unknown);
    if (!unknown.empty() && unknown.size() == interfaces.size()) {
        failure = {kExitUsage, "no interface '" + unknown.front() + "'"};
        return std::nullopt;
    }
    std::vector<QUORVEL::FoundTarget> matches;
    std::copy_if(
        found.begin(), found.end(), std::back_inserter(matches),
        [&](const QUORVEL::FoundTarget& target) { return QUORVEL::targetMatches(target.identity, text); });
    if (matches.empty()) {
        failure = {kExitFailure, "no target named '" + text + "' answered (" + std::to_string(found.size()) +
                                     " other target(s) did; try 'quorvel_host discover')"};
        return std::nullopt;
    }
    if (matches.size() > 1) {
        failure = {kExitFailure, std::to_string(matches.size()) + " targets match '" + text + "' (" +
                                     endpointText(matches[0].identity.endpoint) + ", " +
                                     endpointText(matches[1].identity.endpoint) +
                                     "...); give an address instead"};
        return std::nullopt;
    }
    VEMRA::SocketAddress address = matches.front().identity.endpoint;
    address.setHostPort(QUORVEL::kTargetDiscoveryPort);
    return ResolvedTarget{address, text};
}

std::optional<QUORVEL::HostClient> openTarget(const ResolvedTarget& target, std::chrono::milliseconds timeout,
                                              Failure& failure) {
    QUORVEL::HostClient client(target.address, timeout);
    if (!client.open()) {
        failure = {kExitFailure,
                   "cannot open a UDP socket (error " + std::to_string(client.socket().error()) + ")"};
        return std::nullopt;
    }
    return client;
}

Failure noAnswer(const ResolvedTarget& target) {
    return {kExitFailure, "no answer from " + target.label + " (" + endpointText(target.address, true) +
                              "); is the target running and reachable?"};
}

int failNoAnswer(const ResolvedTarget& target) {
    const Failure failure = noAnswer(target);
    return fail(failure.code, failure.message);
}

std::optional<TargetSession> openSession(const std::string& text, const Arguments& arguments,
                                         Failure& failure) {
    const auto timeout = timeoutOption(arguments, kAnswerWait, failure);
    auto target = timeout ? resolveTarget(text, arguments, failure) : std::nullopt;
    auto client = target ? openTarget(*target, *timeout, failure) : std::nullopt;
    if (!client) {
        return std::nullopt;
    }
    return TargetSession{std::move(*target), std::move(*client), *timeout};
}

std::optional<QUORVEL::SinkListing> resolveSink(QUORVEL::HostClient& client, const ResolvedTarget& target,
                                                const std::string& text, Failure& failure) {
    const auto sinks = QUORVEL::listSinks(client);
    if (!sinks) {
        failure = noAnswer(target);
        return std::nullopt;
    }
    const auto number = parseUnsigned(text, 65535);
    auto found = std::find_if(sinks->begin(), sinks->end(), [&](const QUORVEL::SinkListing& sink) {
        return number ? sink.key == *number : sink.name == text;
    });
    if (found == sinks->end() && !number) {
        found = std::find_if(sinks->begin(), sinks->end(), [&](const QUORVEL::SinkListing& sink) {
            return strcasecmp(sink.name.c_str(), text.c_str()) == 0;
        });
    }
    if (found == sinks->end()) {
        std::string offered;
        for (const QUORVEL::SinkListing& sink : *sinks) {
            offered += (offered.empty() ? "" : ", ") + std::to_string(sink.key) + " \"" + sink.name + "\"";
        }
        failure = {kExitFailure, "no sink '" + text + "' on " + target.label + " (it offers " +
                                     (offered.empty() ? std::string("none") : offered) + ")"};
        return std::nullopt;
    }
    return *found;
}

VEMRA::SocketAddress withPort(const VEMRA::SocketAddress& address, uint16_t port) {
    VEMRA::SocketAddress moved = address;
    moved.setHostPort(port);
    return moved;
}

std::string endpointText(const VEMRA::SocketAddress& address, bool withPortAlways) {
    std::string text = VEMRA::addressText(address);
    if (address.scope != 0) {
        char name[IF_NAMESIZE] = {};
        text += "%";
        text += ::if_indextoname(address.scope, name) != nullptr ? std::string(name)
                                                                 : std::to_string(address.scope);
    }
    if (withPortAlways || address.hostPort() != QUORVEL::kTargetDiscoveryPort) {
        text = "[" + text + "]:" + std::to_string(address.hostPort());
    }
    return text;
}

} // namespace QUORVELHOST
