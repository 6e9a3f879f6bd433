#pragma once

#include "protocol/AudioFormat.h"

#include <cstdint>

namespace QUORVEL {

// The word of the prepare step: the format's channel and rate bits, a class
// code instead of the encoding, and the requested buffer latency.
class PrepareFormat {
public:
    static constexpr uint64_t kClassInteger = 0x100;
    static constexpr uint64_t kClassFloat = 0x200;
    static constexpr uint64_t kClassOther = 0x400;
    static constexpr uint64_t kClassDsd = 0x800;
    static constexpr uint64_t kClassMask = 0xFF00;
    static constexpr int kLatencyShift = 16;
    static constexpr uint64_t kLatencyMask = 0xFFFFULL << kLatencyShift;

    constexpr PrepareFormat() = default;
    constexpr explicit PrepareFormat(uint64_t value) : word(value) {}

    // Bits 0-7 and 32-63 of the format, the class code in 8-15, `latency`
    // (units of 100 us, 0 = the sink's default) in 16-31.
    static PrepareFormat fromFormat(AudioFormat format, uint16_t latency);
    static uint64_t classCode(AudioFormat format);

    constexpr uint64_t value() const { return word; }
    constexpr bool operator==(const PrepareFormat&) const = default;

    uint16_t latency() const { return static_cast<uint16_t>(word >> kLatencyShift); }
    void setLatency(uint16_t latency);
    // True when the word derived from `format` with this word's latency equals it.
    bool matches(AudioFormat format) const;
    // The 48-bit value of a stream-format control: channel and class bits,
    // then the rate field (format bits 32-63) from bit 16 on.
    uint64_t withoutLatency() const;

private:
    uint64_t word = 0;
};

} // namespace QUORVEL
