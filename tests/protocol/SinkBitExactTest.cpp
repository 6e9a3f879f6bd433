// ctest-labels: threads
#include "foundation/Clock.h"
#include "host/StreamSender.h"
#include "support/LogCapture.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace QUORVEL {
namespace {

// Ten seconds of pseudo-random 192 kHz / 32-bit / stereo audio through the
// whole sink, over [::1], into a back end that plays at the device's pace:
// the device must get the pre-fill silence, then exactly the bytes the Host
// sent, then nothing but silence.
TEST(SinkBitExactTest, TenSecondsOfHiResAudioArriveUnchanged) {
    LogCapture log(VEMRA::kLogInfo);
    const AudioFormat format = hiResFormat();
    std::vector<uint8_t> audio(static_cast<size_t>(format.bytesPerSecond() * 10));
    std::mt19937_64 random(20260101);
    for (size_t i = 0; i < audio.size(); i += 8) {
        const uint64_t word = random();
        std::copy_n(reinterpret_cast<const uint8_t*>(&word), 8, audio.begin() + static_cast<std::ptrdiff_t>(i));
    }

    SinkRig rig;
    ASSERT_TRUE(rig.start());
    const uint16_t streamPort = rig.connect(format);
    ASSERT_NE(streamPort, 0);

    StreamConfig config;
    config.format = format;
    config.linger = std::chrono::milliseconds(0); // stream() returns with the last datagram
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(streamPort), config);
    const uint64_t streamStart = VEMRA::clockNow();
    ASSERT_TRUE(sender.stream(audio));
    const uint64_t streamEnd = VEMRA::clockNow();
    const auto answer = rig.client->disconnect(streamPort);
    ASSERT_TRUE(answer);
    EXPECT_EQ(rig.sink().connState(), Idle);

    const std::vector<uint8_t> recorded = rig.sink().recorded();
    const uint64_t prefill = SinkBuffer::prefillFor(format, 1000).total;
    EXPECT_EQ(prefill, 153600U);
    ASSERT_GE(recorded.size(), prefill + audio.size());
    EXPECT_TRUE(std::all_of(recorded.begin(), recorded.begin() + static_cast<std::ptrdiff_t>(prefill),
                            [](uint8_t byte) { return byte == 0; }));
    const auto body = recorded.begin() + static_cast<std::ptrdiff_t>(prefill);
    const auto mismatch = std::mismatch(audio.begin(), audio.end(), body);
    EXPECT_EQ(mismatch.first, audio.end()) << "first differing byte at " << (mismatch.first - audio.begin());
    EXPECT_TRUE(std::all_of(body + static_cast<std::ptrdiff_t>(audio.size()), recorded.end(),
                            [](uint8_t byte) { return byte == 0; }));

    // Nothing was lost on the way, and the device never ran dry while the
    // Host was streaming.
    EXPECT_EQ(sender.stats().gapReports, 0U);
    EXPECT_EQ(sender.stats().resent, 0U);
    EXPECT_EQ(log.count("STREAM count error"), 0U);
    for (const uint64_t time : log.times("empty sink buffer")) {
        EXPECT_TRUE(VEMRA::clockCompare(time, streamStart) < 0 || VEMRA::clockCompare(time, streamEnd) > 0)
            << "underrun " << (time - streamStart) / VEMRA::kPicosecondsPerMillisecond << " ms into the stream";
    }

    // The flush marks produced level reports that describe the queue.
    ASSERT_FALSE(sender.stats().levels.empty());
    for (const LevelReport& level : sender.stats().levels) {
        EXPECT_EQ(level.target, 1000);
        EXPECT_EQ(level.rate, SinkBuffer::rateFor(level.fill, level.target));
        EXPECT_GT(level.fill, 0);
    }
}

} // namespace
} // namespace QUORVEL
