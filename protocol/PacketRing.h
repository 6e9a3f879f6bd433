#pragma once

#include "protocol/PacketSlot.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace QUORVEL {

// Single-producer single-consumer ring of 1024 datagram slots; one slot
// always stays free, so 1023 can be filled. The producer (stream worker, or
// the MS worker while it runs) receives straight into writeSlot() and
// publishes it with commit(); the consumer (transport worker) takes the slots
// between readIndex and writeIndex. Lock-free: each side reads the other's
// index with acquire and publishes its own with release.
class PacketRing {
public:
    static constexpr size_t kSlotCount = 1024;

    // Every slot gets a buffer of `slotBytes`. Before any thread runs.
    explicit PacketRing(size_t slotBytes);

    // Producer thread. The slot at writeIndex; never one the consumer holds.
    PacketSlot& writeSlot() { return slots[writeIndex.load(std::memory_order_relaxed)]; }
    // Producer thread. Publishes writeSlot(); false when the ring is full.
    bool commit();

    // Consumer thread. Slots published and not yet taken.
    size_t available() const;
    bool empty() const { return available() == 0; }
    // Consumer thread. The oldest published slot (only when !empty()).
    PacketSlot& readSlot() { return slots[readIndex.load(std::memory_order_relaxed)]; }
    // Consumer thread. Hands readSlot() back to the producer.
    void release();
    // Consumer thread. Drops everything published so far.
    void discardAll();
    // Any thread: the producer's position now (the slot it fills next).
    uint64_t writePosition() const { return writeIndex.load(std::memory_order_acquire); }
    // Consumer thread. Drops the published slots before `position` (a
    // writePosition() taken earlier); nothing when it is not among them.
    void discardUpTo(uint64_t position);

    size_t slotBytes() const { return bytesPerSlot; }
    // The bytes the slots' buffers hold, for a ring no worker touches (a sink
    // between connections). Slots exchange buffers with the output queue.
    size_t heldBytes() const;

private:
    static size_t next(size_t index) { return (index + 1) & (kSlotCount - 1); }

    std::array<PacketSlot, kSlotCount> slots;
    size_t bytesPerSlot;
    std::atomic<uint64_t> readIndex{0};  // advanced by the consumer only
    std::atomic<uint64_t> writeIndex{0}; // advanced by the producer only
};

} // namespace QUORVEL
