#pragma once

#include <cstddef>
#include <cstdint>

namespace QUORVEL {

// The device side of a sink, as its workers drive it: the stream worker
// starts it at "do start", the transport stage writes to it and releases it
// at the end of the drain (or the stream worker does, when the drain never
// began). The object is built before the sink and goes after it, so the
// sink's workers are joined before it goes and never call into a class
// derived from the sink.
class AudioOutput {
public:
    // The connection's first audio is due at `startAt` (monotonic clock,
    // 0 = at once); returns when the device has been started.
    virtual void startAudio(uint64_t startAt) = 0;
    // `bytes` of audio in the stream's format, whole frames. false = the
    // output failed and the sink gives the stream up.
    virtual bool writeAudio(const uint8_t* data, size_t bytes) = 0;
    // The end of a connection: every byte written has been played; the
    // output lets the device go. false = the device is in an unknown state.
    virtual bool releaseOutput() = 0;

protected:
    AudioOutput() = default;
    ~AudioOutput() = default;
    AudioOutput(const AudioOutput&) = default;
    AudioOutput& operator=(const AudioOutput&) = default;
};

} // namespace QUORVEL
