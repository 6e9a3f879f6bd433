// ctest-labels: threads
#include "app/NodeRun.h"
#include "app/NodeSink.h"
#include "app/NodeTarget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A node whose worker runs until stopped or told to finish, then returns `outcome`.
class ProbeNode : public NodeRun {
public:
    ~ProbeNode() override { stop(); }

    std::atomic<bool> finish{false};
    std::atomic<bool> outcome{false};
    std::atomic<int> runs{0};
    std::atomic<bool> sawStop{false};
    std::atomic<bool>* exited = nullptr; // outlives the node; set as the worker returns

protected:
    bool worker(std::atomic<bool>& running) override {
        runs.fetch_add(1);
        while (running.load() && !finish.load()) {
            std::this_thread::sleep_for(1ms);
        }
        sawStop.store(!running.load());
        if (exited != nullptr) {
            exited->store(true);
        }
        return outcome.load();
    }
};

TEST(NodeRunTest, StopClearsRunningJoinsAndKeepsWorkerResult) {
    ProbeNode node;
    EXPECT_FALSE(node.isRunning());
    EXPECT_TRUE(node.join()) << "result is true before any run";

    node.start();
    EXPECT_TRUE(node.isRunning());
    node.stop();
    EXPECT_FALSE(node.isRunning());
    EXPECT_TRUE(node.sawStop.load());
    EXPECT_FALSE(node.join());
    EXPECT_EQ(node.runs.load(), 1);
}

TEST(NodeRunTest, WorkerEndingOnItsOwnClearsRunningAndRestartRunsAgain) {
    ProbeNode node;
    node.start();
    node.finish.store(true);
    EXPECT_FALSE(node.waitWhileRunning(10s, 1ms)) << "the wait ends as soon as the worker returns";
    EXPECT_FALSE(node.sawStop.load());
    EXPECT_FALSE(node.join());

    node.finish.store(false);
    node.outcome.store(true);
    node.start();
    EXPECT_TRUE(node.isRunning());
    EXPECT_TRUE(node.waitWhileRunning(20ms, 5ms)) << "a running node outlasts the wait";
    node.stop();
    EXPECT_TRUE(node.join());
    EXPECT_EQ(node.runs.load(), 2);
}

TEST(NodeRunTest, StartWhileRunningStopsThePreviousRunFirst) {
    ProbeNode node;
    node.start();
    node.start();
    node.stop();
    EXPECT_EQ(node.runs.load(), 2);
}

TEST(NodeRunTest, DestroyingARunningNodeStopsIt) {
    std::atomic<bool> exited{false};
    auto node = std::make_unique<ProbeNode>();
    node->exited = &exited;
    node->start();
    EXPECT_TRUE(node->waitWhileRunning(20ms, 5ms));
    node.reset();
    EXPECT_TRUE(exited.load()) << "destruction stopped and joined the worker";
}

// The nodes' own workers are tested in NodeSinkTest and NodeTargetTest.
TEST(NodeRunTest, NodesKeepWhatTheOwnerSetBeforeStart) {
    const NodeTarget target(0x6B6369776C6C6542ULL);
    EXPECT_EQ(target.vendor(), 0x6B6369776C6C6542ULL);
    EXPECT_FALSE(target.isRunning());
    NodeSink sink;
    sink.setDevice("hw:1,10", 3);
    EXPECT_EQ(sink.device(), "hw:1,10");
    EXPECT_EQ(sink.nodeIndex(), 3);
    EXPECT_FALSE(sink.isRunning());
    EXPECT_TRUE(sink.closeSink()) << "a node that never ran has no sink";
}

} // namespace
