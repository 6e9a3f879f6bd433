// ctest-labels: threads e2e
// How the running program ends and comes back: a DAC that fails is rebuilt
// and plays the next connection, a DAC the settings skip stays closed, a settings save ends the process and
// takes effect at the next start, a taken Play/Stop port fails the start.
#include "foundation/Socket.h"
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace E2E;

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

class EndToEndLifecycle : public Rig {};

TEST_F(EndToEndLifecycle, FailingDacIsRebuiltAndSkippedDacOpensNoPorts) {
    // The desk DAC vanishes after about half a second of writes.
    setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC"), namedCard(3, "Skipper USB Audio")},
             {pacedDac(1, 22050), pacedDac(3)});
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    ASSERT_TRUE(daemon->writeFile(Daemon::kSettingsFile, "[Skipper]\r\nSkip=enable\r\n"));
    plug(1);
    startDaemon();
    const auto client = hostClient();
    const auto desk = sinkPort(*client, 1);
    ASSERT_TRUE(desk) << daemon->output();
    plug(3);
    ASSERT_TRUE(daemon->waitForOutput("DAC Skipper USB Audio skip Sink", kReady));
    EXPECT_TRUE(daemon->waitForOutput("START sinkAlsa 2 hw:3,0", kReady));
    const auto keys = client->portBitmaps();
    ASSERT_TRUE(keys && keys->accepted);
    EXPECT_TRUE(keys->bit(1, 1));
    EXPECT_FALSE(keys->bit(1, 2)) << "the skipped DAC registers nothing";
    EXPECT_EQ(daemon->countOutput("Control port:"), 1U);

    Connection connection;
    connection.client = sinkClient(desk->port);
    ASSERT_TRUE(connectSink(connection, cdFormat(), 1000));
    const auto audio = randomAudio(2 * 44100 * 4, 3);
    streamAudio(connection, cdFormat(), audio);
    ASSERT_TRUE(daemon->waitForOutput("snd_pcm_writei error", kReady));
    ASSERT_TRUE(daemon->waitForOutput("controlLoop exit", kReady));
    // Rebuilt with its old key and port, and answering again.
    ASSERT_TRUE(daemon->waitForOutput("controlLoop start", kReady, 2));
    std::optional<QUORVEL::AudioFormat> offered;
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (!offered && std::chrono::steady_clock::now() < deadline) {
        offered = sinkClient(desk->port)->formatQuery(cdFormat());
    }
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->value() & cdFormat().value(), cdFormat().value());
    EXPECT_FALSE(daemon->hasExited());

    // The rebuilt sink takes a new connection, with a latency of its own
    // this time, and plays it exactly (well within the DAC's next failure).
    const size_t before = alsa->output(1, 0).size();
    Connection again;
    again.client = sinkClient(desk->port);
    ASSERT_TRUE(connectSink(again, cdFormat(), 2000));
    EXPECT_EQ(again.latency, 2000);
    const auto fifth = randomAudio(44100 * 4 / 5, 4);
    const size_t drains = daemon->countOutput("disconnectStream end");
    EXPECT_TRUE(streamAudio(again, cdFormat(), fifth));
    EXPECT_TRUE(again.client->disconnect(again.streamPort, 5000ms));
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, drains + 1));
    const auto frames = bufferFramesLogged(daemon->output(), 2);
    ASSERT_TRUE(frames);
    std::vector<uint8_t> written = alsa->output(1, 0);
    written.erase(written.begin(), written.begin() + static_cast<long>(std::min(before, written.size())));
    const auto blocks =
        insertedSilenceBlocks(written, expectedDacBytes(cdFormat(), again.latency, *frames, fifth),
                              QUORVEL::SinkBuffer::underrunBytes(cdFormat()), 0);
    EXPECT_TRUE(blocks) << "the new connection's audio did not reach the DAC: " << written.size() << " bytes";

    restartRequest();
}

TEST_F(EndToEndLifecycle, SaveEndsTheProcessAndTheSettingsHoldAfterTheRestart) {
    setUpRig("quorvel_app_target_testbuild");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    ASSERT_TRUE(daemon->writeFile(Daemon::kSettingsFile,
                                  "; kept only as a store\r\nTrgetName=Alt\r\n[Skipper]\r\nSkip=enable\r\n"));
    startDaemon();
    const auto before = discover();
    ASSERT_TRUE(before) << daemon->output();
    EXPECT_EQ(before->name, "Alt");

    {
        // The save is answered once the file is on the disk, by a worker in
        // the idle class: on a busy machine (CPU or disk) that takes seconds.
        const auto client = hostClient(kReady);
        const auto renamed = client->configValue(1, QUORVEL::HostClient::Set, 0, "Neu");
        ASSERT_TRUE(renamed && renamed->accepted);
        const auto dsd48 = client->configValue(4, QUORVEL::HostClient::Set, 1);
        ASSERT_TRUE(dsd48 && dsd48->accepted);
        const auto latency = client->configValue(8, QUORVEL::HostClient::Set, 40);
        ASSERT_TRUE(latency && latency->accepted);
        EXPECT_EQ(latency->value, 40);
        const auto saved = client->configValue(0, QUORVEL::HostClient::Set);
        ASSERT_TRUE(saved && saved->accepted);
    }
    EXPECT_EQ(daemon->waitExit(kReady), std::optional<int>(0)) << daemon->errors();
    EXPECT_EQ(daemon->readFile(Daemon::kSettingsFile), "[Skipper]\r\nSkip=enable\r\n\r\n"
                                                       "[global]\r\nAlsaLatency=40\r\nDSD48=enable\r\n"
                                                       "TrgetName=Neu\r\n\r\n");
    EXPECT_EQ(daemon->errors(), "");

    // What a service manager does: start it again.
    startDaemon();
    const auto after = discover();
    ASSERT_TRUE(after) << daemon->output();
    EXPECT_EQ(after->name, "Neu");
    const auto client = hostClient();
    const auto dsd48 = client->configValue(4, QUORVEL::HostClient::Read);
    ASSERT_TRUE(dsd48);
    EXPECT_EQ(dsd48->value, 1);
    const auto latency = client->configValue(8, QUORVEL::HostClient::Read);
    ASSERT_TRUE(latency);
    EXPECT_EQ(latency->value, 40);

    restartRequest();
}

TEST_F(EndToEndLifecycle, TakenPlayStopPortEndsTheStartWithStatus255) {
    setUpRig("quorvel_app_target_testbuild");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    VEMRA::Socket listener;
    bool bound = false;
    net.target.run([&] {
        VEMRA::SocketAddress address = VEMRA::SocketAddress::loopback(kPlayStopPort);
        bound = listener.open(VEMRA::Socket::TcpV6Only) && listener.bind(address, 1);
    });
    ASSERT_TRUE(bound);
    startDaemon();
    EXPECT_EQ(daemon->waitExit(kReady), std::optional<int>(255));
    EXPECT_EQ(daemon->errors(), "socket bind6 err\nquorvel_app_target boot up failure\n");
}

} // namespace
