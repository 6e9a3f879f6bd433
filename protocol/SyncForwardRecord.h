#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace QUORVEL {

// One timing entry of a SYNC_FORWARD payload, which the Target sends its
// sinks over loopback: a Host's published timing value and the Host's
// address and interface. Records follow each other without padding.
struct SyncForwardRecord {
    static constexpr size_t kBytes = 26; // u64 value, 16-byte address, u16 interface index

    uint64_t value = 0;
    std::array<uint8_t, 16> address{};
    uint16_t interfaceIndex = 0;

    // Writes kBytes at `out`.
    void encode(uint8_t* out) const;
    // Reads kBytes at `in`.
    static SyncForwardRecord decode(const uint8_t* in);
};

} // namespace QUORVEL
