// ctest-labels: threads
// The ring between the stream worker and the transport worker, with both
// sides on threads of their own as in a sink: every datagram arrives once,
// in order and whole, while the consumer swaps buffers out of the slots as
// the output queue does. Under ThreadSanitizer a missing acquire or release
// on either index shows here as a race on a slot's bytes.
#include "protocol/PacketRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using QUORVEL::PacketRing;
using QUORVEL::PacketSlot;

constexpr uint64_t kDatagrams = 200000;
constexpr size_t kSlotBytes = 64;

uint8_t patternByte(uint64_t serial, size_t at) {
    return static_cast<uint8_t>(serial * 31 + at);
}

TEST(PacketRingTest, TwoThreadsPassEveryDatagramInOrderAndWhole) {
    PacketRing ring(kSlotBytes);
    std::atomic<bool> producerDone{false};
    std::atomic<bool> shortSlot{false};

    std::thread producer([&] {
        for (uint64_t serial = 0; serial < kDatagrams;) {
            PacketSlot& slot = ring.writeSlot();
            if (slot.buffer.size() < kSlotBytes) {
                shortSlot = true; // a slot lost its buffer in an exchange
                break;
            }
            const size_t length = 1 + serial % kSlotBytes;
            for (size_t at = 0; at < length; ++at) {
                slot.buffer[at] = patternByte(serial, at);
            }
            slot.offset = 0;
            slot.length = length;
            if (ring.commit()) {
                ++serial;
            } else {
                std::this_thread::yield(); // full: the consumer is behind, fill the same slot again
            }
        }
        producerDone = true;
    });

    // The consumer keeps its own buffers and swaps each datagram out, as the
    // transport worker moves datagrams into its queue.
    PacketSlot taken;
    taken.buffer.resize(kSlotBytes);
    uint64_t expected = 0;
    uint64_t wrong = 0;
    while (expected < kDatagrams) {
        if (ring.empty()) {
            if (producerDone.load() && ring.empty()) {
                break;
            }
            std::this_thread::yield();
            continue;
        }
        taken.swapWith(ring.readSlot());
        ring.release();
        bool whole = taken.length == 1 + expected % kSlotBytes;
        for (size_t at = 0; whole && at < taken.length; ++at) {
            whole = taken.buffer[taken.offset + at] == patternByte(expected, at);
        }
        wrong += whole ? 0 : 1;
        ++expected;
    }
    producer.join();

    EXPECT_FALSE(shortSlot.load());
    EXPECT_EQ(expected, kDatagrams) << "datagrams lost";
    EXPECT_EQ(wrong, 0U) << "datagrams out of order or torn";
    EXPECT_TRUE(ring.empty());
}

} // namespace
