#pragma once

#include "protocol/AudioOutput.h"
#include "protocol/Sink.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace QUORVEL {

// The device of TestSinkBackEnd: records what the transport worker writes
// and paces like a device clock. Built before the back end's SinkBuffer and
// destroyed after it, as every back end's output is.
//
// Threads: startAudio on the stream worker, writeAudio on the transport
// worker, releaseOutput on whichever worker ends a stream; the observers
// and hold on any thread.
class TestSinkDevice : public AudioOutput {
public:
    struct Options {
        bool paced = true;         // writeAudio blocks for the playing time of its bytes
        bool record = true;        // keep every byte written
        bool recordSilence = true; // false: writes of zero bytes only are counted, not kept
        bool countOnly = false;    // only count (and pace): no lock, no memory, no hold
    };

    explicit TestSinkDevice(const Options& options) : options(options) {}

    // Once the sink is built: the device reads its stream format (for the
    // pacing) and its running flag (a held write returns when it stops).
    void attach(const Sink& owner) { sink = &owner; }

    void startAudio(uint64_t startAt) override;
    bool writeAudio(const uint8_t* data, size_t bytes) override;
    bool releaseOutput() override;

    // While held, writeAudio blocks (the device stalls) until released or
    // the sink stops.
    void hold(bool held);

    std::vector<uint8_t> recorded() const;
    std::vector<size_t> writeSizes() const;
    std::vector<uint64_t> startTimes() const;
    uint64_t bytesWritten() const { return written.load(); }
    uint64_t writeCount() const { return writes.load(); }
    int disconnectCalls() const { return disconnects.load(); }
    bool waitForBytes(uint64_t bytes, uint64_t timeoutMilliseconds) const;
    bool waitForDisconnects(int count, uint64_t timeoutMilliseconds) const;

private:
    const Options options;
    const Sink* sink = nullptr; // set by attach before the sink's workers run
    mutable std::mutex mutex;
    std::condition_variable holdChanged;
    bool holding = false;                 // guarded by mutex
    std::vector<uint8_t> bytes;           // guarded by mutex
    std::vector<size_t> sizes;            // guarded by mutex
    std::vector<uint64_t> starts;         // guarded by mutex
    uint64_t deviceStart = 0;             // transport worker: when the device clock started
    uint64_t devicePosition = 0;          // transport worker: bytes played since then
    std::atomic<bool> restartClock{true}; // set by startAudio and releaseOutput
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> writes{0};
    std::atomic<int> disconnects{0};
};

} // namespace QUORVEL
