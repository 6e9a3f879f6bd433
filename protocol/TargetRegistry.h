#pragma once

#include "protocol/WireMessage.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace QUORVEL {

// Where one sink control channel listens, as learnt from its PORT_REGIST.
struct PortRegistration {
    uint64_t lastSeen = 0;
    uint16_t port = 0; // host byte order
    bool busy = false;
    std::string name;
};

// Where one status channel listens, as learnt from its STATUS_REGIST.
struct StatusRegistration {
    uint64_t lastSeen = 0;
    uint16_t port = 0; // host byte order
    bool busy = false;
    std::string name;
    Block block{};         // opaque to the Target
    uint16_t kindWord = 0; // 0: control channel, otherwise sink channel
    uint16_t word3 = 0;
};

// The registrations of one run of the Target's loop; touched only by the
// Target's worker thread.
class TargetRegistry {
public:
    static constexpr size_t kPortTableCount = 6;
    static constexpr uint64_t kLifetime = 10'000'000'000'000ULL; // 10 s in picoseconds

    using PortTable = std::map<uint16_t, PortRegistration>;
    using StatusTable = std::map<uint16_t, StatusRegistration>;

    // Removes every registration not renewed for more than kLifetime before
    // `now`, calling `removedPort(key)` / `removedStatus(key)` for each.
    void expire(uint64_t now, const std::function<void(uint16_t)>& removedPort,
                const std::function<void(uint16_t)>& removedStatus);
    // Whether any remaining registration reports itself busy.
    bool anyBusy() const;

    PortTable& portTable(size_t index) { return portTables[index]; }
    const PortTable& portTable(size_t index) const { return portTables[index]; }
    StatusTable& statusTable() { return statuses; }
    const StatusTable& statusTable() const { return statuses; }

    // Largest key of a table, 0 when it is empty.
    static uint16_t largestKey(const PortTable& table);
    static uint16_t largestKey(const StatusTable& table);

private:
    std::array<PortTable, kPortTableCount> portTables;
    StatusTable statuses;
};

} // namespace QUORVEL
