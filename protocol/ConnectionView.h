#pragma once

#include "protocol/AudioFormat.h"

#include <atomic>
#include <cstdint>

namespace QUORVEL {

// What the stages of a sink read of its connection and where they post the
// rate feedback: references to the sink's own words, which outlive every
// stage's thread (the sink joins its stages before it goes).
struct ConnectionView {
    std::atomic<bool>& running;                    // cleared by a stage whose output fails
    const std::atomic<uint32_t>& state;            // the sink's ConnState
    const std::atomic<uint64_t>& connectionSerial; // counts "do start"s
    const std::atomic<AudioFormat>& format;        // the connection's stream format
    std::atomic<uint16_t>& feedbackRate;           // written last, with release
    std::atomic<uint16_t>& feedbackFill;
    std::atomic<uint16_t>& feedbackTarget;
};

} // namespace QUORVEL
