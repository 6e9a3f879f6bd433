#include "foundation/LocalAddresses.h"

#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>

namespace VEMRA {

namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

} // namespace

bool localAddresses(std::map<SocketAddress, std::string>& addresses) {
    // A fresh scan replaces the previous one, so addresses that went away do
    // not linger in a map the caller reuses.
    addresses.clear();
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return false;
    }
    std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6 ||
            entry->ifa_name == nullptr) {
            continue;
        }
        sockaddr_in6 native{};
        std::memcpy(&native, entry->ifa_addr, sizeof(native));
        SocketAddress key;
        std::memcpy(key.address.data(), &native.sin6_addr, key.address.size());
        key.scope = if_nametoindex(entry->ifa_name);
        addresses.emplace(key, entry->ifa_name);
    }
    return true;
}

bool linkLocalAddresses(std::map<SocketAddress, std::string>& addresses, bool includeLoopback) {
    if (!localAddresses(addresses)) {
        return false;
    }
    std::erase_if(addresses, [includeLoopback](const auto& entry) {
        const SocketAddress& key = entry.first;
        return !(key.isLinkLocal() || (includeLoopback && key.isLoopback()));
    });
    return true;
}

} // namespace VEMRA
