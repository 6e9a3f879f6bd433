// ctest-labels: threads
#include "app/NodeSink.h"
#include "host/SinkClient.h"
#include "host/StreamSender.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"
#include "support/SinkRig.h"
#include "support/TargetHarness.h"
#include "support/TestDacs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace {

using QUORVELTEST::FakePcmDevice;
using namespace std::chrono_literals;

FakePcmDevice pacedDevice() {
    FakePcmDevice device;
    device.card = 1;
    device.device = 0;
    device.paced = true;
    return device;
}

// One DAC node on the fake DAC hw:1,0 ("Quorvel Fake DAC").
class NodeSinkRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path.empty()); }

    void startNode(const FakePcmDevice& device = pacedDevice(), const std::string& settings = "") {
        if (!settings.empty()) {
            std::ofstream(settingsPath) << settings;
        }
        dacs = std::make_unique<TestDacs>(std::vector<FakePcmDevice>{device},
                                          std::vector<QUORVELTEST::FakeCard>{}, settingsPath);
        ASSERT_TRUE(dacs->ok());
        node.setDevice("hw:1,0", 1);
        node.setConfig(dacs->config);
        node.start();
    }

    // The control port of the sink's next registration.
    std::optional<uint16_t> registeredPort(std::chrono::milliseconds timeout) {
        const auto regist = dacs->registrar.receive(QUORVEL::PORT_REGIST, timeout);
        if (!regist) {
            return std::nullopt;
        }
        EXPECT_EQ(regist->param0(), 1) << "the node's index is the sink's key";
        EXPECT_EQ(regist->payloadText(), "Quorvel Fake DAC");
        return regist->from.hostPort();
    }

    std::optional<QUORVEL::AudioFormat> formatQuery(uint16_t port) {
        QUORVEL::SinkClient client(VEMRA::SocketAddress::loopback(port));
        if (!client.open()) {
            return std::nullopt;
        }
        return client.formatQuery(QUORVEL::cdFormat());
    }

    QUORVEL::LogCapture log{6};
    ScratchDir dir{"nodesink"};
    std::string settingsPath = dir.path + "quorvel_app_target_setting.inf";
    std::unique_ptr<TestDacs> dacs;
    NodeSink node; // stopped before the fake DACs go
};

TEST_F(NodeSinkRun, RunningNodeOffersItsDacAndStopsCleanly) {
    startNode();
    const auto port = registeredPort(5000ms);
    ASSERT_TRUE(port);
    const auto offered = formatQuery(*port);
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->value() & QUORVEL::cdFormat().value(), QUORVEL::cdFormat().value());
    EXPECT_TRUE(log.contains("START sinkAlsa 1 hw:1,0"));
    EXPECT_TRUE(log.contains("controlLoop start"));

    node.stop();
    EXPECT_TRUE(node.join());
    EXPECT_TRUE(node.closeSink());
    const auto lines = log.lines();
    std::vector<std::string> ends;
    for (const auto& line : lines) {
        if (line.text == "controlLoop exit" || line.text == "sinkAlsa exit") {
            ends.push_back(line.text);
        }
    }
    EXPECT_EQ(ends, (std::vector<std::string>{"controlLoop exit", "sinkAlsa exit"}));
    EXPECT_FALSE(formatQuery(*port)) << "the sink's sockets are closed";
}

TEST_F(NodeSinkRun, SkipSectionLeavesTheDacAlone) {
    startNode(pacedDevice(), "[Fake]\nSkip=enable\n[Other DAC]\nSkip=disable\n");
    EXPECT_TRUE(log.waitFor("DAC Quorvel Fake DAC skip Sink", 5000ms));
    EXPECT_TRUE(eventually([&] { return !node.isRunning(); }, 5000ms));
    EXPECT_FALSE(registeredPort(300ms)) << "no port was opened";
    EXPECT_FALSE(log.contains("controlLoop start"));
    EXPECT_FALSE(log.contains("sinkAlsa exit"));
}

TEST_F(NodeSinkRun, SkipNeedsTheExactValue) {
    startNode(pacedDevice(), "[Fake]\nSkip=Enable\n[Quorvel Fake DAC]\nSkip=disable\n");
    EXPECT_TRUE(registeredPort(5000ms));
    EXPECT_FALSE(log.contains("skip Sink"));
}

TEST_F(NodeSinkRun, ProbeFailureEndsTheNodeQuietly) {
    FakePcmDevice device = pacedDevice();
    device.openError = 16; // EBUSY
    startNode(device);
    EXPECT_TRUE(eventually([&] { return !node.isRunning(); }, 5000ms));
    EXPECT_TRUE(node.join());
    EXPECT_TRUE(log.contains("alsa snd_pcm_open Err -16"));
    EXPECT_FALSE(log.contains("controlLoop start"));
    EXPECT_FALSE(log.contains("sinkAlsa exit"));
    EXPECT_TRUE(node.closeSink()) << "no sink is left to close";
}

TEST_F(NodeSinkRun, SinkThatFailsDuringAStreamIsBuiltAgain) {
    FakePcmDevice device = pacedDevice();
    device.failAfter = 44100; // about a second of priming and audio
    startNode(device);
    const auto port = registeredPort(5000ms);
    ASSERT_TRUE(port);

    QUORVEL::SinkClient client(VEMRA::SocketAddress::loopback(*port));
    ASSERT_TRUE(client.open());
    const auto connection = client.connect(QUORVEL::cdFormat());
    ASSERT_TRUE(connection && connection->accepted);
    QUORVEL::StreamConfig streamConfig;
    streamConfig.format = QUORVEL::cdFormat();
    QUORVEL::StreamSender sender(client.socket(), client.sinkAddress(connection->streamPort), streamConfig);
    std::vector<uint8_t> audio(44100 * 4 * 2, 0x11);
    sender.stream(audio);

    ASSERT_TRUE(log.waitFor("controlLoop exit", 5000ms));
    EXPECT_TRUE(log.contains("snd_pcm_writei error"));
    // The node builds and probes a fresh sink, which announces itself on
    // a port of its own (registrations of the old one may still be queued).
    std::optional<uint16_t> again;
    for (int i = 0; i < 5 && !again; ++i) {
        const auto next = registeredPort(5000ms);
        if (next && *next != *port) {
            again = next;
        }
    }
    ASSERT_TRUE(again);
    EXPECT_EQ(log.count("controlLoop start"), 2U);
    EXPECT_TRUE(formatQuery(*again));
    EXPECT_TRUE(node.isRunning());
    EXPECT_FALSE(log.contains("sinkAlsa exit"));
}

} // namespace
