#pragma once

// What the end-to-end tests share: the program running as a process in a
// network namespace of its own ("target"), a Host in another ("host"), a
// veth pair with link-local addresses between them, fake DACs behind
// ALSA_CONFIG_PATH and, for the test build, a device directory of the
// test's own where DAC files come and go.

#include "foundation/AddressText.h"
#include "host/Discovery.h"
#include "host/HostClient.h"
#include "host/SinkClient.h"
#include "host/StreamSender.h"
#include "protocol/SinkBuffer.h"
#include "support/Daemon.h"
#include "support/FakeAlsa.h"
#include "support/NetNamespace.h"
#include "support/ScratchDir.h"
#include "support/SilenceBlocks.h"
#include "support/TcpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace E2E {

using namespace std::chrono_literals;
using QUORVELTEST::insertedSilenceBlocks;

constexpr uint64_t kVendorWord = 0x6B6369776C6C6542ULL; // "Bellwick"
constexpr uint16_t kDiscoveryPort = 19642;
constexpr uint16_t kPlayStopPort = 19641;
constexpr uint16_t kFirstControlPort = 19644; // the control port of DAC number 1
// Readiness waits are generous: sanitizer builds on a busy machine are slow,
// and the supervisor itself takes 3 s before its first scan and 1 s per DAC.
constexpr auto kReady = std::chrono::milliseconds(30000);

// The path of a program built next to the tests.
inline std::string builtProgram(const std::string& name) {
    return std::string(QUORVEL_BINARY_DIR) + "/" + name;
}

inline std::vector<uint8_t> randomAudio(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> audio(bytes);
    std::mt19937 generator(seed);
    for (uint8_t& byte : audio) {
        byte = static_cast<uint8_t>(generator());
    }
    return audio;
}

inline QUORVELTEST::FakePcmDevice pacedDac(int card, long long failAfter = -1) {
    QUORVELTEST::FakePcmDevice device;
    device.card = card;
    device.device = 0;
    device.formats = {"S16_LE", "S32_LE"};
    device.paced = true; // the device sets the pace; the transport worker never spins
    device.failAfter = failAfter;
    return device;
}

inline QUORVELTEST::FakeCard namedCard(int card, const std::string& name) {
    QUORVELTEST::FakeCard fake;
    fake.card = card;
    fake.name = name;
    return fake;
}

class Rig : public ::testing::Test {
protected:
    // `program`: "quorvel_app_target" or "quorvel_app_target_testbuild".
    void setUpRig(const std::string& program, std::vector<QUORVELTEST::FakeCard> cards = {},
                  std::vector<QUORVELTEST::FakePcmDevice> devices = {}) {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "network namespaces need root";
        }
        std::string failure;
        ASSERT_TRUE(net.setUp(failure)) << failure;
        hostIndex = net.host.interfaceIndex(VethNamespaces::kHostInterface);
        ASSERT_NE(hostIndex, 0U);
        // Before the program starts: it inherits ALSA_CONFIG_PATH.
        alsa = std::make_unique<QUORVELTEST::FakeAlsa>(std::move(cards), std::move(devices));
        ASSERT_TRUE(alsa->ok());
        ASSERT_FALSE(devices_.path.empty());
        daemon = std::make_unique<Daemon>(builtProgram(program));
        ASSERT_TRUE(daemon->ready()) << "cannot copy " << program;
        testBuild = program != "quorvel_app_target";
    }

    void TearDown() override {
        if (daemon) {
            daemon->kill();
            EXPECT_EQ(daemon->sanitizerReport(), "");
        }
    }

    void startDaemon() {
        const std::vector<std::string> arguments =
            testBuild ? std::vector<std::string>{devices_.path} : std::vector<std::string>{};
        ASSERT_TRUE(daemon->start(net.target, arguments));
    }

    // The test build with one DAC, `dac` of the card "Desk DAC", plugged as
    // hw:1,0; once its sink is listed (DAC number 1), `host` is a client of
    // the target.
    void startWithDeskDac(const QUORVELTEST::FakePcmDevice& dac, std::unique_ptr<QUORVEL::HostClient>& host) {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {dac});
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        plug(1);
        startDaemon();
        host = hostClient();
        const auto desk = sinkPort(*host, 1);
        ASSERT_TRUE(desk) << daemon->output();
        ASSERT_EQ(desk->port, kFirstControlPort);
    }

    // A DAC file appears in (or leaves) the test build's device directory.
    void plug(int card) { devices_.touch("pcmC" + std::to_string(card) + "D0p"); }
    void unplug(int card) { ASSERT_TRUE(devices_.remove("pcmC" + std::to_string(card) + "D0p")); }

    VEMRA::SocketAddress targetAddress(uint16_t port) const {
        return *QUORVEL::hostEndpoint(VethNamespaces::kTargetAddress, port, hostIndex);
    }

    // A client of the target's discovery port, from the Host's namespace.
    // `timeout`: how long each request waits for its answer.
    std::unique_ptr<QUORVEL::HostClient> hostClient(std::chrono::milliseconds timeout = 2000ms) {
        auto client = std::make_unique<QUORVEL::HostClient>(targetAddress(kDiscoveryPort), timeout);
        bool opened = false;
        net.host.run([&] { opened = client->open(); });
        EXPECT_TRUE(opened);
        return client;
    }

    std::unique_ptr<QUORVEL::SinkClient> sinkClient(uint16_t controlPort) {
        auto client = std::make_unique<QUORVEL::SinkClient>(targetAddress(controlPort));
        bool opened = false;
        net.host.run([&] { opened = client->open(); });
        EXPECT_TRUE(opened);
        return client;
    }

    // A client of the Play/Stop service, from inside the target's namespace.
    std::unique_ptr<TcpClient> playStopClient() {
        auto client = std::make_unique<TcpClient>();
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        bool connected = false;
        while (!connected && std::chrono::steady_clock::now() < deadline) {
            net.target.run([&] { connected = client->connect(kPlayStopPort); });
            if (!connected) {
                std::this_thread::sleep_for(50ms);
            }
        }
        EXPECT_TRUE(connected);
        return client;
    }

    // Multicast DISCOVER on the Host's interface until the target answers.
    std::optional<QUORVEL::TargetIdentity> discover() {
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline) {
            std::vector<QUORVEL::TargetIdentity> found;
            net.host.run([&] {
                found = QUORVEL::discoverTargets(VethNamespaces::kHostInterface, kDiscoveryPort, 500ms);
            });
            if (!found.empty()) {
                return found.front();
            }
            if (daemon->hasExited()) {
                break;
            }
        }
        return std::nullopt;
    }

    // PORT_REQ for one sink key until the target lists it.
    std::optional<QUORVEL::PortEntry> sinkPort(QUORVEL::HostClient& client, uint16_t key) {
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline && !daemon->hasExited()) {
            const auto entry = client.port(key);
            if (entry && entry->found) {
                return entry;
            }
            std::this_thread::sleep_for(200ms);
        }
        return std::nullopt;
    }

    // The Host's restart request with mode 1: the process ends with status 0.
    void restartRequest() {
        const auto client = hostClient();
        EXPECT_EQ(client->reboot(1), std::optional<bool>(true));
        // Status 0 comes only from the restart path ("Reboot Target"); the
        // log's last lines may not reach standard output before the exit.
        EXPECT_EQ(daemon->waitExit(kReady), std::optional<int>(0)) << daemon->errors();
    }

    VethNamespaces net;
    uint32_t hostIndex = 0;
    std::unique_ptr<QUORVELTEST::FakeAlsa> alsa;
    ScratchDir devices_{"quorvel-snd"};
    std::unique_ptr<Daemon> daemon; // ended before the fake DACs go
    bool testBuild = true;
};

// One connection to a sink: format query, prepare with a latency, host
// name, connect. The sink's buffer starts with `latency` of silence.
struct Connection {
    std::unique_ptr<QUORVEL::SinkClient> client;
    uint16_t streamPort = 0;
    uint16_t latency = 0;
    uint64_t offered = 0;
};

inline bool connectSink(Connection& connection, QUORVEL::AudioFormat format, uint16_t latency) {
    const auto offered = connection.client->formatQuery(format);
    if (!offered) {
        return false;
    }
    connection.offered = offered->value();
    const auto prepared = connection.client->prepare(QUORVEL::PrepareFormat::fromFormat(format, latency));
    if (!prepared || !prepared->accepted()) {
        return false;
    }
    connection.latency = QUORVEL::PrepareFormat(prepared->value64()).latency();
    if (!connection.client->setHostName("e2e-host")) {
        return false;
    }
    const auto connected = connection.client->connect(format);
    if (!connected || !connected->accepted) {
        return false;
    }
    connection.streamPort = connected->streamPort;
    return true;
}

inline bool streamAudio(Connection& connection, QUORVEL::AudioFormat format,
                        const std::vector<uint8_t>& audio) {
    QUORVEL::StreamConfig config;
    config.format = format;
    QUORVEL::StreamSender sender(connection.client->socket(),
                                 connection.client->sinkAddress(connection.streamPort), config);
    return sender.stream(audio);
}

// What a paced fake DAC holds after one stream of `audio` in a format it
// takes natively: the silence setFormat primes the device with
// (`bufferFrames` device frames), the sink's pre-fill for the latency, the
// audio itself, and the two buffers of silence that drain the device.
inline std::vector<uint8_t> expectedDacBytes(QUORVEL::AudioFormat format, uint16_t latency,
                                             uint64_t bufferFrames, const std::vector<uint8_t>& audio,
                                             uint64_t framesPerFrame = 1) {
    const size_t frame = format.bytesPerSample() * format.channels();
    const size_t prefill = QUORVEL::SinkBuffer::prefillFor(format, latency).total;
    // One device buffer of silence before, two after (DoP: two device frames per frame).
    std::vector<uint8_t> expected(bufferFrames / framesPerFrame * frame + prefill, format.silenceByte());
    expected.insert(expected.end(), audio.begin(), audio.end());
    expected.insert(expected.end(), 2 * bufferFrames / framesPerFrame * frame, format.silenceByte());
    return expected;
}

// The device buffer the daemon's n-th "setFormat done " line reports (1-based).
inline std::optional<uint64_t> bufferFramesLogged(const std::string& output, size_t nth) {
    const std::string mark = "setFormat done ";
    size_t at = std::string::npos;
    for (size_t i = 0; i < nth; ++i) {
        at = output.find(mark, at == std::string::npos ? 0 : at + mark.size());
        if (at == std::string::npos) {
            return std::nullopt;
        }
    }
    return std::strtoull(output.c_str() + at + mark.size(), nullptr, 10);
}

} // namespace E2E
