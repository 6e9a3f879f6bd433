#pragma once

#include "protocol/PacketSlot.h"

#include <cstdint>

namespace QUORVEL {

// Where a sink's receiving workers (the stream worker and the MS worker)
// hand a connection on: the write side of the buffer, the wake-up of the
// stage behind it, the drain at the end, and the start and release of the
// output. A member object of the sink's buffer, alive until the workers are
// joined: the workers call it, never a virtual operation of the sink.
class StreamIntake {
public:
    // Where the next datagram is received.
    virtual PacketSlot& writeSlot() = 0;
    // The slot holds the next datagram of the connection; `flush` = it
    // carries the Host's flush mark. false = the buffer is full.
    virtual bool commit(bool flush) = 0;
    // After a change of the sink's state the stage waits for.
    virtual void wake() = 0;
    // "do start": the output plays from `startAt` (0 = at once).
    virtual void startOutput(uint64_t startAt) = 0;
    // The connection ends: true once the stage has played out what it holds
    // and released the output; false = the caller releases it.
    virtual bool awaitDrain() = 0;
    virtual bool releaseOutput() = 0;

protected:
    StreamIntake() = default;
    ~StreamIntake() = default;
    StreamIntake(const StreamIntake&) = default;
    StreamIntake& operator=(const StreamIntake&) = default;
};

} // namespace QUORVEL
