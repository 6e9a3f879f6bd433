#include "protocol/PacketRing.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

namespace QUORVEL {
namespace {

TEST(SinkBufferTest, PrefillAndUnderrunSizes) {
    const SinkBuffer::Prefill cd = SinkBuffer::prefillFor(cdFormat(), 1000);
    EXPECT_EQ(cd.total, 17640U);
    EXPECT_EQ(cd.chunk, 588U);
    EXPECT_EQ(cd.frame, 4U);
    EXPECT_EQ(cd.total / cd.chunk, 30U);

    // 24-bit samples in 6-channel frames: whole frames only.
    const SinkBuffer::Prefill six = SinkBuffer::prefillFor(makeFormat(AudioFormat::kPcm24, 44100, 6), 7);
    EXPECT_EQ(six.frame, 18U);
    EXPECT_EQ(six.total % six.frame, 0U);
    EXPECT_EQ(six.total, 540U); // 555 bytes cut to whole frames

    EXPECT_EQ(SinkBuffer::underrunBytes(makeFormat(AudioFormat::kPcm24, 48000, 2)), 2880U);
    EXPECT_EQ(SinkBuffer::underrunBytes(cdFormat()), 1764U);
    // No rate, no silence to size (and no division by zero).
    EXPECT_EQ(SinkBuffer::underrunBytes(AudioFormat(0x02 | AudioFormat::kPcm16)), 0U);
    const SinkBuffer::Prefill none = SinkBuffer::prefillFor(AudioFormat(0x02 | AudioFormat::kPcm16), 1000);
    EXPECT_EQ(none.total, 0U);
    EXPECT_EQ(none.chunk, 0U);
}

// 6.5 s of the hungriest PCM stream would be 644 MB of silence, allocated at
// once. The pre-fill is bounded by bytes: a prepared latency beyond the bound
// is clamped and written back (the Host sees a clamp), and the plan itself
// never exceeds it.
TEST(SinkBufferTest, PrefillIsBoundedByBytes) {
    constexpr uint64_t kBound = uint64_t{32} << 20;
    const AudioFormat hungry = makeFormat(AudioFormat::kFloat64, 768000, 16);
    const SinkBuffer::Prefill plan = SinkBuffer::prefillFor(hungry, 65535);
    EXPECT_LE(plan.total, kBound);
    EXPECT_GT(plan.total, kBound - plan.frame);
    EXPECT_EQ(plan.total % plan.frame, 0U);

    VEMRA::SocketWaitSet pollSet;
    TestSinkBackEnd sink(SinkRig::defaultInfo(), pollSet, testSinkConfig(1, nullptr), TestBackEndOptions());
    sink.setLatencyDefault(1000);
    PrepareFormat word = PrepareFormat::fromFormat(hungry, 65535);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 3413) << "32 MiB of 98 304 000 bytes a second";
    EXPECT_EQ(sink.currentLatency(), 3413);
    EXPECT_LE(SinkBuffer::prefillFor(hungry, word.latency()).total, kBound);
    EXPECT_GT(SinkBuffer::prefillFor(hungry, word.latency()).total, kBound - 98304000 / 10000);

    // The word names the class, not the sample size: 32-bit integers at
    // 768 kHz are bounded as if they were 64-bit.
    word = PrepareFormat::fromFormat(makeFormat(AudioFormat::kPcm32, 768000, 2), 65535);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 27306);
    // What fits keeps the latency asked for, up to the largest.
    word = PrepareFormat::fromFormat(cdFormat(), 65535);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 65535);
    word = PrepareFormat::fromFormat(hiResFormat(), 20000);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 20000);
    // The default the word leaves to the sink is bounded as well, silently.
    word = PrepareFormat::fromFormat(hungry, 0);
    sink.setLatencyDefault(5000);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 0);
    EXPECT_EQ(sink.currentLatency(), 3413);
}

TEST(SinkBufferTest, RateFeedbackValues) {
    EXPECT_EQ(SinkBuffer::rateFor(1000, 1000), 0x8000);
    EXPECT_EQ(SinkBuffer::rateFor(0, 1000), 0xC000);
    EXPECT_EQ(SinkBuffer::rateFor(500, 1000), 0xE000);
    EXPECT_EQ(SinkBuffer::rateFor(1500, 1000), 0xA000);
    EXPECT_EQ(SinkBuffer::rateFor(2000, 1000), 0x8000); // at twice the target: no correction
    EXPECT_EQ(SinkBuffer::rateFor(65535, 1000), 0x8000);
    EXPECT_EQ(SinkBuffer::rateFor(999, 1000), 0x8000 | static_cast<uint16_t>(-16)); // truncated toward zero
    EXPECT_EQ(SinkBuffer::rateFor(500, 0), 0x8000);                                 // no target

    // Queue depth in 100 us units: one second of CD audio is 10 000 units.
    EXPECT_EQ(SinkBuffer::fillFor(0, 176400, 176400), 10000);
    EXPECT_EQ(SinkBuffer::fillFor(25, 1764, 176400), 125);
    EXPECT_EQ(SinkBuffer::fillFor(0, 176400ULL * 100, 176400), 0xFFFF); // saturates, never wraps
    EXPECT_EQ(SinkBuffer::fillFor(7, 1000, 0), 7);
    EXPECT_EQ(SinkBuffer::fillFor(7, 1000, 99), 7);
}

TEST(SinkBufferTest, LatencyClampAndDefault) {
    VEMRA::SocketWaitSet pollSet;
    TestSinkBackEnd sink(SinkRig::defaultInfo(), pollSet, testSinkConfig(1, nullptr), TestBackEndOptions());
    sink.setLatencyRange(100, 20000, 1000);

    PrepareFormat word = PrepareFormat::fromFormat(cdFormat(), 0);
    const PrepareFormat unchanged = word;
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word, unchanged);
    EXPECT_EQ(sink.currentLatency(), 1000);

    word.setLatency(70);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 100);
    EXPECT_EQ(sink.currentLatency(), 100);

    word.setLatency(4321);
    EXPECT_TRUE(sink.setPrepareFormat(word));
    EXPECT_EQ(word.latency(), 4321);
    EXPECT_EQ(sink.currentLatency(), 4321);

    uint16_t maximum = 0;
    uint16_t device = 55;
    uint16_t latency = 0;
    sink.getLatency(maximum, device, latency);
    EXPECT_EQ(maximum, 20000);
    EXPECT_EQ(latency, 1000);
    EXPECT_EQ(device, 0); // the test back end's device latency
    latency = 65535;
    sink.getLatency(maximum, device, latency);
    EXPECT_EQ(latency, 20000);
    latency = 1;
    sink.getLatency(maximum, device, latency);
    EXPECT_EQ(latency, 100);

    uint16_t fill = 9;
    uint16_t target = 0;
    EXPECT_TRUE(sink.getBufferState(fill, target));
    EXPECT_EQ(fill, 0);
    EXPECT_EQ(target, 4321);
}

TEST(SinkBufferTest, RingHoldsTenTwentyThreeSlots) {
    VEMRA::SocketWaitSet pollSet;
    TestSinkBackEnd sink(SinkRig::defaultInfo(), pollSet, testSinkConfig(1, nullptr), TestBackEndOptions());
    // No transport worker runs: nothing empties the ring.
    PacketSlot* first = sink.writeSlot();
    EXPECT_GE(first->buffer.size(), 1500U);
    for (int i = 0; i < 1023; ++i) {
        ASSERT_TRUE(sink.commitWrite(false)) << i;
    }
    EXPECT_FALSE(sink.commitWrite(false));
    EXPECT_EQ(sink.packetRing().available(), 1023U);
    // The slot being filled never is one the consumer holds.
    EXPECT_NE(sink.writeSlot(), &sink.packetRing().readSlot());

    PacketRing ring(64);
    EXPECT_TRUE(ring.empty());
    ring.writeSlot().length = 7;
    ASSERT_TRUE(ring.commit());
    EXPECT_EQ(ring.available(), 1U);
    EXPECT_EQ(ring.readSlot().length, 7U);
    ring.release();
    EXPECT_TRUE(ring.empty());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(ring.commit());
    }
    ring.discardAll();
    EXPECT_TRUE(ring.empty());
    // Only what was published before a position is dropped.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ring.commit());
    }
    const uint64_t start = ring.writePosition();
    ring.writeSlot().length = 42;
    ASSERT_TRUE(ring.commit());
    ring.discardUpTo(start);
    ASSERT_EQ(ring.available(), 1U);
    EXPECT_EQ(ring.readSlot().length, 42U);
    ring.discardUpTo(start + 5); // not among the published slots: nothing happens
    EXPECT_EQ(ring.available(), 1U);
    ring.release();
    // Indices wrap after slot 1023.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(ring.commit());
        ring.release();
    }
    EXPECT_TRUE(ring.empty());
}

} // namespace
} // namespace QUORVEL
