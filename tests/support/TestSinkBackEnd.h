#pragma once

#include "protocol/SinkBuffer.h"

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
    bool paced = true;             // writeOutput blocks for the playing time of its bytes
    bool record = true;            // keep every byte handed to writeOutput
    bool recordSilence = true;     // false: writes of zero bytes only are counted, not kept
    // writeOutput only counts (and paces): no lock, no memory, no hold. For
    // tests that count what the sink's own threads lock and allocate.
    bool countOnly = false;
    bool failSetFormat = false;
    std::optional<AudioFormat> replaceFormatWith; // setFormat puts this into `format`
    uint16_t deviceLatency = 0;
};

// A SinkBuffer back end without a device: it accepts a configurable
// capability word, records what the transport worker writes and paces like a
// device clock, so the whole Sink runs over real sockets in tests.
//
// Threads: the slots run where the Sink calls them (node thread, stream
// worker, transport worker); the observers may be called from any thread.
class TestSinkBackEnd : public SinkBuffer {
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

    // While held, writeOutput blocks (the device stalls) until released or
    // the sink stops.
    void hold(bool held);
    // While held, connect blocks on the node thread, with the sink in the
    // Connecting state, until released or the sink stops.
    void holdConnect(bool held);
    // connect calls that have begun (held or not).
    int connectCalls() const { return connectsEntered.load(); }

    std::vector<uint8_t> recorded() const;
    std::vector<size_t> writeSizes() const;
    std::vector<uint64_t> startTimes() const;
    std::vector<std::string> hostNames() const;
    uint64_t bytesWritten() const { return written.load(); }
    uint64_t writeCount() const { return writes.load(); }
    int setFormatCalls() const { return formatCalls.load(); }
    int disconnectCalls() const { return disconnects.load(); }
    bool waitForBytes(uint64_t bytes, uint64_t timeoutMilliseconds) const;
    bool waitForDisconnects(int count, uint64_t timeoutMilliseconds) const;

    // Inner state for white-box tests of the buffer.
    using SinkBuffer::packetRing;

private:
    TestBackEndOptions options;
    mutable std::mutex mutex;
    std::condition_variable holdChanged;
    bool holding = false;                 // guarded by mutex
    bool holdingConnect = false;          // guarded by mutex
    std::vector<uint8_t> bytes;           // guarded by mutex
    std::vector<size_t> sizes;            // guarded by mutex
    std::vector<uint64_t> starts;         // guarded by mutex
    std::vector<std::string> names;       // guarded by mutex
    uint64_t deviceStart = 0;             // transport worker: when the device clock started
    uint64_t devicePosition = 0;          // transport worker: bytes played since then
    std::atomic<bool> restartClock{true}; // set by play and disconnectStream
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> writes{0};
    std::atomic<int> formatCalls{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> connectsEntered{0};
};

} // namespace QUORVEL
