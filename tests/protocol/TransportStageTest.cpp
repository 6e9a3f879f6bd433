// ctest-labels: threads
// The transport stage alone, over a ring and an output of the test's own:
// a connection's output is its pre-fill and then its datagrams, whole and in
// order, with nothing left over from before it; the flush mark measures the
// whole queue; the drain releases the device once and only then lets the
// stream side go on.
#include "protocol/TransportStage.h"

#include "foundation/ThreadScheduling.h"
#include "protocol/Sink.h"
#include "protocol/SinkBuffer.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {

using QUORVEL::AudioFormat;
using QUORVEL::PacketRing;
using QUORVEL::PacketSlot;
using QUORVEL::SinkBuffer;
using QUORVEL::TransportStage;

class RecordingOutput : public QUORVEL::AudioOutput {
public:
    void startAudio(uint64_t) override {}
    bool writeAudio(const uint8_t* data, size_t bytes) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (released > 0) {
            writtenAfterRelease = true;
        }
        recorded.insert(recorded.end(), data, data + bytes);
        return true;
    }
    bool releaseOutput() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++released;
        return true;
    }

    std::mutex mutex;
    std::vector<uint8_t> recorded; // guarded by mutex
    int released = 0;              // guarded by mutex
    bool writtenAfterRelease = false;
};

// As a receiving worker hands a datagram to the stage.
void commitDatagram(TransportStage& stage, uint8_t fill, size_t length, bool flush = false) {
    PacketSlot& slot = stage.writeSlot();
    std::fill(slot.buffer.begin(), slot.buffer.begin() + static_cast<std::ptrdiff_t>(length), fill);
    slot.offset = 0;
    slot.length = length;
    ASSERT_TRUE(stage.commit(flush));
}

TEST(TransportStageTest, ConnectionPlaysPrefillThenItsDatagramsAndDrainsOnce) {
    const AudioFormat format = QUORVEL::cdFormat();
    PacketRing ring(SinkBuffer::kSlotBytes);
    std::atomic<bool> running{true};
    std::atomic<uint32_t> state{QUORVEL::Idle};
    std::atomic<uint64_t> serial{0};
    std::atomic<AudioFormat> linkFormat{format};
    std::atomic<uint16_t> latency{10}; // 1 ms
    std::atomic<uint16_t> rate{0xFFFF};
    std::atomic<uint16_t> fill{0};
    std::atomic<uint16_t> target{0};
    std::atomic<int> sinkWakes{0};
    RecordingOutput output;
    const QUORVEL::ConnectionView connection{running, state, serial, linkFormat, rate, fill, target};
    TransportStage stage(ring, output,
                         TransportStage::SinkLink{connection, latency, [&] { ++sinkWakes; },
                                                  [](uint16_t& bufferFill, uint16_t& bufferTarget) {
                                                      bufferFill = 0;
                                                      bufferTarget = 10;
                                                      return true;
                                                  }});
    // Whatever the test's outcome, the worker ends before the stage goes.
    struct StopOnExit {
        std::atomic<bool>& running;
        TransportStage& stage;
        ~StopOnExit() {
            running = false;
            stage.wake();
        }
    } stopOnExit{running, stage};
    ASSERT_TRUE(stage.start(VEMRA::Normal));

    // Left in the ring by an earlier connection: never played.
    commitDatagram(stage, 0xEE, 400);
    const TransportStage::Prefill prefill = SinkBuffer::prefillFor(format, latency.load());
    ASSERT_GT(prefill.total, 0U);
    stage.planConnection(prefill, format.silenceByte());

    // The whole connection is in the ring, with a flush mark, and already
    // disconnecting, before the stage serves it: what it plays and measures
    // does not depend on how the threads are scheduled.
    std::vector<uint8_t> expected(prefill.total, format.silenceByte());
    for (uint8_t n = 1; n <= 200; ++n) {
        const size_t length = 4 * (1 + size_t{n});
        commitDatagram(stage, n, length, n == 200);
        expected.insert(expected.end(), length, n);
    }
    state = QUORVEL::Disconnecting;
    ++serial;
    stage.wake();

    // The stream worker's side of the drain.
    ASSERT_TRUE(stage.awaitDrain());
    {
        std::lock_guard<std::mutex> lock(output.mutex);
        EXPECT_EQ(output.released, 1);
        EXPECT_FALSE(output.writtenAfterRelease);
        EXPECT_TRUE(output.recorded == expected)
            << "recorded " << output.recorded.size() << " bytes, expected " << expected.size();
    }
    EXPECT_EQ(fill.load(), SinkBuffer::fillFor(0, expected.size(), format.bytesPerSecond()))
        << "the flush mark measured part of the queue";
    EXPECT_EQ(rate.load(), SinkBuffer::rateFor(fill.load(), 10));
    EXPECT_TRUE(ring.empty());

    running = false;
    stage.wake();
    stage.join();
    EXPECT_FALSE(stage.started());
    EXPECT_EQ(sinkWakes.load(), 0) << "the stage gave the sink up";
}

} // namespace
