#pragma once

#include "protocol/PacketRing.h"
#include "protocol/Sink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace QUORVEL {

// A Sink with a buffer between network and device: the stream worker
// receives into a lock-free ring, the transport worker moves filled slots
// into its output queue (by swapping buffers) and writes the queue to the
// back end one chunk at a time. The queue starts with the connection's
// latency of silence; its depth at the Host's flush marks becomes the rate
// feedback.
//
// Back ends implement canFormat, setFormat, play, disconnectStream and
// writeOutput, and must call closeAll() in their own destructor: the
// transport worker calls writeOutput until it is joined.
class SinkBuffer : public Sink {
public:
    static constexpr size_t kSlotBytes = 1500;
    static constexpr size_t kSpareLimit = 1024;
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

    // What the connect step pre-fills: `total` bytes of silence in chunks of
    // at most `chunk`, each a multiple of `frame`.
    struct Prefill {
        uint64_t total = 0;
        uint64_t chunk = 0;
        uint64_t frame = 0;
    };

    SinkBuffer(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet, const SinkConfig& config = SinkConfig());
    ~SinkBuffer() override;

    void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) override; // 1
    bool setPrepareFormat(PrepareFormat& w) override;                                           // 3
    bool connect(const std::string& hostName) override;                                         // 5
    bool preDisconnect() override;                                                              // 8
    bool commitWrite(bool flush) override;                                                      // 9
    bool getBufferState(uint16_t& fill, uint16_t& target) override;                             // 10
    void wakeAll() override;                                                                    // 11
    PacketSlot* writeSlot() override;                                                           // 12
    virtual bool startTransport();                                                              // 16
    virtual bool writeOutput(const uint8_t* data, size_t bytes) = 0;                            // 17

    // Node thread: open plus the transport worker; closeAll undoes both.
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
    void transportThreadBody();
    bool transportPass();
    bool waitForConnection();
    // Transport worker. Where memory runs out, the queue stays shorter (the
    // slot stays in the ring, the pre-fill is cut) and nothing else fails.
    // A new node with a buffer of `bytes` at the end of `to`.
    bool appendNode(std::list<PacketSlot>& to, uint64_t bytes);
    // Fills the spare pool up to the nodes a steady stream queues for
    // `prefillBytes` of latency, so that its datagrams find their nodes there.
    void reserveSpare(uint64_t prefillBytes);
    bool moveToQueue(PacketSlot& slot);
    void retireFront();
    void appendPrefill(const Prefill& plan, uint8_t silenceByte);
    void rateComputation(uint64_t queuedBytes);
    void drainHandshake();

    PacketRing ring;

    // Transport worker only.
    std::list<PacketSlot> queue; // audio waiting for the device, oldest first
    std::list<PacketSlot> spare; // emptied nodes kept with their buffers
    std::vector<uint8_t> silence;
    uint64_t servedSerial = 0;

    std::thread transportThread; // started by startTransport, joined by closeAll
    std::mutex bufMutex;
    std::condition_variable bufCond;
    // Threads waiting on bufCond: raised under bufMutex before a waiter
    // checks what it waits for. wakeAll takes bufMutex only while it is not
    // zero, so the stream worker's wake-ups during a stream take no lock.
    // seq_cst with the changes wakeAll announces: either the waiter sees the
    // change, or wakeAll sees the waiter.
    std::atomic<int> bufWaiters{0};
    // Waits on bufCond (lock held) for `ready`, at most `bound`, counted in bufWaiters.
    template <typename Ready>
    bool waitOnBuffer(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds bound, Ready ready) {
        bufWaiters.fetch_add(1);
        const bool result = bufCond.wait_for(lock, bound, ready);
        bufWaiters.fetch_sub(1);
        return result;
    }
    std::atomic<bool> flushRequested{false}; // set by commitWrite, cleared by the transport worker

    // The end of a connection between the transport worker, which plays out
    // the queue and releases the device, and the stream worker, which waits
    // for that in preDisconnect. Each step is taken by one compare-exchange,
    // so exactly one worker releases the device; Released is stored and
    // Acknowledged taken under bufMutex, and bufCond wakes the other side.
    enum class DrainStep : uint8_t {
        Waiting,      // transport worker: no connection served yet
        Serving,      // transport worker: a connection is being played
        Releasing,    // transport worker: queue played out, releasing the device
        Released,     // transport worker: device released, waiting for the stream worker
        Acknowledged, // stream worker: saw the release; the transport worker goes on
        Abandoned     // stream worker: the sink stops before the drain; it releases the device
    };
    std::atomic<DrainStep> drainStep{DrainStep::Waiting};

    // Node thread writes; the transport worker reads `latency`.
    std::atomic<uint16_t> latencyMin{0};
    std::atomic<uint16_t> latencyDefault{1000};
    std::atomic<uint16_t> latencyMax{65535};
    std::atomic<uint16_t> latency{1000};

    // The pre-fill connect asks for, taken by the transport worker when it
    // starts serving the connection. Guarded by bufMutex.
    Prefill pendingPrefill;
    uint8_t pendingSilenceByte = 0;
    bool prefillPending = false;
    // Where the connection's datagrams begin in the ring: what lies before
    // is left over from an earlier connection. Taken by connect, before the
    // Host can send (it learns the stream port only from the answer).
    uint64_t pendingRingStart = 0;
};

} // namespace QUORVEL
