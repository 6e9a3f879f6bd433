#pragma once

#include "foundation/SocketAddress.h"

#include <cstdint>
#include <map>

namespace QUORVEL {

// Clock-offset bookkeeping for one Host (address and scope; port zeroed).
struct SynchroRecord {
    // Activity of one of the Host's source ports.
    struct PortActivity {
        uint16_t lastSequence = 0;
        uint64_t lastTime = 0;
    };

    int64_t published = 0; // offset last forwarded to the sinks, picoseconds
    int64_t current = 0;   // smallest-magnitude offset of the running window
    bool restart = false;
    int32_t count = 0;
    std::map<uint16_t, PortActivity> ports; // by source port, host order
};

using SynchroTable = std::map<VEMRA::SocketAddress, SynchroRecord>;

// The key of a Host in the synchro table: its address and scope, port zeroed.
inline VEMRA::SocketAddress synchroKey(const VEMRA::SocketAddress& sender) {
    VEMRA::SocketAddress key = sender;
    key.port = 0;
    return key;
}

} // namespace QUORVEL
