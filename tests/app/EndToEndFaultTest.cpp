// ctest-labels: threads e2e
// The running program under faults, as a Host and a listener see it: a DAC
// file that vanishes in the middle of a 192 kHz stream, a Host that goes
// silent without a disconnect, a network that loses and reorders datagrams,
// and a Host that sends faster than the device plays.
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>

namespace {

using namespace E2E;

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

QUORVEL::AudioFormat hiResFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm32 | QUORVEL::AudioFormat::rateBits(192000) |
                                QUORVEL::AudioFormat::channelBit(2));
}

constexpr uint16_t kLatency = 3000; // 300 ms: room for a slow build to fall behind
constexpr uint16_t kDeskPort = 19644;

// Sends `audio` with the sender's statistics.
QUORVEL::StreamStats streamWith(Connection& connection, QUORVEL::StreamConfig config,
                                const std::vector<uint8_t>& audio, bool& sent) {
    QUORVEL::StreamSender sender(connection.client->socket(),
                                 connection.client->sinkAddress(connection.streamPort), config);
    sent = sender.stream(audio);
    return sender.stats();
}

class EndToEndFault : public Rig {
protected:
    // The test build with one paced DAC, hw:1,0, plugged; its sink's port.
    void startWithDesk() { startWithDeskDac(pacedDac(1), host); }

    // A fresh connection to the desk DAC's sink, retried until the sink takes it.
    Connection connectDesk(QUORVEL::AudioFormat format) {
        Connection connection;
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline && !daemon->hasExited()) {
            connection.client = sinkClient(kDeskPort);
            if (connectSink(connection, format, kLatency)) {
                return connection;
            }
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "the sink took no connection";
        return Connection{};
    }

    // Streams `audio` on a connection, disconnects, and checks what the DAC
    // received from byte `skip` on: the stream with nothing but whole blocks
    // of underrun silence inserted. `nthSetFormat` names the connection.
    void expectPlayed(Connection& connection, QUORVEL::AudioFormat format, const std::vector<uint8_t>& audio,
                      size_t skip, size_t nthSetFormat, const QUORVEL::StreamConfig& config) {
        const size_t drains = daemon->countOutput("disconnectStream end");
        bool sent = false;
        stats = streamWith(connection, config, audio, sent);
        EXPECT_TRUE(sent);
        EXPECT_TRUE(connection.client->disconnect(connection.streamPort, 5000ms));
        ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, drains + 1)) << daemon->output();
        const auto frames = bufferFramesLogged(daemon->output(), nthSetFormat);
        ASSERT_TRUE(frames);
        const auto expected = expectedDacBytes(format, connection.latency, *frames, audio);
        std::vector<uint8_t> written = alsa->output(1, 0);
        written.erase(written.begin(), written.begin() + static_cast<long>(std::min(skip, written.size())));
        const auto blocks = insertedSilenceBlocks(
            written, expected, QUORVEL::SinkBuffer::underrunBytes(format), format.silenceByte());
        ASSERT_TRUE(blocks) << "the DAC's bytes are not the stream: " << written.size() << " bytes, "
                            << expected.size() << " expected";
        if (daemon->countOutput("empty sink buffer") == 0) {
            EXPECT_EQ(*blocks, 0U) << "silence only where the buffer ran dry";
        }
    }

    QUORVEL::StreamConfig config(QUORVEL::AudioFormat format) const {
        QUORVEL::StreamConfig streamConfig;
        streamConfig.format = format;
        return streamConfig;
    }

    std::unique_ptr<QUORVEL::HostClient> host;
    QUORVEL::StreamStats stats;
};

TEST_F(EndToEndFault, DacFileVanishingMidStreamTearsTheNodeDownAndItComesBack) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    Connection leaving = connectDesk(hiResFormat());
    ASSERT_TRUE(leaving.client);
    const auto audio = randomAudio(4 * hiResFormat().bytesPerSecond(), 21);
    auto streaming =
        std::async(std::launch::async, [&] { return streamAudio(leaving, hiResFormat(), audio); });
    ASSERT_TRUE(daemon->waitForOutput("setFormat done ", kReady));
    std::this_thread::sleep_for(300ms); // well inside the stream
    unplug(1);
    ASSERT_TRUE(daemon->waitForOutput("DAC REMOVE : hw:1,0", kReady));
    ASSERT_TRUE(daemon->waitForOutput("NodeSink close", kReady));
    streaming.get(); // the Host may see its datagrams refused: either outcome is fine
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();
    EXPECT_FALSE(sinkClient(kDeskPort)->formatQuery(hiResFormat())) << "the torn-down sink still answers";
    const size_t before = alsa->output(1, 0).size();

    // The file returns: the same key and port, and a 192 kHz stream plays.
    plug(1);
    ASSERT_TRUE(daemon->waitForOutput("Control port:19644", kReady, 2));
    ASSERT_TRUE(sinkPort(*host, 1));
    Connection back = connectDesk(hiResFormat());
    ASSERT_TRUE(back.client);
    const auto again = randomAudio(hiResFormat().bytesPerSecond(), 22);
    expectPlayed(back, hiResFormat(), again, before, 2, config(hiResFormat()));

    restartRequest();
}

TEST_F(EndToEndFault, SilentHostIsTimedOutAndTheSinkIsFreeForTheNextOne) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    const auto playStop = playStopClient();
    ASSERT_EQ(playStop->read(6, kReady), "Stop\r\n");
    Connection vanishing = connectDesk(cdFormat());
    ASSERT_TRUE(vanishing.client);
    // Audio until the Play/Stop client has heard "Play" (the target polls its
    // sinks' state, so a loaded machine may take a while), then nothing: no
    // DISCONNECT, the socket stays open.
    std::atomic<bool> heardPlay{false};
    QUORVEL::StreamConfig silent = config(cdFormat());
    silent.linger = 0ms;
    silent.repeatTo = 44100 * 4 * 120; // far longer than the wait for "Play"
    silent.fate = [&](uint64_t) {
        return heardPlay.load() ? QUORVEL::DatagramFate::Stop : QUORVEL::DatagramFate::Send;
    };
    auto streaming = std::async(std::launch::async, [&] {
        bool sent = false;
        streamWith(vanishing, silent,
                   randomAudio(QUORVEL::StreamSender::defaultPayload(cdFormat(), false) * 119, 31), sent);
        return sent;
    });
    const std::string played = playStop->read(6, kReady);
    heardPlay = true;
    EXPECT_FALSE(streaming.get()) << "the stream ran out before the target said Play";
    ASSERT_EQ(played, "Play\r\n");

    // The sink gives the connection up once the Host has been silent for
    // 0.5 s, and never before: the line gives the silence it measured.
    ASSERT_EQ(playStop->read(6, kReady), "Stop\r\n");
    ASSERT_TRUE(daemon->waitForOutput("DisConnect Timeout ", kReady));
    EXPECT_EQ(daemon->countOutput("DisConnect Timeout "), 1U);
    const std::string output = daemon->output();
    std::istringstream line(output.substr(output.find("DisConnect Timeout ") + 19));
    uint64_t lastReceived = 0;
    uint64_t noticed = 0;
    uint64_t silence = 0;
    line >> lastReceived >> noticed >> silence; // microseconds
    EXPECT_NEAR(static_cast<double>(noticed - lastReceived), static_cast<double>(silence), 1.0);
    EXPECT_GE(silence, 500000U) << "never before the time-out";
    EXPECT_EQ(daemon->countOutput("DisConnect Request"), 0U);

    // Idle again: another Host connects and plays.
    const size_t before = alsa->output(1, 0).size();
    Connection next = connectDesk(cdFormat());
    ASSERT_TRUE(next.client);
    expectPlayed(next, cdFormat(), randomAudio(44100 * 2, 32), before, 2, config(cdFormat()));

    restartRequest();
}

TEST_F(EndToEndFault, LostAndReorderedDatagramsAreResentAndTheDacGetsTheStream) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    Connection connection = connectDesk(cdFormat());
    ASSERT_TRUE(connection.client);
    const auto audio = randomAudio(4 * 44100 * 4, 41);
    QUORVEL::StreamConfig lossy = config(cdFormat());
    const uint64_t count = (audio.size() + QUORVEL::StreamSender::defaultPayload(cdFormat(), false) - 1) /
                           QUORVEL::StreamSender::defaultPayload(cdFormat(), false);
    std::mt19937 random(43);
    uint64_t dropped = 0;
    uint64_t delayed = 0;
    // 5 % of the datagrams, resends included, lost or swapped with the next;
    // not the last few, whose loss no later datagram would reveal to the sink.
    lossy.fate = [&](uint64_t index) {
        const uint32_t roll = random() % 100;
        if (index + 4 >= count || roll >= 5) {
            return QUORVEL::DatagramFate::Send;
        }
        ++(roll < 3 ? dropped : delayed);
        return roll < 3 ? QUORVEL::DatagramFate::Drop : QUORVEL::DatagramFate::Delay;
    };
    lossy.linger = 200ms;
    expectPlayed(connection, cdFormat(), audio, 0, 1, lossy);
    EXPECT_GT(dropped, 0U);
    EXPECT_GT(delayed, 0U);
    EXPECT_GT(stats.gapReports, 0U);
    EXPECT_GE(stats.resent, dropped) << "every lost datagram was sent again";
    EXPECT_GT(daemon->countOutput("STREAM count error "), 0U);

    restartRequest();
}

TEST_F(EndToEndFault, HostFasterThanTheDeviceOverflowsTheRingAndTheSinkIsRebuilt) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // Made before connecting: a slow build takes longer than the sink waits
    // for a silent Host to make this much audio.
    const std::vector<uint8_t> audio = randomAudio(30 * 44100 * 4, 51);
    Connection flooding = connectDesk(cdFormat());
    ASSERT_TRUE(flooding.client);
    // Thirty seconds of audio at four times the rate the device plays: the
    // sender paces by a format of four times the rate (the frame is the same).
    // The excess, 22 s, outgrows the queue's 4 s beyond the pre-fill and the
    // ring's 8 s behind it. (An
    // unpaced flood would keep the sink's real-time workers busy enough to
    // starve the rest of a small machine.)
    QUORVEL::StreamConfig fast =
        config(QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(176400) |
                                    QUORVEL::AudioFormat::channelBit(2)));
    ASSERT_EQ(fast.format.frameBytes(), cdFormat().frameBytes());
    bool sent = false;
    streamWith(flooding, fast, audio, sent);
    ASSERT_TRUE(daemon->waitForOutput("er3 dissconect", kReady)) << daemon->output();
    ASSERT_TRUE(daemon->waitForOutput("controlLoop exit", kReady));
    ASSERT_TRUE(daemon->waitForOutput("controlLoop start", kReady, 2)) << "the sink is rebuilt";
    EXPECT_FALSE(daemon->hasExited());

    const size_t before = alsa->output(1, 0).size();
    Connection next = connectDesk(cdFormat());
    ASSERT_TRUE(next.client);
    expectPlayed(next, cdFormat(), randomAudio(44100 * 4, 52), before, 2, config(cdFormat()));

    restartRequest();
}

// A Host whose network stalled sends what it owes at once: here 8 s of
// audio at twice the rate, 4 s ahead of the device at the end, beyond what
// a queue bounded at twice the pre-fill and a second held (it dropped the
// Host with "er3 dissconect"). All of it plays, exactly.
TEST_F(EndToEndFault, HostCatchingUpAfterAStallIsServed) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    const std::vector<uint8_t> audio =
        randomAudio(8 * hiResFormat().bytesPerSecond(), 61); // before connecting
    Connection catchingUp = connectDesk(hiResFormat());
    ASSERT_TRUE(catchingUp.client);
    QUORVEL::StreamConfig twice =
        config(QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm32 | QUORVEL::AudioFormat::rateBits(384000) |
                                    QUORVEL::AudioFormat::channelBit(2)));
    ASSERT_EQ(twice.format.frameBytes(), hiResFormat().frameBytes());
    expectPlayed(catchingUp, hiResFormat(), audio, 0, 1, twice);
    EXPECT_EQ(daemon->countOutput("er3 dissconect"), 0U) << daemon->output();

    restartRequest();
}

} // namespace
