#pragma once

#include "foundation/SocketAddress.h"
#include "host/PlaySession.h"
#include "host/PushSource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace QUORVEL {

// A stream to one sink that a player feeds from its own thread, the way it
// feeds a sound card: audio pushed into a bounded queue goes out through a
// PlaySession on a thread of the player's own. Start, pause, drain and stop
// behave as a card's; the position is what has gone out; failures are errno
// values with one line of text: -EBUSY (another Host holds the sink), -EINVAL
// (a format it refuses), -EIO (no answer), -EPIPE (the sink ended the
// connection, as after an underrun), -ENODEV (the sink fell silent).
//
// Threads: every operation but the constructor's `wake` callback is called
// from the player's thread (one at a time). The session thread calls `wake`
// when room appears in the queue (at least setWakeRoom bytes) and whenever
// the stream connects or ends, so a player can poll a descriptor that `wake`
// signals. `wake` may be called until the PushPlayer is destroyed.
class PushPlayer {
public:
    PushPlayer(const VEMRA::SocketAddress& control, PlayOptions options, std::function<void()> wake);
    ~PushPlayer();
    PushPlayer(const PushPlayer&) = delete;
    PushPlayer& operator=(const PushPlayer&) = delete;

    // A new stream format and queue size; ends a stream that still runs.
    // false when the queue cannot be had.
    bool configure(AudioFormat format, size_t queueBytes);
    // Ends a stream that still runs and empties the queue (a card's prepare).
    void reset();
    void setWakeRoom(size_t bytes) { wakeRoom.store(bytes, std::memory_order_relaxed); }

    // Takes whole frames as far as the queue has room; how many bytes.
    size_t push(std::span<const uint8_t> bytes);
    // Connects and starts sending what is queued. Waits for the handshake:
    // 0 once the sink accepted, else the failure (-EBUSY when another Host
    // holds the sink, -EINVAL for a format it refuses, -EIO without answer).
    int start();
    // Stops sending at once; the disconnect goes out behind the caller's back.
    void stop();
    // Sends what is queued, lets the sink play it out and disconnects.
    // 0, or the failure that ended the stream.
    int drain();

    // Where the stream stands.
    uint64_t sentBytes() const { return source ? source->readBytes() : 0; }
    size_t queuedBytes() const { return source ? source->queuedBytes() : 0; }
    // The sink's queue at its last level report, in units of 100 us.
    uint16_t sinkQueue() const { return sinkFill.load(std::memory_order_relaxed); }
    // 0 while all is well; after the stream ended with a failure, its errno.
    int failure() const;
    std::string failureText() const;
    bool running() const;

private:
    enum class Phase {
        Idle,       // no stream
        Connecting, // the session thread runs the handshake
        Streaming,  // connected
        Ended,      // the session reported its end (failed or not); the disconnect may still run
    };

    void runSession();
    void joinSession();
    void onConsumed(size_t roomBefore);

    VEMRA::SocketAddress control;
    PlayOptions options;
    std::function<void()> wake;
    std::unique_ptr<PushSource> source; // replaced by configure() only while no session runs
    std::thread session;
    std::atomic<bool> stopFlag{false}; // set by the player's thread, read by the session
    std::atomic<size_t> wakeRoom{1};
    std::atomic<uint16_t> sinkFill{0}; // written by the session thread

    mutable std::mutex lock; // guards the members below, shared with the session thread
    std::condition_variable changed;
    Phase phase = Phase::Idle;
    bool sessionDone = true; // the session thread has returned from play()
    int error = 0;
    std::string errorText;
};

} // namespace QUORVEL
