#pragma once

#include <cstdint>

namespace QUORVEL {

// One UDP port of the process's own channels (the Target's sockets, each
// sink's control and stream sockets, each status socket), entered in a
// process-wide table for as long as this object holds it. A datagram whose
// source is one of these ports at one of the machine's own addresses was
// forged: the channels never send requests to each other except over ::1
// with internal codes, and answering it would make two of them answer each
// other for ever.
//
// Threads: each holder belongs to the thread that owns its socket; isOwn may
// be called from any thread (the table is a fixed array of atomics).
class OwnPort {
public:
    // Room for the Target's two sockets and three per sink for 80 sinks. A
    // port that finds no room is simply not recognised; the per-source echo
    // limit still ends a loop through it.
    static constexpr int kCapacity = 256;

    OwnPort() = default;
    ~OwnPort();
    OwnPort(const OwnPort&) = delete;
    OwnPort& operator=(const OwnPort&) = delete;

    // Holds `port` (host order), giving up a port held before; 0 holds nothing.
    void set(uint16_t port);
    void clear();

    static bool isOwn(uint16_t port);

private:
    int slot = -1;
};

} // namespace QUORVEL
