// ctest-labels: threads e2e
// The running program as somebody on its own link or machine might abuse it:
// a stranger's datagrams on a Host's stream port.
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

namespace {

using namespace E2E;

constexpr const char* kStrangerAddress = "fe80::c";

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

class EndToEndAbuse : public Rig {
protected:
    std::unique_ptr<QUORVEL::HostClient> host;
};

// A stranger on the link (another address) sends a DISCONNECT and audio of
// its own to the stream port of a Host that has just connected: neither may
// end the Host's stream nor reach its DAC.
TEST_F(EndToEndAbuse, StrangerCannotEndOrFeedAHostsStream) {
    startWithDeskDac(pacedDac(1), host);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // A deprecated address: taken only by a socket bound to it, never chosen
    // as the source of the Host's own datagrams.
    ASSERT_TRUE(net.host.command({"ip", "-6", "addr", "add", std::string(kStrangerAddress) + "/64", "dev",
                                  VethNamespaces::kHostInterface, "nodad", "preferred_lft", "0"}));
    QUORVEL::HostSocket stranger;
    bool opened = false;
    net.host.run([&] { opened = stranger.open(*QUORVEL::hostEndpoint(kStrangerAddress, 0, hostIndex)); });
    ASSERT_TRUE(opened);

    Connection connection;
    connection.client = sinkClient(kFirstControlPort);
    ASSERT_TRUE(connectSink(connection, cdFormat(), 3000));
    // The sink is Connected once its answer is out; what the stranger sends
    // now arrives before the Host's first datagram.
    const VEMRA::SocketAddress streamAddress = targetAddress(connection.streamPort);
    QUORVEL::SendBuffer forged;
    const std::vector<uint8_t> noise(1000, 0xEE);
    for (uint16_t sequence = 0; sequence < 4; ++sequence) {
        forged.setHeader(QUORVEL::STREAM_DATA, 0, sequence, 0, 0, 0);
        forged.setPayload(noise.data(), noise.size());
        ASSERT_TRUE(stranger.send(forged, streamAddress));
    }
    QUORVEL::Send disconnect(QUORVEL::DISCONNECT, 0);
    ASSERT_TRUE(stranger.send(disconnect, streamAddress));

    const auto audio = randomAudio(cdFormat().bytesPerSecond() / 2, 31);
    EXPECT_TRUE(streamAudio(connection, cdFormat(), audio));
    const auto drained = connection.client->disconnect(connection.streamPort, kReady);
    ASSERT_TRUE(drained);
    ASSERT_TRUE(daemon->waitForOutput("DisConnect Request", kReady));
    EXPECT_EQ(daemon->countOutput("DisConnect Request"), 1U) << "only the Host's DISCONNECT ends the stream";
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady));
    const auto frames = bufferFramesLogged(daemon->output(), 1);
    ASSERT_TRUE(frames);
    const auto expected = expectedDacBytes(cdFormat(), connection.latency, *frames, audio);
    const auto blocks = insertedSilenceBlocks(alsa->output(1, 0), expected,
                                              QUORVEL::SinkBuffer::underrunBytes(cdFormat()), 0);
    EXPECT_TRUE(blocks) << "the DAC's bytes are not the Host's stream";
    restartRequest();
}

} // namespace
