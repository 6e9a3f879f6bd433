#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace QUORVEL {

// One datagram or one output chunk. Buffers travel between the ring and the
// output queue by swapping, so the audio bytes are never copied.
struct PacketSlot {
    std::vector<uint8_t> buffer;
    uint64_t offset = 0; // where the audio starts in `buffer`
    uint64_t length = 0; // audio byte count

    const uint8_t* audio() const { return buffer.data() + offset; }

    // Exchanges buffer, offset and length with `other`.
    void swapWith(PacketSlot& other) noexcept {
        buffer.swap(other.buffer);
        std::swap(offset, other.offset);
        std::swap(length, other.length);
    }
};

} // namespace QUORVEL
