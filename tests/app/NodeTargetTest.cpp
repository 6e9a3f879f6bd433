// ctest-labels: threads
#include "app/NodeTarget.h"
#include "foundation/Socket.h"
#include "support/LogCapture.h"
#include "support/PngWriter.h"
#include "support/ScratchDir.h"
#include "support/TargetHarness.h"
#include "support/TcpClient.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kVendor = 0x6B6369776C6C6542ULL; // "Bellwick"

// A port that was free a moment ago (the Target's ports cannot be read back
// from the node, so the test chooses them).
uint16_t freePort(uint32_t kind) {
    VEMRA::Socket socket;
    VEMRA::SocketAddress address = VEMRA::SocketAddress::loopback(0);
    if (!socket.open(kind) || !socket.bind(address, 1)) {
        return 0;
    }
    return address.hostPort();
}

TEST(NodeTargetTest, TargetInfoCarriesIdentityAndTheIconsFound) {
    ScratchDir dir("nodetarget");
    const auto large = patternPixels(5, 3, 1);
    const auto mono = patternPixels(4, 4, 2);
    const auto monoSmall = patternPixels(2, 1, 3);
    ASSERT_TRUE(writePngFile(dir.path + "logo.png", large, 5));
    ASSERT_TRUE(writePngFile(dir.path + "logo_m.png", mono, 4));
    ASSERT_TRUE(writePngFile(dir.path + "logo_m_s.png", monoSmall, 2));
    std::ofstream(dir.path + "logo_s.png") << "not a picture";

    const QUORVEL::TargetInfo info = NodeTarget::buildTargetInfo(kVendor, dir.path);
    EXPECT_EQ(info.targetId, kVendor);
    EXPECT_EQ(info.targetName, "TargetApp");
    EXPECT_EQ(info.versionText, "142_1");
    EXPECT_EQ(info.defaultPortWord, 0);
    EXPECT_FALSE(info.acceptLoopbackDiscover);
    EXPECT_FALSE(info.synchroEnabled);
    EXPECT_EQ(info.areaWord, 0xFFFF);
    EXPECT_EQ(info.areaCount, 0);
    EXPECT_TRUE(info.areas.empty());

    EXPECT_EQ(info.icons[0].pixels, large);
    EXPECT_EQ(info.icons[0].width, 5);
    EXPECT_TRUE(info.icons[1].pixels.empty()) << "logo_s.png is unreadable";
    EXPECT_EQ(info.icons[2].pixels, mono);
    EXPECT_EQ(info.icons[3].pixels, monoSmall);
    EXPECT_EQ(info.icons[3].width, 2);
    const bool oneByte[] = {false, false, true, true, false, false, true, true};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(info.icons[i].oneBytePerPixel, oneByte[i]) << i;
        if (i >= 4) {
            EXPECT_FALSE(info.icons[i].usable()) << i;
        }
    }
}

// A NodeTarget on system-chosen loopback ports, with a directory of its own.
class NodeTargetRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        config.directory = dir.path;
        config.target = loopbackConfig();
        config.target.discoveryPort = freePort(VEMRA::Socket::UdpV6Only);
        config.target.relayPort = freePort(VEMRA::Socket::UdpV6Only);
        config.playStopPort = 0;
        config.pollWait = 20ms;
        ASSERT_NE(config.target.discoveryPort, 0);
    }

    void startNode() {
        node = std::make_unique<NodeTarget>(kVendor, config);
        node->start();
        ASSERT_TRUE(eventually([&] { return node->playStopPort() != 0 || !node->isRunning(); }, 5000ms));
        ASSERT_TRUE(node->isRunning());
    }

    QUORVEL::HostClient client() const {
        QUORVEL::HostClient host(VEMRA::SocketAddress::loopback(config.target.discoveryPort), 2000ms);
        host.open();
        return host;
    }

    QUORVEL::LogCapture log{6};
    ScratchDir dir{"nodetarget"};
    NodeTargetConfig config;
    std::unique_ptr<NodeTarget> node;
};

TEST_F(NodeTargetRun, ClientsHearTheStateAndEveryChange) {
    std::ofstream(dir.path + "quorvel_app_target_setting.inf") << "TrgetName=Salon\n";
    startNode();
    EXPECT_EQ(client().version(), std::optional<std::string>("142_1"));
    const auto item = client().configValue(1, QUORVEL::HostClient::Read);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->text, "Salon");

    TcpClient first;
    ASSERT_TRUE(first.connect(node->playStopPort()));
    EXPECT_EQ(first.read(6, 3000ms), "Stop\r\n");
    EXPECT_TRUE(first.send("anything\r\n")) << "what clients send is ignored";

    FakeChannel sink(config.target.discoveryPort);
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", true));
    EXPECT_EQ(first.read(6, 3000ms), "Play\r\n");
    EXPECT_TRUE(log.waitFor("State Change : Play", 1000ms));

    TcpClient second;
    ASSERT_TRUE(second.connect(node->playStopPort()));
    EXPECT_EQ(second.read(6, 3000ms), "Play\r\n") << "a new client hears the current state";
    TcpClient leaving;
    ASSERT_TRUE(leaving.connect(node->playStopPort()));
    EXPECT_EQ(leaving.read(6, 3000ms), "Play\r\n");
    leaving.close();

    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", false));
    EXPECT_EQ(first.read(6, 3000ms), "Stop\r\n");
    EXPECT_EQ(second.read(6, 3000ms), "Stop\r\n");
    EXPECT_EQ(first.drain(100ms), "") << "one line per change";
    EXPECT_TRUE(node->isRunning());
}

TEST_F(NodeTargetRun, RebootRequestEndsTheNodeWithTrue) {
    startNode();
    TcpClient watcher;
    ASSERT_TRUE(watcher.connect(node->playStopPort()));
    EXPECT_EQ(watcher.read(6, 3000ms), "Stop\r\n");

    EXPECT_EQ(client().reboot(0), std::optional<bool>(true)) << "mode 0 only asks";
    EXPECT_TRUE(node->waitWhileRunning(200ms, 10ms));
    EXPECT_EQ(client().reboot(2), std::optional<bool>(true));
    EXPECT_TRUE(eventually([&] { return !node->isRunning(); }, 5000ms));
    EXPECT_TRUE(node->join());
    EXPECT_TRUE(log.contains("Reboot Target"));
    EXPECT_FALSE(log.contains("Quorvel Target Err Exit"));
}

TEST_F(NodeTargetRun, SettingsSaveEndsTheNodeWithTrue) {
    startNode();
    const auto set = client().configValue(4, QUORVEL::HostClient::Set, 1);
    ASSERT_TRUE(set && set->accepted);
    const auto saved = client().configValue(0, QUORVEL::HostClient::Set);
    ASSERT_TRUE(saved && saved->accepted);
    EXPECT_TRUE(eventually([&] { return !node->isRunning(); }, 5000ms));
    EXPECT_TRUE(node->join());
    std::ifstream file(dir.path + "quorvel_app_target_setting.inf", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[global]\r\nDSD48=enable\r\n\r\n");
}

TEST_F(NodeTargetRun, StoppedFromOutsideTheNodeReportsAnErrorExit) {
    startNode();
    node->stop();
    EXPECT_FALSE(node->join());
    EXPECT_TRUE(log.contains("Quorvel Target Err Exit"));
}

TEST_F(NodeTargetRun, TakenPlayStopPortFailsTheNode) {
    VEMRA::Socket listener;
    VEMRA::SocketAddress address = VEMRA::SocketAddress::loopback(0);
    ASSERT_TRUE(listener.open(VEMRA::Socket::TcpV6Only));
    ASSERT_TRUE(listener.bind(address, 1));
    config.playStopPort = address.hostPort();
    testing::internal::CaptureStderr();
    node = std::make_unique<NodeTarget>(kVendor, config);
    node->start();
    const bool result = node->join();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(result);
    EXPECT_EQ(errors, "socket bind6 err\n");
    EXPECT_FALSE(log.contains("Quorvel Target Err Exit"));
    // The port is the sign of another instance: the Target never opened its
    // sockets, so this one answered no Host in the meantime.
    EXPECT_FALSE(log.contains("Quorvel Target Library ReleaseNo"));
}

// What a save killed between writing its temporary file and renaming it
// leaves beside the settings file is removed at the next start; nothing else
// is touched, however close its name.
TEST_F(NodeTargetRun, StaleSettingsTemporariesAreRemovedAtStart) {
    const std::string settings = dir.path + "quorvel_app_target_setting.inf";
    std::ofstream(settings) << "TrgetName=Salon\n";
    const std::vector<std::string> stale = {"quorvel_app_target_setting.inf.a1B2c3",
                                            "quorvel_app_target_setting.inf.000000",
                                            "quorvel_app_target_setting.inf.XXXXXX"};
    const std::vector<std::string> kept = {"quorvel_app_target_setting.inf.bak",
                                           "quorvel_app_target_setting.inf.ABCDEFG",
                                           "quorvel_app_target_setting.inf.AB-DEF",
                                           "quorvel_app_target_setting.inf.",
                                           "other_setting.inf.a1B2c3",
                                           "xquorvel_app_target_setting.inf.a1B2c3"};
    for (const std::string& name : stale) {
        std::ofstream(dir.path + name) << "[global]\r\n";
    }
    for (const std::string& name : kept) {
        std::ofstream(dir.path + name) << "keep\n";
    }
    ASSERT_EQ(::mkdir((dir.path + "quorvel_app_target_setting.inf.dirABC").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(settings.c_str(), (dir.path + "quorvel_app_target_setting.inf.lnkABC").c_str()), 0);

    startNode();
    // The Target answers only once the start-up is through.
    EXPECT_EQ(client().version(), std::optional<std::string>("142_1"));
    for (const std::string& name : stale) {
        EXPECT_NE(::access((dir.path + name).c_str(), F_OK), 0) << name;
    }
    for (const std::string& name : kept) {
        EXPECT_EQ(::access((dir.path + name).c_str(), F_OK), 0) << name;
    }
    EXPECT_EQ(::access((dir.path + "quorvel_app_target_setting.inf.dirABC").c_str(), F_OK), 0);
    struct stat link {};
    EXPECT_EQ(::lstat((dir.path + "quorvel_app_target_setting.inf.lnkABC").c_str(), &link), 0);
    EXPECT_EQ(::access(settings.c_str(), F_OK), 0);
    const auto item = client().configValue(1, QUORVEL::HostClient::Read);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->text, "Salon");
    EXPECT_EQ(log.count("remove stale setting : "), stale.size());
}

} // namespace
