#pragma once

#include "foundation/SocketAddress.h"

#include <cstdint>
#include <mutex>

namespace QUORVEL {

// The prepare step's memory: the last prepared word and the Host that sent
// it. One per process, shared by every sink; the node threads of several
// sinks use it at once, so every access holds `mutex`.
struct PrepareCache {
    std::mutex mutex;
    uint64_t preparedWord = 0;         // guarded by mutex
    VEMRA::SocketAddress preparedHost; // guarded by mutex; all zero = nobody
    // The sink whose latency `preparedWord` was applied to: an equal word
    // prepared earlier on another sink does not set this sink's latency.
    const void* preparedBy = nullptr; // guarded by mutex

    // The process-wide cache.
    static PrepareCache& process();
};

} // namespace QUORVEL
