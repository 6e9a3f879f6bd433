#pragma once

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace QUORVEL {

// The rules by which every channel that answers the network (the Target's
// discovery socket, a sink's control socket, a status socket) takes
// datagrams in and sends answers out. The protocol has no authentication and
// a source address proves nothing, so the rules only make sure that one
// cheap datagram cannot cost much:
//
// - taken in: nothing from source port 0 (no answer could reach it); no
//   answer (odd code) except internal ones; nothing from one of the
//   process's own sockets except internal codes (two channels answering each
//   other never stop);
// - an echo of an unknown even code (status 0) only a few times per source
//   address, so that two targets, or a target and anything else that echoes,
//   stop within a few datagrams;
// - answers in bytes per second per source address and in total, and never
//   more than a share of the socket's send buffer: answers to sources that
//   nobody owns wait in the kernel's neighbour queue for seconds, and must
//   not fill the buffer that genuine answers and the loopback registrations
//   need;
// - an answer is one attempt that never blocks; a full buffer or a send that
//   fails because of its destination drops that answer (a Host asks again),
//   logged at a bounded rate. Only a broken socket is reported as such.
//
// Answers to ::1 come from the machine itself, which the link cannot forge:
// they keep no byte budget (the other rules apply).
//
// Threads: one policy belongs to the loop that owns its sockets (the
// Target's worker, a sink's node thread); nothing in it is shared.
class AnswerPolicy {
public:
    struct Config {
        // Answer bytes per source address: a bucket that refills at
        // `sourceRate` bytes per second up to `sourceBurst`. A source seen
        // for the first time (or again after it was replaced in the table)
        // starts with `sourceStart`: enough for any answer a Host's first
        // questions earn, too little for a forged source to earn much.
        uint64_t sourceRate = 1'000'000;
        uint64_t sourceBurst = 256 * 1024;
        uint64_t sourceStart = 4096;
        // Answer bytes of the socket as a whole.
        uint64_t totalRate = 2'000'000;
        uint64_t totalBurst = 512 * 1024;
        // Status-0 echoes of unknown codes per source address: `echoBurst`,
        // then one more per `echoInterval`.
        uint32_t echoBurst = 4;
        uint64_t echoInterval = VEMRA::kPicosecondsPerSecond;
        // Send buffer asked for at attach (0: the system's default). Answers
        // may fill at most 1 / `queueShare` of what the kernel grants; the
        // rest stays free for registrations and in-process messages.
        int sendBufferBytes = 2 * 1024 * 1024;
        int queueShare = 2;
        // Send-failure and limit lines per second (and as a burst).
        uint32_t logLinesPerSecond = 5;
        std::function<uint64_t()> clock; // empty: VEMRA::clockNow
    };

    // Per-source entries kept; the least recently used one is replaced.
    static constexpr size_t kSourceTableSize = 256;

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
        Dropped, // not sent: a budget, a full buffer or the destination; nothing to do
        Broken,  // the socket itself failed (lastError tells why)
    };

    AnswerPolicy();
    explicit AnswerPolicy(Config config);

    // Sets the send buffer of the socket that sends the answers, once it is open.
    void attach(VEMRA::Socket& socket);

    // Whether a datagram with `code` from `from` is to be handled at all.
    bool admits(const VEMRA::SocketAddress& from, uint16_t code);
    // Whether `from` is one of the process's own sockets (OwnPort) at one of
    // the machine's own addresses.
    bool fromOwnSocket(const VEMRA::SocketAddress& from);
    // Whether `from` may have one more status-0 echo of an unknown code now.
    bool mayEcho(const VEMRA::SocketAddress& from);

    // Sends one answer to `to` within the rules above. A failure is logged as
    // `errorText` + site + ":" + error number (at a bounded rate; never for
    // the error number `quietError`, when not 0); `lastError` holds the error
    // number of a failed send.
    Outcome send(VEMRA::Socket& socket, std::span<const uint8_t> bytes, const VEMRA::SocketAddress& to,
                 const char* errorText, int site, int quietError = 0);

    // Whether a failed send's error number means the socket itself is broken,
    // rather than the destination unreachable or the buffer full.
    static bool isSocketBroken(int error);

    int lastError() const { return failure; }
    uint64_t droppedAnswers() const { return dropped; }

private:
    // A bucket of tokens (bytes or echoes) that refills with time.
    struct Bucket {
        uint64_t tokens = 0;
        uint64_t stamp = 0; // clock of the last refill
        void refill(uint64_t now, uint64_t perSecond, uint64_t capacity);
    };
    struct Source {
        std::array<uint8_t, 16> address{};
        uint32_t scope = 0;
        uint64_t lastUsed = 0; // 0: a free entry
        Bucket bytes;
        Bucket echoes;
    };

    uint64_t now() const;
    Source& source(const VEMRA::SocketAddress& address, uint64_t now);
    bool isLocalAddress(const std::array<uint8_t, 16>& address, uint64_t now);
    void logLimit(const VEMRA::SocketAddress& to, const char* reason, uint64_t now);

    Config config;
    int sendBuffer = 0; // what the kernel granted; 0 = unknown
    std::array<Source, kSourceTableSize> sources{};
    Bucket total;
    LineBudget failureLines;
    LineBudget limitLines;
    int failure = 0;
    uint64_t dropped = 0;
    // The machine's addresses, read again at most once a second and only
    // when a datagram claims one of the own ports.
    std::vector<std::array<uint8_t, 16>> localAddresses;
    uint64_t localAddressesRead = 0;
};

} // namespace QUORVEL
