#pragma once

#include "foundation/SocketAddress.h"
#include "foundation/SocketWaitSet.h"
#include "protocol/PrepareCache.h"
#include "support/TestSinkBackEnd.h"

#include <atomic>
#include <memory>
#include <thread>

namespace QUORVEL {

// Ports and timings for a sink under test: system-chosen ports, normal
// scheduling, a registration receiver of the test's own and a prepare cache
// of its own (unless the test shares one between sinks).
SinkConfig testSinkConfig(uint16_t registrationPort, PrepareCache* cache);

// A sink with the test back end and a node thread running its control loop
// (wait on the wait set at most 100 ms, then one control step), as the
// per-DAC node does.
class TestSinkNode {
public:
    TestSinkNode(const SinkInfo& info, const SinkConfig& config, const TestBackEndOptions& options);
    ~TestSinkNode();
    TestSinkNode(const TestSinkNode&) = delete;
    TestSinkNode& operator=(const TestSinkNode&) = delete;

    // openAll with the given ports (0 = the config's default) and the node
    // thread; without `withTransport` only open, so a test can start the
    // transport worker later.
    bool start(uint16_t controlPort = 0, uint16_t streamPort = 0, bool withTransport = true);
    // Ends the node thread, then closeAll.
    void stop();

    TestSinkBackEnd& sink() { return *backEnd; }
    VEMRA::SocketAddress controlAddress() const;
    VEMRA::SocketAddress streamAddress() const;
    // The control step returned false (the node would give the sink up).
    bool controlEnded() const { return ended.load(); }
    bool waitUntilStopped(uint64_t timeoutMilliseconds) const;

private:
    void loop();

    VEMRA::SocketWaitSet pollSet; // node thread while it runs
    std::unique_ptr<TestSinkBackEnd> backEnd;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> ended{false};
};

} // namespace QUORVEL
