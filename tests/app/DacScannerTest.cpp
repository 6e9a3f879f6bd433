// ctest-labels: threads
#include "app/DacScanner.h"
#include "foundation/Log.h"
#include "foundation/SysLog.h"
#include "support/LogReceiver.h"
#include "support/ScratchDir.h"
#include "support/TestDacs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(DacScannerTest, PlaybackDeviceNames) {
    struct Case {
        const char* path;
        const char* device; // nullptr: not a playback device
    };
    const Case cases[] = {
        {"/dev/snd/pcmC0D0p", "hw:0,0"},
        {"/dev/snd/pcmC1D10p", "hw:1,10"},
        {"pcmC12D3p", "hw:12,3"},
        {"/dev/snd/pcmC0D0c", nullptr}, // capture: its only 'p' leads
        {"/dev/snd/pcmCxD0p", nullptr}, // card not a number
        {"/dev/snd/pcmC0Dxp", nullptr},
        {"/dev/snd/pcmC00D0p", nullptr}, // reads as 0 but is not "0"
        {"/dev/snd/pcmC1xD0p", nullptr}, // trailing letters would reach the hw: name
        {"/dev/snd/pcmC-1D0p", nullptr},
        {"/dev/snd/pcmCD0p", nullptr},
        {"/dev/snd/controlC0", nullptr},
        {"/dev/snd/pcmC0p", nullptr}, // shorter than 8
        {"/dev/snd/timer", nullptr},
        {"/dev/snd/pcmD0C0p", nullptr}, // D before C
        {"/dev/snd/pcmC99999999999999999999D0p", nullptr},
    };
    for (const Case& c : cases) {
        std::string device = "unchanged";
        EXPECT_EQ(playbackDeviceName(c.path, device), c.device != nullptr) << c.path;
        EXPECT_EQ(device, c.device != nullptr ? c.device : "unchanged") << c.path;
    }
}

class DacScannerFlow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(log.isOpen());
        ASSERT_TRUE(dacs.ok());
        ASSERT_FALSE(dir.path.empty());
        VEMRA::openLog(16, log.port(), false);
        VEMRA::setLogLevel(6, log.port());
    }

    // Creates a device file and runs one pass over it.
    void plug(const std::string& name) {
        dir.touch(name);
        ASSERT_TRUE(scanner.scanOnce()) << name;
    }
    void unplug(const std::string& name) {
        ASSERT_TRUE(dir.remove(name)) << name;
        ASSERT_TRUE(scanner.scanOnce()) << name;
    }
    uint16_t indexOf(const std::string& device) const {
        auto node = scanner.nodes().find(device);
        return node == scanner.nodes().end() ? 0 : node->second.nodeIndex();
    }

    LogReceiver log;
    ScratchDir dir{"dacscan"};
    // The nodes run real sinks on fake DACs for every device the tests plug.
    TestDacs dacs{{{0, 0}, {0, 1}, {1, 0}, {1, 10}, {2, 0}, {3, 0}, {4, 0}}, dir.path + "none.inf"};
    DacScanner scanner{{dir.path, 0ms, 1ms}, nullptr, dacs.config};
};

TEST_F(DacScannerFlow, CaptureAndControlFilesOnlyLeaveTheirDetectLine) {
    plug("pcmC0D0c");
    plug("controlC0");
    EXPECT_FALSE(scanner.scanOnce()) << "nothing left to take";
    EXPECT_TRUE(scanner.nodes().empty());
    EXPECT_EQ(scanner.entries().size(), 2U);
    log.drain(50ms);
    EXPECT_EQ(log.count("Detect Dev: " + dir.path + "pcmC0D0c"), 1U);
    EXPECT_EQ(log.count("Detect Dev: " + dir.path + "controlC0"), 1U);
    EXPECT_EQ(log.count("DAC DETECT"), 0U);
}

TEST_F(DacScannerFlow, PlaybackFileStartsOneNodePerDevice) {
    plug("pcmC0D0p");
    ASSERT_EQ(scanner.nodes().size(), 1U);
    const NodeSink& node = scanner.nodes().at("hw:0,0");
    EXPECT_EQ(node.device(), "hw:0,0");
    EXPECT_EQ(node.nodeIndex(), 1);
    EXPECT_TRUE(node.isRunning());
    EXPECT_TRUE(log.waitFor("DAC DETECT : " + dir.path + "pcmC0D0p", 2s));
    EXPECT_TRUE(log.waitFor("START sinkAlsa 1 hw:0,0", 2s));
    EXPECT_LT(log.find("Detect Dev: " + dir.path + "pcmC0D0p"), log.find("DAC DETECT : "));

    plug("pcmC1D10p");
    EXPECT_EQ(indexOf("hw:1,10"), 2);
    EXPECT_FALSE(scanner.scanOnce());
}

TEST_F(DacScannerFlow, BurstIsTakenOneEntryPerPass) {
    dir.touch("pcmC0D0p");
    dir.touch("pcmC0D1p");
    dir.touch("controlC0");
    EXPECT_TRUE(scanner.scanOnce());
    EXPECT_EQ(scanner.entries().size(), 1U);
    EXPECT_TRUE(scanner.scanOnce());
    EXPECT_TRUE(scanner.scanOnce());
    EXPECT_FALSE(scanner.scanOnce());
    EXPECT_EQ(scanner.entries().size(), 3U);
    EXPECT_EQ(scanner.nodes().size(), 2U);
    EXPECT_NE(indexOf("hw:0,0"), indexOf("hw:0,1"));
}

TEST_F(DacScannerFlow, NewDacTakesTheSmallestFreeIndex) {
    plug("pcmC0D0p");
    plug("pcmC1D0p");
    plug("pcmC2D0p");
    ASSERT_EQ(indexOf("hw:0,0"), 1);
    ASSERT_EQ(indexOf("hw:1,0"), 2);
    ASSERT_EQ(indexOf("hw:2,0"), 3);

    unplug("pcmC1D0p");
    EXPECT_EQ(indexOf("hw:1,0"), 0) << "node removed";
    plug("pcmC3D0p");
    EXPECT_EQ(indexOf("hw:3,0"), 2) << "with 1 and 3 taken";

    unplug("pcmC0D0p");
    plug("pcmC4D0p");
    EXPECT_EQ(indexOf("hw:4,0"), 1);
    EXPECT_EQ(scanner.freeIndex(), 4);
}

TEST_F(DacScannerFlow, UnplugRemovesTheNodeInOrderAndPlugBackCreatesANewOne) {
    plug("pcmC0D0p");
    ASSERT_EQ(scanner.nodes().size(), 1U);
    ASSERT_TRUE(log.waitFor("START sinkAlsa 1 hw:0,0", 2s));
    log.clear();

    unplug("pcmC0D0p");
    EXPECT_TRUE(scanner.nodes().empty());
    EXPECT_TRUE(scanner.entries().empty());
    ASSERT_TRUE(log.waitFor("NodeSink close", 2s));
    const long removed = log.find("Remove Dev: " + dir.path + "pcmC0D0p");
    const long dacRemove = log.find("DAC REMOVE : hw:0,0");
    ASSERT_GE(removed, 0);
    EXPECT_GT(dacRemove, removed);
    EXPECT_GT(log.find("NodeSink close"), dacRemove);

    plug("pcmC0D0p");
    ASSERT_EQ(scanner.nodes().size(), 1U);
    EXPECT_TRUE(scanner.nodes().at("hw:0,0").isRunning());
    EXPECT_TRUE(log.waitFor("DAC DETECT : " + dir.path + "pcmC0D0p", 2s));
}

TEST_F(DacScannerFlow, RemovedNonDeviceEntryOnlyLeavesItsRemoveLine) {
    plug("timer");
    unplug("timer");
    EXPECT_FALSE(scanner.scanOnce());
    log.drain(50ms);
    EXPECT_EQ(log.count("Remove Dev: " + dir.path + "timer"), 1U);
    EXPECT_EQ(log.count("DAC REMOVE"), 0U);
    EXPECT_EQ(log.count("NodeSink close"), 0U);
}

TEST_F(DacScannerFlow, DeviceGoneBeforeSettlingLeavesNoNode) {
    // A dangling link is listed by the directory but does not exist.
    ASSERT_EQ(::symlink((dir.path + "nowhere").c_str(), (dir.path + "pcmC0D0p").c_str()), 0);
    EXPECT_TRUE(scanner.scanOnce());
    EXPECT_TRUE(scanner.nodes().empty());
    log.drain(50ms);
    EXPECT_EQ(log.count("Detect Dev: " + dir.path + "pcmC0D0p"), 1U);
    EXPECT_EQ(log.count("DAC DETECT"), 0U);
}

TEST_F(DacScannerFlow, MissingDirectoryIsPolledUntilItAppears) {
    DacScanner missing({dir.path + "snd/", 0ms, 1ms});
    EXPECT_FALSE(missing.scanOnce());
    EXPECT_FALSE(missing.scanOnce());
    EXPECT_TRUE(missing.nodes().empty());

    std::filesystem::create_directory(dir.path + "snd");
    dir.touch("snd/pcmC0D0p");
    EXPECT_TRUE(missing.scanOnce());
    EXPECT_EQ(missing.nodes().size(), 1U);
}

TEST_F(DacScannerFlow, CloseAllStopsAndClosesEveryNode) {
    plug("pcmC0D0p");
    plug("pcmC0D1p");
    ASSERT_EQ(scanner.nodes().size(), 2U);
    log.clear();
    scanner.closeAll();
    EXPECT_TRUE(scanner.nodes().empty());
    EXPECT_TRUE(scanner.entries().empty());
    log.drain(50ms);
    EXPECT_EQ(log.count("NodeSink close"), 2U);
    EXPECT_EQ(log.count("DAC REMOVE"), 0U);
}

} // namespace
