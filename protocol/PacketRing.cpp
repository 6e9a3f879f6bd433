#include "protocol/PacketRing.h"

namespace QUORVEL {

PacketRing::PacketRing(size_t slotBytes) : bytesPerSlot(slotBytes) {
    for (PacketSlot& slot : slots) {
        slot.buffer.resize(slotBytes);
    }
}

bool PacketRing::commit() {
    const uint64_t current = writeIndex.load(std::memory_order_relaxed);
    const uint64_t following = next(current);
    // Acquire: the consumer's swaps into that slot are complete before the
    // producer may receive into it again.
    if (following == readIndex.load(std::memory_order_acquire)) {
        return false;
    }
    writeIndex.store(following, std::memory_order_release);
    return true;
}

size_t PacketRing::available() const {
    const uint64_t write = writeIndex.load(std::memory_order_acquire);
    const uint64_t read = readIndex.load(std::memory_order_relaxed);
    return (write + kSlotCount - read) & (kSlotCount - 1);
}

void PacketRing::release() {
    readIndex.store(next(readIndex.load(std::memory_order_relaxed)), std::memory_order_release);
}

void PacketRing::discardUpTo(uint64_t position) {
    const uint64_t read = readIndex.load(std::memory_order_relaxed);
    const uint64_t stale = (position + kSlotCount - read) & (kSlotCount - 1);
    if (position < kSlotCount && stale <= available()) {
        readIndex.store(position, std::memory_order_release);
    }
}

size_t PacketRing::heldBytes() const {
    size_t bytes = 0;
    for (const PacketSlot& slot : slots) {
        bytes += slot.buffer.size();
    }
    return bytes;
}

void PacketRing::discardAll() {
    readIndex.store(writeIndex.load(std::memory_order_acquire), std::memory_order_release);
}

} // namespace QUORVEL
