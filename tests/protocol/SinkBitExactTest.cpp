// ctest-labels: threads
#include "host/StreamSender.h"
#include "support/LogCapture.h"
#include "support/SilenceBlocks.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace QUORVEL {
namespace {

// Ten seconds of pseudo-random 192 kHz / 32-bit / stereo audio through the
// whole sink, over [::1], into a back end that plays at the device's pace:
// the device must get the pre-fill silence, then exactly the bytes the Host
// sent, then nothing but silence. A late sender (a loaded machine) may cost
// underruns and resends, but never a byte of the audio.
TEST(SinkBitExactTest, TenSecondsOfHiResAudioArriveUnchanged) {
    LogCapture log(VEMRA::kLogInfo);
    const AudioFormat format = hiResFormat();
    std::vector<uint8_t> audio(static_cast<size_t>(format.bytesPerSecond() * 10));
    std::mt19937_64 random(20260101);
    for (size_t i = 0; i < audio.size(); i += 8) {
        const uint64_t word = random();
        std::copy_n(reinterpret_cast<const uint8_t*>(&word), 8,
                    audio.begin() + static_cast<std::ptrdiff_t>(i));
    }

    SinkRig rig;
    ASSERT_TRUE(rig.start());
    const uint16_t streamPort = rig.connect(format);
    ASSERT_NE(streamPort, 0);

    StreamConfig config;
    config.format = format;
    config.linger = std::chrono::milliseconds(0); // stream() returns with the last datagram
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(streamPort), config);
    ASSERT_TRUE(sender.stream(audio));
    // The answer follows the drain, which a busy machine (or a sanitizer)
    // can make take seconds.
    const auto answer = rig.client->disconnect(streamPort, std::chrono::seconds(30));
    ASSERT_TRUE(answer);
    EXPECT_EQ(rig.sink().connState(), Idle);

    const std::vector<uint8_t> recorded = rig.sink().recorded();
    const uint64_t prefill = SinkBuffer::prefillFor(format, 1000).total;
    EXPECT_EQ(prefill, 153600U);
    std::vector<uint8_t> expected(prefill, 0);
    expected.insert(expected.end(), audio.begin(), audio.end());
    // Where the device ran dry the sink wrote whole blocks of underrun
    // silence between two datagrams, and nothing else: pseudo-random audio
    // never holds a block's worth of zero bytes, so each is told apart.
    const auto blocks =
        QUORVELTEST::insertedSilenceBlocks(recorded, expected, SinkBuffer::underrunBytes(format), 0);
    ASSERT_TRUE(blocks) << "the device's " << recorded.size() << " bytes are not the pre-fill and the "
                        << audio.size() << " bytes of audio";
    EXPECT_EQ(*blocks, log.count("empty sink buffer"));

    // The flush marks produced level reports that describe the queue.
    ASSERT_FALSE(sender.stats().levels.empty());
    for (const LevelReport& level : sender.stats().levels) {
        EXPECT_EQ(level.target, 1000);
        EXPECT_EQ(level.rate, SinkBuffer::rateFor(level.fill, level.target));
    }
}

} // namespace
} // namespace QUORVEL
