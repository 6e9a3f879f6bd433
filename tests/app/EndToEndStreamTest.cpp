// ctest-labels: threads e2e
// A Host streams to fake DACs through the running program: the DAC receives
// exactly what was sent, local clients hear Play and Stop, and DACs come and
// go while audio plays.
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

using namespace E2E;

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

constexpr size_t kCdBytesPerSecond = 44100 * 4;
// 300 ms in units of 100 us: room for a slow sanitizer build to fall behind
// without the device running dry (which would add silence to the stream).
constexpr uint16_t kLatency = 3000;

class EndToEndStream : public Rig {
protected:
    void SetUp() override {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC"), namedCard(2, "Shelf DAC")},
                 {pacedDac(1), pacedDac(2)});
    }

    // Everything the DAC of `card` received after its first `skip` bytes.
    std::vector<uint8_t> dacBytes(int card, size_t skip = 0) const {
        std::vector<uint8_t> bytes = alsa->output(card, 0);
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(std::min(skip, bytes.size())));
        return bytes;
    }

    // The bytes of one stream, checked once its drain was logged.
    void expectStream(int card, size_t skip, size_t nthSetFormat, const Connection& connection,
                      const std::vector<uint8_t>& audio) {
        ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, nthSetFormat));
        const auto frames = bufferFramesLogged(daemon->output(), nthSetFormat);
        ASSERT_TRUE(frames);
        const auto expected = expectedDacBytes(cdFormat(), connection.latency, *frames, audio);
        const auto written = dacBytes(card, skip);
        ASSERT_EQ(written.size(), expected.size())
            << "underruns: " << daemon->countOutput("empty sink buffer") << " buffer " << *frames;
        EXPECT_TRUE(written == expected) << "the DAC's bytes differ from what was sent";
    }
};

TEST_F(EndToEndStream, FiveSecondsReachTheDacExactlyWhileASecondDacArrives) {
    startDaemon();
    plug(1);
    const auto client = hostClient();
    const auto first = sinkPort(*client, 1);
    ASSERT_TRUE(first) << daemon->output();
    EXPECT_EQ(first->port, 19644);
    EXPECT_EQ(first->name, "Desk DAC");
    const auto keys = client->portBitmaps();
    ASSERT_TRUE(keys && keys->accepted);
    EXPECT_TRUE(keys->bit(1, 1));
    EXPECT_FALSE(keys->bit(1, 2));

    const auto playStop = playStopClient();
    EXPECT_EQ(playStop->read(6, kReady), "Stop\r\n");

    Connection connection;
    connection.client = sinkClient(first->port);
    ASSERT_TRUE(connectSink(connection, cdFormat(), kLatency));
    const uint64_t cd = cdFormat().value();
    EXPECT_EQ(connection.offered & cd, cd) << "capability word " << std::hex << connection.offered;
    EXPECT_NE(connection.offered & QUORVEL::AudioFormat::kPcm32, 0U) << "the DAC takes 32-bit samples too";
    EXPECT_EQ(connection.streamPort, 19645);
    EXPECT_EQ(connection.latency, kLatency);

    const auto audio = randomAudio(5 * kCdBytesPerSecond, 142);
    auto streaming =
        std::async(std::launch::async, [&] { return streamAudio(connection, cdFormat(), audio); });
    EXPECT_EQ(playStop->read(6, kReady), "Play\r\n");

    // A second DAC while the first one plays: index 2, ports of its own.
    plug(2);
    const auto second = sinkPort(*client, 2);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->port, 19646);
    EXPECT_EQ(second->name, "Shelf DAC");
    EXPECT_TRUE(daemon->waitForOutput("START sinkAlsa 2 hw:2,0", kReady));
    EXPECT_TRUE(daemon->waitForOutput("Stream port:19647", kReady));
    const auto secondClient = sinkClient(second->port);
    const auto secondOffer = secondClient->formatQuery(cdFormat());
    ASSERT_TRUE(secondOffer);
    EXPECT_EQ(secondOffer->value() & cd, cd);

    EXPECT_TRUE(streaming.get());
    EXPECT_TRUE(connection.client->disconnect(connection.streamPort, 5000ms));
    EXPECT_EQ(playStop->read(6, kReady), "Stop\r\n");
    expectStream(1, 0, 1, connection, audio);
    EXPECT_TRUE(dacBytes(2).empty()) << "nothing was played on the second DAC";

    restartRequest();
}

TEST_F(EndToEndStream, UnpluggedDacGoesAwayWhileTheOtherKeepsPlaying) {
    plug(1);
    plug(2);
    startDaemon();
    const auto client = hostClient();
    const auto one = sinkPort(*client, 1);
    const auto two = sinkPort(*client, 2);
    ASSERT_TRUE(one && two) << daemon->output();
    // The directory order decides which DAC got which index.
    const QUORVEL::PortEntry desk = one->name == "Desk DAC" ? *one : *two;
    const QUORVEL::PortEntry shelf = one->name == "Desk DAC" ? *two : *one;
    ASSERT_EQ(desk.name, "Desk DAC");
    ASSERT_EQ(shelf.name, "Shelf DAC");

    Connection leaving;
    leaving.client = sinkClient(desk.port);
    ASSERT_TRUE(connectSink(leaving, cdFormat(), kLatency));
    Connection staying;
    staying.client = sinkClient(shelf.port);
    ASSERT_TRUE(connectSink(staying, cdFormat(), kLatency));

    // Long enough for the supervisor's next pass and settle time to fall
    // inside the stream of the DAC that stays.
    const auto audio = randomAudio(8 * kCdBytesPerSecond, 7);
    const auto ignored = randomAudio(8 * kCdBytesPerSecond, 8);
    auto stay = std::async(std::launch::async, [&] { return streamAudio(staying, cdFormat(), audio); });
    auto leave = std::async(std::launch::async, [&] { return streamAudio(leaving, cdFormat(), ignored); });
    ASSERT_TRUE(daemon->waitForOutput("setFormat done ", kReady, 2));
    unplug(1);
    ASSERT_TRUE(daemon->waitForOutput("DAC REMOVE : hw:1,0", kReady));
    ASSERT_TRUE(daemon->waitForOutput("NodeSink close", kReady));
    EXPECT_FALSE(daemon->hasExited());
    const size_t deskBefore = alsa->output(1, 0).size();

    EXPECT_TRUE(stay.get());
    leave.get();
    const size_t drainsBefore = daemon->countOutput("disconnectStream end");
    EXPECT_TRUE(staying.client->disconnect(staying.streamPort, 5000ms));
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, drainsBefore + 1));
    // Both DACs are alike: every setFormat reports the same device buffer.
    const auto frames = bufferFramesLogged(daemon->output(), 1);
    ASSERT_TRUE(frames);
    const auto expected = expectedDacBytes(cdFormat(), staying.latency, *frames, audio);
    const auto written = dacBytes(2);
    if (daemon->countOutput("empty sink buffer") == 0) {
        EXPECT_TRUE(written == expected) << written.size() << " bytes, " << expected.size() << " expected";
    } else {
        // Two streams and a node torn down at once can starve a slow build's
        // buffer for a moment; the audio must still all be there, in order.
        const auto blocks =
            insertedSilenceBlocks(written, expected, QUORVEL::SinkBuffer::underrunBytes(cdFormat()), 0);
        EXPECT_TRUE(blocks) << "the DAC that stayed lost audio: " << written.size() << " bytes, "
                            << expected.size() << " expected";
    }

    // The DAC comes back: a working node again, with the same key.
    plug(1);
    const std::string deskPort = "Control port:" + std::to_string(desk.port);
    ASSERT_TRUE(daemon->waitForOutput(deskPort, kReady, 2)) << "the free index and so the same port";
    Connection back;
    back.client = sinkClient(desk.port);
    ASSERT_TRUE(connectSink(back, cdFormat(), kLatency));
    const auto again = randomAudio(kCdBytesPerSecond, 9);
    EXPECT_TRUE(streamAudio(back, cdFormat(), again));
    const size_t drainsThen = daemon->countOutput("disconnectStream end");
    EXPECT_TRUE(back.client->disconnect(back.streamPort, 5000ms));
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, drainsThen + 1));
    EXPECT_TRUE(dacBytes(1, deskBefore) == expectedDacBytes(cdFormat(), back.latency, *frames, again));

    restartRequest();
}

} // namespace
