#pragma once

#include "protocol/SinkBuffer.h"
#include "support/TestSinkDevice.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace QUORVEL {

struct TestBackEndOptions {
    uint64_t capabilities = ~0ULL; // canFormat reduces a request to these bits
    bool paced = true;             // the device blocks for the playing time of its bytes
    bool record = true;            // keep every byte written to the device
    bool recordSilence = true;     // false: writes of zero bytes only are counted, not kept
    // The device only counts (and paces): no lock, no memory, no hold. For
    // tests that count what the sink's own threads lock and allocate.
    bool countOnly = false;
    bool failSetFormat = false;
    std::optional<AudioFormat> replaceFormatWith; // setFormat puts this into `format`
    uint16_t deviceLatency = 0;
};

// A SinkBuffer back end without a device: it accepts a configurable
// capability word, and its TestSinkDevice records what the transport worker
// writes and paces like a device clock, so the whole Sink runs over real
// sockets in tests.
//
// Threads: the slots run on the node thread (the device's on the workers,
// see TestSinkDevice); the observers may be called from any thread.
class TestSinkBackEnd : public TestSinkDevice, public SinkBuffer {
public:
    TestSinkBackEnd(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet, const SinkConfig& config,
                    const TestBackEndOptions& options);
    ~TestSinkBackEnd() override;

    void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) override;
    bool canFormat(AudioFormat& fmt) override;
    bool setFormat(const AudioFormat& fmt) override;
    bool connect(const std::string& hostName) override;
    void play(const uint64_t& startAt) override;
    bool disconnectStream() override;
    bool writeOutput(const uint8_t* data, size_t bytes) override;

    // While held, connect blocks on the node thread, with the sink in the
    // Connecting state, until released or the sink stops.
    void holdConnect(bool held);
    // connect calls that have begun (held or not).
    int connectCalls() const { return connectsEntered.load(); }

    std::vector<std::string> hostNames() const;
    int setFormatCalls() const { return formatCalls.load(); }

    // Inner state for white-box tests of the buffer.
    using SinkBuffer::packetRing;

private:
    TestBackEndOptions options;
    mutable std::mutex mutex;
    std::condition_variable holdChanged;
    bool holdingConnect = false;    // guarded by mutex
    std::vector<std::string> names; // guarded by mutex
    std::atomic<int> formatCalls{0};
    std::atomic<int> connectsEntered{0};
};

} // namespace QUORVEL
