#pragma once

#include "protocol/AudioOutput.h"
#include "protocol/PacketRing.h"
#include "protocol/Sink.h"
#include "protocol/TransportStage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace QUORVEL {

// A Sink with a buffer between network and device: the stream worker
// receives into a lock-free ring, and the transport stage's worker moves the
// ring's slots into its output queue and writes them to the device (see
// TransportStage). The queue starts with the connection's latency of
// silence; its depth at the Host's flush marks becomes the rate feedback.
//
// Back ends implement canFormat, setFormat, play, disconnectStream and
// writeOutput. The workers do not call those slots: they drive the back
// end's AudioOutput, an object built before the SinkBuffer (a base listed
// first, or a member of an owner), so that the SinkBuffer's own destructor
// stops the workers while everything they touch is still there. The slots
// that feed the buffer (8 to 12) are final: the workers reach the buffer
// through its intake, so an override would never run.
class SinkBuffer : public Sink {
public:
    static constexpr size_t kSlotBytes = 1500;
    // The most silence a connection starts with, whatever its latency: 6.5 s
    // of the fastest streams would be hundreds of megabytes, taken at once.
    // 32 MiB hold the longest latency of every stereo PCM stream up to 192 kHz
    // (and of DSD up to DSD256); faster streams get a shorter latency.
    static constexpr uint64_t kPrefillLimit = uint64_t{32} << 20;
    // How much audio the queue takes beyond the pre-fill: a Host catching up
    // after a stall of its network sends seconds of audio at once. Bounded
    // in bytes so that the fastest formats keep a ceiling on memory.
    static constexpr uint64_t kQueueAheadSeconds = 4;
    static constexpr uint64_t kQueueLimit = uint64_t{64} << 20;

    using Prefill = TransportStage::Prefill;

    // `device` is the back end's output; it outlives the SinkBuffer.
    SinkBuffer(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet, AudioOutput& device,
               const SinkConfig& config = SinkConfig());
    ~SinkBuffer() override;

    void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) override; // 1
    bool setPrepareFormat(PrepareFormat& w) override;                                           // 3
    bool connect(const std::string& hostName) override;                                         // 5
    bool preDisconnect() final;                                                                 // 8
    bool commitWrite(bool flush) final;                                                         // 9
    bool getBufferState(uint16_t& fill, uint16_t& target) final;                                // 10
    void wakeAll() final;                                                                       // 11
    PacketSlot* writeSlot() final;                                                              // 12
    virtual bool startTransport();                                                              // 16
    virtual bool writeOutput(const uint8_t* data, size_t bytes) = 0;                            // 17

    // Node thread: open plus the transport worker; closeAll undoes both
    // (the destructor calls it).
    bool openAll(uint16_t& controlPort, uint16_t& streamPort);
    void closeAll();

    // Node thread, before a connection.
    void setLatencyRange(uint16_t minimum, uint16_t maximum, uint16_t defaultLatency);
    void setLatencyDefault(uint16_t defaultLatency) { setLatencyRange(0, 65535, defaultLatency); }
    uint16_t currentLatency() const { return latency.load(); }

    // The arithmetic of the buffer, in 64 bits; none divides by zero. The
    // pre-fill holds at most kPrefillLimit bytes.
    static Prefill prefillFor(AudioFormat format, uint16_t latency);
    // The largest latency (100 us units, at least 1) whose pre-fill of a
    // stream of `bytesPerSecond` stays within kPrefillLimit.
    static uint16_t latencyLimit(uint64_t bytesPerSecond);
    // The bytes per second of the largest stream a prepare word may stand
    // for: it names the class of the format but not its sample size, so PCM
    // counts as 64-bit samples and DSD as 1-bit (the only DSD a back end of
    // this system plays; connect checks again with the real format).
    static uint64_t largestBytesPerSecond(PrepareFormat word);
    // The most bytes the transport worker queues for a connection: its
    // pre-fill and kQueueAheadSeconds of audio, at most kQueueLimit.
    static uint64_t queueLimitFor(AudioFormat format, uint16_t latency);
    // 10 ms of the format, whole frames (at least one frame; 0 without a rate).
    static uint64_t underrunBytes(AudioFormat format);
    // Queue depth in units of 100 us added to `fill`, saturating at 0xFFFF.
    static uint16_t fillFor(uint16_t fill, uint64_t queuedBytes, uint64_t bytesPerSecond);
    // The rate word for a fill against a target (0x8000 = no correction).
    static uint16_t rateFor(uint16_t fill, uint16_t target);
    // For a back end's play: returns once the monotonic clock reaches
    // `startAt` (0 = at once), sleeping until shortly before and spinning the
    // rest; never waits longer than `maxWait`.
    static void waitForStart(uint64_t startAt, uint64_t maxWait);

protected:
    // For tests and harnesses that look into the buffer or run no worker.
    PacketRing& packetRing() { return ring; }
    // What the transport worker does with the ring, on the caller's thread.
    void drainTransportNow() { transport.drainNow(); }

private:
    // Node thread writes; the transport worker reads `latency`.
    std::atomic<uint16_t> latencyMin{0};
    std::atomic<uint16_t> latencyDefault{1000};
    std::atomic<uint16_t> latencyMax{65535};
    std::atomic<uint16_t> latency{1000};

    PacketRing ring;          // written by the receiving worker, read by the transport stage
    TransportStage transport; // the Sink's intake; joined by closeAll
};

} // namespace QUORVEL
