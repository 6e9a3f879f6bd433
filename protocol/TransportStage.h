#pragma once

#include "protocol/AudioFormat.h"
#include "protocol/AudioOutput.h"
#include "protocol/ConnectionView.h"
#include "protocol/PacketRing.h"
#include "protocol/PacketSlot.h"
#include "protocol/StreamIntake.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace QUORVEL {

// The consumer side of a sink's ring: its thread (the transport worker)
// moves filled slots into an output queue by swapping buffers, writes the
// queue to an AudioOutput one chunk at a time, measures the queue at the
// Host's flush marks for the rate feedback, and at the end of a connection
// plays the queue out and hands the release of the device over to the
// stream worker. Each connection's queue starts with the latency's silence,
// planned by connect.
//
// It is also the receiving workers' intake: they receive into the ring's
// write slot, commit it, and start and release the output through it.
//
// Threads: the node thread constructs, starts, plans connections and joins;
// the stream and MS workers write to the ring, mark flushes and wake; the
// stream worker starts the output and takes part in the drain (awaitDrain);
// everything else is the transport worker's.
class TransportStage final : public StreamIntake {
public:
    // The most nodes kept for reuse: a steady stream finds its nodes here,
    // so it allocates nothing once the first connection has run.
    static constexpr size_t kSpareLimit = 1024;

    // What the connect step pre-fills: `total` bytes of silence in chunks of
    // at most `chunk`, each a multiple of `frame`.
    struct Prefill {
        uint64_t total = 0;
        uint64_t chunk = 0;
        uint64_t frame = 0;
    };

    // What the stage needs of its sink besides the ring and the output.
    struct SinkLink {
        ConnectionView connection;
        const std::atomic<uint16_t>& latency; // the connection's latency, 100 us units
        std::function<void()> wakeSink;       // wakes every worker of the sink
        // At a flush mark: the fill the output itself holds and the fill the
        // rate feedback aims at, 100 us units. false = no feedback this time.
        std::function<bool(uint16_t& fill, uint16_t& target)> bufferState;
    };

    // `ring` and `output` outlive the stage.
    TransportStage(PacketRing& ring, AudioOutput& output, SinkLink link);
    // Joins the worker: its owner clears `running` and wakes the stage first.
    ~TransportStage();
    TransportStage(const TransportStage&) = delete;
    TransportStage& operator=(const TransportStage&) = delete;

    // Node thread: starts the transport worker, which asks for
    // `scheduling`. false = it runs already or could not start.
    bool start(int scheduling);
    // Node thread: joins the worker once the sink has cleared `running` and
    // woken the stage.
    void join();
    bool started() const { return worker.joinable(); }

    // Node thread, at connect: the next connection's pre-fill. Its datagrams
    // begin at the ring's write position now: what lies before is left over
    // from an earlier connection (the Host learns the stream port only from
    // connect's answer).
    void planConnection(const Prefill& plan, uint8_t silenceByte);
    // The intake, on the stream or MS worker (whichever receives).
    PacketSlot& writeSlot() override { return ring.writeSlot(); }
    bool commit(bool flush) override;
    // Any thread, after a change of the sink's state the worker waits for.
    // Takes no lock unless a thread waits on the stage.
    void wake() override;
    // Stream worker.
    void startOutput(uint64_t startAt) override { output.startAudio(startAt); }
    // At the end of a connection: waits until the worker has played the
    // queue out and released the device. false = the sink stops before the
    // drain began, or no worker runs (the queue was played out on the
    // caller's thread); the caller releases the device itself.
    bool awaitDrain() override;
    bool releaseOutput() override { return output.releaseOutput(); }

    // For a harness that runs no worker, on its own thread: moves what the
    // ring holds into the queue, posts the rate at a pending flush mark and
    // writes the queue out.
    void drainNow();

private:
    void workerBody(int scheduling);
    bool servePass();
    bool waitForConnection();
    // Where memory runs out, the queue stays shorter (the slot stays in the
    // ring, the pre-fill is cut) and nothing else fails.
    // A new node with a buffer of `bytes` at the end of `to`.
    bool appendNode(std::list<PacketSlot>& to, uint64_t bytes);
    // Fills the spare pool up to the nodes a steady stream queues for
    // `prefillBytes` of latency, so that its datagrams find their nodes there.
    void reserveSpare(uint64_t prefillBytes);
    bool moveToQueue(PacketSlot& slot);
    void retireFront();
    void appendPrefill(const Prefill& plan, uint8_t silenceByte);
    void postRate(uint64_t queuedBytes);
    void drainHandshake();
    // Waits on `changed` (lock held) for `ready`, at most `bound`, counted in waiters.
    template <typename Ready>
    bool waitOnStage(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds bound, Ready ready) {
        waiters.fetch_add(1);
        const bool result = changed.wait_for(lock, bound, ready);
        waiters.fetch_sub(1);
        return result;
    }

    // Fixed at construction.
    PacketRing& ring; // the stage reads and releases; the stream side writes
    AudioOutput& output;
    SinkLink link;

    std::thread worker;                     // node thread
    std::atomic<bool> workerStarted{false}; // set by start, read by awaitDrain

    // Transport worker only.
    std::list<PacketSlot> queue; // audio waiting for the device, oldest first
    std::list<PacketSlot> spare; // emptied nodes kept with their buffers
    std::vector<uint8_t> silence;
    uint64_t servedSerial = 0;

    std::atomic<bool> flushRequested{false}; // set by commit, cleared by the worker

    std::mutex mutex;
    std::condition_variable changed;
    // Threads waiting on `changed`: raised under `mutex` before a waiter
    // checks what it waits for. wake takes the mutex only while it is not
    // zero, so the stream worker's wake-ups during a stream take no lock.
    // seq_cst with the changes wake announces: either the waiter sees the
    // change, or wake sees the waiter.
    std::atomic<int> waiters{0};

    // The end of a connection between the transport worker, which plays out
    // the queue and releases the device, and the stream worker, which waits
    // for that in awaitDrain. Each step is taken by one compare-exchange, so
    // exactly one worker releases the device; Released is stored and
    // Acknowledged taken under `mutex`, and `changed` wakes the other side.
    enum class DrainStep : uint8_t {
        Waiting,      // transport worker: no connection served yet
        Serving,      // transport worker: a connection is being played
        Releasing,    // transport worker: queue played out, releasing the device
        Released,     // transport worker: device released, waiting for the stream worker
        Acknowledged, // stream worker: saw the release; the transport worker goes on
        Abandoned     // stream worker: the sink stops before the drain; it releases the device
    };
    std::atomic<DrainStep> drainStep{DrainStep::Waiting};

    // The planned pre-fill, taken by the worker when it starts serving the
    // connection. Guarded by `mutex`.
    Prefill pendingPrefill;
    uint8_t pendingSilenceByte = 0;
    bool prefillPending = false;
    uint64_t pendingRingStart = 0;
};

} // namespace QUORVEL
