// ctest-labels: threads
#include "app/AppTarget.h"
#include "support/LogReceiver.h"
#include "support/ScratchDir.h"
#include "support/TestDacs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

// What the test controls and observes of the host-facing node it puts in place.
struct TargetControl {
    std::atomic<bool> finish{false}; // the worker returns `outcome` once set
    std::atomic<bool> outcome{true};
    std::atomic<int> built{0};
    std::atomic<uint64_t> vendorWord{0};
};

class TestTarget : public NodeRun {
public:
    explicit TestTarget(std::shared_ptr<TargetControl> control) : control(std::move(control)) {}
    ~TestTarget() override { stop(); }
    TestTarget(const TestTarget&) = delete;
    TestTarget& operator=(const TestTarget&) = delete;
    TestTarget(TestTarget&&) = delete;
    TestTarget& operator=(TestTarget&&) = delete;

protected:
    bool worker(std::atomic<bool>& running) override {
        while (running.load() && !control->finish.load()) {
            std::this_thread::sleep_for(1ms);
        }
        return control->outcome.load();
    }

private:
    std::shared_ptr<TargetControl> control;
};

class AppTargetRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(log.isOpen());
        ASSERT_FALSE(dir.path.empty());
        ASSERT_TRUE(dacs.ok());
        config.deviceDirectory = dir.path;
        config.sink = dacs.config;
        config.logPort = log.port();
        config.startWait = 10ms;
        config.scanWait = 20ms;
        config.settleWait = 10ms;
        config.pollStep = 5ms;
        config.makeTargetNode = [control = control](uint64_t vendorWord) {
            control->built.fetch_add(1);
            control->vendorWord.store(vendorWord);
            return std::make_unique<TestTarget>(control);
        };
    }

    // A failed assertion must not leave the supervisor running: its future
    // would block the test's end for good.
    ~AppTargetRun() override { control->finish.store(true); }

    void launch() {
        run = std::async(std::launch::async, [this] { return runAppTarget("Bellwick", config); });
    }

    LogReceiver log;
    ScratchDir dir{"apptarget"};
    TestDacs dacs{{{0, 0}, {2, 0}}, dir.path + "none.inf"};
    std::shared_ptr<TargetControl> control = std::make_shared<TargetControl>();
    AppTargetConfig config;
    std::future<bool> run; // destroyed (joined) after the destructor body has ended the target
};

TEST(AppTargetTest, VendorWordPacking) {
    uint64_t word = 0;
    ASSERT_TRUE(packVendorWord("Bellwick", word));
    EXPECT_EQ(word, 0x6B6369776C6C6542ULL);
    ASSERT_TRUE(packVendorWord("\xff\xff\xff\xff\xff\xff\xff\xfe", word));
    EXPECT_EQ(word, 0xFEFFFFFFFFFFFFFFULL);

    word = 7;
    for (const char* bad : {"Bellwic", "Bellwick9", "Bell\0wick", "\xff\xff\xff\xff\xff\xff\xff\xff", ""}) {
        EXPECT_FALSE(packVendorWord(bad, word)) << bad;
    }
    EXPECT_FALSE(packVendorWord(nullptr, word));
    EXPECT_EQ(word, 7U) << "a refused word leaves the output alone";
}

TEST_F(AppTargetRun, MalformedVendorWordFailsAtOnceWithoutStartingAnything) {
    dir.touch("pcmC0D0p");
    for (const char* bad : {"Bellwic", "Bellwick9", "Bell\0wick", "\xff\xff\xff\xff\xff\xff\xff\xff"}) {
        EXPECT_FALSE(runAppTarget(bad, config)) << bad;
    }
    EXPECT_EQ(control->built.load(), 0);

    std::ostringstream errors;
    EXPECT_EQ(runMain("Bellwic", errors, config), 255);
    EXPECT_EQ(errors.str(), "quorvel_app_target boot up failure\n");
    EXPECT_EQ(control->built.load(), 0);
    log.drain(50ms);
    EXPECT_EQ(log.count("Detect Dev: "), 0U);
}

TEST_F(AppTargetRun, TargetEndingWithTrueExitsCleanly) {
    control->finish.store(true);
    std::ostringstream errors;
    EXPECT_EQ(runMain("Bellwick", errors, config), 0);
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(control->built.load(), 1);
    EXPECT_EQ(control->vendorWord.load(), 0x6B6369776C6C6542ULL);
}

TEST_F(AppTargetRun, TargetFailingAtStartGivesTheBootUpFailure) {
    control->outcome.store(false);
    control->finish.store(true);
    std::ostringstream errors;
    EXPECT_EQ(runMain("Bellwick", errors, config), 255);
    EXPECT_EQ(errors.str(), "quorvel_app_target boot up failure\n");
    ASSERT_TRUE(log.waitFor("NodeTarget close", 2s));
    EXPECT_LT(log.find("end quorvel app target"), log.find("NodeTarget close"));
    EXPECT_GE(log.find("end quorvel app target"), 0);
}

TEST_F(AppTargetRun, DetectsDevicesAndTearsThemDownWhenTheTargetEnds) {
    dir.touch("pcmC0D0c");
    dir.touch("pcmC0D0p");
    // A pass interval longer than any test: the supervisor must still notice
    // the end at once.
    config.scanWait = 600s;
    launch();

    ASSERT_TRUE(log.waitFor("START sinkAlsa 1 hw:0,0", 5s));
    // The capture device is seen too (one change per scan, in whichever
    // order the directory lists them), but only the playback one gets a node.
    const std::string capture = "Detect Dev: " + dir.path + "pcmC0D0c";
    ASSERT_TRUE(log.count(capture) != 0 || log.waitFor(capture, 5s));
    EXPECT_GE(log.find("DAC DETECT : " + dir.path + "pcmC0D0p"), 0);
    EXPECT_EQ(log.count("DAC DETECT"), 1U);

    control->outcome.store(false);
    control->finish.store(true);
    ASSERT_EQ(run.wait_for(60s), std::future_status::ready) << "the supervisor sleeps through the node's end";
    EXPECT_FALSE(run.get());

    ASSERT_TRUE(log.waitFor("NodeTarget close", 2s));
    const long end = log.find("end quorvel app target");
    const long sinkClose = log.find("NodeSink close");
    ASSERT_GE(end, 0);
    EXPECT_GT(sinkClose, end);
    EXPECT_GT(log.find("NodeTarget close"), sinkClose);
    EXPECT_EQ(log.count(capture), 1U);
}

TEST_F(AppTargetRun, UnplugAndReplugWhileRunning) {
    launch();
    dir.touch("pcmC2D0p");
    ASSERT_TRUE(log.waitFor("START sinkAlsa 1 hw:2,0", 5s));

    dir.remove("pcmC2D0p");
    ASSERT_TRUE(log.waitFor("NodeSink close", 5s));
    const long dacRemove = log.find("DAC REMOVE : hw:2,0");
    EXPECT_GT(dacRemove, log.find("Remove Dev: " + dir.path + "pcmC2D0p"));
    EXPECT_GT(log.find("NodeSink close"), dacRemove);

    dir.touch("pcmC2D0p");
    EXPECT_TRUE(log.waitFor("START sinkAlsa 1 hw:2,0", 5s));
    EXPECT_EQ(log.count("DAC DETECT : " + dir.path + "pcmC2D0p"), 2U);

    control->finish.store(true);
    EXPECT_TRUE(run.get());
}

TEST_F(AppTargetRun, MissingDeviceDirectoryKeepsPollingWithoutNodes) {
    config.deviceDirectory = dir.path + "snd/";
    std::atomic<int> passes{0};
    std::atomic<size_t> mostNodes{0};
    config.afterPass = [&](const DacScanner& scanner) {
        mostNodes.store(std::max(mostNodes.load(), scanner.nodes().size()));
        passes.fetch_add(1);
    };
    launch();
    while (passes.load() < 4 && run.wait_for(5ms) != std::future_status::ready) {
    }
    control->finish.store(true);
    EXPECT_TRUE(run.get());
    EXPECT_GE(passes.load(), 4);
    EXPECT_EQ(mostNodes.load(), 0U);
    log.drain(50ms);
    EXPECT_EQ(log.count("Detect Dev: "), 0U);
    EXPECT_EQ(log.count("Error: "), 0U);
}

} // namespace
