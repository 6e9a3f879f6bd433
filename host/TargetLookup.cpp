#include "host/TargetLookup.h"

#include "foundation/AddressText.h"
#include "foundation/LocalAddresses.h"
#include "protocol/MessageCode.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <net/if.h>
#include <set>

namespace QUORVEL {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<uint32_t> decimalNumber(const std::string& text, uint32_t largest) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > largest) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<uint32_t> interfaceIndex(const std::string& text) {
    if (const auto number = decimalNumber(text, UINT32_MAX)) {
        return *number == 0 ? std::nullopt : number;
    }
    const unsigned index = ::if_nametoindex(text.c_str());
    return index == 0 ? std::nullopt : std::optional<uint32_t>(index);
}

std::string interfaceName(uint32_t index) {
    char name[IF_NAMESIZE] = {};
    return ::if_indextoname(index, name) != nullptr ? std::string(name) : std::to_string(index);
}

} // namespace

std::vector<std::string> discoveryInterfaces() {
    std::map<VEMRA::SocketAddress, std::string> addresses;
    std::set<std::string> names;
    if (VEMRA::linkLocalAddresses(addresses, false)) {
        for (const auto& [address, name] : addresses) {
            names.insert(name);
        }
    }
    return std::vector<std::string>(names.begin(), names.end());
}

std::vector<FoundTarget> discoverOn(const std::vector<std::string>& interfaces,
                                    std::chrono::milliseconds wait, std::vector<std::string>* unknown,
                                    uint16_t port) {
    std::vector<FoundTarget> found;
    HostSocket socket;
    if (!socket.open()) {
        return found;
    }
    const auto sent = Clock::now();
    for (const std::string& name : interfaces) {
        const unsigned index = ::if_nametoindex(name.c_str());
        Send message(DISCOVER, 0);
        if (index == 0 || !socket.send(message, allNodesAddress(port, index))) {
            if (unknown != nullptr) {
                unknown->push_back(name);
            }
        }
    }
    const auto deadline = sent + wait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const auto answer = socket.receive(DISCOVER_ANS, left);
        if (!answer) {
            break;
        }
        const auto arrived = Clock::now();
        const bool known = std::any_of(found.begin(), found.end(), [&](const FoundTarget& target) {
            return target.identity.endpoint == answer->from;
        });
        if (!known) {
            FoundTarget target;
            target.identity = TargetIdentity{answer->from, answer->value64(), answer->payloadText()};
            target.interfaceName = interfaceName(answer->from.scope);
            target.responseTime = std::chrono::duration_cast<std::chrono::microseconds>(arrived - sent);
            found.push_back(std::move(target));
        }
    }
    return found;
}

std::optional<VEMRA::SocketAddress> parseTargetAddress(const std::string& text, uint16_t defaultPort,
                                                       std::string& error) {
    std::string host = text;
    uint16_t port = defaultPort;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "missing ']' in '" + text + "'";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            const auto number = rest.front() == ':' ? decimalNumber(rest.substr(1), 65535) : std::nullopt;
            if (!number || *number == 0) {
                error = "bad port in '" + text + "' (expected [ADDRESS]:PORT, PORT 1-65535)";
                return std::nullopt;
            }
            port = static_cast<uint16_t>(*number);
        }
    }
    std::string scopeText;
    const size_t percent = host.find('%');
    if (percent != std::string::npos) {
        scopeText = host.substr(percent + 1);
        host.resize(percent);
    }
    VEMRA::SocketAddress address;
    if (host.empty() || ::inet_pton(AF_INET6, host.c_str(), address.address.data()) != 1) {
        error = "'" + text + "' is not an IPv6 address";
        return std::nullopt;
    }
    if (percent != std::string::npos) {
        const auto index = interfaceIndex(scopeText);
        if (!index) {
            error = "no interface '" + scopeText + "'";
            return std::nullopt;
        }
        address.scope = *index;
    } else if (address.isLinkLocal()) {
        error = "link-local address " + host + " needs its interface, as " + host + "%IF";
        return std::nullopt;
    }
    address.setHostPort(port);
    return address;
}

bool targetMatches(const TargetIdentity& target, const std::string& text) {
    if (text == target.name) {
        return true;
    }
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.size() != 16 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return false;
    }
    return std::strtoull(digits.c_str(), nullptr, 16) == target.targetId;
}

std::string endpointText(const VEMRA::SocketAddress& address, bool withPortAlways) {
    std::string text = VEMRA::addressText(address);
    if (address.scope != 0) {
        text += "%" + interfaceName(address.scope);
    }
    if (withPortAlways || address.hostPort() != kTargetDiscoveryPort) {
        text = "[" + text + "]:" + std::to_string(address.hostPort());
    }
    return text;
}

std::optional<VEMRA::SocketAddress> lookUpTarget(const std::string& text, std::vector<std::string> interfaces,
                                                 std::chrono::milliseconds wait, TargetLookupError& error) {
    const bool looksLikeAddress =
        text.find(':') != std::string::npos || (!text.empty() && text.front() == '[');
    if (looksLikeAddress) {
        const auto address = parseTargetAddress(text, kTargetDiscoveryPort, error.text);
        error.usage = !address;
        return address;
    }
    if (text.empty()) {
        error = {true, "empty TARGET"};
        return std::nullopt;
    }
    if (interfaces.empty()) {
        interfaces = discoveryInterfaces();
    }
    if (interfaces.empty()) {
        error = {false, "no interface with a link-local address to look up '" + text + "' on"};
        return std::nullopt;
    }
    std::vector<std::string> unknown;
    const auto found = discoverOn(interfaces, wait, &unknown);
    if (!unknown.empty() && unknown.size() == interfaces.size()) {
        error = {true, "no interface '" + unknown.front() + "'"};
        return std::nullopt;
    }
    std::vector<FoundTarget> matches;
    std::copy_if(found.begin(), found.end(), std::back_inserter(matches),
                 [&](const FoundTarget& target) { return targetMatches(target.identity, text); });
    if (matches.empty()) {
        error = {false, "no target named '" + text + "' answered (" + std::to_string(found.size()) +
                            " other target(s) did; try 'quorvel_host discover')"};
        return std::nullopt;
    }
    if (matches.size() > 1) {
        error = {false, std::to_string(matches.size()) + " targets match '" + text + "' (" +
                            endpointText(matches[0].identity.endpoint) + ", " +
                            endpointText(matches[1].identity.endpoint) + "...); give an address instead"};
        return std::nullopt;
    }
    VEMRA::SocketAddress address = matches.front().identity.endpoint;
    address.setHostPort(kTargetDiscoveryPort);
    return address;
}

} // namespace QUORVEL
