#pragma once

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"

#include <cstdint>
#include <functional>
#include <span>

namespace QUORVEL {

// The rules by which every channel that answers the network (the Target's
// discovery socket, a sink's control socket, a status socket) takes
// datagrams in and sends answers out. The protocol has no authentication and
// a source address proves nothing, so the rules only make sure that one
// cheap datagram cannot cost much:
//
// - taken in: nothing from source port 0 (no answer could reach it);
// - a send that fails because of its destination drops that answer (a Host
//   asks again), logged at a bounded rate. Only a broken socket is reported
//   as such.
//
// Threads: one policy belongs to the loop that owns its sockets (the
// Target's worker, a sink's node thread); nothing in it is shared.
class AnswerPolicy {
public:
    struct Config {
        // Send-failure lines per second (and as a burst).
        uint32_t logLinesPerSecond = 5;
        std::function<uint64_t()> clock; // empty: VEMRA::clockNow
    };

    // At most `perSecond` log lines a second (and as a burst); the lines it
    // holds back are counted and reported with the next line it lets through.
    class LineBudget {
    public:
        explicit LineBudget(uint32_t perSecond = 5) : perSecond(perSecond), tokens(perSecond) {}
        bool allow(uint64_t now);

    private:
        uint32_t perSecond;
        uint64_t tokens;
        uint64_t stamp = 0;
        uint64_t skipped = 0;
    };

    enum class Outcome {
        Sent,
        Dropped, // not sent because of its destination; nothing to do
        Broken,  // the socket itself failed (lastError tells why)
    };

    AnswerPolicy();
    explicit AnswerPolicy(Config config);

    // Whether a datagram with `code` from `from` is to be handled at all.
    bool admits(const VEMRA::SocketAddress& from, uint16_t code);

    // Sends one answer to `to`. A failure is logged as `errorText` + site +
    // ":" + error number (at a bounded rate; never for the error number
    // `quietError`, when not 0); `lastError` holds the error number of a
    // failed send.
    Outcome send(VEMRA::Socket& socket, std::span<const uint8_t> bytes, const VEMRA::SocketAddress& to,
                 const char* errorText, int site, int quietError = 0);

    // Whether a failed send's error number means the socket itself is broken,
    // rather than the destination unreachable or the buffer full.
    static bool isSocketBroken(int error);

    int lastError() const { return failure; }
    uint64_t droppedAnswers() const { return dropped; }

private:
    uint64_t now() const;

    Config config;
    LineBudget failureLines;
    int failure = 0;
    uint64_t dropped = 0;
};

} // namespace QUORVEL
