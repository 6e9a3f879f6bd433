#include "support/TestSinkNode.h"

#include <chrono>

namespace QUORVEL {

SinkConfig testSinkConfig(uint16_t registrationPort, PrepareCache* cache) {
    SinkConfig config;
    config.registrationPort = registrationPort;
    config.controlBasePort = 0;
    config.streamBasePort = 0;
    config.workerScheduling = VEMRA::Normal;
    config.prepareCache = cache;
    return config;
}

TestSinkNode::TestSinkNode(const SinkInfo& info, const SinkConfig& config, const TestBackEndOptions& options)
    : backEnd(std::make_unique<TestSinkBackEnd>(info, pollSet, config, options)) {}

TestSinkNode::~TestSinkNode() {
    stop();
}

bool TestSinkNode::start(uint16_t controlPort, uint16_t streamPort, bool withTransport) {
    if (!(withTransport ? backEnd->openAll(controlPort, streamPort)
                        : backEnd->open(controlPort, streamPort))) {
        return false;
    }
    running = true;
    thread = std::thread(&TestSinkNode::loop, this);
    return true;
}

void TestSinkNode::stop() {
    running = false;
    if (thread.joinable()) {
        thread.join();
    }
    backEnd->hold(false);
    backEnd->closeAll();
}

void TestSinkNode::loop() {
    constexpr uint64_t kWait = 100 * VEMRA::kPicosecondsPerMillisecond;
    while (running.load()) {
        if (pollSet.wait(kWait) == VEMRA::SocketWaitSet::Error) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (!backEnd->controlStep()) {
            ended = true;
            return;
        }
    }
}

VEMRA::SocketAddress TestSinkNode::controlAddress() const {
    return VEMRA::SocketAddress::loopback(backEnd->boundControlPort());
}

VEMRA::SocketAddress TestSinkNode::streamAddress() const {
    return VEMRA::SocketAddress::loopback(backEnd->boundStreamPort());
}

bool TestSinkNode::waitUntilStopped(uint64_t timeoutMilliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (backEnd->isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace QUORVEL
