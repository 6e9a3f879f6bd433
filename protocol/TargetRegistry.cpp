#include "protocol/TargetRegistry.h"

namespace QUORVEL {

namespace {

// Signed so that a registration stamped after `now` (later in the same pass)
// never looks ancient.
bool isExpired(uint64_t now, uint64_t lastSeen) {
    return static_cast<int64_t>(now - lastSeen) > static_cast<int64_t>(TargetRegistry::kLifetime);
}

template <typename Table>
void expireTable(Table& table, uint64_t now, const std::function<void(uint16_t)>& removed) {
    for (auto it = table.begin(); it != table.end();) {
        if (isExpired(now, it->second.lastSeen)) {
            const uint16_t key = it->first;
            it = table.erase(it);
            removed(key);
        } else {
            ++it;
        }
    }
}

} // namespace

void TargetRegistry::expire(uint64_t now, const std::function<void(uint16_t)>& removedPort,
                            const std::function<void(uint16_t)>& removedStatus) {
    for (auto& table : portTables) {
        expireTable(table, now, removedPort);
    }
    expireTable(statuses, now, removedStatus);
}

bool TargetRegistry::anyBusy() const {
    for (const auto& table : portTables) {
        for (const auto& entry : table) {
            if (entry.second.busy) {
                return true;
            }
        }
    }
    for (const auto& entry : statuses) {
        if (entry.second.busy) {
            return true;
        }
    }
    return false;
}

uint16_t TargetRegistry::largestKey(const PortTable& table) {
    return table.empty() ? 0 : table.rbegin()->first;
}

uint16_t TargetRegistry::largestKey(const StatusTable& table) {
    return table.empty() ? 0 : table.rbegin()->first;
}

} // namespace QUORVEL
