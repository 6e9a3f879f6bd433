#pragma once

#include <cstddef>
#include <cstdint>

namespace QUORVEL {

// The device side of a sink, as its transport stage drives it. The stage
// calls it from its own thread only; the object must outlive the stage's
// thread (the owner joins the stage before the output goes).
class AudioOutput {
public:
    // `bytes` of audio in the stream's format, whole frames. false = the
    // output failed and the sink gives the stream up.
    virtual bool writeAudio(const uint8_t* data, size_t bytes) = 0;
    // The end of a connection's drain: every byte written has been played;
    // the output lets the device go.
    virtual bool releaseOutput() = 0;
    // At a flush mark: what the output itself holds and the fill the rate
    // feedback aims at, in units of 100 us. false = no feedback this time.
    virtual bool outputState(uint16_t& fill, uint16_t& target) = 0;

protected:
    AudioOutput() = default;
    ~AudioOutput() = default;
    AudioOutput(const AudioOutput&) = default;
    AudioOutput& operator=(const AudioOutput&) = default;
};

} // namespace QUORVEL
