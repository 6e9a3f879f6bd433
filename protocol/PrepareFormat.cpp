#include "protocol/PrepareFormat.h"

namespace QUORVEL {

uint64_t PrepareFormat::classCode(AudioFormat format) {
    if (format.isInteger()) {
        return kClassInteger;
    }
    if (format.isFloat()) {
        return kClassFloat;
    }
    if (format.isDSD()) {
        return kClassDsd;
    }
    return kClassOther;
}

PrepareFormat PrepareFormat::fromFormat(AudioFormat format, uint16_t latency) {
    const uint64_t kept = format.value() & 0xFFFFFFFF000000FFULL;
    return PrepareFormat(kept | classCode(format) | (static_cast<uint64_t>(latency) << kLatencyShift));
}

void PrepareFormat::setLatency(uint16_t latency) {
    word = (word & ~kLatencyMask) | (static_cast<uint64_t>(latency) << kLatencyShift);
}

bool PrepareFormat::matches(AudioFormat format) const {
    return fromFormat(format, latency()) == *this;
}

uint64_t PrepareFormat::withoutLatency() const {
    return (word & 0xFFFFULL) | ((word >> 32) << 16);
}

} // namespace QUORVEL
