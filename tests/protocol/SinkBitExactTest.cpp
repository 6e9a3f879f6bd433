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

// Walks what the device played behind the pre-fill and matches it against
// the Host's audio. Where the device ran dry (the Host, or the machine, was
// late), the sink writes whole blocks of underrun silence between two
// datagrams; pseudo-random audio never holds a block's worth of zero bytes,
// so each such block is told apart and counted. Returns false at the first
// byte that is neither the next audio byte nor the start of a block.
struct PlayedStream {
    size_t audioMatched = 0;   // audio bytes found, in order
    size_t underrunBlocks = 0; // silence blocks between them
    size_t trailingBytes = 0;  // what the device played after the audio
    bool trailingSilent = true;
    size_t mismatchAt = 0; // offset in the audio of the first byte that did not arrive
};

bool allZero(std::vector<uint8_t>::const_iterator from, size_t count) {
    return std::all_of(from, from + static_cast<std::ptrdiff_t>(count),
                       [](uint8_t byte) { return byte == 0; });
}

PlayedStream matchPlayed(const std::vector<uint8_t>& played, size_t from, const std::vector<uint8_t>& audio,
                         size_t block) {
    PlayedStream result;
    size_t p = from;
    size_t a = 0;
    while (a < audio.size() && p < played.size()) {
        const bool blockHere =
            p + block <= played.size() && allZero(played.begin() + static_cast<std::ptrdiff_t>(p), block);
        const bool audioSilent =
            a + block <= audio.size() && allZero(audio.begin() + static_cast<std::ptrdiff_t>(a), block);
        if (blockHere && !audioSilent) {
            p += block;
            ++result.underrunBlocks;
        } else if (played[p] == audio[a]) {
            ++p;
            ++a;
        } else {
            break;
        }
    }
    result.audioMatched = a;
    result.mismatchAt = a;
    result.trailingBytes = played.size() - p;
    result.trailingSilent = allZero(played.begin() + static_cast<std::ptrdiff_t>(p), result.trailingBytes);
    return result;
}

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
    const auto answer = rig.client->disconnect(streamPort);
    ASSERT_TRUE(answer);
    EXPECT_EQ(rig.sink().connState(), Idle);

    const std::vector<uint8_t> recorded = rig.sink().recorded();
    const uint64_t prefill = SinkBuffer::prefillFor(format, 1000).total;
    EXPECT_EQ(prefill, 153600U);
    ASSERT_GE(recorded.size(), prefill + audio.size());
    EXPECT_TRUE(allZero(recorded.begin(), prefill));
    const size_t block = SinkBuffer::underrunBytes(format);
    ASSERT_EQ(block, 15360U);
    const PlayedStream played = matchPlayed(recorded, prefill, audio, block);
    EXPECT_EQ(played.audioMatched, audio.size())
        << "first audio byte that did not arrive: " << played.mismatchAt;
    EXPECT_TRUE(played.trailingSilent);
    // Every block of silence inside or behind the audio is an underrun the
    // sink logged, and the device got nothing else.
    EXPECT_EQ(played.trailingBytes % block, 0U);
    EXPECT_EQ(played.underrunBlocks + played.trailingBytes / block, log.count("empty sink buffer"));

    // The flush marks produced level reports that describe the queue.
    ASSERT_FALSE(sender.stats().levels.empty());
    for (const LevelReport& level : sender.stats().levels) {
        EXPECT_EQ(level.target, 1000);
        EXPECT_EQ(level.rate, SinkBuffer::rateFor(level.fill, level.target));
    }
}

} // namespace
} // namespace QUORVEL
