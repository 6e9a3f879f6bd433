// ctest-labels: threads e2e
// The running program against datagrams with forged sources, as an attacker
// on its link sends them: from UDP source port 0, to which no answer can be
// sent. One datagram must never end somebody's stream.
#include "host/StatusClient.h"
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"
#include "support/SpoofedUdp.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace E2E;

constexpr uint16_t kDeskPort = 19644;

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

std::vector<uint8_t> headerOnly(uint16_t code, uint16_t param0 = 0) {
    const QUORVEL::Send message(code, 0, param0, 0, 0, 0);
    const auto bytes = message.bytes();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

class EndToEndSpoof : public Rig {
protected:
    // The test build with one paced DAC, hw:1,0; its sink on 19644 and its
    // status channel as the Target lists them.
    void startWithDesk() {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        plug(1);
        startDaemon();
        host = hostClient();
        const auto desk = sinkPort(*host, 1);
        ASSERT_TRUE(desk) << daemon->output();
        ASSERT_EQ(desk->port, kDeskPort);
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto status = host->status(1);
            if (status && status->found) {
                statusPort = status->port;
                break;
            }
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_NE(statusPort, 0);
        spoofer = std::make_unique<SpoofedUdp>(net.host);
        ASSERT_TRUE(spoofer->isOpen()) << spoofer->error();
    }

    // An endpoint on the link as the Host's namespace reaches it.
    VEMRA::SocketAddress onLink(const char* address, uint16_t port) const {
        return *QUORVEL::hostEndpoint(address, port, hostIndex);
    }

    void spoof(const char* fromAddress, uint16_t fromPort, const char* toAddress, uint16_t toPort,
               const std::vector<uint8_t>& datagram) {
        ASSERT_TRUE(spoofer->send(onLink(fromAddress, fromPort), onLink(toAddress, toPort), datagram))
            << spoofer->error();
    }

    std::unique_ptr<QUORVEL::HostClient> host;
    std::unique_ptr<SpoofedUdp> spoofer;
    uint16_t statusPort = 0;
};

TEST_F(EndToEndSpoof, DatagramsFromSourcePortZeroLeaveAStreamAlone) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    Connection connection;
    connection.client = sinkClient(kDeskPort);
    ASSERT_TRUE(connectSink(connection, cdFormat(), 3000)) << daemon->output();
    const auto audio = randomAudio(3 * 44100 * 4, 71);
    auto streaming =
        std::async(std::launch::async, [&] { return streamAudio(connection, cdFormat(), audio); });

    // Five times a second, "from" port 0 of an address nobody owns: a request
    // to the sink's control port and one to its status channel.
    for (int i = 0; i < 15; ++i) {
        spoof("fe80::dead", 0, VethNamespaces::kTargetAddress, kDeskPort, headerOnly(QUORVEL::SINK_INFO_REQ));
        spoof("fe80::dead", 0, VethNamespaces::kTargetAddress, statusPort,
              headerOnly(QUORVEL::CONTROL_INFO_REQ));
        spoof(VethNamespaces::kHostAddress, 0, VethNamespaces::kTargetAddress, kDeskPort,
              headerOnly(QUORVEL::FORMAT_QUERY));
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(streaming.get()) << "the stream was cut";
    const auto answer = connection.client->disconnect(connection.streamPort, 5000ms);
    EXPECT_TRUE(answer) << "no DISCONNECT_ANS: " << daemon->output();
    EXPECT_EQ(daemon->countOutput("controlLoop exit"), 0U) << "the sink was torn down";

    // The sink and its status channel still answer.
    EXPECT_TRUE(sinkClient(kDeskPort)->formatQuery(cdFormat()));
    QUORVEL::StatusClient status(targetAddress(statusPort));
    bool opened = false;
    net.host.run([&] { opened = status.open(); });
    ASSERT_TRUE(opened);
    EXPECT_TRUE(status.controlCount());
}

} // namespace
