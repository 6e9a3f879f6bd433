#pragma once

#include "FuzzSupport.h"
#include "protocol/PrepareCache.h"
#include "protocol/SinkBuffer.h"

#include <memory>
#include <span>

namespace FUZZ {

// A SinkBuffer back end for the harnesses: no device, no stream worker and no
// transport worker. Datagrams reach the control and stream paths through
// their seams on the harness's thread; drainRing() does what the transport
// worker does with the ring (move the slots into the output queue, compute
// the rate at a flush mark, write the queue out), and every byte written is
// read, so a slot whose length runs past its buffer is caught. One sink
// lives for the whole fuzzing run (its ring is 1.5 MB); reset() brings it
// back to an idle, unprepared state before each input.
// Its output: a checksum of every byte written.
class FuzzOutput : public QUORVEL::AudioOutput {
public:
    void startAudio(uint64_t) override {}
    bool writeAudio(const uint8_t* data, size_t bytes) override;
    bool releaseOutput() override { return true; }

    uint64_t checksum() const { return sum; }

private:
    uint64_t sum = 0;
};

class FuzzSink : private FuzzOutput, public QUORVEL::SinkBuffer {
public:
    FuzzSink(const QUORVEL::SinkInfo& info, VEMRA::SocketWaitSet& pollSet, const QUORVEL::SinkConfig& config);
    ~FuzzSink() override;

    // Opens both sockets (system-chosen ports on ::); the stream socket's
    // answers go to `peer`.
    bool openForFuzzing(const VEMRA::SocketAddress& peer);
    void reset();

    bool start() override { return true; } // the harness is the stream worker
    bool canFormat(QUORVEL::AudioFormat& fmt) override;
    bool setFormat(const QUORVEL::AudioFormat& fmt) override;
    void play(const uint64_t& startAt) override { startAudio(startAt); }
    bool disconnectStream() override { return releaseOutput(); }
    bool writeOutput(const uint8_t* data, size_t bytes) override { return writeAudio(data, bytes); }

    // The stream side of one connection, as the stream worker's "do start"
    // leaves it: Connected and playing with `fmt`, MS mode or not.
    void beginStream(QUORVEL::AudioFormat fmt, bool msMode);
    // One datagram as the streaming loop receives it (into the ring's write
    // slot unless an MS connection runs); false once the connection ended.
    bool feedStream(std::span<const uint8_t> datagram);
    // One datagram as the MS worker receives it; false once the MS worker ended.
    bool feedMs(std::span<const uint8_t> datagram);
    void drainRing();

    using FuzzOutput::checksum;

private:
    std::unique_ptr<StreamPass> pass;
    bool msMode = false;
};

QUORVEL::SinkInfo fuzzSinkInfo();
QUORVEL::SinkConfig fuzzSinkConfig(QUORVEL::PrepareCache& cache);

} // namespace FUZZ
