#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostSocket.h"
#include "protocol/AudioFormat.h"
#include "protocol/WireMessage.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace QUORVEL {

// What becomes of one datagram on its way out (see StreamConfig::fate).
// Stop ends the stream before this datagram: stream() returns false.
enum class DatagramFate { Send, Drop, Delay, Stop };

struct StreamConfig {
    AudioFormat format;
    // Audio bytes per datagram; 0 = the most whole frames that fit a
    // 1500-byte datagram (header and padding, or the MS trailer, included).
    size_t payloadBytes = 0;
    uint32_t flushInterval = 32; // every n-th datagram carries the flush mark
    bool paced = true;           // send at the format's byte rate
    bool ms = false;             // bare datagrams with a trailer byte to the MS port
    // How long after the last datagram gap reports are still served.
    std::chrono::milliseconds linger{50};
    // Ends the linger early once it returns true (asked about every
    // millisecond): a caller that can see the audio arrive lingers only as
    // long as it takes, however long that is on a busy machine.
    std::function<bool()> lingerDone;
    // When larger than the audio handed to stream(): send this many bytes,
    // the audio over and over (its size should be a multiple of the payload).
    // Long runs stream without holding all of their audio.
    uint64_t repeatTo = 0;
    // Lossy-network seam for tests: the fate of each datagram by its index,
    // asked before every send, resends included. Delay sends it right after
    // the next datagram instead (two datagrams swap places).
    std::function<DatagramFate(uint64_t index)> fate;
};

struct LevelReport {
    uint16_t rate = 0;
    uint16_t fill = 0;
    uint16_t target = 0;
};

struct StreamStats {
    uint64_t datagrams = 0;  // first sends
    uint64_t resent = 0;     // datagrams sent again after a gap report
    uint64_t gapReports = 0; // gap reports acted upon
    uint64_t staleGapReports = 0;
    std::vector<LevelReport> levels;
};

// Streams audio to a connected sink: STREAM_DATA datagrams (or MS datagrams)
// with running sequence numbers and periodic flush marks, paced at the
// format's byte rate. A gap report makes it resend from the sequence number
// the sink expects; level reports are collected. Runs on the caller's
// thread and uses the client's socket, where the sink sends its feedback.
class StreamSender {
public:
    static constexpr size_t kDatagramLimit = 1500;

    // `destination`: the sink's stream port, or its MS port in MS mode.
    StreamSender(HostSocket& socket, const VEMRA::SocketAddress& destination, const StreamConfig& config);

    // Sends all of `audio` (whole frames) and serves the gap reports that
    // follow; false on a socket error or when the fate seam stopped it.
    bool stream(std::span<const uint8_t> audio);
    // Processes feedback waiting on the socket; true when a gap report moved
    // the send position back.
    bool pollFeedback();

    size_t payloadBytes() const { return payload; }
    const StreamStats& stats() const { return counters; }

    static size_t defaultPayload(AudioFormat format, bool ms);

private:
    bool sendDatagram(uint64_t index);
    // sendDatagram through the fate seam.
    bool dispatch(uint64_t index);
    void handleFeedback(const HostAnswer& answer);

    HostSocket& socket;
    VEMRA::SocketAddress destination;
    StreamConfig config;
    size_t payload;
    std::span<const uint8_t> audio;
    uint64_t nextIndex = 0;  // next datagram to send
    uint64_t sentBefore = 0; // datagrams sent at least once
    uint64_t lastRewind = UINT64_MAX;
    uint64_t lastRewindTime = 0;
    uint64_t held = UINT64_MAX; // a delayed datagram's index
    uint64_t total = 0;         // bytes this stream() sends
    SendBuffer message;
    std::vector<uint8_t> raw;
    StreamStats counters;
};

} // namespace QUORVEL
