#pragma once

#include "foundation/SocketAddress.h"
#include "host/AudioSource.h"
#include "host/SinkClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace QUORVEL {

// Where a playback stands; handed to the progress callback about ten times a
// second and returned at the end.
struct PlayProgress {
    uint64_t framesSent = 0;             // frames sent at least once
    std::optional<uint64_t> totalFrames; // the source's length; nullopt when endless
    uint64_t datagrams = 0;              // first sends
    uint64_t resent = 0;                 // datagrams sent again after gap reports
    uint64_t gapReports = 0;             // gap reports acted upon
    uint64_t levelReports = 0;           // level reports received
    // The sink's last level report (valid when levelReports > 0): its queue
    // depth and target in units of 100 us, and its rate word.
    uint16_t fill = 0;
    uint16_t target = 0;
    uint16_t rate = 0;
    // The rate word as a signed correction: (fill - target) / target x 16384.
    int32_t rateCorrection() const;
};

struct PlayResult;

// Milestones of a play() call, for a caller that feeds a PushSource from
// another thread and must know when the stream runs or has ended.
enum class PlayStage {
    Connected, // the sink accepted the connection; the stream starts
    Ended,     // the stream (or the handshake) ended; the disconnect, if any, follows
};

struct PlayOptions {
    uint16_t latency = 0;                    // buffer latency asked for, 100 us units; 0 = the sink's default
    bool ms = false;                         // bare MS datagrams to the sink's MS port
    std::string hostName = "quorvel_host";   // announced with HOST_NAME_SET
    std::chrono::milliseconds timeout{1000}; // per control request
    std::chrono::milliseconds drainTimeout{5000}; // for the disconnect answer (the sink plays out its buffer)
    size_t payloadBytes = 0;     // audio bytes per datagram; 0 = the most whole frames that fit 1500 bytes
    uint32_t flushInterval = 32; // every n-th datagram asks for a level report
    size_t history = 1024;       // datagrams kept for resends (at least 2)
    // After the last datagram, how long late gap reports are still served
    // before the disconnect (which, in MS mode, may overtake audio datagrams
    // still on their way to the sink's other socket).
    std::chrono::milliseconds linger{60};
    // While audio goes out: how long the sink may leave a flush mark
    // unanswered before the stream fails as "the sink stopped answering"
    // (then the disconnect waits only `timeout`). 0: no limit.
    std::chrono::milliseconds feedbackTimeout{0};
    // Datagrams due within this much of now go out together: fewer
    // wake-ups for the sender, bursts of at most this much audio for the sink.
    std::chrono::microseconds pacingSlack{0};
    // How long a source may have nothing (AudioSource::waiting) before the
    // stream ends as "stalled": the sink drops a Host silent for half a
    // second without telling it. 0: wait for ever.
    std::chrono::milliseconds stallTimeout{0};
    std::function<void(const PlayProgress&)> progress; // called on the caller's thread, ~10 Hz
    // When set, called once after the connect with the sink's stream (or MS)
    // address; the audio datagrams go to the address it returns instead, e.g.
    // a relay that forwards them. Feedback still comes straight from the sink.
    std::function<VEMRA::SocketAddress(const VEMRA::SocketAddress&)> audioRoute;
    // Called on the caller's thread at each PlayStage: Connected at most
    // once, Ended exactly once, with the result as it stands then.
    std::function<void(PlayStage, const PlayResult&)> stage;
};

struct PlayResult {
    enum class Outcome {
        Finished, // the whole source was sent and the sink drained it
        Stopped,  // `stop` ended the stream early; the sink was disconnected
        Refused,  // the sink cannot play the format, or is busy
        Failed,   // no answer, a socket or read error
    };
    Outcome outcome = Outcome::Failed;
    std::string error;       // one line when not Finished/Stopped
    bool busy = false;       // Refused because another Host is connected
    bool sinkSilent = false; // Failed because the sink stopped answering (PlayOptions::feedbackTimeout)
    bool stalled = false;    // Failed because the source had nothing for too long (PlayOptions::stallTimeout)
    bool drained = false;    // the sink answered the disconnect
    uint16_t latency = 0;    // the latency the sink agreed to, 100 us units
    AudioFormat format;      // the stream format sent (the source's, or its DSD in big-endian words)
    PlayProgress progress;

    bool ok() const { return outcome == Outcome::Finished || outcome == Outcome::Stopped; }
};

// Plays one AudioSource to one sink on the caller's thread: FORMAT_QUERY,
// LATENCY_QUERY, PREPARE_FORMAT, HOST_NAME_SET and CONNECT (or CONNECT_MS),
// then the stream, paced at the format's byte rate and corrected by the
// sink's level reports, with resends from a bounded history of the datagrams
// last sent, then DISCONNECT (the sink drains). Every wait is bounded; the
// streaming loop allocates nothing. A source that has nothing yet
// (AudioSource::waiting, e.g. a PushSource fed by a player) is waited for,
// so audio can be handed in while it plays.
class PlaySession {
public:
    // `control`: the sink's address and control port.
    explicit PlaySession(const VEMRA::SocketAddress& control, PlayOptions options = PlayOptions());

    // `stop` may be set from any thread; the stream then ends and the sink is
    // disconnected (and drains) as after the last datagram.
    PlayResult play(AudioSource& source, const std::atomic<bool>& stop);

private:
    VEMRA::SocketAddress control;
    PlayOptions options;
};

} // namespace QUORVEL
