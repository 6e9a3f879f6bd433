// ctest-labels: threads e2e
// The running program as somebody on its own link or machine might abuse it:
// a stranger's datagrams on a Host's stream port, a connection asking for a
// latency that would take hundreds of megabytes (also under an address-space
// limit), a flood of Play/Stop clients that would eat every descriptor, and a
// second instance started by hand.
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>

namespace {

using namespace E2E;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kStrangerAddress = "fe80::c";

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

// The hungriest PCM stream there is: 16 channels of 64-bit floats at 768 kHz,
// 98 MB a second.
QUORVEL::AudioFormat hungryFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kFloat64 | QUORVEL::AudioFormat::rateBits(768000) |
                                QUORVEL::AudioFormat::channelBit(16));
}

QUORVELTEST::FakePcmDevice hungryDac(int card) {
    QUORVELTEST::FakePcmDevice device;
    device.card = card;
    device.formats = {"FLOAT64_LE"};
    device.channelsMin = 16;
    device.channelsMax = 16;
    device.rates = {768000};
    device.paced = true;
    return device;
}

// A value of /proc/PID/status in kB ("VmSize", "VmHWM"); 0 when unreadable.
uint64_t statusKilobytes(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::strtoull(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return 0;
}

bool limitProcess(pid_t pid, decltype(RLIMIT_AS) resource, rlim_t soft) {
    rlimit old{};
    if (::prlimit(pid, resource, nullptr, &old) != 0) {
        return false;
    }
    rlimit wanted = old;
    wanted.rlim_cur = soft;
    return ::prlimit(pid, resource, &wanted, nullptr) == 0;
}

class EndToEndAbuse : public Rig {
protected:
    // PREPARE with `latency`: the latency the sink agreed to and whether it
    // took the word unchanged.
    std::optional<std::pair<uint16_t, bool>> prepare(QUORVEL::SinkClient& client, QUORVEL::AudioFormat format,
                                                     uint16_t latency) {
        const auto answer = client.prepare(QUORVEL::PrepareFormat::fromFormat(format, latency));
        if (!answer) {
            return std::nullopt;
        }
        return std::make_pair(QUORVEL::PrepareFormat(answer->value64()).latency(), answer->accepted());
    }

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

// PREPARE with the largest latency for the hungriest stream asked the sink
// for 6.5 s of silence, 644 MB at once. The pre-fill is bounded by bytes: the
// sink answers with the latency it can hold, as for any clamp, and the
// connection then plays exactly that much silence before the audio.
TEST_F(EndToEndAbuse, HugeLatencyIsClampedToABoundedPrefill) {
    startWithDeskDac(hungryDac(1), host);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    Connection connection;
    connection.client = sinkClient(kFirstControlPort);
    const auto asked = prepare(*connection.client, hungryFormat(), 65535);
    ASSERT_TRUE(asked);
    EXPECT_FALSE(asked->second) << "a latency of 65535 was taken for this format";
    const uint16_t agreed = asked->first;
    EXPECT_LT(agreed, 65535);
    EXPECT_GT(agreed, 0);
    // Tens of megabytes at most, not hundreds.
    EXPECT_LE(hungryFormat().bytesPerSecond() * agreed / 10000, uint64_t{64} << 20);
    // What a Host does with a clamp: it prepares again with what it was offered.
    ASSERT_TRUE(connectSink(connection, hungryFormat(), agreed));
    EXPECT_EQ(connection.latency, agreed);

    // A few dozen datagrams: the ring holds 15 ms of this format, less than
    // a busy machine may take to build the pre-fill.
    const auto audio = randomAudio(hungryFormat().bytesPerSecond() / 2000, 32);
    EXPECT_TRUE(streamAudio(connection, hungryFormat(), audio));
    ASSERT_TRUE(connection.client->disconnect(connection.streamPort, kReady));
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady));
    const auto frames = bufferFramesLogged(daemon->output(), 1);
    ASSERT_TRUE(frames);
    const auto expected = expectedDacBytes(hungryFormat(), agreed, *frames, audio);
    const auto blocks = insertedSilenceBlocks(alsa->output(1, 0), expected,
                                              QUORVEL::SinkBuffer::underrunBytes(hungryFormat()), 0);
    EXPECT_TRUE(blocks) << "the DAC did not get the clamped pre-fill and then the audio";
    restartRequest();
}

// Under an address-space limit the sink's allocations and thread starts can
// fail. Neither a CONNECT asking for the largest latency nor a CONNECT_MS,
// whose stream needs a thread of its own, may end the process.
TEST_F(EndToEndAbuse, NoConnectionEndsTheProcessUnderAnAddressSpaceLimit) {
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer's allocator reports an exhausted address space as a fault of its own";
    }
    startWithDeskDac(hungryDac(1), host);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    const uint64_t size = statusKilobytes(daemon->pid(), "VmSize");
    ASSERT_NE(size, 0U);
    // A few megabytes for opening the device and the connection's small
    // allocations; not enough for a thread's stack, nor for the pre-fill.
    ASSERT_TRUE(limitProcess(daemon->pid(), RLIMIT_AS, (size + 4096) * 1024));

    Connection connection;
    connection.client = sinkClient(kFirstControlPort);
    const auto asked = prepare(*connection.client, hungryFormat(), 65535);
    ASSERT_TRUE(asked);
    ASSERT_TRUE(connection.client->setHostName("e2e-host"));
    const auto connected = connection.client->connect(hungryFormat());
    ASSERT_TRUE(connected);
    if (connected->accepted) {
        ASSERT_TRUE(connection.client->disconnect(connected->streamPort, kReady)) << daemon->errors();
    }
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();

    const auto ms = connection.client->connectMs(hungryFormat());
    ASSERT_TRUE(ms);
    if (ms->accepted) {
        // No MS datagram can arrive: the connection ends by the time-out.
        ASSERT_TRUE(daemon->waitForOutput("DisConnect Timeout", kReady));
    }
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();

    // With the limit lifted the sink plays again.
    ASSERT_TRUE(limitProcess(daemon->pid(), RLIMIT_AS, RLIM_INFINITY));
    Connection again;
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (std::chrono::steady_clock::now() < deadline && !daemon->hasExited()) {
        again.client = sinkClient(kFirstControlPort);
        if (connectSink(again, cdFormat(), 1000) || connectSink(again, hungryFormat(), 1000)) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(again.streamPort, 0) << daemon->output();
    restartRequest();
}

// 1100 local clients of the Play/Stop service once took every descriptor of
// the process: the service spun on its listener and a DAC plugged meanwhile
// got no sockets. The service keeps the newest 64 clients. Before that, a
// second instance started by hand leaves before it opens any socket.
TEST_F(EndToEndAbuse, PlayStopFloodLeavesDescriptorsForNewDacs) {
    setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    startDaemon();
    ASSERT_TRUE(discover()) << daemon->output();
    // The descriptor limit of a service started without LimitNOFILE.
    ASSERT_TRUE(limitProcess(daemon->pid(), RLIMIT_NOFILE, 1024));

    Daemon second(builtProgram("quorvel_app_target_testbuild"));
    ASSERT_TRUE(second.ready());
    ASSERT_TRUE(second.start(net.target, {devices_.path}));
    EXPECT_EQ(second.waitExit(kReady), std::optional<int>(255));
    EXPECT_NE(second.errors().find("socket bind6 err"), std::string::npos) << second.errors();
    EXPECT_EQ(second.output().find("Quorvel Target Library ReleaseNo"), std::string::npos)
        << "the second instance opened the Target's sockets";
    EXPECT_EQ(second.sanitizerReport(), "");

    // This process needs more than 1100 descriptors itself.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const rlimit saved = own;
    own.rlim_max = std::max<rlim_t>(own.rlim_max, 4096);
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    {
        std::vector<std::unique_ptr<TcpClient>> flood(1100);
        bool connected = true;
        net.target.run([&] {
            for (auto& client : flood) {
                client = std::make_unique<TcpClient>();
                connected = client->connect(kPlayStopPort) && connected;
            }
        });
        ASSERT_TRUE(connected);
        // The newest client is greeted too. The node serving them runs in the
        // idle class and takes one client a pass: on a busy machine the 1100
        // may take far longer than kReady.
        constexpr auto kFloodServed = std::chrono::milliseconds(180000);
        EXPECT_EQ(flood.back()->read(6, kFloodServed), "Stop\r\n");

        plug(1);
        const auto desk = sinkPort(*hostClient(), 1);
        ASSERT_TRUE(desk) << daemon->output();
        auto latecomer = playStopClient();
        EXPECT_EQ(latecomer->read(6, kFloodServed), "Stop\r\n");
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    restartRequest();
}

} // namespace
