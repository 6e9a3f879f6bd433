#include "tools/quorvel_host/TargetAccess.h"

#include "host/TargetLookup.h"
#include "tools/quorvel_host/Output.h"

#include <algorithm>
#include <cmath>

namespace QUORVELHOST {

const OptionRule kTimeoutOption{"timeout", true};
const OptionRule kInterfaceOption{"interface", true};

namespace {

constexpr auto kLookupWait = std::chrono::milliseconds(1000);
constexpr auto kAnswerWait = std::chrono::milliseconds(1000);

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
    const auto wait = timeoutOption(arguments, kLookupWait, failure);
    if (!wait) {
        return std::nullopt;
    }
    std::vector<std::string> interfaces;
    if (arguments.has("interface")) {
        interfaces.push_back(arguments.value("interface"));
    }
    QUORVEL::TargetLookupError error;
    const auto address = QUORVEL::lookUpTarget(text, interfaces, *wait, error);
    if (!address) {
        failure = {error.usage ? kExitUsage : kExitFailure, error.text};
        return std::nullopt;
    }
    return ResolvedTarget{*address, text};
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
    const auto found = QUORVEL::findSink(*sinks, text);
    if (!found) {
        failure = {kExitFailure, "no sink '" + text + "' on " + target.label + " (it offers " +
                                     QUORVEL::offeredSinksText(*sinks) + ")"};
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
    return QUORVEL::endpointText(address, withPortAlways);
}

} // namespace QUORVELHOST
